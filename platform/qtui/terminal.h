// Terminal front end: runs window logic without a display.
//
// Windows stay invisible. What the user must read or answer goes to the
// terminal: a message box prints its text and reads one line; a form that
// asks a question (the disclaimer) prints its labels and reads the answer.
// End of input answers with the box's safe choice (No, Cancel, Abort), so an
// unattended run that gets no answer changes nothing; an OK box is simply
// confirmed.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>

#include "platform/ui/command_button.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/form.h"
#include "platform/ui/program.h"

namespace qtui {

// Message boxes on a pair of streams.
//
// A box prints "title: text" (just the text without a title; CR LF and lone
// CR become line feeds), then a prompt, and reads one line:
//   OK only             " [Enter] "   any line or end of input: OK
//   Yes/No              " [y/N] "     "y" or "yes": Yes; else No
//   Yes/No/Cancel       " [y/n/C] "   y/yes, n/no; else Cancel
//   OK/Cancel           " [o/C] "     o/ok; else Cancel
//   Retry/Cancel        " [r/C] "     r/retry; else Cancel
//   Abort/Retry/Ignore  " [A/r/i] "   r/retry, i/ignore; else Abort
// Answers ignore case and surrounding blanks. At end of input a line feed is
// printed so the output stays line by line; with EchoAnswers (for input that
// is not a terminal, which echoes nothing) the answer read is printed with
// its line feed, so a log of the output shows what was answered. An unknown
// button set is run-time error 5 and reads nothing.
class TerminalDialogs : public ui::Dialogs {
 public:
  TerminalDialogs(std::istream& in, std::ostream& out) : in_(&in), out_(&out) {}

  int MsgBox(const ui::MessageBox& box) override;

  // Prints `question` and " [y/N] ", reads a line: true for "y" or "yes".
  bool AskYesNo(std::string_view question);

  std::ostream& out() const { return *out_; }

  void EchoAnswers(bool echo) { echo_ = echo; }

 private:
  // Reads one answer, lower-cased and trimmed; false at end of input.
  bool ReadAnswer(std::string* answer);

  std::istream* in_;
  std::ostream* out_;
  bool echo_ = false;
};

// The captions of the form's visible labels in tab order, separated by an
// empty line, with line breaks as line feeds.
std::string FormText(const ui::Form& form);

// Installs itself into the program for its lifetime: message boxes on the
// streams, DoEvents flushes the output. Restores the program's earlier
// message box provider when destroyed (and removes the DoEvents hook).
class TerminalFrontEnd {
 public:
  TerminalFrontEnd(ui::Program& program, std::istream& in, std::ostream& out);
  TerminalFrontEnd(const TerminalFrontEnd&) = delete;
  TerminalFrontEnd& operator=(const TerminalFrontEnd&) = delete;
  ~TerminalFrontEnd();

  TerminalDialogs& dialogs() { return dialogs_; }

  // Prints FormText(form) and a line feed.
  void PrintForm(const ui::Form& form);

  // Puts a question window to the user: prints its text (FormText) with
  // " [y/N] " after it and presses `yes` for "y"/"yes", `no` for anything
  // else and at end of input, as a click would (the button's Click runs).
  // Returns whether the user answered yes.
  bool AnswerForm(const ui::Form& form, ui::CommandButton& yes, ui::CommandButton& no);

  // Ends a program that is still running once its work from the terminal is
  // done: without a display no window can take input. Prints which window
  // was left waiting and returns 1 then; 0 when the program had ended.
  int Finish();

 private:
  ui::Program* program_;
  ui::Dialogs* previous_;
  TerminalDialogs dialogs_;
};

}  // namespace qtui
