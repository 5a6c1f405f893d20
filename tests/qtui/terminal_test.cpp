#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "platform/core/error.h"
#include "platform/qtui/display.h"
#include "platform/qtui/terminal.h"
#include "platform/ui/ui.h"

namespace qtui {
namespace {

int Ask(const std::string& input, int style, std::string* printed = nullptr,
        const std::string& prompt = "Go on?", const std::string& title = "") {
  std::istringstream in(input);
  std::ostringstream out;
  TerminalDialogs dialogs(in, out);
  const int result = dialogs.MsgBox(ui::MessageBox{prompt, style, title});
  if (printed != nullptr) *printed = out.str();
  return result;
}

TEST(TerminalDialogsTest, YesNoAnswersYesOnlyForYOrYes) {
  for (const char* yes : {"y\n", "yes\n", "YES\n", "  Yes \t\n", "y\r\n", "Y"}) {
    EXPECT_EQ(Ask(yes, ui::vbYesNo), ui::vbYes) << yes;
  }
  for (const char* no : {"n\n", "no\n", "\n", "yess\n", "ja\n", "y es\n", "0\n", ""}) {
    EXPECT_EQ(Ask(no, ui::vbYesNo), ui::vbNo) << no;
  }
}

TEST(TerminalDialogsTest, PrintsTitleTextAndPromptAndKeepsOutputLineByLine) {
  std::string printed;
  EXPECT_EQ(Ask("yes\n", ui::vbYesNo + ui::vbQuestion, &printed, "Remove it?", "Zenthra setup"),
            ui::vbYes);
  EXPECT_EQ(printed, "Zenthra setup: Remove it? [y/N] ");

  // End of input: the answer is No and a line feed ends the prompt's line.
  EXPECT_EQ(Ask("", ui::vbYesNo, &printed, "Line one\r\nline two\rthree"), ui::vbNo);
  EXPECT_EQ(printed, "Line one\nline two\nthree [y/N] \n");
}

TEST(TerminalDialogsTest, OkBoxIsConfirmedByAnyLineOrEndOfInputAndReadsOneLine) {
  std::istringstream in("whatever\ny\n");
  std::ostringstream out;
  TerminalDialogs dialogs(in, out);
  EXPECT_EQ(dialogs.MsgBox({"Please select the mailbox(es) for registration", 64, "T"}), ui::vbOK);
  EXPECT_EQ(out.str(), "T: Please select the mailbox(es) for registration [Enter] ");
  // The OK box took one line only; the next question gets the next one.
  EXPECT_EQ(dialogs.MsgBox({"Sure?", ui::vbYesNo, ""}), ui::vbYes);
  EXPECT_EQ(dialogs.MsgBox({"Done", ui::vbOKOnly, ""}), ui::vbOK);  // at end of input
  EXPECT_EQ(dialogs.MsgBox({"Again?", ui::vbYesNo, ""}), ui::vbNo);
}

TEST(TerminalDialogsTest, EchoedAnswersKeepALogOfPipedInputReadable) {
  std::istringstream in(" Yes \r\n\x1b[2Jy\n");
  std::ostringstream out;
  TerminalDialogs dialogs(in, out);
  dialogs.EchoAnswers(true);
  EXPECT_EQ(dialogs.MsgBox({"Sure?", ui::vbYesNo, ""}), ui::vbYes);
  // What was answered stands after the prompt, spelt safely.
  EXPECT_EQ(dialogs.MsgBox({"Again?", ui::vbYesNo, ""}), ui::vbNo);
  EXPECT_EQ(dialogs.MsgBox({"Done", ui::vbOKOnly, ""}), ui::vbOK);
  EXPECT_EQ(out.str(), "Sure? [y/N] Yes\nAgain? [y/N] \\x1B[2Jy\nDone [Enter] \n");
}

TEST(TerminalDialogsTest, OtherButtonSetsFallBackToTheirSafeChoice) {
  EXPECT_EQ(Ask("n\n", ui::vbYesNoCancel), ui::vbNo);
  EXPECT_EQ(Ask("yes\n", ui::vbYesNoCancel), ui::vbYes);
  EXPECT_EQ(Ask("", ui::vbYesNoCancel), ui::vbCancel);
  EXPECT_EQ(Ask("maybe\n", ui::vbYesNoCancel), ui::vbCancel);
  EXPECT_EQ(Ask("OK\n", ui::vbOKCancel), ui::vbOK);
  EXPECT_EQ(Ask("\n", ui::vbOKCancel), ui::vbCancel);
  EXPECT_EQ(Ask("r\n", ui::vbRetryCancel), ui::vbRetry);
  EXPECT_EQ(Ask("", ui::vbRetryCancel), ui::vbCancel);
  EXPECT_EQ(Ask("ignore\n", ui::vbAbortRetryIgnore), ui::vbIgnore);
  EXPECT_EQ(Ask("R\n", ui::vbAbortRetryIgnore), ui::vbRetry);
  EXPECT_EQ(Ask("", ui::vbAbortRetryIgnore), ui::vbAbort);

  std::string printed;
  try {
    Ask("y\n", 6, &printed);
    ADD_FAILURE() << "style 6 has no buttons";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), core::err::kInvalidProcedureCall);
  }
}

