#include "setup/RunReport.h"

#include <ostream>
#include <utility>

#include "platform/core/terminal.h"

namespace setup {

namespace {

// An entry without the empty line that separates it from the next one.
std::string WithoutTrailingBreaks(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

}  // namespace

RunReport::RunReport(std::ostream& err, std::string program)
    : err_(&err), program_(std::move(program)) {}

RunReport::~RunReport() {
  if (window_ != nullptr) window_->OnErrorLogged(nullptr);
}

void RunReport::Watch(InstallForm& window) {
  if (window_ != nullptr) window_->OnErrorLogged(nullptr);
  window_ = &window;
  window.OnErrorLogged([this](const std::string& entry) { ErrorLogged(entry); });
}

void RunReport::ErrorLogged(const std::string& entry) {
  ++errors_logged_;
  // Entries carry store URLs, directory names and provider texts: nothing
  // in them may act on the terminal, and one entry stays one line.
  *err_ << program_ << ": " << core::TerminalSafe(WithoutTrailingBreaks(entry)) << std::endl;
}

void RunReport::StoppedAtMessage(const ui::MessageBox& box, bool echo) {
  stopped_ = true;
  if (!echo) return;
  *err_ << program_ << ": batch run stopped at the message \"" << core::TerminalSafe(box.prompt)
        << "\"" << std::endl;
}

int RunReport::ExitStatus(bool endedByError) const {
  if (window_ != nullptr && !window_->LostRegistrations().empty()) return kExitRegistrationLost;
  if (endedByError) return kExitRuntimeError;
  if (errors_logged_ > 0 || stopped_) return kExitErrorsLogged;
  return kExitDone;
}

BatchDialogs::BatchDialogs(ui::Program& program, ui::Dialogs& inner, RunReport& report, bool echo)
    : program_(&program),
      inner_(&inner),
      previous_(&program.dialogs()),
      report_(&report),
      echo_(echo) {
  program_->SetDialogs(*this);
}

BatchDialogs::~BatchDialogs() { program_->SetDialogs(*previous_); }

int BatchDialogs::MsgBox(const ui::MessageBox& box) {
  report_->StoppedAtMessage(box, echo_);
  return inner_->MsgBox(box);
}

}  // namespace setup
