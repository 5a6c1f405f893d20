#include "platform/core/server_root.h"

#include <cstdlib>

#include "platform/core/error.h"

namespace core {

std::filesystem::path ServerRoot() {
  const char* value = std::getenv(kServerRootVariable);
  if (value == nullptr || *value == '\0') {
    throw RuntimeError(err::kPathNotFound, std::string("No server root: set ") +
                                               kServerRootVariable + " or pass --root");
  }
  return std::filesystem::path(value);
}

void SetServerRoot(const std::filesystem::path& root) {
  ::setenv(kServerRootVariable, std::filesystem::absolute(root).c_str(), 1);
}

}  // namespace core
