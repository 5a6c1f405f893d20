// Asserting the run-time error a statement raises.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/core/error.h"

// Runs statement and expects a core::RuntimeError with the given number and
// source.
#define EXPECT_ADO_ERROR(statement, number, source)                          \
  do {                                                                       \
    try {                                                                    \
      statement;                                                             \
      ADD_FAILURE() << #statement " raised nothing, expected " << (number);  \
    } catch (const core::RuntimeError& e) {                                  \
      EXPECT_EQ(e.Number(), (number)) << #statement ": " << e.Description(); \
      EXPECT_EQ(e.Source(), std::string(source)) << #statement;              \
    }                                                                        \
  } while (0)
