#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <string>
#include <vector>

#include "platform/core/error.h"
#include "platform/qtui/qt_front_end.h"
#include "platform/ui/ui.h"

namespace qtui {
namespace {

// A cut-down setup window: one control of each kind, laid out in twips.
struct SetupForm {
  explicit SetupForm(ui::Program& program) : form(program, "InstallForm") {
    form.Caption("Zenthra setup");
    form.ClientSize(9630, 7830);
    check2.Caption("Register store-wide");
    check2.Move(120, 1545, 1695, 375);
    check2.TabIndex(8);
    ident.Move(2640, 15, 2055, 285);
    ident.TabIndex(13);
    pwd.PasswordChar("*");
    pwd.Move(7560, 20, 2055, 285);
    pwd.TabIndex(15);
    label.Caption("Identity:");
    label.Move(2070, 30, 615, 255);
    label.TabIndex(16);
    priority.Text("65500");
    priority.Move(6960, 1200, 550, 285);
    priority.TabIndex(33);
    list.Move(1920, 1560, 7695, 645);
    list.TabIndex(23);
    err.MultiLine(true);
    err.ScrollBars(ui::ScrollBars::Vertical);
    err.Visible(false);
    err.Move(1920, 6000, 7695, 1095);
    err.TabIndex(17);
    change.Caption("CHANGE");
    change.Move(3120, 7245, 1575, 375);
    change.TabIndex(2);
    exit.Caption("Exit");
    exit.Move(5040, 7245, 1575, 375);
    exit.TabIndex(3);
    pic.Move(240, 6360, 9135, 375);
    pic.TabIndex(24);
  }
  ui::Form form;
  ui::CheckBox& check2 = form.Add<ui::CheckBox>("Check2");
  ui::TextBox& ident = form.Add<ui::TextBox>("txtIdent");
  ui::TextBox& pwd = form.Add<ui::TextBox>("txtPwd");
  ui::Label& label = form.Add<ui::Label>("Label3");
  ui::TextBox& priority = form.Add<ui::TextBox>("txtPriority");
  ui::ListBox& list = form.Add<ui::ListBox>("SysMbxInstList");
  ui::TextBox& err = form.Add<ui::TextBox>("txtErr");
  ui::CommandButton& change = form.Add<ui::CommandButton>("Command1");
  ui::CommandButton& exit = form.Add<ui::CommandButton>("Command2");
  ui::PictureBox& pic = form.Add<ui::PictureBox>("Picture1");
};

class FrontEndTest : public ::testing::Test {
 protected:
  FrontEndTest() : program_(scripted_), setup_(program_) {}

  template <typename W>
  W* W_(const ui::Control& c) {
    auto* w = dynamic_cast<W*>(front_end_->Widget(c));
    EXPECT_NE(w, nullptr) << c.Name();
    return w;
  }

  void Start() {
    front_end_ = std::make_unique<QtFrontEnd>(program_);
    front_end_->SetErrorHandler([this](const std::exception& e) { errors_.push_back(e.what()); });
    // Boxes are answered by the test instead of a user.
    front_end_->dialogs().SetRunner([this](QMessageBox& box) {
      boxes_.push_back(box.text().toStdString());
      return static_cast<int>(QMessageBox::Ok);
    });
  }

  ui::ScriptedDialogs scripted_;
  ui::Program program_;
  SetupForm setup_;
  std::unique_ptr<QtFrontEnd> front_end_;
  std::vector<std::string> errors_;
  std::vector<std::string> boxes_;
};

TEST_F(FrontEndTest, WidgetsStandWhereTheTwipsSayWithCaptionsAndStates) {
  Start();
  QWidget* window = front_end_->Window(setup_.form);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->windowTitle(), "Zenthra setup");
  EXPECT_EQ(window->size(), QSize(642, 522));  // 9630 x 7830 twips
  EXPECT_FALSE(window->isVisible());           // not shown yet

