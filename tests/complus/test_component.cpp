// A component library with a constructible class and a plain one.
#include "platform/com/interfaces.h"
#include "platform/com/server.h"
#include "tests/complus/test_probe.h"

namespace {

using namespace com;

class Sink : public Implements<catalogtest::IProbe, IObjectConstruct> {
 public:
  HRESULT Construct(IUnknown* pCtorObj) override {
    Ptr<IObjectConstructString> s = Ptr<IUnknown>(pCtorObj).As<IObjectConstructString>();
    if (!s) return E_NOINTERFACE;
    core::Variant v = s->ConstructString();
    constructed_ = v.IsNull() ? "<null>" : v.AsString();
    return S_OK;
  }
  std::string Constructed() override { return constructed_; }

 private:
  std::string constructed_ = "<not constructed>";
};

class Plain : public Implements<catalogtest::IProbe> {
 public:
  std::string Constructed() override { return "<not constructed>"; }
};

const ComClassInfo kClasses[] = {
    {catalogtest::kSinkProgId, catalogtest::kSinkClsid, "Sink", "Apartment"},
    {catalogtest::kPlainProgId, catalogtest::kPlainClsid, "Plain", "Both"},
};

}  // namespace

COM_EXPORT com::HRESULT DllGetClassObject(const com::CLSID& rclsid, const com::IID& riid,
                                          void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  Ptr<IClassFactory> factory;
  if (rclsid == GUID::Parse(catalogtest::kSinkClsid)) {
    factory = MakeObject<ClassFactory<Sink>, IClassFactory>();
  } else if (rclsid == GUID::Parse(catalogtest::kPlainClsid)) {
    factory = MakeObject<ClassFactory<Plain>, IClassFactory>();
  } else {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  return factory->QueryInterface(riid, ppv);
}

COM_EXPORT com::HRESULT DllCanUnloadNow() { return com::CanUnloadNow(); }

COM_EXPORT com::HRESULT DllRegisterServer() {
  return com::RegisterServer(kClasses, 2, reinterpret_cast<const void*>(&DllRegisterServer));
}

COM_EXPORT com::HRESULT DllUnregisterServer() { return com::UnregisterServer(kClasses, 2); }

COM_EXPORT std::int32_t DllGetClassInfo(const ComClassInfo** classes) {
  *classes = kClasses;
  return 2;
}
