#include "platform/ui/form.h"

#include <algorithm>

#include "platform/core/error.h"
#include "platform/ui/program.h"

namespace ui {

namespace {
[[noreturn]] void InvalidValue(const Form& form, const char* property) {
  throw core::RuntimeError(err::kInvalidPropertyValue,
                           "Invalid property value (" + form.Name() + "." + property + ")");
}
}  // namespace

Form::Form(Program& program, std::string name) : program_(&program), name_(std::move(name)) {
  program_->Register(this);
}

Form::~Form() { program_->Unregister(this); }

void Form::Notify(Property what) {
  if (observer_) observer_(*this, what);
}

void Form::Caption(std::string caption) {
  if (caption == caption_) return;
  caption_ = std::move(caption);
  Notify(Property::Caption);
}

void Form::ClientSize(int width, int height) {
  if (width < 0) InvalidValue(*this, "ClientWidth");
  if (height < 0) InvalidValue(*this, "ClientHeight");
  if (width == client_width_ && height == client_height_) return;
  client_width_ = width;
  client_height_ = height;
  Notify(Property::Geometry);
}

void Form::MousePointer(int pointer) {
  if ((pointer < 0 || pointer > 15) && pointer != vbCustom) InvalidValue(*this, "MousePointer");
  if (pointer == mouse_pointer_) return;
  mouse_pointer_ = pointer;
  Notify(Property::MousePointer);
}

void Form::Enabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Notify(Property::Enabled);
}

void Form::Adopt(std::unique_ptr<Control> control) {
  const std::string& name = control->Name();
  if (name.empty() || FindControl(name) != nullptr) {
    throw core::RuntimeError(core::err::kInvalidProcedureCall,
                             "Invalid procedure call (control name \"" + name + "\" on form " +
                                 name_ + " is empty or already in use)");
  }
  control->form_ = this;
  controls_.push_back(std::move(control));
}

Control* Form::FindControl(std::string_view name) const {
  for (const auto& c : controls_) {
    if (c->Name() == name) return c.get();
  }
  return nullptr;
}

std::vector<Control*> Form::Controls() const {
  std::vector<Control*> out;
  out.reserve(controls_.size());
  for (const auto& c : controls_) out.push_back(c.get());
  std::stable_sort(out.begin(), out.end(), [](const Control* a, const Control* b) {
    return a->TabIndex() < b->TabIndex();
  });
  return out;
}

bool Form::Active() const { return program_->ActiveForm() == this; }

void Form::Load() {
  if (loaded_) return;
  loaded_ = true;
  Notify(Property::State);
  load_.Raise();
}

void Form::Show() {
  Load();
  if (!loaded_) return;  // the Load handler unloaded the form again
  if (!visible_) {
    visible_ = true;
    Notify(Property::State);
  }
  Activate();
}

void Form::Activate() {
  if (!loaded_ || !visible_ || Active()) return;
  program_->SetActive(this);
  Notify(Property::State);
  activate_.Raise();
}

void Form::Deactivate() {
  if (!Active()) return;
  program_->SetActive(nullptr);
}

void Form::LoseActive() {
  Notify(Property::State);
  deactivate_.Raise();
}

void Form::Hide() {
  if (!visible_) return;
  Deactivate();
  visible_ = false;
  Notify(Property::State);
}

void Form::Unload() {
  if (!loaded_ || unloading_) return;
  unloading_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{unloading_};
  unload_.Raise();
  Hide();
  loaded_ = false;
  Notify(Property::State);
  program_->FormUnloaded();
}

}  // namespace ui
