// CommandButton: a push button with a Click event.
#pragma once

#include <string>

#include "platform/ui/control.h"
#include "platform/ui/event.h"

namespace ui {

class CommandButton : public Control {
 public:
  explicit CommandButton(std::string name) : Control(ControlKind::CommandButton, std::move(name)) {}

  const std::string& Caption() const { return caption_; }
  void Caption(std::string caption);

  void OnClick(std::function<void()> handler) { click_.Set(std::move(handler)); }

  // Presses the button as a user would: raises Click when the button is
  // visible and enabled; otherwise nothing happens and false is returned.
  bool Click();

 private:
  std::string caption_;
  Event<> click_{"Click"};
};

}  // namespace ui
