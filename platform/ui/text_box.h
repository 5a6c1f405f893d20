// TextBox: an editable text.
//
// Change is raised on every change of Text: typing, pasting, and writes from
// code alike, and also when a Change handler writes Text again (the nested
// Change then runs inside the outer one). Writing the text it already has
// raises nothing.
//
// User input is simulated with Type (each character goes through KeyPress,
// then is inserted, raising Change once per character) and Paste (inserted
// whole, without KeyPress, one Change). Input goes to the caret: a write from
// code puts the caret at the end of the new text, so typing after such a
// write appends; SelStart/SelLength move it, and typed or pasted text replaces
// the selected characters. Positions and lengths count characters, not bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/ui/control.h"
#include "platform/ui/event.h"

namespace ui {

inline constexpr int vbKeyBack = 8;
inline constexpr int vbKeyReturn = 13;

enum class ScrollBars { None = 0, Horizontal = 1, Vertical = 2, Both = 3 };

class TextBox : public Control {
 public:
  explicit TextBox(std::string name) : Control(ControlKind::TextBox, std::move(name)) {}

  const std::string& Text() const { return text_; }
  // Raises Change when the text differs from the current one.
  void Text(std::string text);

  // Caret position (0 = before the first character) and selection length.
  // Values past the end are clamped to the end of the text.
  std::size_t SelStart() const { return sel_start_; }
  void SelStart(std::size_t position);
  std::size_t SelLength() const { return sel_length_; }
  void SelLength(std::size_t length);

  // "" (plain) or one character shown in place of every character of the
  // text; more than one character is error 380.
  const std::string& PasswordChar() const { return password_char_; }
  void PasswordChar(std::string mask);
  // What the box shows: the text, or one mask character per character.
  std::string DisplayText() const;

  bool MultiLine() const { return multi_line_; }
  void MultiLine(bool multi_line);
  ui::ScrollBars ScrollBars() const { return scroll_bars_; }
  void ScrollBars(ui::ScrollBars bars);

  void OnChange(std::function<void()> handler) { change_.Set(std::move(handler)); }
  // The handler gets the character code (a Unicode code point; 8 for
  // backspace, 13 for Enter) and may replace it; 0 drops the key.
  void OnKeyPress(std::function<void(int&)> handler) { key_press_.Set(std::move(handler)); }

  // Types text as a user would, character by character (UTF-8). For each one:
  // KeyPress; if the code is still not 0, backspace (8) deletes the selection
  // or the character before the caret, Enter (13) inserts a line break in a
  // multi-line box and nothing otherwise, other control characters insert
  // nothing, and any other code is inserted at the caret; each change raises
  // Change. "\r\n" and "\n" count as one Enter. Ignored (false) when the box
  // does not accept input; keys after a handler disabled it are dropped.
  bool Type(std::string_view keys);
  // Pastes text at the caret, replacing the selection, without KeyPress and
  // with one Change. A single-line box keeps only the text before the first
  // line break, as an edit field does. Ignored (false) when hidden or disabled.
  bool Paste(std::string_view text);

 private:
  // Replaces the selection by `insert`, puts the caret after it, raises Change.
  void ReplaceSelection(std::string_view insert);
  void SetText(std::string text, std::size_t caret);

  std::string text_;
  std::size_t sel_start_ = 0;
  std::size_t sel_length_ = 0;
  std::string password_char_;
  bool multi_line_ = false;
  ui::ScrollBars scroll_bars_ = ui::ScrollBars::None;
  Event<> change_{"Change"};
  Event<int&> key_press_{"KeyPress"};
};

}  // namespace ui
