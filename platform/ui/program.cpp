#include "platform/ui/program.h"

#include <algorithm>

#include "platform/ui/form.h"

namespace ui {

int Program::MsgBox(std::string_view prompt, int style, std::string_view title) {
  return dialogs_->MsgBox(MessageBox{std::string(prompt), style, std::string(title)});
}

void Program::DoEvents() {
  if (!do_events_) return;
  // A copy, so a hook that replaces itself keeps running.
  const std::function<void()> hook = do_events_;
  hook();
}

void Program::End() {
  if (ended_) return;
  ended_ = true;
  if (on_end_) on_end_();
}

int Program::LoadedFormCount() const {
  return static_cast<int>(
      std::count_if(forms_.begin(), forms_.end(), [](const Form* f) { return f->Loaded(); }));
}

void Program::Register(Form* form) { forms_.push_back(form); }

void Program::Unregister(Form* form) {
  forms_.erase(std::remove(forms_.begin(), forms_.end(), form), forms_.end());
  if (active_ == form) active_ = nullptr;
}

void Program::SetActive(Form* form) {
  if (active_ == form) return;
  Form* old = active_;
  active_ = form;
  if (old != nullptr) old->LoseActive();
}

void Program::FormUnloaded() {
  if (LoadedFormCount() == 0) End();
}

}  // namespace ui
