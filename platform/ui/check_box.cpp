#include "platform/ui/check_box.h"

namespace ui {

void CheckBox::Caption(std::string caption) {
  if (caption == caption_) return;
  caption_ = std::move(caption);
  Notify(Property::Caption);
}

void CheckBox::Value(int value) {
  if (value < vbUnchecked || value > vbGrayed) ThrowInvalidPropertyValue(*this, "Value");
  if (value == value_) return;
  value_ = value;
  Notify(Property::Value);
  // Raised after the change is visible; a handler that sets Value again
  // nests a further Click inside this one.
  click_.Raise();
}

bool CheckBox::Click() {
  if (!AcceptsInput()) return false;
  Value(value_ == vbUnchecked ? vbChecked : vbUnchecked);
  return true;
}

}  // namespace ui
