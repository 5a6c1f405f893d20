// The classes of the test component libraries built beside these tests.
#pragma once

#include <string>

#include "platform/com/unknown.h"

namespace catalogtest {

// catalog_test_component: a constructible class and a plain one.
inline constexpr const char* kSinkProgId = "CatalogTest.Sink";
inline constexpr const char* kSinkClsid = "{3D0A7C1E-52B4-4E8F-A1C2-7F00C0A10001}";
inline constexpr const char* kPlainProgId = "CatalogTest.Plain";
inline constexpr const char* kPlainClsid = "{3D0A7C1E-52B4-4E8F-A1C2-7F00C0A10002}";

// catalog_test_no_class and catalog_test_bad_selfreg: two classes, of which
// the first registers and loads; the second is never served, or the
// self-registration fails after registering the first.
inline constexpr const char* kBrokenFirstProgId = "CatalogTest.BrokenFirst";
inline constexpr const char* kBrokenFirstClsid = "{3D0A7C1E-52B4-4E8F-A1C2-7F00C0A10011}";
inline constexpr const char* kBrokenSecondProgId = "CatalogTest.BrokenSecond";
inline constexpr const char* kBrokenSecondClsid = "{3D0A7C1E-52B4-4E8F-A1C2-7F00C0A10012}";

class IProbe : public com::IUnknown {
 public:
  static constexpr com::IID kIID{
      0x3D0A7C1E, 0x52B4, 0x4E8F, {0xA1, 0xC2, 0x7F, 0, 0xC0, 0xA1, 0, 0x20}};
  // What Construct received: "<null>", "<not constructed>" or the text.
  virtual std::string Constructed() = 0;

 protected:
  ~IProbe() = default;
};

}  // namespace catalogtest
