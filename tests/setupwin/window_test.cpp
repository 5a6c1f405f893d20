// The setup window's controls as an administrator uses them: the selection
// guards, Select All / Deselect All, the priority box, Clear Error Log and
// the progress bar.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "tests/setupwin/window_fixture.h"

namespace {

using setupwintest::Raised;
using setupwintest::WindowTest;

using ControlsTest = WindowTest;

TEST_F(ControlsTest, StartStateHidesTheLogAndBarAndMasksThePassword) {
  // The design values were set before the handlers: no listing, no box.
  EXPECT_EQ(form_->Check7.Value(), ui::vbChecked);
  EXPECT_EQ(form_->txtPriority.Text(), "65500");
  EXPECT_TRUE(dialogs_.Shown().empty());
  EXPECT_FALSE(form_->Command3.Visible());
  EXPECT_FALSE(form_->txtErr.Visible());
  EXPECT_FALSE(form_->Picture1.Visible());
  form_->txtPwd.Text("secret");
  EXPECT_EQ(form_->txtPwd.DisplayText(), "******");
}

struct Guard {
  ui::CheckBox* box;
  ui::ListBox* list;
  const char* prompt;
};

TEST_F(ControlsTest, RegistrationBoxesRefuseATickWithoutASelection) {
  setup::InstallForm& f = *form_;
  const Guard guards[] = {
      {&f.Check2, &f.SysMbxInstList, "Please select the mailbox(es) for registration"},
      {&f.Check3, &f.MbxInstList, "Please select the mailbox(es) for registration"},
      {&f.Check4, &f.MbxUninstList, "Please select the mailbox(es) for unregistration"},
      {&f.Check5, &f.SysMbxUninstList, "Please select the mailbox(es) for unregistration"},
  };
  form_->Caption("Zenthra setup");
  for (const Guard& g : guards) {
    SCOPED_TRACE(g.prompt);
    ui::CheckBox& box = *g.box;
    ui::ListBox& list = *g.list;
    list.AddItem("A / SRV1 / a@example.com / a");
    list.AddItem("B / SRV1 / b@example.com / b");
    dialogs_.ClearShown();

    // Nothing selected: one box, and the tick is taken back.
    int valueWhileShown = -1;
    dialogs_.WhileShown([&](const ui::MessageBox&) { valueWhileShown = box.Value(); });
    ASSERT_TRUE(box.Click());
    ASSERT_EQ(dialogs_.Shown().size(), 1u);
    EXPECT_EQ(dialogs_.Shown()[0].prompt, g.prompt);
    EXPECT_EQ(dialogs_.Shown()[0].style, ui::vbInformation);
    EXPECT_EQ(dialogs_.Shown()[0].title, "Zenthra setup");
    EXPECT_EQ(valueWhileShown, ui::vbChecked);
    EXPECT_EQ(box.Value(), ui::vbUnchecked);
    dialogs_.WhileShown(nullptr);

    // With a selection the tick stays, and clearing the selection later
    // does not take it back.
    list.Click(1);
    ASSERT_TRUE(box.Click());
    EXPECT_EQ(box.Value(), ui::vbChecked);
    list.Click(1);
    EXPECT_EQ(list.SelCount(), 0);
    EXPECT_EQ(box.Value(), ui::vbChecked);
    // Clearing the box asks nothing.
    ASSERT_TRUE(box.Click());
    EXPECT_EQ(box.Value(), ui::vbUnchecked);
    EXPECT_EQ(dialogs_.Shown().size(), 1u);
  }
}

TEST_F(ControlsTest, SelectAllAndDeselectAllWorkOnTheirOwnList) {
  for (const char* e : {"a", "b", "c"}) {
    form_->MbxInstList.AddItem(e);
    form_->MbxUninstList.AddItem(e);
  }
  form_->MbxInstList.Click(1);

  ASSERT_TRUE(form_->Command4.Click());
  EXPECT_EQ(form_->MbxInstList.SelCount(), 3);
  EXPECT_EQ(form_->MbxUninstList.SelCount(), 0);
  ASSERT_TRUE(form_->Command6.Click());
  EXPECT_EQ(form_->MbxUninstList.SelCount(), 3);

  // A ticked unregister box outlives Deselect All.
  ASSERT_TRUE(form_->Check4.Click());
  ASSERT_TRUE(form_->Command7.Click());
  EXPECT_EQ(form_->MbxUninstList.SelCount(), 0);
  EXPECT_EQ(form_->Check4.Value(), ui::vbChecked);
  EXPECT_EQ(form_->MbxInstList.SelCount(), 3);
  ASSERT_TRUE(form_->Command5.Click());
  EXPECT_EQ(form_->MbxInstList.SelCount(), 0);

  // Empty lists: nothing to select, no error.
  form_->MbxInstList.Clear();
  EXPECT_TRUE(form_->Command4.Click());
  EXPECT_TRUE(dialogs_.Shown().empty());
}

using PriorityTest = WindowTest;

TEST_F(PriorityTest, KeysOtherThanDigitsBackspaceAndBlankAreDropped) {
  ui::TextBox& box = form_->txtPriority;
  ComPlus::LastValidPriority = "65500";
  box.Text("");  // invalid: the last valid text comes back
  EXPECT_EQ(box.Text(), "65500");

  box.Type("a-x.+");
  EXPECT_EQ(box.Text(), "65500");
  box.Type("\x16");  // the paste shortcut
  EXPECT_EQ(box.Text(), "65500");

  box.Type("\b\b\b");
  EXPECT_EQ(box.Text(), "65");
  EXPECT_EQ(ComPlus::LastValidPriority, "65");
  box.Type("4");
  EXPECT_EQ(box.Text(), "654");
  EXPECT_EQ(ComPlus::LastValidPriority, "654");
}

TEST_F(PriorityTest, OutOfRangeAndNonNumbersSnapBackValidTextIsKeptAsTyped) {
  ui::TextBox& box = form_->txtPriority;
  ComPlus::LastValidPriority = "65500";

  // A sixth digit.
  box.Type("0");
  EXPECT_EQ(box.Text(), "65500");

  // A blank before the number is kept, and is what is stored as valid.
  box.SelStart(0);
  box.Type(" ");
  EXPECT_EQ(box.Text(), " 65500");
  EXPECT_EQ(ComPlus::LastValidPriority, " 65500");

  // Deleting every digit: the last valid text comes back at once.
  box.SelStart(0);
  box.SelLength(6);
  box.Type("\b");
  EXPECT_EQ(box.Text(), " 65500");

  box.SelStart(0);
  box.SelLength(6);
  box.Paste("70000");
  EXPECT_EQ(box.Text(), " 65500");

  box.SelStart(0);
  box.SelLength(6);
  box.Paste("1.5");
  EXPECT_EQ(box.Text(), "1.5");
  EXPECT_EQ(ComPlus::LastValidPriority, "1.5");

  // 65535.5 rounds to the even 65536: out of range; 65534.5 to 65534.
  box.Text("65535.5");
  EXPECT_EQ(box.Text(), "1.5");
  box.Text("65534.5");
  EXPECT_EQ(box.Text(), "65534.5");
  box.Text("65535");
  EXPECT_EQ(box.Text(), "65535");
  for (const char* text : {"+5", " .5 ", "5."}) {
    box.Text(text);
    EXPECT_EQ(box.Text(), text);
  }

  // No lower bound, but a number beyond 32 bits either way is refused.
  box.Text("-7");
  EXPECT_EQ(box.Text(), "-7");
  box.Text("99999999999");
  EXPECT_EQ(box.Text(), "-7");
  box.Text("-99999999999");
  EXPECT_EQ(box.Text(), "-7");

  // Neither number nor blank: exponents, hex, two points, a lone sign.
  for (const char* text : {"1e3", "&H10", "1.2.3", "-", " ", "12 3", "inf", "nan"}) {
    box.Text(text);
    EXPECT_EQ(box.Text(), "-7") << text;
  }
  EXPECT_FALSE(ComPlus::PriorityChanging);
}

TEST_F(PriorityTest, BeforeAnyValidTextAnInvalidEditEmptiesTheBoxAndCodeWritesAreLeftAlone) {
  ui::TextBox& box = form_->txtPriority;
  box.Paste("x");
  EXPECT_EQ(box.Text(), "");
  EXPECT_EQ(ComPlus::LastValidPriority, "");

  // While the read-back writes the box, the handler keeps out.
  ComPlus::PriorityChanging = true;
  box.Text("not a number");
  EXPECT_EQ(box.Text(), "not a number");
  EXPECT_FALSE(ComPlus::PriorityChanging);
}

TEST_F(ControlsTest, ClearErrorLogEmptiesAndHidesLogAndButton) {
  form_->txtErr.Text("[2026-12-07 04:00:00]  - ERROR: 5 x\r\n\r\n");
  form_->txtErr.Visible(true);
  form_->Command3.Visible(true);
  ASSERT_TRUE(form_->Command3.Click());
  EXPECT_EQ(form_->txtErr.Text(), "");
  EXPECT_FALSE(form_->txtErr.Visible());
  EXPECT_FALSE(form_->Command3.Visible());
}

TEST_F(ControlsTest, CurrentUserNameIsTheLoginNameWithoutTerminator) {
  const std::string name = form_->GetCurrentUserName();
  EXPECT_EQ(name, setupwintest::CurrentUser());
  EXPECT_EQ(name.find('\0'), std::string::npos);
  EXPECT_EQ(name.find(' '), std::string::npos);
}

// --- Progress bar ---

// The text printed and the bar drawn by the last UpdateStatus.
struct Drawn {
  std::string text;
  double textX = -1;
  double barRight = -1;
  double barBottom = -1;
};

Drawn LastDrawing(const ui::PictureBox& picture) {
  Drawn d;
  for (const ui::DrawOp& op : picture.DisplayList()) {
    if (op.kind == ui::DrawKind::Text) {
      d.text = op.text;
      d.textX = op.x1;
    }
    if (op.kind == ui::DrawKind::BoxFilled) {
      d.barRight = op.x2;
      d.barBottom = op.y2;
    }
  }
  return d;
}

using ProgressTest = WindowTest;

TEST_F(ProgressTest, ThirdsShowRoundedPercentagesAndAGrowingBar) {
  ui::PictureBox& p = form_->Picture1;
  p.ScaleWidth(3);
  p.ForeColor(ui::vbBlue);
  form_->FileBytes = 0;
  const char* texts[] = {"33%", "67%", "100%"};
  for (int i = 0; i < 3; ++i) {
    form_->UpdateStatus(1);
    const Drawn d = LastDrawing(p);
    EXPECT_EQ(d.text, texts[i]);
    EXPECT_EQ(d.barRight, i + 1);
    EXPECT_EQ(d.barBottom, p.ScaleHeight());
    // Redrawn from nothing: one text and one bar.
    EXPECT_EQ(p.DisplayList().size(), 2u);
  }
  const ui::DrawOp& bar = p.DisplayList().back();
  EXPECT_EQ(bar.color, ui::vbBlue);
  EXPECT_EQ(bar.x1, 0);
  EXPECT_EQ(bar.y1, 0);
}

TEST_F(ProgressTest, HalvesRoundToEvenAndTheTextIsCentred) {
  ui::PictureBox& p = form_->Picture1;
  p.FontBold(true);
  p.ScaleWidth(8);
  form_->FileBytes = 0;
  form_->UpdateStatus(1);
  EXPECT_EQ(LastDrawing(p).text, "12%");
  form_->UpdateStatus(2);
  EXPECT_EQ(LastDrawing(p).text, "38%");

  // Centred in whole units: (8 - width of "38%") rounded, halved toward zero.
  const double free = 8 - p.TextWidth("38%");
  EXPECT_EQ(LastDrawing(p).textX, std::trunc(std::nearbyint(free) / 2));
  EXPECT_EQ(p.DisplayList().front().y1,
            std::trunc(std::nearbyint(p.ScaleHeight() - p.TextHeight("38%")) / 2));
}

TEST_F(ProgressTest, PastTheEndStopsAtFullWidthOverflowIsAnError) {
  ui::PictureBox& p = form_->Picture1;
  p.ScaleWidth(5);
  form_->FileBytes = 4;
  form_->UpdateStatus(7);
  EXPECT_EQ(form_->FileBytes, 5);
  EXPECT_EQ(LastDrawing(p).text, "100%");
  EXPECT_EQ(LastDrawing(p).barRight, 5);

  // A fractional scale is rounded to even when the bar is stopped.
  p.ScaleWidth(2.5);
  form_->FileBytes = 0;
  form_->UpdateStatus(3);
  EXPECT_EQ(form_->FileBytes, 2);

  const auto before = p.DisplayList().size();
  form_->FileBytes = std::numeric_limits<std::int32_t>::max();
  const core::RuntimeError e = Raised([&] { form_->UpdateStatus(1); });
  EXPECT_EQ(e.Number(), core::err::kOverflow);
  EXPECT_EQ(form_->FileBytes, std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(p.DisplayList().size(), before);
}

}  // namespace
