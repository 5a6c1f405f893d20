#include "platform/ui/text_box.h"

#include "platform/core/error.h"
#include "platform/core/text.h"

namespace ui {

namespace {

// Code point of one character as core::Mid returns it; a byte that is not
// valid UTF-8 stands for itself.
int CodeOf(std::string_view ch) {
  const auto b0 = static_cast<unsigned char>(ch[0]);
  if (ch.size() == 1) return b0;
  int cp = ch.size() == 2 ? (b0 & 0x1F) : ch.size() == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (std::size_t i = 1; i < ch.size(); ++i) cp = (cp << 6) | (ch[i] & 0x3F);
  return cp;
}

// UTF-8 for a code point; empty when it is no character.
std::string Encode(int cp) {
  std::string out;
  if (cp < 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return out;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
  return out;
}

}  // namespace

void TextBox::Text(std::string text) {
  if (text == text_) return;
  const std::size_t end = core::Len(text);
  SetText(std::move(text), end);
}

void TextBox::SetText(std::string text, std::size_t caret) {
  text_ = std::move(text);
  sel_start_ = caret;
  sel_length_ = 0;
  Notify(Property::Text);
  // The handler may write Text again; that nests another Change.
  change_.Raise();
}

void TextBox::SelStart(std::size_t position) {
  const std::size_t len = core::Len(text_);
  if (position > len) position = len;
  if (position == sel_start_ && sel_length_ == 0) return;
  sel_start_ = position;
  sel_length_ = 0;
  Notify(Property::Text);
}

void TextBox::SelLength(std::size_t length) {
  const std::size_t room = core::Len(text_) - sel_start_;
  if (length > room) length = room;
  if (length == sel_length_) return;
  sel_length_ = length;
  Notify(Property::Text);
}

void TextBox::PasswordChar(std::string mask) {
  if (core::Len(mask) > 1) ThrowInvalidPropertyValue(*this, "PasswordChar");
  if (mask == password_char_) return;
  password_char_ = std::move(mask);
  Notify(Property::Style);
}

std::string TextBox::DisplayText() const {
  if (password_char_.empty()) return text_;
  std::string shown;
  for (std::size_t i = core::Len(text_); i > 0; --i) shown += password_char_;
  return shown;
}

void TextBox::MultiLine(bool multi_line) {
  if (multi_line == multi_line_) return;
  multi_line_ = multi_line;
  Notify(Property::Style);
}

void TextBox::ScrollBars(ui::ScrollBars bars) {
  const int n = static_cast<int>(bars);
  if (n < 0 || n > 3) ThrowInvalidPropertyValue(*this, "ScrollBars");
  if (bars == scroll_bars_) return;
  scroll_bars_ = bars;
  Notify(Property::Style);
}

void TextBox::ReplaceSelection(std::string_view insert) {
  std::string text = core::Left(text_, sel_start_);
  text.append(insert);
  text += core::Mid(text_, sel_start_ + sel_length_ + 1);
  const std::size_t caret = sel_start_ + core::Len(insert);
  if (text == text_) {
    sel_start_ = caret;
    sel_length_ = 0;
    Notify(Property::Text);
    return;
  }
  SetText(std::move(text), caret);
}

bool TextBox::Type(std::string_view keys) {
  if (!AcceptsInput()) return false;
  const std::size_t n = core::Len(keys);
  for (std::size_t i = 1; i <= n; ++i) {
    // A handler may have disabled or hidden the box: the rest goes nowhere.
    if (!AcceptsInput()) break;
    const std::string ch = core::Mid(keys, i, 1);
    int code = CodeOf(ch);
    if (code == '\r' && i < n && core::Mid(keys, i + 1, 1) == "\n") ++i;
    if (code == '\n') code = vbKeyReturn;
    const int typed = code;
    key_press_.Raise(code);
    if (code == 0) continue;
    if (code == vbKeyBack) {
      if (sel_length_ == 0) {
        if (sel_start_ == 0) continue;
        --sel_start_;
        sel_length_ = 1;
      }
      ReplaceSelection("");
    } else if (code == vbKeyReturn) {
      if (multi_line_) ReplaceSelection("\r\n");
    } else if (code < 32 || code == 127) {
      // Other control keys edit nothing.
    } else if (code == typed) {
      ReplaceSelection(ch);  // as typed, even a byte that is not valid UTF-8
    } else {
      const std::string replaced = Encode(code);
      if (replaced.empty()) {
        throw core::RuntimeError(core::err::kInvalidProcedureCall,
                                 "Invalid procedure call (" + Name() +
                                     "_KeyPress set KeyAscii to " + std::to_string(code) +
                                     ", which is no character)");
      }
      ReplaceSelection(replaced);
    }
  }
  return true;
}

bool TextBox::Paste(std::string_view text) {
  if (!AcceptsInput()) return false;
  if (!multi_line_) {
    const std::size_t cut = text.find_first_of("\r\n");
    if (cut != std::string_view::npos) text = text.substr(0, cut);
  }
  ReplaceSelection(text);
  return true;
}

}  // namespace ui
