#include "platform/core/server_root.h"

#include <algorithm>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/files.h"

namespace core {

namespace fs = std::filesystem;

namespace {

// At most this many names of what a folder holds go into a message.
constexpr std::size_t kNamesShown = 8;

// ", and holds a, b, c" for the folders in folder, or "" when there are none
// or they cannot be listed.
std::string FoldersIn(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    if (it->is_directory(type_ec)) names.push_back(it->path().filename().string());
  }
  if (names.empty()) return "";
  std::sort(names.begin(), names.end());
  std::string text = ", and holds ";
  for (std::size_t i = 0; i < names.size() && i < kNamesShown; ++i) {
    if (i > 0) text += ", ";
    text += names[i];
  }
  if (names.size() > kNamesShown) text += ", ...";
  return text;
}

}  // namespace

fs::path ServerRoot() {
  const char* value = std::getenv(kServerRootVariable);
  if (value == nullptr || *value == '\0') {
    throw RuntimeError(err::kPathNotFound, std::string("No server root: set ") +
                                               kServerRootVariable + " or pass --root DIR");
  }
  return fs::path(value);
}

void SetServerRoot(const fs::path& root) {
  ::setenv(kServerRootVariable, fs::absolute(root).c_str(), 1);
}

std::string ServerRootProblem(const fs::path& root) {
  std::error_code ec;
  const fs::file_status status = fs::status(root, ec);
  if (ec && ec != std::errc::no_such_file_or_directory) {
    return root.string() + ": " + FileErrorCause(ec.value());
  }
  if (fs::is_directory(status)) {
    // A folder that cannot be listed cannot be used either.
    fs::directory_iterator probe(root, ec);
    return ec ? root.string() + ": " + FileErrorCause(ec.value()) : "";
  }
  if (fs::exists(status)) return root.string() + " is not a folder";

  // Name the nearest folder above that does exist: a mistyped root is then
  // found at a glance.
  const fs::path absolute = fs::absolute(root, ec);
  fs::path above = (ec ? root : absolute).parent_path();
  while (!above.empty()) {
    std::error_code above_ec;
    if (fs::is_directory(above, above_ec)) break;
    if (above == above.parent_path()) {
      above.clear();
      break;
    }
    above = above.parent_path();
  }
  std::string text = root.string() + " does not exist";
  if (!above.empty()) text += " (" + above.string() + " does" + FoldersIn(above) + ")";
  return text;
}

}  // namespace core
