// The contract between a component library and the programs that load it.
//
// A library exports, with C linkage and default visibility:
//   DllGetClassObject(clsid, iid, ppv)  the class factory of one class
//   DllCanUnloadNow()                   S_OK when no object or lock is alive
//   DllRegisterServer()                 registers its classes (class_registry.h)
//   DllUnregisterServer()               removes them
//   DllGetClassInfo(&classes)           its classes' description, standing in
//                                       for a type library: ProgID, class id,
//                                       name and threading model of each
// The helpers below implement the common parts inside a library; the host
// reads a description with DescribeLibrary.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/com/guid.h"
#include "platform/com/unknown.h"

extern "C" {

// One class of a library, as DllGetClassInfo describes it. All strings are
// static and NUL-terminated; clsid is in registry text form.
struct ComClassInfo {
  const char* progId;
  const char* clsid;
  const char* name;
  const char* threadingModel;
};

using DllGetClassObjectFn = com::HRESULT (*)(const com::CLSID& rclsid, const com::IID& riid,
                                             void** ppv);
using DllCanUnloadNowFn = com::HRESULT (*)();
using DllRegisterServerFn = com::HRESULT (*)();
using DllUnregisterServerFn = com::HRESULT (*)();
// Stores the address of the library's class table and returns its length.
using DllGetClassInfoFn = std::int32_t (*)(const ComClassInfo** classes);

}  // extern "C"

#define COM_EXPORT extern "C" __attribute__((visibility("default")))

namespace com {

// ---- inside a library ----

// Full path of the loaded file that holds address (any function of it).
// Empty when the loader does not know it.
std::string ModulePath(const void* address);

// Register / unregister every class of the table under the path of the
// library holding anchor. SELFREG_E_CLASS when anything fails (nothing
// escapes as an exception).
HRESULT RegisterServer(const ComClassInfo* classes, std::int32_t count, const void* anchor);
HRESULT UnregisterServer(const ComClassInfo* classes, std::int32_t count);

// S_OK when the module's lock count is zero, S_FALSE otherwise.
HRESULT CanUnloadNow();

// The class factory of a default-constructible class T that implements
// interface iid (through Implements<>).
template <class T>
class ClassFactory : public Implements<IClassFactory> {
 public:
  HRESULT CreateInstance(IUnknown* pUnkOuter, const IID& iid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    T* object = nullptr;
    try {
      object = new T();
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    object->AddRef();
    HRESULT hr = object->QueryInterface(iid, ppv);
    object->Release();
    return hr;
  }
  HRESULT LockServer(bool fLock) override {
    if (fLock) {
      ModuleLockCount().fetch_add(1);
    } else {
      ModuleLockCount().fetch_sub(1);
    }
    return S_OK;
  }
};

// ---- in the host ----

struct ClassDescription {
  std::string progId;
  CLSID clsid;
  std::string name;
  std::string threadingModel;
};

// Loads the library without running any of its classes, reads its class
// description and unloads it again. A relative path is taken from the current
// directory. The library is loaded only when it can be trusted
// (trusted_file.h), from the very file that was checked. RuntimeError 53 when
// the file is missing, 70 when it is not trusted, 429 when it cannot be
// loaded or exports no description, naming the file and the reason.
std::vector<ClassDescription> DescribeLibrary(const std::filesystem::path& library);

// Loads the library and runs its DllRegisterServer / DllUnregisterServer, as
// an installer does. Errors as DescribeLibrary; a failure result of the
// export is 429 naming the library and the result.
void RegisterLibrary(const std::filesystem::path& library);
void UnregisterLibrary(const std::filesystem::path& library);

}  // namespace com
