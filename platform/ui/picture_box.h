// PictureBox: a drawing surface, with the drawing operations by their
// published names.
//
// Nothing is rasterised here. Every drawing operation is recorded, in order,
// as an entry of a display list that a front end replays (and tests inspect);
// Cls empties it. Coordinates are in scale units: the surface is ScaleWidth
// units wide and ScaleHeight units high whatever its size in twips or pixels.
// Until the caller sets a scale, it is the control's size in twips.
//
// Text is measured with a fixed font metric, so positions are deterministic:
// a character cell is kCharWidthTwips wide (kBoldCharWidthTwips with
// FontBold) and a line kLineHeightTwips high, converted to scale units.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/control.h"

namespace ui {

// Colour in the platform's 0x00BBGGRR order.
using Color = std::uint32_t;
constexpr Color Rgb(int r, int g, int b) {
  return static_cast<Color>((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16));
}
inline constexpr Color vbBlack = 0x000000;
inline constexpr Color vbWhite = 0xFFFFFF;
inline constexpr Color vbRed = 0x0000FF;
inline constexpr Color vbGreen = 0x00FF00;
inline constexpr Color vbBlue = 0xFF0000;

// Drawing modes (how the pen combines with what is on the surface), 1 to 16.
inline constexpr int vbBlackness = 1;
inline constexpr int vbNotMergePen = 2;
inline constexpr int vbMaskNotPen = 3;
inline constexpr int vbNotCopyPen = 4;
inline constexpr int vbMaskPenNot = 5;
inline constexpr int vbInvert = 6;
inline constexpr int vbXorPen = 7;
inline constexpr int vbNotMaskPen = 8;
inline constexpr int vbMaskPen = 9;
inline constexpr int vbNotXorPen = 10;
inline constexpr int vbNop = 11;
inline constexpr int vbMergeNotPen = 12;
inline constexpr int vbCopyPen = 13;
inline constexpr int vbMergePenNot = 14;
inline constexpr int vbMergePen = 15;
inline constexpr int vbWhiteness = 16;

// The colour that results from drawing `pen` over `screen` in `draw_mode`.
// With vbNotXorPen, a pen drawn over white shows as itself and over its own
// colour shows white: that is how a bar on a white surface shows the text it
// covers in inverse. A mode outside 1..16 is error 380.
Color MixPen(int draw_mode, Color pen, Color screen);

// Fill styles, 0 to 7.
inline constexpr int vbFSSolid = 0;
inline constexpr int vbFSTransparent = 1;

// Line's shape: a line, a box outline (filled by FillStyle/FillColor), or a
// box filled with the line's own colour.
enum class LineShape { Line, Box, BoxFilled };

enum class DrawKind { Text, Line, Box, BoxFilled };

// One recorded drawing operation.
struct DrawOp {
  DrawKind kind = DrawKind::Line;
  // Text: (x1, y1) top left of the text, (x2, y2) bottom right of its extent.
  // Line: from (x1, y1) to (x2, y2). Boxes: two opposite corners.
  double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  Color color = 0;  // text and line colour; a filled box's fill colour
  int draw_mode = vbCopyPen;
  std::string text;                  // Text only
  bool bold = false;                 // Text only
  int fill_style = vbFSTransparent;  // Box only: how its inside is filled
  Color fill_color = 0;              // Box only
};

inline constexpr int kCharWidthTwips = 105;      // 7 pixels
inline constexpr int kBoldCharWidthTwips = 120;  // 8 pixels
inline constexpr int kLineHeightTwips = 195;     // 13 pixels

class PictureBox : public Control {
 public:
  explicit PictureBox(std::string name) : Control(ControlKind::PictureBox, std::move(name)) {}

  // The surface's size in scale units. Setting 0 (or a value that is not a
  // finite number) is error 380. Until set, the control's Width/Height.
  double ScaleWidth() const;
  double ScaleHeight() const;
  void ScaleWidth(double units);
  void ScaleHeight(double units);
  // Back to the default scale (twips).
  void Scale();

  Color ForeColor() const { return fore_color_; }
  void ForeColor(Color color);
  Color BackColor() const { return back_color_; }
  void BackColor(Color color);
  Color FillColor() const { return fill_color_; }
  void FillColor(Color color);
  bool FontBold() const { return font_bold_; }
  void FontBold(bool bold);
  // Persistent drawing: a front end keeps the drawing across repaints.
  bool AutoRedraw() const { return auto_redraw_; }
  void AutoRedraw(bool on);
  int DrawMode() const { return draw_mode_; }
  void DrawMode(int mode);  // 1..16, else error 380
  int FillStyle() const { return fill_style_; }
  void FillStyle(int style);  // 0..7, else error 380

  double CurrentX() const { return current_x_; }
  double CurrentY() const { return current_y_; }
  void CurrentX(double x) { current_x_ = x; }
  void CurrentY(double y) { current_y_ = y; }

  // Extent of the text in scale units, with the current font: the widest
  // line, and the number of lines (CR LF or LF separated) times a line.
  double TextWidth(std::string_view text) const;
  double TextHeight(std::string_view text) const;

  // Empties the display list and moves the drawing position to (0, 0).
  void Cls();
  // Draws text at the drawing position in the fore colour. With new_line the
  // position then moves to the start of the next line (CurrentX 0, CurrentY
  // below the text); otherwise it moves just after the text.
  void Print(std::string_view text, bool new_line = true);
  // Line (x1, y1)-(x2, y2) in the fore colour.
  void Line(double x1, double y1, double x2, double y2);
  // Line (x1, y1)-(x2, y2), color[, B[F]]. The drawing position moves to (x2, y2).
  void Line(double x1, double y1, double x2, double y2, Color color,
            LineShape shape = LineShape::Line);
  // Asks the front end to show the drawing now.
  void Refresh();
  int RefreshCount() const { return refresh_count_; }

  const std::vector<DrawOp>& DisplayList() const { return display_list_; }

  // Scale units to twips on this control (for front ends).
  double ToTwipsX(double x) const;
  double ToTwipsY(double y) const;

 private:
  void Record(DrawOp op);

  double scale_width_ = 0;   // 0: follow Width
  double scale_height_ = 0;  // 0: follow Height
  Color fore_color_ = vbBlack;
  Color back_color_ = 0xC0C0C0;
  Color fill_color_ = vbBlack;
  bool font_bold_ = false;
  bool auto_redraw_ = false;
  int draw_mode_ = vbCopyPen;
  int fill_style_ = vbFSTransparent;
  double current_x_ = 0;
  double current_y_ = 0;
  int refresh_count_ = 0;
  std::vector<DrawOp> display_list_;
};

}  // namespace ui
