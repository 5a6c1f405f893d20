// The message that ends a program on an untrapped run-time error.
#pragma once

#include <exception>
#include <string>

namespace qtui {

// "Run-time error '380':" CR LF CR LF "Invalid property value (...)" for a
// core::RuntimeError; for any other exception "Run-time error:" and its text.
std::string RuntimeErrorMessage(const std::exception& error);

}  // namespace qtui
