#include <gtest/gtest.h>

#include "platform/qtui/text_map.h"

namespace qtui {
namespace {

TEST(WidgetTextTest, MultiLineHoldsEachLineBreakAsOneCharacter) {
  const WidgetText t("ab\r\ncd\ne\rf", true);
  EXPECT_EQ(t.text(), QString("ab\ncd\ne\nf"));
  EXPECT_EQ(t.ModelLength(), 10u);
  EXPECT_EQ(t.ToWidget(2), 2);   // before the CR
  EXPECT_EQ(t.ToWidget(3), 3);   // between CR and LF: after the line break
  EXPECT_EQ(t.ToWidget(4), 3);   // "c"
  EXPECT_EQ(t.ToWidget(99), 9);  // clamped
  EXPECT_EQ(t.ToModel(2), 2u);
  EXPECT_EQ(t.ToModel(3), 4u);  // after the whole CR LF
  EXPECT_EQ(t.ToModel(6), 7u);  // after the lone LF
  EXPECT_EQ(t.ToModel(9), 10u);
  EXPECT_EQ(t.ToModel(50), 10u);

  // A single-line box keeps them as they are.
  const WidgetText line("a\r\nb", false);
  EXPECT_EQ(line.text(), QString("a\r\nb"));
  EXPECT_EQ(line.ToModel(2), 2u);
}

TEST(WidgetTextTest, CharactersOutsideTheBasicPlaneAndInvalidBytesKeepPositions) {
  // "x", U+1F600 (two UTF-16 units), an invalid byte, "é".
  const WidgetText t("x\xF0\x9F\x98\x80\xFF\xC3\xA9", false);
  EXPECT_EQ(t.ModelLength(), 4u);
  EXPECT_EQ(t.text().size(), 5);
  EXPECT_EQ(t.text()[3], QChar(0xFFFD));
  EXPECT_EQ(t.ToWidget(2), 3);
  EXPECT_EQ(t.ToModel(2), 1u);  // inside the pair: its start
  EXPECT_EQ(t.ToModel(3), 2u);
  EXPECT_EQ(t.ToModel(4), 3u);
}

TEST(WidgetTextTest, ModelTextAndDiffs) {
  EXPECT_EQ(ToModelText(QString("a\nb") + QChar(0x2029) + "c", true), "a\r\nb\r\nc");
  EXPECT_EQ(ToModelText(QString("a\r\nb"), true), "a\r\nb");
  EXPECT_EQ(ToModelText(QString("a\nb"), false), "a\nb");
  EXPECT_EQ(ToModelText(QString::fromUtf8("\xC3\xA9"), false), "\xC3\xA9");

  TextEdit e = DiffText("65500", "6500");
  EXPECT_EQ(e.begin, 2);  // the second "5" went
  EXPECT_EQ(e.end, 3);
  EXPECT_TRUE(e.inserted.isEmpty());
  e = DiffText("abc", "aXYc");
  EXPECT_EQ(e.begin, 1);
  EXPECT_EQ(e.end, 2);
  EXPECT_EQ(e.inserted, QString("XY"));
  e = DiffText("", "new");
  EXPECT_EQ(e.begin, 0);
  EXPECT_EQ(e.end, 0);
  EXPECT_EQ(e.inserted, QString("new"));
  // Two characters sharing a high surrogate: the pair is replaced whole.
  const QString a = QString::fromUtf8("\xF0\x9F\x98\x80");  // U+1F600
  const QString b = QString::fromUtf8("\xF0\x9F\x98\x81");  // U+1F601
  e = DiffText(a, b);
  EXPECT_EQ(e.begin, 0);
  EXPECT_EQ(e.end, 2);
  EXPECT_EQ(e.inserted, b);
}

}  // namespace
}  // namespace qtui