  auto* check = W_<QCheckBox>(setup_.check2);
  EXPECT_EQ(check->geometry(), QRect(8, 103, 113, 25));
  ASSERT_NE(check->findChild<QLabel*>(), nullptr);
  EXPECT_EQ(check->findChild<QLabel*>()->text(), "Register store-wide");
  EXPECT_TRUE(check->findChild<QLabel*>()->wordWrap());  // long captions wrap
  auto* pwd = W_<QLineEdit>(setup_.pwd);
  EXPECT_EQ(pwd->geometry(), QRect(504, 1, 137, 19));  // 20 twips round to 1 pixel
  auto* label = W_<QLabel>(setup_.label);
  EXPECT_EQ(label->text(), "Identity:");
  EXPECT_TRUE(label->wordWrap());
  EXPECT_EQ(label->textFormat(), Qt::PlainText);
  EXPECT_EQ(W_<QLineEdit>(setup_.priority)->text(), "65500");
  EXPECT_EQ(W_<QPushButton>(setup_.change)->text(), "CHANGE");
  auto* err = W_<QPlainTextEdit>(setup_.err);
  EXPECT_EQ(err->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_TRUE(err->isHidden());

  // Password echo shows the mask character, never the text.
  setup_.pwd.Text("s3cret");
  EXPECT_EQ(pwd->text(), "s3cret");
  EXPECT_EQ(pwd->displayText(), "******");

  // Later model changes are mirrored.
  setup_.form.Caption("Zenthra setup - batch mode");
  EXPECT_EQ(window->windowTitle(), "Zenthra setup - batch mode");
  setup_.err.Visible(true);
  EXPECT_FALSE(err->isHidden());
  setup_.check2.Enabled(false);
  EXPECT_FALSE(check->isEnabled());
  setup_.label.Caption("<b>Password:</b>");
  EXPECT_EQ(label->text(), "<b>Password:</b>");
  setup_.exit.Move(15, 30, 150, 300);
  EXPECT_EQ(W_<QPushButton>(setup_.exit)->geometry(), QRect(1, 2, 10, 20));
  setup_.form.ClientSize(1500, 1500);
  EXPECT_EQ(window->size(), QSize(100, 100));
}

TEST_F(FrontEndTest, TabOrderFollowsTabIndex) {
  Start();
  // Focusable controls by TabIndex: Command1 2, Command2 3, Check2 8,
  // txtIdent 13, txtPwd 15, txtErr 17, SysMbxInstList 23, txtPriority 33.
  const std::vector<const ui::Control*> expected = {&setup_.change, &setup_.exit,    &setup_.check2,
                                                    &setup_.ident,  &setup_.pwd,     &setup_.err,
                                                    &setup_.list,   &setup_.priority};
  auto chain_from = [&](QWidget* start) {
    std::vector<QWidget*> chain{start};
    for (QWidget* w = start->nextInFocusChain(); w != start && chain.size() < 40;
         w = w->nextInFocusChain()) {
      if (w->focusPolicy() & Qt::TabFocus) chain.push_back(w);
    }
    return chain;
  };
  std::vector<QWidget*> chain = chain_from(front_end_->Widget(setup_.change));
  ASSERT_EQ(chain.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(chain[i], front_end_->Widget(*expected[i])) << i;
  }
  // Moving a control in the tab order moves its widget.
  setup_.priority.TabIndex(0);
  chain = chain_from(front_end_->Widget(setup_.priority));
  ASSERT_EQ(chain.size(), expected.size());
  EXPECT_EQ(chain[1], front_end_->Widget(setup_.change));
  EXPECT_EQ(chain.back(), front_end_->Widget(setup_.list));
}

TEST_F(FrontEndTest, ClickingACheckBoxRaisesClickOnceAndTheModelDecides) {
  int clicks = 0;
  std::vector<int> seen;
  setup_.check2.OnClick([&] {
    ++clicks;
    seen.push_back(setup_.check2.Value());
    // The guard of the setup window: no tick without a selection.
    if (setup_.check2.Value() > 0 && setup_.list.SelCount() < 1) {
      program_.MsgBox("Please select the mailbox(es) for registration", ui::vbInformation,
                      setup_.form.Caption());
      setup_.check2.Value(0);
    }
  });
  Start();
  setup_.form.Show();
  auto* check = W_<QCheckBox>(setup_.check2);

  // Refused: the box is shown, Click runs twice (the refusal nests), the
  // widget ends clear.
  QTest::mouseClick(check, Qt::LeftButton);
  EXPECT_EQ(seen, (std::vector<int>{1, 0}));
  EXPECT_EQ(boxes_, (std::vector<std::string>{"Please select the mailbox(es) for registration"}));
  EXPECT_EQ(setup_.check2.Value(), 0);
  EXPECT_EQ(check->checkState(), Qt::Unchecked);

  // Accepted: one Click, widget ticked.
  setup_.list.AddItem("Store 1 / SRV / a@b / a");
  setup_.list.Selected(0, true);
  clicks = 0;
  QTest::mouseClick(check, Qt::LeftButton);
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(setup_.check2.Value(), 1);
  EXPECT_EQ(check->checkState(), Qt::Checked);

  // A change from code updates the widget and raises Click once, not twice.
  clicks = 0;
  setup_.check2.Value(0);
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(check->checkState(), Qt::Unchecked);
  setup_.check2.Value(2);
  EXPECT_EQ(check->checkState(), Qt::PartiallyChecked);
  // Keyboard: space clicks through the model too; a grayed box becomes clear.
  check->setFocus();
  clicks = 0;
  QTest::keyClick(check, Qt::Key_Space);
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(setup_.check2.Value(), 0);

  // A disabled box takes no click.
  setup_.check2.Enabled(false);
  clicks = 0;
  QTest::mouseClick(check, Qt::LeftButton);
  EXPECT_EQ(clicks, 0);
  EXPECT_EQ(check->checkState(), Qt::Unchecked);
}

TEST_F(FrontEndTest, TypingGoesThroughKeyPressSoADroppedKeyNeverShows) {
  std::vector<int> keys;
  int changes = 0;
  setup_.priority.OnKeyPress([&](int& key) {
    keys.push_back(key);
    if (!(key >= '0' && key <= '9') && key != ui::vbKeyBack && key != ' ') key = 0;
  });
  setup_.priority.OnChange([&] { ++changes; });
  Start();
  setup_.form.Show();
  auto* edit = W_<QLineEdit>(setup_.priority);
  edit->setFocus();
  setup_.priority.Text("");
  changes = 0;
  std::vector<QString> shown;  // every text the widget ever held
  QObject::connect(edit, &QLineEdit::textChanged, [&](const QString& t) { shown.push_back(t); });

  QTest::keyClicks(edit, "6a5-");
  EXPECT_EQ(shown, (std::vector<QString>{"6", "65"}));
  EXPECT_EQ(keys, (std::vector<int>{'6', 'a', '5', '-'}));
  EXPECT_EQ(setup_.priority.Text(), "65");
  EXPECT_EQ(edit->text(), "65");
  EXPECT_EQ(changes, 2);  // one per inserted character

  QTest::keyClick(edit, Qt::Key_Backspace);
  EXPECT_EQ(keys.back(), ui::vbKeyBack);
  EXPECT_EQ(setup_.priority.Text(), "6");
  EXPECT_EQ(edit->text(), "6");
  QTest::keyClick(edit, Qt::Key_Return);  // KeyPress 13, a single-line box inserts nothing
  EXPECT_EQ(keys.back(), ui::vbKeyReturn);
  EXPECT_EQ(edit->text(), "6");

  // Caret moves in the widget reach the model: typing at the start.
  QTest::keyClick(edit, Qt::Key_Home);
  EXPECT_EQ(setup_.priority.SelStart(), 0u);
  QTest::keyClicks(edit, "1");
  EXPECT_EQ(setup_.priority.Text(), "16");
  EXPECT_EQ(edit->cursorPosition(), 1);
  // A selection made in the widget is replaced by the typed key.
  QTest::keyClick(edit, Qt::Key_End, Qt::ShiftModifier);
  EXPECT_EQ(setup_.priority.SelLength(), 1u);
  QTest::keyClicks(edit, "9");
  EXPECT_EQ(setup_.priority.Text(), "19");

  // A Change handler that rewrites the text is what the widget shows.
  setup_.priority.OnChange([&] {
    if (setup_.priority.Text().size() > 5) setup_.priority.Text("65500");
  });
  setup_.priority.Text("6550");
  QTest::keyClicks(edit, "0");
  EXPECT_EQ(edit->text(), "65500");
  QTest::keyClicks(edit, "1");
  EXPECT_EQ(setup_.priority.Text(), "65500");
  EXPECT_EQ(edit->text(), "65500");
}

TEST_F(FrontEndTest, PastingAndOtherWidgetEditsReachTheModelWithoutKeyPress) {
  std::vector<int> keys;
  int changes = 0;
  setup_.priority.OnKeyPress([&](int& key) {
    keys.push_back(key);
    key = 0;  // drops every typed key
  });
  setup_.priority.OnChange([&] { ++changes; });
  Start();
  setup_.form.Show();
  auto* edit = W_<QLineEdit>(setup_.priority);
  edit->setFocus();
  setup_.priority.Text("100");
  changes = 0;

  QGuiApplication::clipboard()->setText("7\r\nrest");
  QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
  EXPECT_TRUE(keys.empty());
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(setup_.priority.Text(), "1007");  // a single-line box keeps the first line
  EXPECT_EQ(edit->text(), "1007");

  // An edit the key filter never sees (a context menu's paste, Delete):
  // handed to the model as a paste over the replaced characters.
  edit->setCursorPosition(1);
  QTest::keyClick(edit, Qt::Key_Delete);
  EXPECT_EQ(setup_.priority.Text(), "107");
  EXPECT_EQ(changes, 2);
  edit->setSelection(0, 2);
  edit->insert("9");  // as the context menu's Paste does
  EXPECT_EQ(setup_.priority.Text(), "97");
  EXPECT_EQ(changes, 3);
  EXPECT_TRUE(keys.empty());
  EXPECT_EQ(setup_.priority.SelStart(), 1u);

  // Multi-line: typed Enter becomes CR LF in the model, one line break in the widget.
  setup_.err.Visible(true);
  auto* area = W_<QPlainTextEdit>(setup_.err);
  area->setFocus();
  QTest::keyClicks(area, "ab");
  QTest::keyClick(area, Qt::Key_Return);
  QTest::keyClicks(area, "c");
  EXPECT_EQ(setup_.err.Text(), "ab\r\nc");
  EXPECT_EQ(area->toPlainText(), "ab\nc");
  setup_.err.Text("[x] - ERROR: 5 Invalid\r\n\r\nold");
  EXPECT_EQ(area->toPlainText(), "[x] - ERROR: 5 Invalid\n\nold");
}

TEST_F(FrontEndTest, LineBreaksInASingleLineBoxAndAChangeOfEditorKind) {
  Start();
  setup_.form.Show();
  auto* edit = W_<QLineEdit>(setup_.ident);
  edit->setFocus();
  // Written from code: the line break stays in the model whatever the widget
  // shows, and typing still appends.
  setup_.ident.Text("DOMAIN\r\nuser");
  QTest::keyClicks(edit, "X");
  EXPECT_EQ(setup_.ident.Text(), "DOMAIN\r\nuserX");
  QTest::keyClick(edit, Qt::Key_Home);
  EXPECT_EQ(setup_.ident.SelStart(), 0u);

  // Becoming multi-line swaps in a multi-line editor with the same text and place.
  setup_.ident.MultiLine(true);
  auto* area = W_<QPlainTextEdit>(setup_.ident);
  EXPECT_EQ(area->toPlainText(), "DOMAIN\nuserX");
  EXPECT_EQ(area->geometry(), QRect(176, 1, 137, 19));
  EXPECT_EQ(area->objectName(), "txtIdent");
  area->setFocus();
  QTest::keyClick(area, Qt::Key_End, Qt::ControlModifier);
  QTest::keyClicks(area, "Y");
  EXPECT_EQ(setup_.ident.Text(), "DOMAIN\r\nuserXY");
}

TEST_F(FrontEndTest, ListEntriesToggleOnEachClick) {
  std::vector<int> clicked;
  setup_.list.OnClick([&](int i) { clicked.push_back(i); });
  for (const char* e : {"A / S / a@x / a", "B / S / b@x / b", "C / S / c@x / c"}) {
    setup_.list.AddItem(e);
  }
  Start();
  setup_.form.Show();
  auto* list = W_<QListWidget>(setup_.list);
  ASSERT_EQ(list->count(), 3);
  EXPECT_EQ(list->item(1)->text(), "B / S / b@x / b");
  const auto click = [&](int row) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(row)).center());
  };
  click(1);
  click(2);
  EXPECT_EQ(clicked, (std::vector<int>{1, 2}));
  EXPECT_TRUE(setup_.list.Selected(1));
  EXPECT_TRUE(setup_.list.Selected(2));
  EXPECT_TRUE(list->item(1)->isSelected());
  EXPECT_TRUE(list->item(2)->isSelected());
  EXPECT_FALSE(list->item(0)->isSelected());
  click(1);
  EXPECT_FALSE(setup_.list.Selected(1));
  EXPECT_FALSE(list->item(1)->isSelected());
  EXPECT_EQ(setup_.list.SelCount(), 1);

  // Select-all from the keyboard does not bypass the model.
  list->setFocus();
  QTest::keyClick(list, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(list->selectedItems().size(), 1);
  // Space toggles the current entry.
  QTest::keyClick(list, Qt::Key_Space);
  EXPECT_EQ(clicked.back(), setup_.list.ListIndex());

  // Code-side changes show; removed entries go.
  setup_.list.Selected(0, true);
  EXPECT_TRUE(list->item(0)->isSelected());
  setup_.list.RemoveItem(0);
  ASSERT_EQ(list->count(), 2);
  EXPECT_EQ(list->item(0)->text(), "B / S / b@x / b");
  EXPECT_EQ(list->item(0)->isSelected(), setup_.list.Selected(0));
  setup_.list.Clear();
  EXPECT_EQ(list->count(), 0);

  // A disabled list ignores clicks.
  setup_.list.AddItem("D / S / d@x / d");
  setup_.list.Enabled(false);
  clicked.clear();
  click(0);
  EXPECT_TRUE(clicked.empty());
}

