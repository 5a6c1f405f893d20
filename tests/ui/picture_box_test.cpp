#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "platform/core/error.h"
#include "platform/ui/picture_box.h"
#include "platform/ui/twips.h"

namespace ui {
namespace {

// The progress bar as the setup window prepares it.
void PrepareProgressBar(PictureBox& pic) {
  pic.Move(240, 6360, 9135, 375);
  pic.FontBold(true);
  pic.AutoRedraw(true);
  pic.BackColor(vbWhite);
  pic.DrawMode(vbNotXorPen);
  pic.FillStyle(vbFSSolid);
  pic.ForeColor(vbBlue);
}

TEST(PictureBoxTest, ScaleDefaultsToTwipsAndTextIsMeasuredInScaleUnits) {
  PictureBox pic("Picture1");
  PrepareProgressBar(pic);
  EXPECT_EQ(pic.ScaleWidth(), 9135);
  EXPECT_EQ(pic.ScaleHeight(), 375);
  EXPECT_EQ(pic.TextWidth("33%"), 3 * kBoldCharWidthTwips);
  EXPECT_EQ(pic.TextHeight("33%"), kLineHeightTwips);
  EXPECT_EQ(pic.TextHeight("a\r\nb"), 2 * kLineHeightTwips);
  EXPECT_EQ(pic.TextWidth("abcd\r\nab"), 4 * kBoldCharWidthTwips);
  pic.FontBold(false);
  EXPECT_EQ(pic.TextWidth("\xC3\xA9t\xC3\xA9"), 3 * kCharWidthTwips);  // characters, not bytes

  pic.ScaleWidth(3);  // e.g. three records
  EXPECT_DOUBLE_EQ(pic.TextWidth("33%"), 3.0 * kCharWidthTwips * 3 / 9135);
  EXPECT_DOUBLE_EQ(pic.ToTwipsX(1), 3045);
  EXPECT_EQ(pic.TextHeight("x"), kLineHeightTwips);  // height scale untouched

  for (double bad : {0.0, double{NAN}, double{INFINITY}}) {
    EXPECT_THROW(pic.ScaleWidth(bad), core::RuntimeError);
  }
  EXPECT_EQ(pic.ScaleWidth(), 3);
  pic.Scale();
  EXPECT_EQ(pic.ScaleWidth(), 9135);
}

TEST(PictureBoxTest, DisplayListRecordsAProgressBarFrame) {
  PictureBox pic("Picture1");
  PrepareProgressBar(pic);
  pic.ScaleWidth(3);
  pic.Print("stale");
  pic.Cls();
  EXPECT_TRUE(pic.DisplayList().empty());
  EXPECT_EQ(pic.CurrentX(), 0);
  EXPECT_EQ(pic.CurrentY(), 0);

  const double w = pic.TextWidth("67%");
  const double h = pic.TextHeight("67%");
  pic.CurrentX(std::trunc((pic.ScaleWidth() - w) / 2));
  pic.CurrentY(std::trunc((pic.ScaleHeight() - h) / 2));
  pic.Print("67%");
  pic.Line(0, 0, 2, pic.ScaleHeight(), pic.ForeColor(), LineShape::BoxFilled);

  const std::vector<DrawOp>& ops = pic.DisplayList();
  ASSERT_EQ(ops.size(), 2u);
  EXPECT_EQ(ops[0].kind, DrawKind::Text);
  EXPECT_EQ(ops[0].text, "67%");
  EXPECT_TRUE(ops[0].bold);
  EXPECT_EQ(ops[0].x1, 1);
  EXPECT_EQ(ops[0].y1, 90);  // (375 - 195) / 2
  EXPECT_DOUBLE_EQ(ops[0].x2, 1 + w);
  EXPECT_EQ(ops[0].y2, 90 + 195);
  EXPECT_EQ(ops[0].color, vbBlue);
  EXPECT_EQ(ops[0].draw_mode, vbNotXorPen);

  EXPECT_EQ(ops[1].kind, DrawKind::BoxFilled);
  EXPECT_EQ(ops[1].x1, 0);
  EXPECT_EQ(ops[1].y1, 0);
  EXPECT_EQ(ops[1].x2, 2);
  EXPECT_EQ(ops[1].y2, 375);
  EXPECT_EQ(ops[1].color, vbBlue);
  EXPECT_EQ(ops[1].draw_mode, vbNotXorPen);

  // Line leaves the drawing position at its end point.
  EXPECT_EQ(pic.CurrentX(), 2);
  EXPECT_EQ(pic.CurrentY(), 375);

  pic.Refresh();
  EXPECT_EQ(pic.RefreshCount(), 1);
  pic.Cls();
  EXPECT_TRUE(pic.DisplayList().empty());
}

TEST(PictureBoxTest, PrintWithoutNewLineContinuesOnTheLine) {
  PictureBox pic("Picture1");
  pic.Move(0, 0, 1500, 600);
  pic.Print("ab", false);
  pic.Print("c");
  pic.Line(0, 0, 10, 10);  // plain line in the fore colour
  pic.FillStyle(vbFSSolid);
  pic.FillColor(vbRed);
  pic.Line(1, 1, 5, 5, vbGreen, LineShape::Box);
  const auto& ops = pic.DisplayList();
  ASSERT_EQ(ops.size(), 4u);
  EXPECT_EQ(ops[1].x1, 2 * kCharWidthTwips);
  EXPECT_EQ(ops[1].y1, 0);
  EXPECT_EQ(ops[2].kind, DrawKind::Line);
  EXPECT_EQ(ops[2].color, vbBlack);
  EXPECT_EQ(ops[2].draw_mode, vbCopyPen);
  EXPECT_EQ(ops[3].kind, DrawKind::Box);
  EXPECT_EQ(ops[3].color, vbGreen);
  EXPECT_EQ(ops[3].fill_style, vbFSSolid);
  EXPECT_EQ(ops[3].fill_color, vbRed);
}

TEST(PictureBoxTest, NotXorPenShowsCoveredTextInverse) {
  // Replaying a frame on one point covered by both text and bar.
  Color px = vbWhite;
  px = MixPen(vbNotXorPen, vbBlue, px);  // text
  EXPECT_EQ(px, vbBlue);
  px = MixPen(vbNotXorPen, vbBlue, px);  // bar over the text
  EXPECT_EQ(px, vbWhite);
  EXPECT_EQ(MixPen(vbNotXorPen, vbBlue, vbWhite), vbBlue);  // bar over background

  EXPECT_EQ(MixPen(vbCopyPen, 0x123456, vbWhite), 0x123456u);
  EXPECT_EQ(MixPen(vbXorPen, 0x00FF00, 0x00FFFF), 0x0000FFu);
  EXPECT_EQ(MixPen(vbInvert, 0, 0x0000FF), 0xFFFF00u);
  EXPECT_EQ(MixPen(vbWhiteness, 0, 0), vbWhite);
  EXPECT_EQ(MixPen(vbNop, vbRed, vbGreen), vbGreen);
  EXPECT_THROW(MixPen(0, 0, 0), core::RuntimeError);
  EXPECT_THROW(MixPen(17, 0, 0), core::RuntimeError);

  PictureBox pic("Picture1");
  EXPECT_THROW(pic.DrawMode(17), core::RuntimeError);
  EXPECT_THROW(pic.FillStyle(8), core::RuntimeError);
  EXPECT_EQ(pic.DrawMode(), vbCopyPen);
  EXPECT_EQ(Rgb(0, 0, 255), vbBlue);
}

TEST(TwipsTest, FifteenTwipsToAPixel) {
  EXPECT_EQ(TwipsToPixels(9630), 642);
  EXPECT_EQ(TwipsToPixels(7), 0);
  EXPECT_EQ(TwipsToPixels(8), 1);
  EXPECT_EQ(TwipsToPixels(-8), -1);
  EXPECT_EQ(PixelsToTwips(642), 9630);
}

}  // namespace
}  // namespace ui
