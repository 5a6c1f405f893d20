// ZenthraSetup: installs the event sink and binds it to mailboxes.
//
//   ZenthraSetup [-b | /b]
//
// The server is the one named by ZENTHRA_ROOT. With a display the program
// opens its windows; without one it asks its questions on the terminal (the
// disclaimer, and any message box), which suits the unattended "-b" run.
//
// Exit status: 0 when the program ended normally, 1 when a run-time error
// ended it (or, on a terminal, the setup window was left waiting for input),
// 2 when the disclaimer was declined.
#include <QApplication>
#include <exception>
#include <iostream>
#include <string>

#include "platform/core/error.h"
#include "platform/directory/provider.h"
#include "platform/qtui/display.h"
#include "platform/qtui/error_report.h"
#include "platform/qtui/qt_front_end.h"
#include "platform/qtui/terminal.h"
#include "platform/store/machine.h"
#include "platform/store/provider.h"
#include "platform/ui/ui.h"
#include "setup/Disclaimer.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitDeclined = 2;

// The argument text as the program receives it: everything after the
// program's name, arguments separated by one blank.
std::string ArgumentText(int argc, char** argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  return text;
}

// The providers the window reaches the store and the directory through. The
// directory learns this machine's names from the store's record of them.
void RegisterProviders() {
  store::RegisterProvider();
  const store::Machine machine = store::ThisMachine();
  directory::RegisterProvider(directory::MachineFacts{machine.computer, machine.domain});
}

// An error no procedure trapped: a message box with its number and text,
// titled like the window it ended.
void ReportError(ui::Program& program, const std::exception& error) {
  const ui::Form* active = program.ActiveForm();
  const std::string title =
      active != nullptr && !active->Caption().empty() ? active->Caption() : "Zenthra setup";
  try {
    program.MsgBox(qtui::RuntimeErrorMessage(error), ui::vbCritical, title);
  } catch (const std::exception&) {
    // The box itself failed; the error must still reach the administrator.
    std::cerr << title << ": " << qtui::RuntimeErrorMessage(error) << "\n";
  }
}

int RunWithDisplay(int argc, char** argv, const std::string& commandLine) {
  QApplication app(argc, argv);
  qtui::TerminalDialogs fallback(std::cin, std::cerr);
  ui::Program program(fallback);
  setup::Disclaimer disclaimer(program, commandLine);
  qtui::QtFrontEnd frontEnd(program);

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
    return kExitFailed;
  }

  disclaimer.Show();
  const int code = frontEnd.Run();
  if (failed) return kExitFailed;
  if (disclaimer.Declined()) return kExitDeclined;
  return code;
}

int RunOnTerminal(const std::string& commandLine) {
  qtui::TerminalDialogs fallback(std::cin, std::cout);
  ui::Program program(fallback);
  setup::Disclaimer disclaimer(program, commandLine);
  qtui::TerminalFrontEnd frontEnd(program, std::cin, std::cout);
  try {
    RegisterProviders();
    disclaimer.Show();
    frontEnd.AnswerForm(disclaimer, disclaimer.Command1, disclaimer.Command2);
    if (disclaimer.Declined()) return kExitDeclined;
    return frontEnd.Finish();
  } catch (const std::exception& error) {
    ReportError(program, error);
    return kExitFailed;
  }
}

}  // namespace

constexpr const char* kHelp =
    "usage: ZenthraSetup [-b | /b]\n"
    "Installs the Zenthra event sink (Zenthra.dll, taken from the current folder)\n"
    "and registers it in mailboxes or store-wide, on the server named by\n"
    "ZENTHRA_ROOT. With a display it opens its window; without one it asks on the\n"
    "terminal. -b (or /b, any case) renews every registration unattended and exits;\n"
    "the disclaimer must still be answered (e.g. echo y | ZenthraSetup -b).\n"
    "Exit status: 0 done, 1 a run-time error ended it, 2 the disclaimer was declined.\n";

int main(int argc, char** argv) {
  const std::string commandLine = ArgumentText(argc, argv);
  // Only the batch switch means anything on the command line; asking for help
  // is answered rather than taken for an ordinary start.
  if (commandLine == "--help" || commandLine == "-h") {
    std::cout << kHelp;
    return 0;
  }
  if (qtui::HasDisplay()) return RunWithDisplay(argc, argv, commandLine);
  return RunOnTerminal(commandLine);
}
