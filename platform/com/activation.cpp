#include "platform/com/activation.h"

#include <dlfcn.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <string>

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

// Libraries loaded by this process, by the path the registry gives.
struct LibraryCache {
  std::mutex mutex;
  std::map<std::string, void*> handles;
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

void* LoadLibrary(std::string_view progId, const std::string& path) {
  LibraryCache& cache = Libraries();
  std::lock_guard<std::mutex> lock(cache.mutex);
  auto it = cache.handles.find(path);
  if (it != cache.handles.end()) return it->second;
  if (!std::filesystem::exists(path)) CannotCreate(progId, "its library " + path + " is missing");
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = ::dlerror();
    CannotCreate(progId, "its library " + path + " cannot be loaded: " + (why ? why : "unknown"));
  }
  cache.handles.emplace(path, handle);
  return handle;
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

  void* handle = LoadLibrary(progId, entry->libraryPath);
  auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(::dlsym(handle, "DllGetClassObject"));
  if (!getClassObject) {
    CannotCreate(progId, "its library " + entry->libraryPath + " exports no DllGetClassObject");
  }
  Ptr<IClassFactory> factory;
  HRESULT hr = getClassObject(entry->clsid, IClassFactory::kIID, factory.PutVoid());
  if (Failed(hr) || !factory) {
    CannotCreate(progId, "its library " + entry->libraryPath + " has no class " +
                             entry->clsid.ToString() + " (" + HexResult(hr) + ")");
  }
  Ptr<IUnknown> object;
  hr = factory->CreateInstance(nullptr, IUnknown::kIID, object.PutVoid());
  if (Failed(hr) || !object)
    CannotCreate(progId, "its class factory failed (" + HexResult(hr) + ")");
  factory.Reset();

  ConstructionHook hook;
  {
    std::lock_guard<std::mutex> lock(HookMutex());
    hook = Hook();
  }
  if (hook) {
    std::optional<core::Variant> ctorString;
    try {
      ctorString = hook(*entry);
    } catch (const core::RuntimeError& e) {
      CannotCreate(progId, "its construction settings cannot be read: " + e.Description());
    }
    if (ctorString) {
      Ptr<IObjectConstruct> construct = object.As<IObjectConstruct>();
      if (!construct)
        CannotCreate(progId, "construction is enabled but the class has no Construct");
      Ptr<IObjectConstructString> ctorObj = MakeConstructString(std::move(*ctorString));
      hr = construct->Construct(ctorObj.Get());
      if (Failed(hr)) CannotCreate(progId, "its Construct failed (" + HexResult(hr) + ")");
    }
  }
  return object;
}

std::size_t FreeUnusedLibraries() {
  LibraryCache& cache = Libraries();
  std::lock_guard<std::mutex> lock(cache.mutex);
  std::size_t freed = 0;
  for (auto it = cache.handles.begin(); it != cache.handles.end();) {
    auto canUnload = reinterpret_cast<DllCanUnloadNowFn>(::dlsym(it->second, "DllCanUnloadNow"));
    if (canUnload && canUnload() == S_OK) {
      ::dlclose(it->second);
      it = cache.handles.erase(it);
      ++freed;
    } else {
      ++it;
    }
  }
  return freed;
}

}  // namespace com