TEST_F(FrontEndTest, ALongListFilledEntryByEntryMatchesTheModel) {
  Start();
  setup_.form.Show();
  auto* list = W_<QListWidget>(setup_.list);
  const int n = 1500;
  for (int i = 0; i < n; ++i) {
    setup_.list.AddItem("User " + std::to_string(i) + " / SRV / u" + std::to_string(i) + "@x / u");
  }
  const auto same = [&](const char* step) {
    ASSERT_EQ(list->count(), setup_.list.ListCount()) << step;
    for (int i = 0; i < setup_.list.ListCount(); ++i) {
      ASSERT_EQ(list->item(i)->text().toStdString(), setup_.list.List(i)) << step << " " << i;
      ASSERT_EQ(list->item(i)->isSelected(), setup_.list.Selected(i)) << step << " " << i;
    }
  };
  same("appended");
  for (int i = 1; i < n; i += 3) setup_.list.Selected(i, true);
  setup_.list.Selected(4, false);
  same("selected entry by entry");
  setup_.list.AddItem("First / SRV / f@x / f", 0);
  for (int i = 0; i <= n; i += 2) setup_.list.Selected(i, true);
  setup_.list.List(5, "Renamed");
  same("inserted, selected, renamed");
  // Appends after edits, and edits between appends, all show.
  setup_.list.AddItem("Tail / SRV / t@x / t");
  setup_.list.Selected(n + 1, true);
  setup_.list.RemoveItem(2);
  setup_.list.AddItem("After / SRV / a@x / a");
  setup_.list.List(0, "Renamed first");
  setup_.list.AddItem("Last / SRV / l@x / l");
  same("mixed");
  setup_.list.Clear();
  setup_.list.AddItem("Again / SRV / g@x / g");
  setup_.list.Selected(0, true);
  same("cleared and filled");
}

