#include "platform/com/server.h"

#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/com/class_registry.h"
#include "platform/com/library_loader.h"
#include "platform/core/error.h"

namespace com {

std::atomic<std::int32_t>& ModuleLockCount() {
  static std::atomic<std::int32_t> count{0};
  return count;
}

std::string ModulePath(const void* address) {
  // The kernel's map of this process names the file behind each mapping,
  // whatever name the loader was given for it (a descriptor's, say).
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, perms, offset, device, inode;
    fields >> range >> perms >> offset >> device >> inode;
    const std::size_t dash = range.find('-');
    if (dash == std::string::npos) continue;
    const std::uintptr_t begin = std::stoull(range.substr(0, dash), nullptr, 16);
    const std::uintptr_t end = std::stoull(range.substr(dash + 1), nullptr, 16);
    if (at < begin || at >= end) continue;
    std::string path;
    std::getline(fields >> std::ws, path);
    if (path.empty() || path.front() != '/' || path.ends_with(" (deleted)")) return "";
    return path;
  }
  return "";
}

HRESULT RegisterServer(const ComClassInfo* classes, std::int32_t count, const void* anchor) {
  try {
    std::string path = ModulePath(anchor);
    if (path.empty()) return SELFREG_E_CLASS;
    for (std::int32_t i = 0; i < count; ++i) {
      RegisterClass(classes[i].progId, GUID::Parse(classes[i].clsid), path,
                    classes[i].threadingModel);
    }
    return S_OK;
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}

HRESULT UnregisterServer(const ComClassInfo* classes, std::int32_t count) {
  try {
    for (std::int32_t i = 0; i < count; ++i) UnregisterClass(GUID::Parse(classes[i].clsid));
    return S_OK;
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}

HRESULT CanUnloadNow() { return ModuleLockCount().load() == 0 ? S_OK : S_FALSE; }

namespace {

// A library loaded for one call, from the very file that was checked.
class LibraryHandle {
 public:
  explicit LibraryHandle(void* handle) : handle_(handle) {}
  ~LibraryHandle() { UnloadTrustedLibrary(handle_); }
  LibraryHandle(const LibraryHandle&) = delete;
  LibraryHandle& operator=(const LibraryHandle&) = delete;
  void* get() const { return handle_; }

 private:
  void* handle_;
};

// Loads library for one call. A relative name is taken from the current
// directory, as an installer's user means it.
LibraryHandle LoadForCall(const std::filesystem::path& library, int flags) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(library, ec);
  return LibraryHandle(LoadTrustedLibrary(ec ? library : absolute, flags, "the component library"));
}

void RunSelfRegistration(const std::filesystem::path& library, const char* exportName,
                         const std::string& doing) {
  LibraryHandle handle = LoadForCall(library, RTLD_NOW);
  auto fail = [&](const std::string& reason) {
    return core::RuntimeError(core::err::kCannotCreateObject,
                              "cannot " + doing + " " + library.string() + ": " + reason, "com");
  };
  auto fn = reinterpret_cast<DllRegisterServerFn>(::dlsym(handle.get(), exportName));
  if (!fn) throw fail(std::string("it exports no ") + exportName);
  HRESULT hr = fn();
  if (Failed(hr)) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
    throw fail(std::string(exportName) + " failed (" + buf + ")");
  }
}

}  // namespace

void RegisterLibrary(const std::filesystem::path& library) {
  RunSelfRegistration(library, "DllRegisterServer", "register");
}

void UnregisterLibrary(const std::filesystem::path& library) {
  RunSelfRegistration(library, "DllUnregisterServer", "unregister");
}

std::vector<ClassDescription> DescribeLibrary(const std::filesystem::path& library) {
  const std::string name = library.string();
  auto fail = [&](const std::string& reason) -> core::RuntimeError {
    return core::RuntimeError(core::err::kCannotCreateObject,
                              "cannot read the classes of " + name + ": " + reason, "com");
  };
  LibraryHandle handle = LoadForCall(library, RTLD_LAZY);
  auto describe = reinterpret_cast<DllGetClassInfoFn>(::dlsym(handle.get(), "DllGetClassInfo"));
  if (!describe) throw fail("it exports no DllGetClassInfo");
  const ComClassInfo* classes = nullptr;
  std::int32_t count = describe(&classes);
  if (count < 0 || (count > 0 && !classes)) throw fail("its class description is invalid");
  std::vector<ClassDescription> out;
  for (std::int32_t i = 0; i < count; ++i) {
    const ComClassInfo& c = classes[i];
    std::optional<GUID> clsid = c.clsid ? GUID::TryParse(c.clsid) : std::nullopt;
    if (!c.progId || !c.name || !c.threadingModel || !clsid) {
      throw fail("class " + std::to_string(i + 1) + " of its description is invalid");
    }
    out.push_back({c.progId, *clsid, c.name, c.threadingModel});
  }
  return out;
}

}  // namespace com
