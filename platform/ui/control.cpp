#include "platform/ui/control.h"

#include "platform/core/error.h"
#include "platform/ui/event.h"
#include "platform/ui/form.h"

namespace ui {

namespace internal {
void ThrowOutOfStackSpace(const char* event_name) {
  throw core::RuntimeError(err::kOutOfStackSpace,
                           std::string("Out of stack space (") + event_name +
                               " event raised again from its own handler too often)");
}
}  // namespace internal

void ThrowInvalidPropertyValue(const Control& control, std::string_view property) {
  throw core::RuntimeError(err::kInvalidPropertyValue, "Invalid property value (" + control.Name() +
                                                           "." + std::string(property) + ")");
}

Control::Control(ControlKind kind, std::string name) : kind_(kind), name_(std::move(name)) {}

Control::~Control() = default;

void Control::Notify(Property what) {
  if (observer_) observer_(*this, what);
}

bool Control::AcceptsInput() const {
  return visible_ && enabled_ && (form_ == nullptr || form_->Enabled());
}

void Control::Left(int twips) { Move(twips, top_, width_, height_); }
void Control::Top(int twips) { Move(left_, twips, width_, height_); }
void Control::Width(int twips) { Move(left_, top_, twips, height_); }
void Control::Height(int twips) { Move(left_, top_, width_, twips); }

void Control::Move(int left, int top, int width, int height) {
  if (width < 0) ThrowInvalidPropertyValue(*this, "Width");
  if (height < 0) ThrowInvalidPropertyValue(*this, "Height");
  if (left == left_ && top == top_ && width == width_ && height == height_) return;
  left_ = left;
  top_ = top;
  width_ = width;
  height_ = height;
  Notify(Property::Geometry);
}

void Control::TabIndex(int index) {
  if (index < 0) ThrowInvalidPropertyValue(*this, "TabIndex");
  if (index == tab_index_) return;
  tab_index_ = index;
  Notify(Property::TabIndex);
}

void Control::Visible(bool visible) {
  if (visible == visible_) return;
  visible_ = visible;
  Notify(Property::Visible);
}

void Control::Enabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Notify(Property::Enabled);
}

}  // namespace ui