TEST_F(FrontEndTest, ShowActivateCloseBoxAndTheEndOfTheProgram) {
  int activations = 0;
  int unloads = 0;
  setup_.form.OnActivate([&] { ++activations; });
  setup_.form.OnUnload([&] { ++unloads; });
  Start();
  QWidget* window = front_end_->Window(setup_.form);
  setup_.form.Show();
  QApplication::processEvents();
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(activations, 1);  // the window's own activation raises no second one

  // Pointer 11 is the wait cursor, for the whole program, until set back.
  setup_.form.MousePointer(ui::vbHourglass);
  ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
  // A message box meanwhile shows the normal arrow.
  front_end_->dialogs().SetRunner([&](QMessageBox&) {
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::ArrowCursor);
    return static_cast<int>(QMessageBox::Ok);
  });
  program_.MsgBox("busy");
  EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
  setup_.form.MousePointer(ui::vbDefault);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);

  // DoEvents runs what is pending.
  bool ran = false;
  QTimer::singleShot(0, [&] { ran = true; });
  program_.DoEvents();
  EXPECT_TRUE(ran);

  // The close box unloads the form; the program ends; Run returns at once.
  EXPECT_FALSE(window->close());
  EXPECT_EQ(unloads, 1);
  EXPECT_FALSE(window->isVisible());
  EXPECT_TRUE(program_.Ended());
  EXPECT_EQ(front_end_->Run(), 0);
}

