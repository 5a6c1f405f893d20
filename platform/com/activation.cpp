#include "platform/com/activation.h"

#include <dlfcn.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/library_loader.h"
#include "platform/com/server.h"
#include "platform/core/error.h"

namespace com {

namespace {

std::mutex& HookMutex() {
  static std::mutex m;
  return m;
}
ConstructionHook& Hook() {
  static ConstructionHook hook;
  return hook;
}

// Libraries loaded by this process, by the path the registry gives. An
// activation between loading and holding its first object counts as pending,
// so that FreeUnusedLibraries does not unload the library under it.
struct Library {
  void* handle = nullptr;
  int pending = 0;
};
// A library whose last object has just gone may still be running that
// object's last instructions (the end of its Release, after the destructor
// gave up the module lock); unmapping it then would pull the code from under
// them. So FreeUnusedLibraries drops a library at once (the next activation
// loads it anew) but closes it only on a later call, once kUnloadDelay has
// passed, as COM's delayed unloading does.
constexpr std::chrono::seconds kUnloadDelay{10};
struct Retired {
  void* handle = nullptr;
  std::chrono::steady_clock::time_point since;
};
struct LibraryCache {
  std::mutex mutex;
  std::map<std::string, Library> libraries;
  std::vector<Retired> retired;
};
LibraryCache& Libraries() {
  static LibraryCache* cache = new LibraryCache();  // outlives static destructors
  return *cache;
}

[[noreturn]] void CannotCreate(std::string_view progId, const std::string& reason) {
  throw core::RuntimeError(
      core::err::kCannotCreateObject,
      "ActiveX component can't create object \"" + std::string(progId) + "\": " + reason, "com");
}

std::string HexResult(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

// One activation in progress; the library counts it as pending until the
// guard goes.
struct PendingActivation {
  std::string path;
  void* handle = nullptr;
  PendingActivation() = default;
  PendingActivation(const PendingActivation&) = delete;
  PendingActivation& operator=(const PendingActivation&) = delete;
  ~PendingActivation() {
    LibraryCache& cache = Libraries();
    std::lock_guard<std::mutex> lock(cache.mutex);
    auto it = cache.libraries.find(path);
    if (it != cache.libraries.end()) --it->second.pending;
  }
};

// Loads (or finds) the library. The caller holds the cache's mutex. Only a
// file nobody but root and this user can have placed is loaded, and it is
// loaded through its checked descriptor, so nothing can be swapped in between.
void* LoadLibrary(std::string_view progId, const std::string& path) {
  LibraryCache& cache = Libraries();
  auto it = cache.libraries.find(path);
  if (it != cache.libraries.end()) return it->second.handle;
  void* handle = nullptr;
  try {
    handle = LoadTrustedLibrary(path, RTLD_NOW, "its library");
  } catch (const core::RuntimeError& e) {
    CannotCreate(progId, e.Description());
  }
  cache.libraries.emplace(path, Library{handle, 0});
  return handle;
}

void BeginActivation(std::string_view progId, const std::string& path, PendingActivation* pending) {
  LibraryCache& cache = Libraries();
  std::lock_guard<std::mutex> lock(cache.mutex);
  pending->handle = LoadLibrary(progId, path);
  pending->path = path;
  ++cache.libraries[path].pending;
}

class ConstructionObject : public Implements<IObjectConstructString> {
 public:
  explicit ConstructionObject(core::Variant value) : value_(std::move(value)) {}
  core::Variant ConstructString() override { return value_; }

 private:
  core::Variant value_;
};

}  // namespace

ConstructionHook SetConstructionHook(ConstructionHook hook) {
  std::lock_guard<std::mutex> lock(HookMutex());
  std::swap(Hook(), hook);
  return hook;
}

Ptr<IObjectConstructString> MakeConstructString(core::Variant value) {
  return MakeObject<ConstructionObject, IObjectConstructString>(std::move(value));
}

Ptr<IUnknown> CreateObject(std::string_view progId) {
  std::optional<ClassEntry> entry;
  try {
    entry = LookupProgId(progId);
  } catch (const core::RuntimeError& e) {
    CannotCreate(progId, "the class registry cannot be read: " + e.Description());
  }
  if (!entry) CannotCreate(progId, "the class is not registered");

  // The construction settings are read before the library is loaded, so that
  // a class the catalog refuses never gets to run any code.
  ConstructionHook hook;
  {
    std::lock_guard<std::mutex> lock(HookMutex());
    hook = Hook();
  }
  std::optional<core::Variant> ctorString;
  if (hook) {
    try {
      ctorString = hook(*entry);
    } catch (const core::RuntimeError& e) {
      if (e.Number() == core::err::kCannotCreateObject) throw;  // the hook's own refusal
      CannotCreate(progId, "its construction settings cannot be read: " + e.Description());
    }
  }

  PendingActivation pending;
  BeginActivation(progId, entry->libraryPath, &pending);
  void* handle = pending.handle;
  auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(::dlsym(handle, "DllGetClassObject"));
  if (!getClassObject) {
    CannotCreate(progId, "its library " + entry->libraryPath + " exports no DllGetClassObject");
  }
  Ptr<IClassFactory> factory;
  HRESULT hr = getClassObject(entry->clsid, IClassFactory::kIID, factory.PutVoid());
  if (hr == CLASS_E_CLASSNOTAVAILABLE) {
    CannotCreate(progId,
                 "its library " + entry->libraryPath + " has no class " + entry->clsid.ToString());
  }
  if (Failed(hr) || !factory) {
    CannotCreate(progId,
                 "DllGetClassObject of " + entry->libraryPath + " failed (" + HexResult(hr) + ")");
  }
  Ptr<IUnknown> object;
  hr = factory->CreateInstance(nullptr, IUnknown::kIID, object.PutVoid());
  if (Failed(hr) || !object)
    CannotCreate(progId, "its class factory failed (" + HexResult(hr) + ")");
  factory.Reset();

  if (ctorString) {
    Ptr<IObjectConstruct> construct = object.As<IObjectConstruct>();
    if (!construct) CannotCreate(progId, "construction is enabled but the class has no Construct");
    Ptr<IObjectConstructString> ctorObj = MakeConstructString(std::move(*ctorString));
    hr = construct->Construct(ctorObj.Get());
    if (Failed(hr)) CannotCreate(progId, "its Construct failed (" + HexResult(hr) + ")");
  }

  return object;
}

std::size_t FreeUnusedLibraries() {
  LibraryCache& cache = Libraries();
  std::lock_guard<std::mutex> lock(cache.mutex);
  const auto now = std::chrono::steady_clock::now();
  std::erase_if(cache.retired, [&](const Retired& r) {
    if (now - r.since < kUnloadDelay) return false;
    UnloadTrustedLibrary(r.handle);
    return true;
  });
  std::size_t freed = 0;
  for (auto it = cache.libraries.begin(); it != cache.libraries.end();) {
    Library& lib = it->second;
    auto canUnload = reinterpret_cast<DllCanUnloadNowFn>(::dlsym(lib.handle, "DllCanUnloadNow"));
    if (lib.pending == 0 && canUnload && canUnload() == S_OK) {
      cache.retired.push_back({lib.handle, now});
      it = cache.libraries.erase(it);
      ++freed;
    } else {
      ++it;
    }
  }
  return freed;
}

}  // namespace com
