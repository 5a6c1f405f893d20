// The interface of the test component library built beside these tests.
#pragma once

#include <string>

#include "platform/com/unknown.h"

namespace comtest {

inline constexpr const char* kWidgetProgId = "ComTest.Widget";
inline constexpr const char* kWidgetClsid = "{6A1C0E52-3F1B-4C7D-9E11-0B5A2C7D1E01}";
inline constexpr const char* kPlainProgId = "ComTest.Plain";
inline constexpr const char* kPlainClsid = "{6A1C0E52-3F1B-4C7D-9E11-0B5A2C7D1E02}";

class ITestWidget : public com::IUnknown {
 public:
  static constexpr com::IID kIID{
      0x6A1C0E52, 0x3F1B, 0x4C7D, {0x9E, 0x11, 0x0B, 0x5A, 0x2C, 0x7D, 0x1E, 0x10}};
  // What Construct received: "<null>", "<not constructed>" or the text.
  virtual std::string Constructed() = 0;
  // The class's name, so a test can tell which class it got.
  virtual std::string ClassName() = 0;

 protected:
  ~ITestWidget() = default;
};

}  // namespace comtest