TEST_F(FrontEndTest, LateWindowActivationsDoNotTakeActivationBackFromTheModel) {
  // The disclaimer's Yes: the setup window is shown (and activated by the
  // model) before the window system has reported the disclaimer active.
  ui::Form disclaimer(program_, "Disclaimer");
  disclaimer.ClientSize(4920, 4905);
  int disclaimer_activations = 0;
  int setup_activations = 0;
  disclaimer.OnActivate([&] { ++disclaimer_activations; });
  setup_.form.OnActivate([&] { ++setup_activations; });
  Start();
  disclaimer.Show();
  setup_.form.Show();
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
  EXPECT_EQ(program_.ActiveForm(), &setup_.form);
  EXPECT_EQ(disclaimer_activations, 1);
  EXPECT_EQ(setup_activations, 1);

  // Once settled, the user activating the other window activates its form.
  front_end_->Window(disclaimer)->activateWindow();
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
  EXPECT_EQ(program_.ActiveForm(), &disclaimer);
  EXPECT_EQ(disclaimer_activations, 2);
  front_end_.reset();  // before the local form goes
}

TEST_F(FrontEndTest, RunEndsWhenTheWindowLogicEndsTheProgram) {
  setup_.exit.OnClick([&] { setup_.form.Unload(); });
  Start();
  setup_.form.Show();
  QTimer::singleShot(0, [&] { QTest::mouseClick(W_<QPushButton>(setup_.exit), Qt::LeftButton); });
  EXPECT_EQ(front_end_->Run(), 0);
  EXPECT_TRUE(program_.Ended());
  EXPECT_FALSE(front_end_->Window(setup_.form)->isVisible());
}

