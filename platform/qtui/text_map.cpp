#include "platform/qtui/text_map.h"

#include <algorithm>

namespace qtui {

namespace {

// Length of the valid UTF-8 sequence at s[i] and its code point; 0 when the
// byte starts none (the same rules as the model's character counting).
std::size_t SequenceAt(std::string_view s, std::size_t i, char32_t* code) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    *code = b0;
    return 1;
  }
  std::size_t len;
  char32_t c;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    c = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    c = b0 & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  if ((len == 3 && c < 0x800) || (len == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
      (c >= 0xD800 && c <= 0xDFFF)) {
    return 0;
  }
  *code = c;
  return len;
}

}  // namespace

WidgetText::WidgetText(std::string_view model_text, bool multi_line) {
  text_.reserve(static_cast<qsizetype>(model_text.size()));
  offsets_.reserve(model_text.size() + 1);
  bool after_cr = false;
  std::size_t i = 0;
  while (i < model_text.size()) {
    char32_t c;
    std::size_t len = SequenceAt(model_text, i, &c);
    if (len == 0) {
      c = 0xFFFD;
      len = 1;
    }
    i += len;
    if (multi_line && c == '\n' && after_cr) {
      // The LF of a CR LF: already shown by the CR's line feed.
      offsets_.push_back(static_cast<int>(text_.size()));
      after_cr = false;
      continue;
    }
    after_cr = multi_line && c == '\r';
    offsets_.push_back(static_cast<int>(text_.size()));
    if (after_cr) c = '\n';
    const char32_t one[1] = {c};
    text_.append(QString::fromUcs4(one, 1));
  }
  offsets_.push_back(static_cast<int>(text_.size()));
}

int WidgetText::ToWidget(std::size_t model_pos) const {
  return offsets_[std::min(model_pos, offsets_.size() - 1)];
}

std::size_t WidgetText::ToModel(int widget_pos) const {
  // The last character that starts at or before the position.
  const auto it = std::upper_bound(offsets_.begin(), offsets_.end(), widget_pos);
  if (it == offsets_.begin()) return 0;
  return static_cast<std::size_t>(it - offsets_.begin()) - 1;
}

std::string ToModelText(const QString& widget_text, bool multi_line) {
  if (!multi_line) return widget_text.toStdString();
  QString text = widget_text;
  text.replace(QChar(0x2029), QChar('\n'));
  text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  text.replace(QChar('\r'), QChar('\n'));
  text.replace(QChar('\n'), QLatin1String("\r\n"));
  return text.toStdString();
}

TextEdit DiffText(const QString& before, const QString& after) {
  const int nb = static_cast<int>(before.size());
  const int na = static_cast<int>(after.size());
  int prefix = 0;
  while (prefix < nb && prefix < na && before[prefix] == after[prefix]) ++prefix;
  if (prefix > 0 && before[prefix - 1].isHighSurrogate()) --prefix;
  int suffix = 0;
  while (suffix < nb - prefix && suffix < na - prefix &&
         before[nb - 1 - suffix] == after[na - 1 - suffix]) {
    ++suffix;
  }
  if (suffix > 0 && before[nb - suffix].isLowSurrogate()) --suffix;
  TextEdit edit;
  edit.begin = prefix;
  edit.end = nb - suffix;
  edit.inserted = after.mid(prefix, na - suffix - prefix);
  return edit;
}

}  // namespace qtui
