#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/ui/dialogs.h"
#include "platform/ui/form.h"
#include "platform/ui/program.h"

namespace ui {
namespace {

TEST(DialogsTest, ScriptedAnswersAndRecordOfEveryBox) {
  ScriptedDialogs dialogs;
  Program program(dialogs);
  dialogs.Answer(vbNo);
  dialogs.Answer(vbYes);
  EXPECT_EQ(program.MsgBox("Continue?", vbYesNo + vbQuestion, "Zenthra setup"), vbNo);
  EXPECT_EQ(program.MsgBox("Really?", vbYesNo + vbDefaultButton2, "T"), vbYes);
  // A box with only OK needs no script.
  EXPECT_EQ(program.MsgBox("Please fill the Identity and Password fields", vbExclamation,
                           "Zenthra setup"),
            vbOK);
  EXPECT_EQ(dialogs.PendingAnswers(), 0u);

  const auto& shown = dialogs.Shown();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0].prompt, "Continue?");
  EXPECT_EQ(shown[0].Buttons(), vbYesNo);
  EXPECT_EQ(shown[0].Icon(), vbQuestion);
  EXPECT_EQ(shown[1].DefaultButton(), vbDefaultButton2);
  EXPECT_EQ(shown[2].style, 48);
  EXPECT_EQ(shown[2].Icon(), vbExclamation);
  EXPECT_EQ(shown[2].Buttons(), vbOKOnly);
  EXPECT_EQ(shown[2].title, "Zenthra setup");
}

TEST(DialogsTest, ProbeSeesTheStateWhileTheBoxIsUp) {
  ScriptedDialogs dialogs;
  Program program(dialogs);
  Form form(program, "InstallForm");
  std::vector<int> pointers;
  dialogs.WhileShown([&](const MessageBox& box) {
    EXPECT_EQ(box.prompt, "Please fill the Identity and Password fields");
    pointers.push_back(form.MousePointer());
  });
  form.MousePointer(vbHourglass);
  program.MsgBox("Please fill the Identity and Password fields", vbExclamation, "Zenthra setup");
  form.MousePointer(vbDefault);
  EXPECT_EQ(pointers, (std::vector<int>{vbHourglass}));
}

TEST(DialogsTest, ScriptFaultsAreNotTakenForAnswers) {
  ScriptedDialogs dialogs;
  Program program(dialogs);
  // A question with nothing scripted.
  EXPECT_THROW(program.MsgBox("Continue?", vbYesNo, "T"), std::logic_error);
  // An answer the box does not offer; the box is still on record.
  dialogs.Answer(vbYes);
  EXPECT_THROW(program.MsgBox("Done", vbInformation, "T"), std::logic_error);
  EXPECT_EQ(dialogs.PendingAnswers(), 0u);
  EXPECT_EQ(dialogs.Shown().size(), 2u);
  // An unknown button set.
  EXPECT_THROW(program.MsgBox("?", 7, "T"), std::logic_error);

  EXPECT_EQ(ButtonResults(vbYesNoCancel + vbCritical), (std::vector<int>{vbYes, vbNo, vbCancel}));
  EXPECT_EQ(ButtonResults(vbOKCancel), (std::vector<int>{vbOK, vbCancel}));
}

}  // namespace
}  // namespace ui
