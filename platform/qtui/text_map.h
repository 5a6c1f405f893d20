// Text box contents as an edit widget holds them.
//
// The window model counts characters (code points; a byte that is not valid
// UTF-8 is one character) and keeps line breaks as CR LF. Qt's edit widgets
// count UTF-16 units, and a multi-line editor holds a line break as one
// character. WidgetText converts a model text once and maps positions both
// ways, so carets and selections land on the same characters on both sides.
#pragma once

#include <QString>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qtui {

class WidgetText {
 public:
  // With multi_line, CR LF, lone CR and lone LF each become one line feed.
  // A byte that is not valid UTF-8 shows as U+FFFD.
  WidgetText(std::string_view model_text, bool multi_line);

  const QString& text() const { return text_; }
  std::size_t ModelLength() const { return offsets_.size() - 1; }

  // Widget position of a model position (clamped to the end).
  int ToWidget(std::size_t model_pos) const;
  // Model position of a widget position: a position inside a surrogate pair
  // maps to the character's start, one just after a line break to after the
  // whole CR LF. Clamped to the end.
  std::size_t ToModel(int widget_pos) const;

 private:
  QString text_;
  std::vector<int> offsets_;  // widget offset of each model character, then the end
};

// Model text for text typed or pasted into a widget: UTF-8, with line feeds
// (and U+2029 paragraph separators) as CR LF when multi_line.
std::string ToModelText(const QString& widget_text, bool multi_line);

// What the user changed: the widget range [begin, end) of `before` that was
// replaced, and the text that replaced it. Found as the longest common
// prefix and suffix, never splitting a surrogate pair.
struct TextEdit {
  int begin = 0;
  int end = 0;
  QString inserted;
};
TextEdit DiffText(const QString& before, const QString& after);

}  // namespace qtui
