// ZenthraSetup: installs the event sink and binds it to mailboxes.
//
//   ZenthraSetup [--root DIR] [-b | /b]
//
// The server is the one named by --root, else by ZENTHRA_ROOT. With a display
// the program opens its windows; without one it asks its questions on the
// terminal (the disclaimer, and any message box), which suits the unattended
// "-b" run. Either way every error log entry also goes to standard error as
// it is written, and the exit status says how the run went (RunReport.h).
#include <unistd.h>

#include <QApplication>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/server_root.h"
#include "platform/core/terminal.h"
#include "platform/core/text.h"
#include "platform/directory/provider.h"
#include "platform/qtui/display.h"
#include "platform/qtui/error_report.h"
#include "platform/qtui/qt_front_end.h"
#include "platform/qtui/terminal.h"
#include "platform/store/machine.h"
#include "platform/store/provider.h"
#include "platform/ui/ui.h"
#include "setup/CommandLine.h"
#include "setup/Disclaimer.h"
#include "setup/InstallForm.h"
#include "setup/RunReport.h"

namespace {

constexpr const char* kUsage = "usage: ZenthraSetup [--root DIR] [-b | /b]\n";

constexpr const char* kHelp =
    "usage: ZenthraSetup [--root DIR] [-b | /b]\n"
    "Installs the Zenthra event sink (Zenthra.dll, taken from the current folder)\n"
    "and registers it in mailboxes or store-wide, on the server whose root is DIR\n"
    "(default: $ZENTHRA_ROOT). With a display it opens its window; without one it\n"
    "asks on the terminal. -b (or /b, any case) renews every registration\n"
    "unattended and exits; the disclaimer must still be answered\n"
    "(e.g. echo y | ZenthraSetup -b). Every error log entry is also written to\n"
    "standard error, one line each, as it happens.\n"
    "Exit status:\n"
    "  0  done, and nothing was logged\n"
    "  1  a run-time error ended the program (or, without a display, the window\n"
    "     could take no input)\n"
    "  2  the disclaimer was declined; nothing was changed\n"
    "  3  errors were logged (see standard error), or a batch run stopped at a\n"
    "     message box\n"
    "  4  a renewal removed a registration and could not create it again; the\n"
    "     mailboxes are named on standard error, and the next batch run tries\n"
    "     again\n"
    "  64 bad command line, or no usable server root; nothing was started\n";

// The providers the window reaches the store and the directory through. The
// directory learns this machine's names from the store's record of them.
void RegisterProviders() {
  store::RegisterProvider();
  const store::Machine machine = store::ThisMachine();
  directory::RegisterProvider(directory::MachineFacts{machine.computer, machine.domain});
}

std::string TitleOf(const ui::Program& program) {
  const ui::Form* active = program.ActiveForm();
  return active != nullptr && !active->Caption().empty() ? active->Caption() : "Zenthra setup";
}

// An error no procedure trapped, as one line on standard error: its number
// and text, titled like the window it ended.
void PrintError(const ui::Program& program, const std::exception& error) {
  std::cerr << TitleOf(program) << ": "
            << core::TerminalSafe(core::Replace(qtui::RuntimeErrorMessage(error), "\r\n\r\n", " "))
            << std::endl;
}

// With a display the error also gets its message box.
void ReportError(ui::Program& program, const std::exception& error) {
  PrintError(program, error);
  try {
    program.MsgBox(qtui::RuntimeErrorMessage(error), ui::vbCritical, TitleOf(program));
  } catch (const std::exception&) {
    // The box itself failed; the line above has said it.
  }
}

int RunWithDisplay(int argc, char** argv, const std::string& commandLine) {
  QApplication app(argc, argv);
  qtui::TerminalDialogs fallback(std::cin, std::cerr);
  ui::Program program(fallback);
  setup::Disclaimer disclaimer(program, commandLine);
  setup::RunReport report(std::cerr);
  report.Watch(disclaimer.SetupWindow());
  qtui::QtFrontEnd frontEnd(program);
  // A box in an unattended run means it stopped there; the box waits for
  // whoever comes, and standard error has its text.
  std::optional<setup::BatchDialogs> batchBoxes;
  if (setup::InstallForm::IsBatchSwitch(commandLine)) {
    batchBoxes.emplace(program, frontEnd.dialogs(), report, true);
  }

  bool failed = false;
  frontEnd.SetErrorHandler([&](const std::exception& error) {
    failed = true;
    ReportError(program, error);
    program.End();
  });
  try {
    RegisterProviders();
  } catch (const std::exception& error) {
    ReportError(program, error);
    return setup::kExitRuntimeError;
  }

  disclaimer.Show();
  const int code = frontEnd.Run();
  if (!failed && disclaimer.Declined()) return setup::kExitDeclined;
  return report.ExitStatus(failed || code != 0);
}

int RunOnTerminal(const std::string& commandLine) {
  qtui::TerminalDialogs fallback(std::cin, std::cout);
  ui::Program program(fallback);
  setup::Disclaimer disclaimer(program, commandLine);
  setup::RunReport report(std::cerr);
  report.Watch(disclaimer.SetupWindow());
  qtui::TerminalFrontEnd frontEnd(program, std::cin, std::cout);
  // Piped answers are not echoed by a terminal; the output then shows them.
  const bool piped = ::isatty(STDIN_FILENO) == 0;
  frontEnd.dialogs().EchoAnswers(piped);
  // A batch run's message boxes say why it stopped: they go to standard
  // error with the rest of the report.
  qtui::TerminalDialogs errorBoxes(std::cin, std::cerr);
  errorBoxes.EchoAnswers(piped);
  std::optional<setup::BatchDialogs> batchBoxes;
  if (setup::InstallForm::IsBatchSwitch(commandLine)) {
    batchBoxes.emplace(program, errorBoxes, report, false);
  }

  bool failed = false;
  try {
    RegisterProviders();
    disclaimer.Show();
    frontEnd.AnswerForm(disclaimer, disclaimer.Command1, disclaimer.Command2);
    if (disclaimer.Declined()) return setup::kExitDeclined;
    failed = frontEnd.Finish() != 0;
  } catch (const std::exception& error) {
    PrintError(program, error);
    failed = true;
  }
  return report.ExitStatus(failed);
}

}  // namespace

int main(int argc, char** argv) {
  const setup::CommandLine commandLine =
      setup::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (!commandLine.error.empty()) {
    std::cerr << "ZenthraSetup: " << core::TerminalSafe(commandLine.error) << "\n" << kUsage;
    return setup::kExitUsage;
  }
  if (commandLine.help) {
    std::cout << kHelp;
    return 0;
  }

  if (commandLine.root) core::SetServerRoot(*commandLine.root);
  const char* root = std::getenv(core::kServerRootVariable);
  if (root == nullptr || *root == '\0') {
    std::cerr << "ZenthraSetup: no server root: set " << core::kServerRootVariable
              << " or pass --root DIR\n";
    return setup::kExitUsage;
  }
  const std::string problem = core::ServerRootProblem(root);
  if (!problem.empty()) {
    std::cerr << "ZenthraSetup: unusable server root (named by "
              << (commandLine.root ? "--root" : core::kServerRootVariable)
              << "): " << core::TerminalSafe(problem) << "\n";
    return setup::kExitUsage;
  }

  if (qtui::HasDisplay()) return RunWithDisplay(argc, argv, commandLine.argumentText);
  return RunOnTerminal(commandLine.argumentText);
}
