// Internal: raising the data-access errors with the descriptions callers
// know them by.
#pragma once

#include <cstdint>

namespace adodb::internal {

// Throws core::RuntimeError(number, the standard description of number,
// source). source is the raising object's ProgID, e.g. "ADODB.Record".
[[noreturn]] void Raise(std::int32_t number, const char* source);

// The standard description of a data-access error number; a generic text
// for numbers without one.
const char* Describe(std::int32_t number);

}  // namespace adodb::internal
