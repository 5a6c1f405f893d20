// The library's entry points and the description of its one class.
#include <mutex>

#include "platform/com/server.h"
#include "platform/store/provider.h"
#include "sink/ZenthraCls.h"
#include "sink/ZenthraModule.h"

namespace {

const ComClassInfo kClasses[] = {
    {zenthra::kProgId, zenthra::kClsid, "ZenthraCls", "Apartment"},
};
constexpr std::int32_t kClassCount = 1;

// The library has its own data-access objects, which know no provider until
// the store's is registered here.
void EnsureStoreProvider() {
  static std::once_flag once;
  std::call_once(once, [] { store::RegisterProvider(); });
}

}  // namespace

COM_EXPORT com::HRESULT DllGetClassObject(const com::CLSID& rclsid, const com::IID& riid,
                                          void** ppv) {
  if (!ppv) return com::E_POINTER;
  *ppv = nullptr;
  try {
    if (rclsid != com::GUID::Parse(zenthra::kClsid)) return com::CLASS_E_CLASSNOTAVAILABLE;
    EnsureStoreProvider();
    com::Ptr<com::IClassFactory> factory =
        com::MakeObject<com::ClassFactory<zenthra::ZenthraCls>, com::IClassFactory>();
    return factory->QueryInterface(riid, ppv);
  } catch (...) {
    return com::E_UNEXPECTED;
  }
}

COM_EXPORT com::HRESULT DllCanUnloadNow() { return com::CanUnloadNow(); }

COM_EXPORT com::HRESULT DllRegisterServer() {
  return com::RegisterServer(kClasses, kClassCount,
                             reinterpret_cast<const void*>(&DllRegisterServer));
}

COM_EXPORT com::HRESULT DllUnregisterServer() {
  return com::UnregisterServer(kClasses, kClassCount);
}

COM_EXPORT std::int32_t DllGetClassInfo(const ComClassInfo** classes) {
  *classes = kClasses;
  return kClassCount;
}

// The calling thread's settings, for diagnostics and tests. The pointers stay
// valid until the thread next calls into the library.
COM_EXPORT void ZenthraThreadSettings(const char** targetFolder, const char** attachmentName,
                                      const char** targetFolderURL) {
  if (targetFolder) *targetFolder = ZenthraModule::strTargetFolder.c_str();
  if (attachmentName) *attachmentName = ZenthraModule::strAttachmentName.c_str();
  if (targetFolderURL) *targetFolderURL = ZenthraModule::strTargetFolderURL.c_str();
}
