#include <gtest/gtest.h>

#include <QImage>
#include <cmath>
#include <string>

#include "platform/qtui/picture_render.h"
#include "platform/ui/picture_box.h"

namespace qtui {
namespace {

constexpr QRgb kWhite = 0xFFFFFFFF;
constexpr QRgb kBlue = 0xFF0000FF;

// The progress bar as the setup window prepares it.
void Prepare(ui::PictureBox& pic) {
  pic.Move(240, 6360, 9135, 375);
  pic.FontBold(true);
  pic.AutoRedraw(true);
  pic.BackColor(ui::vbWhite);
  pic.DrawMode(ui::vbNotXorPen);
  pic.FillStyle(ui::vbFSSolid);
  pic.ForeColor(ui::vbBlue);
}

void PrintCentered(ui::PictureBox& pic, const std::string& text) {
  pic.CurrentX(std::trunc(std::nearbyint(pic.ScaleWidth() - pic.TextWidth(text)) / 2));
  pic.CurrentY(std::trunc(std::nearbyint(pic.ScaleHeight() - pic.TextHeight(text)) / 2));
  pic.Print(text);
}

TEST(PictureRenderTest, ProgressBarShowsTheTextUnderTheBarInWhite) {
  ui::PictureBox pic("Picture1");
  Prepare(pic);
  pic.ScaleWidth(9135);
  // Where the glyphs are: the same text alone, copied over white.
  pic.DrawMode(ui::vbCopyPen);
  PrintCentered(pic, "50%");
  const QImage glyphs = RenderPicture(pic);
  ASSERT_EQ(glyphs.size(), QSize(609, 25));

  // The frame: cleared, text, then the bar to half width in not-XOR.
  pic.DrawMode(ui::vbNotXorPen);
  pic.Cls();
  PrintCentered(pic, "50%");
  pic.Line(0, 0, 4567, pic.ScaleHeight(), pic.ForeColor(), ui::LineShape::BoxFilled);
  const QImage frame = RenderPicture(pic);
  ASSERT_EQ(frame.size(), glyphs.size());

  const int bar_right = 304;  // 4567 twips, inclusive
  int under = 0;
  int outside = 0;
  for (int y = 0; y < frame.height(); ++y) {
    for (int x = 0; x < frame.width(); ++x) {
      const bool glyph = glyphs.pixel(x, y) != kWhite;
      const bool in_bar = x <= bar_right;
      const QRgb want = glyph == in_bar ? kWhite : kBlue;
      ASSERT_EQ(frame.pixel(x, y), want) << "x " << x << " y " << y;
      if (glyph) ++(in_bar ? under : outside);
    }
  }
  // The text straddles the end of the bar.
  EXPECT_GT(under, 10);
  EXPECT_GT(outside, 10);

  // Cleared, the surface is all back colour.
  pic.Cls();
  const QImage blank = RenderPicture(pic);
  for (int x = 0; x < blank.width(); x += 7) EXPECT_EQ(blank.pixel(x, 12), kWhite);
}

TEST(PictureRenderTest, ScaleUnitsStretchToThePixelsAndBoxesIncludeTheirCorners) {
  ui::PictureBox pic("Picture1");
  Prepare(pic);
  pic.ScaleWidth(3);  // three records
  pic.Line(0, 0, 1, pic.ScaleHeight(), pic.ForeColor(), ui::LineShape::BoxFilled);
  QImage img = RenderPicture(pic);
  EXPECT_EQ(img.pixel(203, 0), kBlue);  // one third of 609 pixels
  EXPECT_EQ(img.pixel(204, 0), kWhite);
  EXPECT_EQ(img.pixel(0, 24), kBlue);
  // The same list drawn larger: stretched, not cropped.
  img = RenderPicture(pic, QSize(1218, 50));
  EXPECT_EQ(img.pixel(405, 49), kBlue);
  EXPECT_EQ(img.pixel(408, 49), kWhite);

  // A second not-XOR box over the first gives back white.
  pic.Line(0, 0, 1, pic.ScaleHeight(), pic.ForeColor(), ui::LineShape::BoxFilled);
  img = RenderPicture(pic);
  EXPECT_EQ(img.pixel(100, 10), kWhite);
}

TEST(PictureRenderTest, OutlinedBoxesFillInsideAndLinesUseTheirColour) {
  ui::PictureBox pic("P");
  pic.Move(0, 0, 300, 300);  // 20 x 20 pixels, scale in twips
  pic.BackColor(ui::vbWhite);
  pic.FillStyle(ui::vbFSSolid);
  pic.FillColor(ui::vbGreen);
  pic.Line(15, 15, 150, 150, ui::vbRed, ui::LineShape::Box);
  QImage img = RenderPicture(pic);
  EXPECT_EQ(img.pixel(1, 1), 0xFFFF0000u);    // outline corner
  EXPECT_EQ(img.pixel(10, 10), 0xFFFF0000u);  // opposite corner, included
  EXPECT_EQ(img.pixel(5, 5), 0xFF00FF00u);    // inside
  EXPECT_EQ(img.pixel(11, 11), kWhite);
  EXPECT_EQ(img.pixel(0, 0), kWhite);

  // An XOR pen shows the difference to what is there.
  pic.Cls();
  pic.DrawMode(ui::vbXorPen);
  pic.Line(0, 150, 285, 150, ui::vbRed);
  img = RenderPicture(pic);
  EXPECT_EQ(img.pixel(5, 10), 0xFF00FFFFu);  // white XOR red = cyan
  EXPECT_EQ(img.pixel(5, 12), kWhite);

  // Nothing to draw on: no image, no crash.
  ui::PictureBox empty("E");
  empty.Print("x");
  EXPECT_TRUE(RenderPicture(empty).isNull());
}

}  // namespace
}  // namespace qtui
