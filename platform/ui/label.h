// Label: a caption the user cannot change.
#pragma once

#include <string>

#include "platform/ui/control.h"

namespace ui {

class Label : public Control {
 public:
  explicit Label(std::string name) : Control(ControlKind::Label, std::move(name)) {}

  const std::string& Caption() const { return caption_; }
  void Caption(std::string caption);

 private:
  std::string caption_;
};

}  // namespace ui
