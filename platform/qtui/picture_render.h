// Rasterising a picture box's display list.
//
// The surface starts in the back colour; every recorded operation is then
// drawn in order, each pixel it covers combined with what is already there
// by the operation's draw mode (ui::MixPen), so that the not-XOR pen of a
// progress bar shows the text under the bar in the back colour. Shapes and
// text are drawn without anti-aliasing: a pixel is covered or not, which is
// what the pixel-combining modes are defined on. Boxes include both corner
// pixels.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QSize>

#include "platform/ui/picture_box.h"

namespace qtui {

// The model's 0x00BBGGRR colour as an opaque Qt colour.
QColor ToQColor(ui::Color color);

// The font that text is printed in, close to the model's fixed text metric
// (a line of 13 pixels).
QFont PictureFont(bool bold);

// The picture as it shows at `size` pixels (scale units are stretched to it).
QImage RenderPicture(const ui::PictureBox& picture, QSize size);
// At the control's own size (twips converted to pixels).
QImage RenderPicture(const ui::PictureBox& picture);

}  // namespace qtui
