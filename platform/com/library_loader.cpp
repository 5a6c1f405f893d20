#include "platform/com/library_loader.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>

#include "platform/com/trusted_file.h"
#include "platform/core/error.h"

namespace com {

namespace {

// The loader remembers every name it was given for a library until the
// library is unloaded, and finds the library by any of them. So each library
// is given one name only, that of the first descriptor, kept open while the
// library stays loaded; a later load of the same file asks for it by that
// name again.
struct Loaded {
  TrustedFile file;
  std::string name;
  void* handle = nullptr;
  int uses = 0;
};

struct FileId {
  dev_t device;
  ino_t inode;
  auto operator<=>(const FileId&) const = default;
};

struct Keeper {
  std::mutex mutex;
  std::map<FileId, Loaded> libraries;
};

Keeper& TheKeeper() {
  static Keeper* keeper = new Keeper();  // outlives static destructors, as the libraries do
  return *keeper;
}

[[noreturn]] void CannotLoad(const char* what, const TrustedFile& file) {
  const char* why = ::dlerror();
  throw core::RuntimeError(core::err::kCannotCreateObject,
                           std::string(what) + " " + file.path().string() +
                               " cannot be loaded: " + (why ? why : "unknown reason"),
                           "com");
}

}  // namespace

void* LoadTrustedLibrary(const std::filesystem::path& path, int flags, const char* what,
                         std::filesystem::path* resolved) {
  TrustedFile file = OpenTrusted(path, what);
  if (resolved) *resolved = file.path();
  struct stat st {};
  if (::fstat(file.fd(), &st) != 0) CannotLoad(what, file);
  const FileId id{st.st_dev, st.st_ino};
  Keeper& keeper = TheKeeper();
  std::lock_guard<std::mutex> lock(keeper.mutex);
  auto it = keeper.libraries.find(id);
  if (it != keeper.libraries.end()) {
    // The same checked file, under the name the loader already knows.
    void* handle = ::dlopen(it->second.name.c_str(), flags | RTLD_LOCAL);
    if (!handle) CannotLoad(what, file);
    it->second.handle = handle;
    ++it->second.uses;
    return handle;
  }
  const std::string name = file.DescriptorPath();
  void* handle = ::dlopen(name.c_str(), flags | RTLD_LOCAL);
  if (!handle) CannotLoad(what, file);
  keeper.libraries.emplace(id, Loaded{std::move(file), name, handle, 1});
  return handle;
}

void UnloadTrustedLibrary(void* handle) {
  Keeper& keeper = TheKeeper();
  std::lock_guard<std::mutex> lock(keeper.mutex);
  ::dlclose(handle);
  auto it = std::find_if(keeper.libraries.begin(), keeper.libraries.end(),
                         [&](const auto& entry) { return entry.second.handle == handle; });
  if (it == keeper.libraries.end() || --it->second.uses > 0) return;
  // Still loaded (kept by the loader, or opened by someone else): its name
  // must keep working.
  if (void* still = ::dlopen(it->second.name.c_str(), RTLD_LAZY | RTLD_NOLOAD)) {
    ::dlclose(still);
    return;
  }
  keeper.libraries.erase(it);
}

}  // namespace com
