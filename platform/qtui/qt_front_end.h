// Qt Widgets front end: shows the window model's forms as real windows.
//
// Every form becomes a top-level window of its client size (twips at 15 per
// pixel), every control a widget at its position: Label a word-wrapping
// QLabel, CommandButton a QPushButton, CheckBox a QCheckBox, TextBox a
// QLineEdit (QPlainTextEdit when multi-line), ListBox a QListWidget whose
// entries toggle per click, PictureBox a widget that paints the display list
// (picture_render.h). The front end mirrors the model through the model's
// observers and hands user actions to the model as user actions (a click is
// CheckBox::Click, a typed key TextBox::Type, a paste TextBox::Paste, a click
// on a list entry ListBox::Click), so the model alone decides which events
// are raised; a widget never changes state the model did not take. Signals
// caused by mirroring never reach the model.
//
// Forms: shown and hidden with the model; a window that the user activates
// activates its form (Activate); the close box unloads the form (Unload).
// Activation moving to a message box or another program deactivates nothing.
// Mouse pointer: while a loaded form's pointer is not the default, the whole
// program shows that pointer (11 is the wait cursor). DoEvents processes
// pending Qt events; the program's end hides every window and leaves Run.
//
// A run-time error escaping from an event handler that Qt called (a click,
// a key, activation, the close box) is reported as "Run-time error 'N'" in a
// critical message box and ends the program with exit code 1; it never
// unwinds through Qt.
//
// A QApplication must exist before the front end. The program and every
// attached form must outlive the front end, and a form's controls must all
// have been added when the form is attached.
#pragma once

#include <QWidget>
#include <exception>
#include <functional>
#include <memory>

#include "platform/qtui/qt_dialogs.h"
#include "platform/ui/control.h"
#include "platform/ui/form.h"
#include "platform/ui/program.h"

namespace qtui {

namespace internal {
struct FrontEndImpl;
}

class QtFrontEnd {
 public:
  using ErrorHandler = std::function<void(const std::exception&)>;

  // Installs its message boxes, DoEvents and end hooks into the program and
  // attaches every form the program has now.
  explicit QtFrontEnd(ui::Program& program);
  QtFrontEnd(const QtFrontEnd&) = delete;
  QtFrontEnd& operator=(const QtFrontEnd&) = delete;
  // Detaches from the forms and the program (the earlier message box
  // provider comes back) and destroys the windows.
  ~QtFrontEnd();

  // Creates the window of a form made after the front end. Attaching a form
  // twice does nothing.
  void Attach(ui::Form& form);

  // The window of a form and the widget of a control; nullptr when not attached.
  QWidget* Window(const ui::Form& form) const;
  QWidget* Widget(const ui::Control& control) const;

  QtDialogs& dialogs();

  // Replaces the report of run-time errors from event handlers (the default
  // shows the message box and ends the program).
  void SetErrorHandler(ErrorHandler handler);

  // Runs the event loop until the program ends; returns the exit code: 0,
  // or 1 after a run-time error ended it. Returns at once when the program
  // has ended already.
  int Run();

 private:
  std::unique_ptr<internal::FrontEndImpl> impl_;
};

}  // namespace qtui
