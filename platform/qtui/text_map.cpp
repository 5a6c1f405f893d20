#include "platform/qtui/text_map.h"

#include <algorithm>

#include "platform/core/text.h"

namespace qtui {

WidgetText::WidgetText(std::string_view model_text, bool multi_line) {
  text_.reserve(static_cast<qsizetype>(model_text.size()));
  offsets_.reserve(model_text.size() + 1);
  bool after_cr = false;
  std::size_t i = 0;
  while (i < model_text.size()) {
    char32_t c;
    std::size_t len = core::Utf8SequenceAt(model_text, i, &c);
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
