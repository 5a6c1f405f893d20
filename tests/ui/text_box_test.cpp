#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/core/error.h"
#include "platform/ui/text_box.h"

namespace ui {
namespace {

TEST(TextBoxTest, ChangeOnEveryWriteFromCodeButNotOnSameText) {
  TextBox box("txtSpamFolder");
  std::vector<std::string> seen;
  box.OnChange([&] { seen.push_back(box.Text()); });
  box.Text("Spam");
  box.Text("Spam");
  box.Text("");
  box.Text("Inbox\\Spam");
  EXPECT_EQ(seen, (std::vector<std::string>{"Spam", "", "Inbox\\Spam"}));
  EXPECT_EQ(box.SelStart(), 10u);  // a write from code leaves the caret at the end
}

// The priority box of the window: digits, backspace and blank pass the key
// filter; a text that is no number or above 65535 snaps back to the last
// valid text, from inside the Change handler.
struct PriorityBox {
  TextBox box{"txtPriority"};
  bool changing = false;
  std::string last_valid;
  int changes = 0;

  static bool InRange(const std::string& text) {
    const char* p = text.c_str();
    while (*p == ' ') ++p;
    if (*p == '\0') return false;
    char* end = nullptr;
    const double v = std::strtod(p, &end);
    while (*end == ' ') ++end;
    return *end == '\0' && end != p && v <= 65535;
  }

  PriorityBox() {
    box.OnKeyPress([](int& key) {
      if (!((key >= '0' && key <= '9') || key == 8 || key == 32)) key = 0;
    });
    box.OnChange([this] {
      ++changes;
      if (changing) {
        changing = false;
        return;
      }
      changing = true;
      if (InRange(box.Text())) {
        last_valid = box.Text();
      } else {
        box.Text(last_valid);
      }
      changing = false;
    });
  }
};

TEST(TextBoxTest, ReentrantSnapBackFromChangeHandler) {
  PriorityBox p;
  p.box.Text("65500");
  EXPECT_EQ(p.last_valid, "65500");

  p.changes = 0;
  p.box.Type("1");  // a sixth digit
  EXPECT_EQ(p.box.Text(), "65500");
  EXPECT_EQ(p.changes, 2);  // the typed digit, then the nested snap-back
  EXPECT_FALSE(p.changing);

  // Deleting every digit puts the last valid text back at once.
  p.box.SelStart(0);
  p.box.SelLength(99);
  p.box.Type("\b");
  EXPECT_EQ(p.box.Text(), "65500");

  // A blank typed in front is kept, blank included.
  p.box.SelStart(0);
  p.box.Type(" ");
  EXPECT_EQ(p.box.Text(), " 65500");
  EXPECT_EQ(p.last_valid, " 65500");

  // Pasting skips the key filter; the range check still applies.
  p.box.SelStart(0);
  p.box.SelLength(6);
  p.box.Paste("70000");
  EXPECT_EQ(p.box.Text(), " 65500");
  p.box.SelStart(0);
  p.box.SelLength(6);
  p.box.Paste("1.5");
  EXPECT_EQ(p.box.Text(), "1.5");
}

TEST(TextBoxTest, KeyPressCanDropOrReplaceTheCharacter) {
  PriorityBox p;
  p.changes = 0;
  p.box.Type("6a-5.5\x16");  // letters, minus, point and Ctrl+V are dropped
  EXPECT_EQ(p.box.Text(), "655");
  EXPECT_EQ(p.changes, 3);

  TextBox upper("txtUpper");
  upper.OnKeyPress([](int& key) {
    if (key >= 'a' && key <= 'z') key -= 32;
  });
  upper.Type("ab\xC3\xA9");  // "abé"
  EXPECT_EQ(upper.Text(), "AB\xC3\xA9");
  EXPECT_EQ(upper.SelStart(), 3u);  // characters, not bytes

  TextBox broken("txtBroken");
  broken.OnKeyPress([](int& key) { key = 0xD800; });
  try {
    broken.Type("x");
    FAIL() << "a surrogate code was inserted";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), core::err::kInvalidProcedureCall);
    EXPECT_NE(e.Description().find("txtBroken"), std::string::npos);
  }
  EXPECT_EQ(broken.Text(), "");
}

TEST(TextBoxTest, TypingEditsAtTheCaretLikeAnEditField) {
  TextBox box("txtIdent");
  std::vector<int> keys;
  box.OnKeyPress([&](int& key) { keys.push_back(key); });
  box.Text("DOMAIN\\user");
  box.SelStart(6);
  box.Type("X");
  EXPECT_EQ(box.Text(), "DOMAINX\\user");
  box.Type("\b\b");
  EXPECT_EQ(box.Text(), "DOMAI\\user");
  EXPECT_EQ(box.SelStart(), 5u);
  box.SelStart(0);
  box.Type("\b");  // nothing before the caret
  EXPECT_EQ(box.Text(), "DOMAI\\user");
  EXPECT_EQ(keys, (std::vector<int>{'X', 8, 8, 8}));

  // Enter: nothing in a single-line box, a line break in a multi-line one.
  box.SelStart(99);
  box.Type("\r\n");
  EXPECT_EQ(box.Text(), "DOMAI\\user");
  EXPECT_EQ(keys.back(), 13);
  TextBox log("txtErr");
  log.MultiLine(true);
  log.Type("a\nb");
  EXPECT_EQ(log.Text(), "a\r\nb");

  // A single-line box keeps the first line of a paste; a multi-line box all.
  box.Text("");
  box.Paste("first\r\nsecond");
  EXPECT_EQ(box.Text(), "first");
  log.Paste("\r\nc");
  EXPECT_EQ(log.Text(), "a\r\nb\r\nc");

  box.Enabled(false);
  EXPECT_FALSE(box.Type("z"));
  EXPECT_FALSE(box.Paste("z"));
  EXPECT_EQ(box.Text(), "first");
}

TEST(TextBoxTest, PasswordCharMasksEveryCharacter) {
  TextBox pwd("txtPwd");
  pwd.PasswordChar("*");
  pwd.Type(
      "s\xC3\xA9"
      "cret");
  EXPECT_EQ(pwd.Text(),
            "s\xC3\xA9"
            "cret");
  EXPECT_EQ(pwd.DisplayText(), "******");
  EXPECT_THROW(pwd.PasswordChar("**"), core::RuntimeError);
  EXPECT_EQ(pwd.PasswordChar(), "*");
  pwd.PasswordChar("");
  EXPECT_EQ(pwd.DisplayText(), pwd.Text());
}

}  // namespace
}  // namespace ui
