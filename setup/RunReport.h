// RunReport: what a run of ZenthraSetup tells the shell that started it.
//
// The window shows failures in its error log, which nobody reads when cron
// starts the program. The report writes every error log entry to a stream
// (standard error) as it is written, one line each with stored and
// directory text made safe for a terminal, notes the message boxes a batch
// run stopped at and the registrations it lost, and turns what happened
// into the exit status a scheduled job can alert on.
#pragma once

#include <iosfwd>
#include <string>

#include "platform/ui/dialogs.h"
#include "platform/ui/program.h"
#include "setup/InstallForm.h"

namespace setup {

// The exit statuses of ZenthraSetup. When several apply, the first of
// RegistrationLost, RuntimeError, ErrorsLogged wins.
inline constexpr int kExitDone = 0;              // finished and logged nothing
inline constexpr int kExitRuntimeError = 1;      // a run-time error ended it (or, without a
                                                 // display, the window could take no input)
inline constexpr int kExitDeclined = 2;          // the disclaimer was declined
inline constexpr int kExitErrorsLogged = 3;      // errors were logged, or a batch run stopped
                                                 // at a message box
inline constexpr int kExitRegistrationLost = 4;  // a renewal removed a registration and could
                                                 // not create it again
inline constexpr int kExitUsage = 64;            // bad command line; nothing was started

class RunReport {
 public:
  // Lines go to err; program names the lines ("ZenthraSetup: ...").
  explicit RunReport(std::ostream& err, std::string program = "ZenthraSetup");
  RunReport(const RunReport&) = delete;
  RunReport& operator=(const RunReport&) = delete;

  // Reports window's error log from now on; the window must outlive the
  // report or be unwatched by its destruction (the report removes its
  // listener when destroyed).
  void Watch(InstallForm& window);
  ~RunReport();

  // Called for each error log entry as it is written.
  void ErrorLogged(const std::string& entry);
  // A message box came up in batch mode: the unattended run stopped there.
  // With echo the box's text is written too (when it is not already shown
  // on the same stream).
  void StoppedAtMessage(const ui::MessageBox& box, bool echo);

  int ErrorsLogged() const { return errors_logged_; }
  bool Stopped() const { return stopped_; }

  // The status for a run that got past the disclaimer: whether a run-time
  // error (or a window left waiting) ended it, and what the window lost.
  int ExitStatus(bool endedByError) const;

 private:
  std::ostream* err_;
  std::string program_;
  InstallForm* window_ = nullptr;
  int errors_logged_ = 0;
  bool stopped_ = false;
};

// Message boxes of a batch run: shown through `inner`, each noted in the
// report first. Installs itself into the program for its lifetime and
// puts `inner` back when destroyed.
class BatchDialogs : public ui::Dialogs {
 public:
  BatchDialogs(ui::Program& program, ui::Dialogs& inner, RunReport& report, bool echo);
  BatchDialogs(const BatchDialogs&) = delete;
  BatchDialogs& operator=(const BatchDialogs&) = delete;
  ~BatchDialogs() override;

  int MsgBox(const ui::MessageBox& box) override;

 private:
  ui::Program* program_;
  ui::Dialogs* inner_;
  ui::Dialogs* previous_;
  RunReport* report_;
  bool echo_;
};

}  // namespace setup
