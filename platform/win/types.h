// The platform's integer types and result codes, with their published
// values, for the functions of this folder.
#pragma once

#include <cstdint>

namespace win {

using LONG = std::int32_t;
using DWORD = std::uint32_t;
using BOOL = std::int32_t;  // 0 false, anything else true
// A registry key handle. Handles are 32-bit values, as callers that keep
// them in a Long expect.
using HKEY = std::uint32_t;

inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr LONG ERROR_NONE_MAPPED = 1332;

// The calling thread's last error, set by functions that return BOOL.
DWORD GetLastError();
void SetLastError(DWORD code);

}  // namespace win
