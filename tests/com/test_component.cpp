// A component library with two classes: Widget (constructible) and Plain.
#include <cstring>

#include "platform/com/interfaces.h"
#include "platform/com/server.h"
#include "tests/com/test_widget.h"

namespace {

using namespace com;

class Widget : public Implements<comtest::ITestWidget, IObjectConstruct> {
 public:
  HRESULT Construct(IUnknown* pCtorObj) override {
    Ptr<IObjectConstructString> s = Ptr<IUnknown>(pCtorObj).As<IObjectConstructString>();
    if (!s) return E_NOINTERFACE;
    core::Variant v = s->ConstructString();
    constructed_ = v.IsNull() ? "<null>" : v.AsString();
    return constructed_ == "fail" ? E_FAIL : S_OK;
  }
  std::string Constructed() override { return constructed_; }
  std::string ClassName() override { return "Widget"; }

 private:
  std::string constructed_ = "<not constructed>";
};

class Plain : public Implements<comtest::ITestWidget> {
 public:
  std::string Constructed() override { return "<not constructed>"; }
  std::string ClassName() override { return "Plain"; }
};

const ComClassInfo kClasses[] = {
    {comtest::kWidgetProgId, comtest::kWidgetClsid, "Widget", "Apartment"},
    {comtest::kPlainProgId, comtest::kPlainClsid, "Plain", "Both"},
};

}  // namespace

COM_EXPORT com::HRESULT DllGetClassObject(const com::CLSID& rclsid, const com::IID& riid,
                                          void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  Ptr<IClassFactory> factory;
  if (rclsid == GUID::Parse(comtest::kWidgetClsid)) {
    factory = MakeObject<ClassFactory<Widget>, IClassFactory>();
  } else if (rclsid == GUID::Parse(comtest::kPlainClsid)) {
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

// Gives up a server lock taken with LockServer, then calls back before
// returning: the library's own code is still running after its lock count
// reached zero, as at the end of the Release of its last object.
COM_EXPORT void ReleaseServerLockThen(void (*then)()) {
  com::ModuleLockCount().fetch_sub(1);
  then();
  asm volatile("" ::: "memory");  // returns here, not through a tail call
}
