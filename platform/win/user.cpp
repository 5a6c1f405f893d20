#include "platform/win/user.h"

#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/core/error.h"

namespace win {

BOOL GetUserNameA(char* buffer, DWORD* size) {
  if (size == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(hint > 0 ? static_cast<std::size_t>(hint) : 16384);
  passwd pw;
  passwd* found = nullptr;
  int rc;
  while ((rc = getpwuid_r(geteuid(), &pw, scratch.data(), scratch.size(), &found)) == ERANGE) {
    scratch.resize(scratch.size() * 2);
  }
  if (rc != 0 || found == nullptr || found->pw_name == nullptr) {
    SetLastError(ERROR_NONE_MAPPED);
    return 0;
  }
  std::size_t needed = std::strlen(found->pw_name) + 1;
  if (buffer == nullptr || *size < needed) {
    *size = static_cast<DWORD>(needed);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, found->pw_name, needed);
  *size = static_cast<DWORD>(needed);
  SetLastError(0);
  return 1;
}

std::string CurDir() {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::current_path(ec);
  if (ec) {
    throw core::RuntimeError(core::err::kPathNotFound,
                             "Path not found (the current directory: " + ec.message() + ")");
  }
  return p.string();
}

}  // namespace win
