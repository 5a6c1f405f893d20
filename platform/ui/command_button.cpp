#include "platform/ui/command_button.h"

namespace ui {

void CommandButton::Caption(std::string caption) {
  if (caption == caption_) return;
  caption_ = std::move(caption);
  Notify(Property::Caption);
}

bool CommandButton::Click() {
  if (!AcceptsInput()) return false;
  click_.Raise();
  return true;
}

}  // namespace ui