TEST_F(FrontEndTest, RunTimeErrorsInHandlersAreReportedAndEndTheProgram) {
  setup_.change.OnClick(
      [] { throw core::RuntimeError(core::err::kInvalidProcedureCall, "Invalid procedure call"); });
  Start();
  setup_.form.Show();
  QTest::mouseClick(W_<QPushButton>(setup_.change), Qt::LeftButton);
  EXPECT_EQ(errors_, (std::vector<std::string>{"Invalid procedure call"}));
  EXPECT_FALSE(program_.Ended());  // the test's handler only records

  // The default report: a critical box with the error, then the end, exit code 1.
  std::vector<QMessageBox::Icon> icons;
  front_end_->SetErrorHandler({});
  front_end_->dialogs().SetRunner([&](QMessageBox& box) {
    boxes_.push_back(box.text().toStdString());
    icons.push_back(box.icon());
    return static_cast<int>(QMessageBox::Ok);
  });
  QTest::mouseClick(W_<QPushButton>(setup_.change), Qt::LeftButton);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0], "Run-time error '5':\r\n\r\nInvalid procedure call");
  EXPECT_EQ(icons[0], QMessageBox::Critical);
  EXPECT_TRUE(program_.Ended());
  EXPECT_EQ(front_end_->Run(), 1);
}

TEST_F(FrontEndTest, DestroyingTheFrontEndGivesTheProgramBackItsDialogs) {
  Start();
  setup_.form.Show();
  front_end_.reset();
  program_.MsgBox("after");
  ASSERT_EQ(scripted_.Shown().size(), 1u);
  setup_.check2.Value(1);  // no observer left to call into freed memory
  setup_.form.Caption("x");
  program_.DoEvents();
}

}  // namespace
}  // namespace qtui
