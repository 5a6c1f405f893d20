#include "platform/com/library_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>

#include "platform/com/trusted_file.h"
#include "platform/core/error.h"

namespace com {

namespace {

// Descriptors that name loaded libraries, by handle.
struct Loaded {
  TrustedFile file;
  std::string name;  // what the loader was given
  int uses = 0;
};

struct Keeper {
  std::mutex mutex;
  std::map<void*, Loaded> libraries;
};

Keeper& TheKeeper() {
  static Keeper* keeper = new Keeper();  // outlives static destructors, as the libraries do
  return *keeper;
}

}  // namespace

void* LoadTrustedLibrary(const std::filesystem::path& path, int flags, const char* what,
                         std::filesystem::path* resolved) {
  TrustedFile file = OpenTrusted(path, what);
  if (resolved) *resolved = file.path();
  const std::string name = file.DescriptorPath();
  Keeper& keeper = TheKeeper();
  std::lock_guard<std::mutex> lock(keeper.mutex);
  void* handle = ::dlopen(name.c_str(), flags | RTLD_LOCAL);
  if (!handle) {
    const char* why = ::dlerror();
    throw core::RuntimeError(core::err::kCannotCreateObject,
                             std::string(what) + " " + file.path().string() +
                                 " cannot be loaded: " + (why ? why : "unknown reason"),
                             "com");
  }
  // Loaded before (under this name or another of the same file): the loader
  // goes on using the name it has, whose descriptor is already kept.
  auto it = keeper.libraries.find(handle);
  if (it == keeper.libraries.end()) {
    it = keeper.libraries.emplace(handle, Loaded{std::move(file), name, 0}).first;
  }
  ++it->second.uses;
  return handle;
}

void UnloadTrustedLibrary(void* handle) {
  Keeper& keeper = TheKeeper();
  std::lock_guard<std::mutex> lock(keeper.mutex);
  ::dlclose(handle);
  auto it = keeper.libraries.find(handle);
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
