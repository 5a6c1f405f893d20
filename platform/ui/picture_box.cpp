#include "platform/ui/picture_box.h"

#include <algorithm>
#include <cmath>

#include "platform/core/error.h"
#include "platform/core/text.h"

namespace ui {

Color MixPen(int draw_mode, Color pen, Color screen) {
  const Color p = pen & 0xFFFFFF;
  const Color s = screen & 0xFFFFFF;
  Color out = 0;
  switch (draw_mode) {
    case vbBlackness:
      out = 0;
      break;
    case vbNotMergePen:
      out = ~(p | s);
      break;
    case vbMaskNotPen:
      out = ~p & s;
      break;
    case vbNotCopyPen:
      out = ~p;
      break;
    case vbMaskPenNot:
      out = p & ~s;
      break;
    case vbInvert:
      out = ~s;
      break;
    case vbXorPen:
      out = p ^ s;
      break;
    case vbNotMaskPen:
      out = ~(p & s);
      break;
    case vbMaskPen:
      out = p & s;
      break;
    case vbNotXorPen:
      out = ~(p ^ s);
      break;
    case vbNop:
      out = s;
      break;
    case vbMergeNotPen:
      out = ~p | s;
      break;
    case vbCopyPen:
      out = p;
      break;
    case vbMergePenNot:
      out = p | ~s;
      break;
    case vbMergePen:
      out = p | s;
      break;
    case vbWhiteness:
      out = 0xFFFFFF;
      break;
    default:
      throw core::RuntimeError(err::kInvalidPropertyValue, "Invalid property value (DrawMode " +
                                                               std::to_string(draw_mode) + ")");
  }
  return out & 0xFFFFFF;
}

double PictureBox::ScaleWidth() const { return scale_width_ != 0 ? scale_width_ : Width(); }
double PictureBox::ScaleHeight() const { return scale_height_ != 0 ? scale_height_ : Height(); }

void PictureBox::ScaleWidth(double units) {
  if (units == 0 || !std::isfinite(units)) ThrowInvalidPropertyValue(*this, "ScaleWidth");
  scale_width_ = units;
}

void PictureBox::ScaleHeight(double units) {
  if (units == 0 || !std::isfinite(units)) ThrowInvalidPropertyValue(*this, "ScaleHeight");
  scale_height_ = units;
}

void PictureBox::Scale() {
  scale_width_ = 0;
  scale_height_ = 0;
}

void PictureBox::ForeColor(Color color) {
  color &= 0xFFFFFF;
  if (color == fore_color_) return;
  fore_color_ = color;
  Notify(Property::Style);
}

void PictureBox::BackColor(Color color) {
  color &= 0xFFFFFF;
  if (color == back_color_) return;
  back_color_ = color;
  Notify(Property::Style);
}

void PictureBox::FillColor(Color color) {
  color &= 0xFFFFFF;
  if (color == fill_color_) return;
  fill_color_ = color;
  Notify(Property::Style);
}

void PictureBox::FontBold(bool bold) {
  if (bold == font_bold_) return;
  font_bold_ = bold;
  Notify(Property::Style);
}

void PictureBox::AutoRedraw(bool on) {
  if (on == auto_redraw_) return;
  auto_redraw_ = on;
  Notify(Property::Style);
}

void PictureBox::DrawMode(int mode) {
  if (mode < vbBlackness || mode > vbWhiteness) ThrowInvalidPropertyValue(*this, "DrawMode");
  if (mode == draw_mode_) return;
  draw_mode_ = mode;
  Notify(Property::Style);
}

void PictureBox::FillStyle(int style) {
  if (style < 0 || style > 7) ThrowInvalidPropertyValue(*this, "FillStyle");
  if (style == fill_style_) return;
  fill_style_ = style;
  Notify(Property::Style);
}

// A control of no width or height has no twips to scale against; its scale
// units are then taken as twips rather than dividing by zero.
double PictureBox::ToTwipsX(double x) const { return Width() > 0 ? x * Width() / ScaleWidth() : x; }

double PictureBox::ToTwipsY(double y) const {
  return Height() > 0 ? y * Height() / ScaleHeight() : y;
}

double PictureBox::TextWidth(std::string_view text) const {
  std::size_t widest = 0;
  for (const std::string& line : core::Split(text, "\n")) {
    std::size_t n = core::Len(line);
    if (n > 0 && line.back() == '\r') --n;
    widest = std::max(widest, n);
  }
  const double twips =
      static_cast<double>(widest) * (font_bold_ ? kBoldCharWidthTwips : kCharWidthTwips);
  return Width() > 0 ? twips * ScaleWidth() / Width() : twips;
}

double PictureBox::TextHeight(std::string_view text) const {
  const double twips = static_cast<double>(core::Split(text, "\n").size()) * kLineHeightTwips;
  return Height() > 0 ? twips * ScaleHeight() / Height() : twips;
}

void PictureBox::Record(DrawOp op) {
  op.draw_mode = draw_mode_;
  display_list_.push_back(std::move(op));
  Notify(Property::Drawing);
}

void PictureBox::Cls() {
  current_x_ = 0;
  current_y_ = 0;
  if (display_list_.empty()) return;
  display_list_.clear();
  Notify(Property::Drawing);
}

void PictureBox::Print(std::string_view text, bool new_line) {
  DrawOp op;
  op.kind = DrawKind::Text;
  op.x1 = current_x_;
  op.y1 = current_y_;
  op.x2 = current_x_ + TextWidth(text);
  op.y2 = current_y_ + TextHeight(text);
  op.color = fore_color_;
  op.text = std::string(text);
  op.bold = font_bold_;
  if (new_line) {
    current_x_ = 0;
    current_y_ = op.y2;
  } else {
    current_x_ = op.x2;
  }
  Record(std::move(op));
}

void PictureBox::Line(double x1, double y1, double x2, double y2) {
  Line(x1, y1, x2, y2, fore_color_, LineShape::Line);
}

void PictureBox::Line(double x1, double y1, double x2, double y2, Color color, LineShape shape) {
  DrawOp op;
  op.kind = shape == LineShape::Line  ? DrawKind::Line
            : shape == LineShape::Box ? DrawKind::Box
                                      : DrawKind::BoxFilled;
  op.x1 = x1;
  op.y1 = y1;
  op.x2 = x2;
  op.y2 = y2;
  op.color = color & 0xFFFFFF;
  if (shape == LineShape::Box) {
    op.fill_style = fill_style_;
    op.fill_color = fill_color_;
  }
  current_x_ = x2;
  current_y_ = y2;
  Record(std::move(op));
}

void PictureBox::Refresh() {
  ++refresh_count_;
  Notify(Property::Refresh);
}

}  // namespace ui
