// CheckBox: a box with a caption and a Value of 0 (clear), 1 (ticked) or
// 2 (grayed).
//
// Click is raised whenever Value changes, whether the user clicked or code
// set it; setting the value it already has raises nothing. A Click handler
// that sets Value again raises Click again, nested, so a handler can refuse a
// tick by setting Value back to 0 and see Value 0 on the nested run.
#pragma once

#include <string>

#include "platform/ui/control.h"
#include "platform/ui/event.h"

namespace ui {

inline constexpr int vbUnchecked = 0;
inline constexpr int vbChecked = 1;
inline constexpr int vbGrayed = 2;

class CheckBox : public Control {
 public:
  explicit CheckBox(std::string name) : Control(ControlKind::CheckBox, std::move(name)) {}

  const std::string& Caption() const { return caption_; }
  void Caption(std::string caption);

  int Value() const { return value_; }
  // Values other than 0, 1 and 2 are error 380 and change nothing.
  void Value(int value);

  void OnClick(std::function<void()> handler) { click_.Set(std::move(handler)); }

  // A user's click: a clear box becomes ticked, a ticked or grayed box becomes
  // clear, and Click is raised. Ignored (false) when the box is hidden or disabled.
  bool Click();

 private:
  std::string caption_;
  int value_ = vbUnchecked;
  Event<> click_{"Click"};
};

}  // namespace ui
