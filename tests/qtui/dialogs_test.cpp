#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>

#include "platform/core/error.h"
#include "platform/qtui/qt_dialogs.h"
#include "platform/ui/program.h"

namespace qtui {
namespace {

TEST(QtDialogsTest, BoxesTakeIconButtonsTitleAndDefaultFromTheStyle) {
  auto box =
      MakeMessageBox({"Please enter <b>identity</b>", ui::vbExclamation, "Zenthra setup"}, nullptr);
  EXPECT_EQ(box->icon(), QMessageBox::Warning);
  EXPECT_EQ(box->windowTitle(), "Zenthra setup");
  EXPECT_EQ(box->text(), "Please enter <b>identity</b>");
  EXPECT_EQ(box->textFormat(), Qt::PlainText);  // user text is never markup
  EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);

  box = MakeMessageBox({"x", ui::vbInformation, ""}, nullptr);
  EXPECT_EQ(box->icon(), QMessageBox::Information);
  EXPECT_EQ(box->windowTitle(), QApplication::applicationName());

  box = MakeMessageBox({"Go?", ui::vbYesNo + ui::vbQuestion + ui::vbDefaultButton2, "t"}, nullptr);
  EXPECT_EQ(box->icon(), QMessageBox::Question);
  EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
  EXPECT_EQ(box->escapeButton(), box->button(QMessageBox::No));

  box = MakeMessageBox(
      {"Stop", ui::vbAbortRetryIgnore + ui::vbCritical + ui::vbDefaultButton3, "t"}, nullptr);
  EXPECT_EQ(box->icon(), QMessageBox::Critical);
  EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::Ignore));

  try {
    MakeMessageBox({"bad", 7, ""}, nullptr);
    ADD_FAILURE() << "style 7 has no buttons";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), core::err::kInvalidProcedureCall);
  }
}

TEST(QtDialogsTest, PressedButtonIsTheResultAndClosingGivesTheSafeChoice) {
  QtDialogs dialogs;
  ui::Program program(dialogs);
  QString title;
  int press = QMessageBox::Yes;
  dialogs.SetRunner([&](QMessageBox& box) {
    title = box.windowTitle();
    return press;
  });
  EXPECT_EQ(program.MsgBox("Remove?", ui::vbYesNo, "Zenthra setup"), ui::vbYes);
  EXPECT_EQ(title, "Zenthra setup");
  press = -1;  // closed without a button
  EXPECT_EQ(program.MsgBox("Remove?", ui::vbYesNo), ui::vbNo);
  EXPECT_EQ(program.MsgBox("Remove?", ui::vbYesNoCancel), ui::vbCancel);
  EXPECT_EQ(program.MsgBox("Note"), ui::vbOK);
  // A runner that clicks a button instead of returning it.
  dialogs.SetRunner([](QMessageBox& box) {
    box.button(QMessageBox::Retry)->click();
    return 0;
  });
  EXPECT_EQ(program.MsgBox("Again?", ui::vbRetryCancel), ui::vbRetry);
}

}  // namespace
}  // namespace qtui
