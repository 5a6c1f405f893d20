#include "platform/ui/label.h"

namespace ui {

void Label::Caption(std::string caption) {
  if (caption == caption_) return;
  caption_ = std::move(caption);
  Notify(Property::Caption);
}

}  // namespace ui
