#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/core/error.h"
#include "platform/ui/ui.h"

namespace ui {
namespace {

struct Fixture : ::testing::Test {
  ScriptedDialogs dialogs;
  Program program{dialogs};
  std::vector<std::string> log;
  int ends = 0;

  Fixture() {
    program.SetEndHook([this] { ++ends; });
  }
  void Record(Form& form) {
    const std::string n = form.Name() + ".";
    form.OnLoad([this, n] { log.push_back(n + "Load"); });
    form.OnActivate([this, n] { log.push_back(n + "Activate"); });
    form.OnDeactivate([this, n] { log.push_back(n + "Deactivate"); });
    form.OnUnload([this, n] { log.push_back(n + "Unload"); });
  }
};

using FormTest = Fixture;

TEST_F(FormTest, LoadOnFirstShowActivateEachTimeItBecomesActive) {
  Form form(program, "InstallForm");
  Record(form);
  form.Show();
  form.Show();  // already shown and active: nothing
  EXPECT_EQ(log, (std::vector<std::string>{"InstallForm.Load", "InstallForm.Activate"}));
  EXPECT_TRUE(form.Loaded());
  EXPECT_TRUE(form.Visible());
  EXPECT_TRUE(form.Active());
  EXPECT_EQ(program.ActiveForm(), &form);

  log.clear();
  form.Deactivate();  // the user switched to another program
  form.Activate();    // and back
  form.Hide();
  form.Activate();  // a hidden form cannot become active
  form.Show();
  EXPECT_EQ(log, (std::vector<std::string>{"InstallForm.Deactivate", "InstallForm.Activate",
                                           "InstallForm.Deactivate", "InstallForm.Activate"}));

  log.clear();
  form.Unload();
  form.Unload();  // not loaded any more: nothing
  EXPECT_EQ(log, (std::vector<std::string>{"InstallForm.Unload", "InstallForm.Deactivate"}));
  EXPECT_FALSE(form.Loaded());
  EXPECT_FALSE(form.Visible());
  EXPECT_EQ(program.ActiveForm(), nullptr);
  EXPECT_TRUE(program.Ended());  // the last loaded form is gone
  EXPECT_EQ(ends, 1);
}

TEST_F(FormTest, DisclaimerHandsOverToTheSetupWindowWhichUnloadsItselfOnActivate) {
  Form disclaimer(program, "Disclaimer");
  Form setup(program, "InstallForm");
  CommandButton& yes = disclaimer.Add<CommandButton>("Command1");
  Record(disclaimer);
  Record(setup);
  std::vector<int> pointers;
  yes.OnClick([&] {
    disclaimer.MousePointer(vbHourglass);
    setup.Show();
    pointers.push_back(disclaimer.MousePointer());
    disclaimer.MousePointer(vbDefault);
    disclaimer.Unload();
  });
  setup.OnActivate([&] {
    log.push_back("InstallForm.Activate");
    setup.Unload();  // batch mode: the job is done, exit
  });

  disclaimer.Show();
  log.clear();
  yes.Click();
  EXPECT_EQ(log, (std::vector<std::string>{"InstallForm.Load", "Disclaimer.Deactivate",
                                           "InstallForm.Activate", "InstallForm.Unload",
                                           "InstallForm.Deactivate", "Disclaimer.Unload"}));
  EXPECT_EQ(pointers, (std::vector<int>{vbHourglass}));
  EXPECT_EQ(disclaimer.MousePointer(), vbDefault);
  EXPECT_FALSE(setup.Loaded());
  EXPECT_FALSE(setup.Visible());
  EXPECT_EQ(program.LoadedFormCount(), 0);
  EXPECT_EQ(ends, 1);  // once, when the disclaimer went as the last form
}

TEST_F(FormTest, UnloadFromLoadStopsTheShowAndUnloadIsNotReentered) {
  Form form(program, "F");
  Record(form);
  form.OnLoad([&] {
    log.push_back("F.Load");
    form.Unload();
  });
  form.OnUnload([&] {
    log.push_back("F.Unload");
    form.Unload();  // a second unload from inside the first: ignored
  });
  form.Show();
  EXPECT_EQ(log, (std::vector<std::string>{"F.Load", "F.Unload"}));
  EXPECT_FALSE(form.Visible());
  EXPECT_FALSE(form.Active());

  // A later Show loads afresh.
  log.clear();
  form.OnLoad([&] { log.push_back("F.Load"); });
  form.Show();
  EXPECT_EQ(log, (std::vector<std::string>{"F.Load", "F.Activate"}));
}

TEST_F(FormTest, EndStopsTheProgramOnceWithFormsStillLoaded) {
  Form form(program, "Disclaimer");
  form.Show();
  program.End();  // "No" on the disclaimer
  program.End();
  EXPECT_TRUE(program.Ended());
  EXPECT_EQ(ends, 1);
  EXPECT_TRUE(form.Loaded());  // nothing was unloaded in an orderly way
}

TEST_F(FormTest, MousePointerTakesThePlatformValues) {
  Form form(program, "InstallForm");
  std::vector<int> heard;
  form.SetObserver([&](Form& f, Property p) {
    if (p == Property::MousePointer) heard.push_back(f.MousePointer());
  });
  EXPECT_EQ(form.MousePointer(), vbDefault);
  form.MousePointer(vbHourglass);
  form.MousePointer(vbHourglass);
  form.MousePointer(vbDefault);
  form.MousePointer(vbCustom);
  EXPECT_EQ(heard, (std::vector<int>{11, 0, 99}));
  for (int bad : {-1, 16, 98, 100}) {
    try {
      form.MousePointer(bad);
      ADD_FAILURE() << bad << " accepted";
    } catch (const core::RuntimeError& e) {
      EXPECT_EQ(e.Number(), err::kInvalidPropertyValue);
    }
  }
  EXPECT_EQ(form.MousePointer(), vbCustom);
}

TEST_F(FormTest, ControlsComeInTabOrderAndNamesAreUnique) {
  Form form(program, "Disclaimer");
  form.ClientSize(4920, 4905);
  Label& text = form.Add<Label>("Label1");
  Label& question = form.Add<Label>("Label2");
  CommandButton& yes = form.Add<CommandButton>("Command1");
  CommandButton& no = form.Add<CommandButton>("Command2");
  question.TabIndex(3);
  yes.TabIndex(1);
  no.TabIndex(2);
  std::vector<std::string> order;
  for (Control* c : form.Controls()) order.push_back(c->Name());
  EXPECT_EQ(order, (std::vector<std::string>{"Label1", "Command1", "Command2", "Label2"}));
  EXPECT_EQ(form.FindControl("Command2"), &no);
  EXPECT_EQ(form.FindControl("command2"), nullptr);
  EXPECT_EQ(form.FindControl("Label1")->Kind(), ControlKind::Label);
  (void)text;

  EXPECT_THROW(form.Add<TextBox>("Label1"), core::RuntimeError);
  EXPECT_THROW(form.Add<TextBox>(""), core::RuntimeError);
  EXPECT_EQ(form.Controls().size(), 4u);
  EXPECT_THROW(form.ClientSize(-1, 10), core::RuntimeError);
  EXPECT_EQ(form.ClientWidth(), 4920);
}

TEST_F(FormTest, DoEventsRunsTheFrontEndHookWhichMayReenter) {
  program.DoEvents();  // headless: nothing happens
  Form form(program, "InstallForm");
  CommandButton& change = form.Add<CommandButton>("Command1");
  int applies = 0;
  change.OnClick([&] { ++applies; });
  int pumps = 0;
  program.SetDoEventsHook([&] {
    ++pumps;
    if (pumps == 2) change.Click();  // a click that was waiting in the queue
  });
  for (int record = 0; record < 3; ++record) program.DoEvents();
  EXPECT_EQ(pumps, 3);
  EXPECT_EQ(applies, 1);
}

TEST_F(FormTest, DisabledFormTakesNoUserInputButCodeStillWorks) {
  Form form(program, "InstallForm");
  CheckBox& box = form.Add<CheckBox>("Check3");
  TextBox& text = form.Add<TextBox>("txtPriority");
  ListBox& list = form.Add<ListBox>("MbxInstList");
  list.AddItem("a");
  form.Enabled(false);
  EXPECT_FALSE(box.Click());
  EXPECT_FALSE(text.Type("1"));
  EXPECT_FALSE(list.Click(0));
  EXPECT_EQ(box.Value(), 0);
  EXPECT_EQ(text.Text(), "");
  EXPECT_EQ(list.SelCount(), 0);
  box.Value(1);
  list.Selected(0, true);
  EXPECT_EQ(box.Value(), 1);
  EXPECT_EQ(list.SelCount(), 1);

  // Keys typed after a handler disabled the form go nowhere.
  form.Enabled(true);
  text.OnChange([&] { form.Enabled(false); });
  EXPECT_TRUE(text.Type("123"));
  EXPECT_EQ(text.Text(), "1");
}

TEST_F(FormTest, DestroyedFormLeavesTheProgram) {
  {
    Form form(program, "Temp");
    form.Show();
    EXPECT_EQ(program.Forms().size(), 1u);
  }
  EXPECT_TRUE(program.Forms().empty());
  EXPECT_EQ(program.ActiveForm(), nullptr);
}

}  // namespace
}  // namespace ui
