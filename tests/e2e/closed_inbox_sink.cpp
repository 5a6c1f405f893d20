// A store event sink that refuses to let Zenthra's registration item be
// written in the folder it is registered in, and lets deletes through. A
// batch renewal there can remove the registration but not write it again.
#include <string>

#include "platform/com/interfaces.h"
#include "platform/com/server.h"

namespace {

class ClosedInbox : public com::Implements<com::IExStoreSyncEvents> {
 public:
  com::HRESULT OnSyncSave(com::IExStoreEventInfo* info, const std::string& url,
                          std::int32_t lFlags) override {
    static const std::string kItem = "/Zenthra.reg";
    const bool registration = url.size() >= kItem.size() &&
                              url.compare(url.size() - kItem.size(), kItem.size(), kItem) == 0;
    if (registration && (lFlags & com::EVT_SYNC_BEGIN)) {
      info->AbortChange(static_cast<std::int32_t>(0x80070005));
    }
    return com::S_OK;
  }
  com::HRESULT OnSyncDelete(com::IExStoreEventInfo*, const std::string&, std::int32_t) override {
    return com::S_OK;
  }
};

const ComClassInfo kClasses[] = {
    {"E2eTest.ClosedInbox", "{3B1E6F0A-5C2D-4E7F-8A9B-0C1D2E3F4A51}", "ClosedInbox", "Apartment"},
};

}  // namespace

COM_EXPORT com::HRESULT DllGetClassObject(const com::CLSID& rclsid, const com::IID& riid,
                                          void** ppv) {
  *ppv = nullptr;
  if (rclsid != com::GUID::Parse(kClasses[0].clsid)) return com::CLASS_E_CLASSNOTAVAILABLE;
  auto factory = com::MakeObject<com::ClassFactory<ClosedInbox>, com::IClassFactory>();
  return factory->QueryInterface(riid, ppv);
}

COM_EXPORT com::HRESULT DllCanUnloadNow() { return com::CanUnloadNow(); }

COM_EXPORT com::HRESULT DllRegisterServer() {
  return com::RegisterServer(kClasses, 1, reinterpret_cast<const void*>(&DllRegisterServer));
}

COM_EXPORT com::HRESULT DllUnregisterServer() { return com::UnregisterServer(kClasses, 1); }

COM_EXPORT std::int32_t DllGetClassInfo(const ComClassInfo** classes) {
  *classes = kClasses;
  return 1;
}