// A disclaimer window as the setup program builds it.
struct Disclaimer {
  explicit Disclaimer(ui::Program& program) : form(program, "Disclaimer") {
    // Created out of tab order on purpose: the question comes last.
    question.Caption("Do you accept?\r\nIf you choose No, install will close.");
    question.TabIndex(3);
    text.Caption("LIMITATION OF LIABILITY.\r\nTHE SOFTWARE IS PROVIDED AS IS.");
    text.TabIndex(0);
    yes.Caption("Yes");
    yes.TabIndex(1);
    no.Caption("No");
    no.TabIndex(2);
    yes.OnClick([this] { ++yes_clicks; });
    no.OnClick([this] { ++no_clicks; });
  }
  ui::Form form;
  ui::Label& question = form.Add<ui::Label>("Label2");
  ui::Label& text = form.Add<ui::Label>("Label1");
  ui::CommandButton& yes = form.Add<ui::CommandButton>("Command1");
  ui::CommandButton& no = form.Add<ui::CommandButton>("Command2");
  int yes_clicks = 0;
  int no_clicks = 0;
};

TEST(TerminalFrontEndTest, DisclaimerIsPrintedAndAnsweredThroughItsButtons) {
  ui::ScriptedDialogs scripted;
  ui::Program program(scripted);
  Disclaimer d(program);
  {
    std::istringstream in("yes\n");
    std::ostringstream out;
    TerminalFrontEnd front_end(program, in, out);
    EXPECT_TRUE(front_end.AnswerForm(d.form, d.yes, d.no));
    EXPECT_EQ(out.str(),
              "LIMITATION OF LIABILITY.\nTHE SOFTWARE IS PROVIDED AS IS.\n\n"
              "Do you accept?\nIf you choose No, install will close. [y/N] ");
    EXPECT_EQ(d.yes_clicks, 1);
    EXPECT_EQ(d.no_clicks, 0);
  }
  {
    // Unattended: no input answers No; a hidden label is not printed.
    d.text.Visible(false);
    std::istringstream in("");
    std::ostringstream out;
    TerminalFrontEnd front_end(program, in, out);
    EXPECT_FALSE(front_end.AnswerForm(d.form, d.yes, d.no));
    EXPECT_EQ(d.yes_clicks, 1);
    EXPECT_EQ(d.no_clicks, 1);
    EXPECT_EQ(out.str(), "Do you accept?\nIf you choose No, install will close. [y/N] \n");
    front_end.PrintForm(d.form);
    EXPECT_EQ(out.str(),
              "Do you accept?\nIf you choose No, install will close. [y/N] \n"
              "Do you accept?\nIf you choose No, install will close.\n");
  }
}

TEST(TerminalFrontEndTest, InstallsItsDialogsForItsLifetimeAndEndsAWaitingProgram) {
  ui::ScriptedDialogs scripted;
  ui::Program program(scripted);
  ui::Form form(program, "InstallForm");
  form.Caption("Zenthra setup");
  std::istringstream in("");
  std::ostringstream out;
  {
    TerminalFrontEnd front_end(program, in, out);
    // The window logic's boxes now go to the terminal.
    EXPECT_EQ(program.MsgBox("Please enter identity", ui::vbExclamation, form.Caption()), ui::vbOK);
    EXPECT_TRUE(scripted.Shown().empty());
    program.DoEvents();  // nothing to process, must not block or fail

    form.Show();
    EXPECT_EQ(front_end.Finish(), 1);
    EXPECT_TRUE(program.Ended());
    EXPECT_NE(out.str().find("the window \"Zenthra setup\" cannot take input"), std::string::npos)
        << out.str();
    EXPECT_EQ(front_end.Finish(), 0);  // ended now
  }
  program.MsgBox("back to the script");
  ASSERT_EQ(scripted.Shown().size(), 1u);
}

TEST(DisplayTest, NeedsANonEmptyDisplayVariable) {
  const auto save = [](const char* name) -> std::optional<std::string> {
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
  };
  const auto display = save("DISPLAY");
  const auto wayland = save("WAYLAND_DISPLAY");
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  EXPECT_FALSE(HasDisplay());
  setenv("DISPLAY", "", 1);
  EXPECT_FALSE(HasDisplay());
  setenv("DISPLAY", ":99", 1);
  EXPECT_TRUE(HasDisplay());
  unsetenv("DISPLAY");
  setenv("WAYLAND_DISPLAY", "wayland-0", 1);
  EXPECT_TRUE(HasDisplay());
  unsetenv("WAYLAND_DISPLAY");
  if (display) setenv("DISPLAY", display->c_str(), 1);
  if (wayland) setenv("WAYLAND_DISPLAY", wayland->c_str(), 1);
}

}  // namespace
}  // namespace qtui
