// Asserting the run-time error a statement raises.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/core/error.h"

// Runs statement and expects a core::RuntimeError with the given number
// whose description contains text.
#define EXPECT_RUNTIME_ERROR(statement, number, text)                                 \
  do {                                                                                \
    try {                                                                             \
      statement;                                                                      \
      ADD_FAILURE() << #statement " raised nothing, expected " << (number);           \
    } catch (const core::RuntimeError& e) {                                           \
      EXPECT_EQ(e.Number(), (number)) << #statement ": " << e.Description();          \
      EXPECT_NE(e.Description().find(text), std::string::npos)                        \
          << #statement ": \"" << e.Description() << "\" lacks \"" << (text) << "\""; \
    }                                                                                 \
  } while (0)
