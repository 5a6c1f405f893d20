// Message boxes as modal Qt dialogs.
#pragma once

#include <QMessageBox>
#include <functional>
#include <memory>

#include "platform/ui/dialogs.h"

namespace qtui {

// Builds the dialog for a box without showing it: the prompt as plain text
// (never rich text, it may quote user input), the title (the application
// name when empty), the icon of the style (16 critical, 32 question,
// 48 warning, 64 information), the buttons of the style in their published
// order, and the default button (first, second or third). An unknown button
// set is run-time error 5.
std::unique_ptr<QMessageBox> MakeMessageBox(const ui::MessageBox& box, QWidget* parent);

// The box's result for a pressed standard button; `fallback` for anything
// else (a box closed without a button).
int ResultOf(int standard_button, int fallback);

class QtDialogs : public ui::Dialogs {
 public:
  // Runs a built box and returns the pressed QMessageBox::StandardButton.
  // The default runs it modally (exec); tests install one that inspects it.
  using Runner = std::function<int(QMessageBox&)>;

  QtDialogs();

  // Shows the box over the active window and waits for the user. A box
  // closed without pressing a button answers as its Escape button, or
  // Cancel, No, Abort, OK in that order of preference. While a busy pointer
  // is shown, the box shows the normal arrow.
  int MsgBox(const ui::MessageBox& box) override;

  void SetRunner(Runner runner) { runner_ = std::move(runner); }

 private:
  Runner runner_;
};

}  // namespace qtui
