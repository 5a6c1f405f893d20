// A component library that cannot be installed whole. Built twice:
//   BAD_SELFREG  DllRegisterServer registers the first class, then fails;
//   otherwise    both classes register but only the first can be loaded.
#include "platform/com/interfaces.h"
#include "platform/com/server.h"
#include "tests/complus/test_probe.h"

namespace {

using namespace com;

class First : public Implements<catalogtest::IProbe> {
 public:
  std::string Constructed() override { return "<not constructed>"; }
};

const ComClassInfo kClasses[] = {
    {catalogtest::kBrokenFirstProgId, catalogtest::kBrokenFirstClsid, "First", "Apartment"},
    {catalogtest::kBrokenSecondProgId, catalogtest::kBrokenSecondClsid, "Second", "Apartment"},
};

}  // namespace

COM_EXPORT com::HRESULT DllGetClassObject(const com::CLSID& rclsid, const com::IID& riid,
                                          void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != GUID::Parse(catalogtest::kBrokenFirstClsid)) return CLASS_E_CLASSNOTAVAILABLE;
  Ptr<IClassFactory> factory = MakeObject<ClassFactory<First>, IClassFactory>();
  return factory->QueryInterface(riid, ppv);
}

COM_EXPORT com::HRESULT DllRegisterServer() {
#ifdef BAD_SELFREG
  com::RegisterServer(kClasses, 1, reinterpret_cast<const void*>(&DllRegisterServer));
  return SELFREG_E_CLASS;
#else
  return com::RegisterServer(kClasses, 2, reinterpret_cast<const void*>(&DllRegisterServer));
#endif
}

COM_EXPORT com::HRESULT DllUnregisterServer() { return com::UnregisterServer(kClasses, 2); }

COM_EXPORT std::int32_t DllGetClassInfo(const ComClassInfo** classes) {
  *classes = kClasses;
  return 2;
}
