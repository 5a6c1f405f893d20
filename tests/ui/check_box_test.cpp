#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/core/error.h"
#include "platform/ui/check_box.h"
#include "platform/ui/command_button.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/list_box.h"
#include "platform/ui/program.h"

namespace ui {
namespace {

TEST(CheckBoxTest, ClickIsRaisedForEveryChangeOfValueAndOnlyThen) {
  CheckBox box("Check1");
  std::vector<int> seen;
  box.OnClick([&] { seen.push_back(box.Value()); });

  box.Value(1);  // from code
  box.Value(1);  // same value: nothing
  box.Value(0);
  box.Value(2);
  EXPECT_EQ(seen, (std::vector<int>{1, 0, 2}));

  EXPECT_TRUE(box.Click());  // grayed -> clear
  EXPECT_TRUE(box.Click());  // clear -> ticked
  EXPECT_EQ(seen, (std::vector<int>{1, 0, 2, 0, 1}));
}

TEST(CheckBoxTest, InvalidValueIsRefusedWithoutChangeOrClick) {
  CheckBox box("Check1");
  int clicks = 0;
  box.OnClick([&] { ++clicks; });
  for (int bad : {-1, 3, 255}) {
    try {
      box.Value(bad);
      ADD_FAILURE() << "value " << bad << " accepted";
    } catch (const core::RuntimeError& e) {
      EXPECT_EQ(e.Number(), err::kInvalidPropertyValue);
      EXPECT_NE(e.Description().find("Check1.Value"), std::string::npos);
    }
  }
  EXPECT_EQ(box.Value(), 0);
  EXPECT_EQ(clicks, 0);
}

TEST(CheckBoxTest, UserClickIsIgnoredOnDisabledOrHiddenBox) {
  CheckBox box("Check1");
  int clicks = 0;
  box.OnClick([&] { ++clicks; });
  box.Enabled(false);
  EXPECT_FALSE(box.Click());
  box.Enabled(true);
  box.Visible(false);
  EXPECT_FALSE(box.Click());
  EXPECT_EQ(box.Value(), 0);
  EXPECT_EQ(clicks, 0);
  // Code still sets a disabled box, and that still raises Click.
  box.Value(1);
  EXPECT_EQ(clicks, 1);
}

// The selection guard of the window: a handler that refuses a tick with a
// message box and sets the value back to 0.
struct Guard {
  ScriptedDialogs dialogs;
  Program program{dialogs};
  CheckBox box{"Check3"};
  ListBox list{"MbxInstList"};
  int runs = 0;

  Guard() {
    box.OnClick([this] {
      ++runs;
      if (box.Value() > 0 && list.SelCount() < 1) {
        program.MsgBox("Please select the mailbox(es) for registration", vbInformation,
                       "Zenthra setup");
        box.Value(0);
      }
    });
  }
};

TEST(CheckBoxTest, ReentrantGuardEndsClearWithExactlyOneMessage) {
  Guard g;
  g.list.AddItem("a / B / a@x / a");

  // By code and by the user alike.
  for (bool by_user : {false, true}) {
    g.dialogs.ClearShown();
    g.runs = 0;
    if (by_user) {
      g.box.Click();
    } else {
      g.box.Value(1);
    }
    EXPECT_EQ(g.box.Value(), 0);
    ASSERT_EQ(g.dialogs.Shown().size(), 1u);
    EXPECT_EQ(g.dialogs.Shown()[0].prompt, "Please select the mailbox(es) for registration");
    EXPECT_EQ(g.dialogs.Shown()[0].Icon(), vbInformation);
    EXPECT_EQ(g.dialogs.Shown()[0].title, "Zenthra setup");
    EXPECT_EQ(g.runs, 2);  // the refused tick, then the nested run that finds 0
  }

  // With a selection the tick stays, and clearing the selection later leaves it.
  g.dialogs.ClearShown();
  g.list.Selected(0, true);
  g.box.Value(1);
  EXPECT_EQ(g.box.Value(), 1);
  EXPECT_TRUE(g.dialogs.Shown().empty());
  g.list.Selected(0, false);
  EXPECT_EQ(g.box.Value(), 1);
}

TEST(CheckBoxTest, RunawayHandlerGetsOutOfStackSpaceAndBoxStaysUsable) {
  CheckBox box("Check1");
  int runs = 0;
  box.OnClick([&] {
    ++runs;
    box.Value(box.Value() == 0 ? 1 : 0);
  });
  try {
    box.Value(1);
    FAIL() << "endless re-entry was not stopped";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), err::kOutOfStackSpace);
  }
  EXPECT_EQ(runs, kMaxEventNesting);

  // The nesting count unwound with the error: a sane handler works afterwards.
  runs = 0;
  box.OnClick([&] { ++runs; });
  box.Value(box.Value() == 0 ? 1 : 0);
  EXPECT_EQ(runs, 1);
}

TEST(CheckBoxTest, HandlerMayReplaceItselfWhileRunning) {
  CheckBox box("Check1");
  std::string log;
  box.OnClick([&] {
    log += "first;";
    box.OnClick([&] { log += "second;"; });
    log += "still-first;";
  });
  box.Value(1);
  box.Value(0);
  EXPECT_EQ(log, "first;still-first;second;");
}

TEST(CommandButtonTest, ClickRaisesOnlyWhenAUserCouldPress) {
  CommandButton button("Command3");
  int presses = 0;
  button.OnClick([&] { ++presses; });
  EXPECT_TRUE(button.Click());
  button.Visible(false);  // hidden at start, like Clear Error Log
  EXPECT_FALSE(button.Click());
  button.Visible(true);
  button.Enabled(false);
  EXPECT_FALSE(button.Click());
  EXPECT_EQ(presses, 1);
}

TEST(ControlTest, ObserverHearsRealChangesOnly) {
  CheckBox box("Check7");
  std::vector<Property> heard;
  box.SetObserver([&](Control& c, Property p) {
    EXPECT_EQ(&c, &box);
    heard.push_back(p);
  });
  box.Caption("Show disabled");
  box.Caption("Show disabled");
  box.Move(480, 2760, 1440, 255);
  box.Move(480, 2760, 1440, 255);
  box.Value(1);
  box.Value(1);
  box.Enabled(false);
  box.Enabled(false);
  box.TabIndex(21);
  EXPECT_EQ(heard, (std::vector<Property>{Property::Caption, Property::Geometry, Property::Value,
                                          Property::Enabled, Property::TabIndex}));
  EXPECT_EQ(box.Left(), 480);
  EXPECT_EQ(box.Height(), 255);

  EXPECT_THROW(box.Width(-1), core::RuntimeError);
  EXPECT_EQ(box.Width(), 1440);
  EXPECT_THROW(box.TabIndex(-1), core::RuntimeError);
}

}  // namespace
}  // namespace ui
