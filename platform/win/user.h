// The user this process runs as, and the process's current directory.
#pragma once

#include <string>

#include "platform/win/types.h"

namespace win {

// Copies the login name of the effective user and a terminating zero into
// buffer. *size is the buffer's size in bytes on entry; on success it is the
// number of bytes written including the zero. When the buffer is too small
// (or null) the result is 0, GetLastError() is ERROR_INSUFFICIENT_BUFFER
// and *size is the size needed. A null size is ERROR_INVALID_PARAMETER; a
// user without an account entry is ERROR_NONE_MAPPED.
BOOL GetUserNameA(char* buffer, DWORD* size);

// The process's current directory, without a trailing separator (except for
// the root itself). core::RuntimeError 76 (path not found) when it has been
// removed.
std::string CurDir();

}  // namespace win
