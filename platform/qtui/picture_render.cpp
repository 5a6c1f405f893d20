#include "platform/qtui/picture_render.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

#include "platform/ui/twips.h"

namespace qtui {

namespace {

constexpr QRgb kCovered = 0xFF000000;

ui::Color FromQRgb(QRgb rgb) { return ui::Rgb(qRed(rgb), qGreen(rgb), qBlue(rgb)); }

// Maps scale units to pixel coordinates of an image of `size`.
struct Mapping {
  const ui::PictureBox* picture;
  double px_per_twip_x;
  double px_per_twip_y;

  int X(double x) const {
    return static_cast<int>(std::lround(picture->ToTwipsX(x) * px_per_twip_x));
  }
  int Y(double y) const {
    return static_cast<int>(std::lround(picture->ToTwipsY(y) * px_per_twip_y));
  }
};

// Applies `color` in `mode` to every pixel set in `mask`.
void Combine(QImage& surface, const QImage& mask, int mode, ui::Color color) {
  for (int y = 0; y < surface.height(); ++y) {
    const auto* m = reinterpret_cast<const QRgb*>(mask.constScanLine(y));
    auto* s = reinterpret_cast<QRgb*>(surface.scanLine(y));
    for (int x = 0; x < surface.width(); ++x) {
      if (qAlpha(m[x]) == 0) continue;
      s[x] = ToQColor(ui::MixPen(mode, color, FromQRgb(s[x]))).rgb();
    }
  }
}

QImage NewMask(QSize size) {
  QImage mask(size, QImage::Format_ARGB32);
  mask.fill(Qt::transparent);
  return mask;
}

Qt::BrushStyle HatchOf(int fill_style) {
  switch (fill_style) {
    case 2:
      return Qt::HorPattern;
    case 3:
      return Qt::VerPattern;
    case 4:
      return Qt::BDiagPattern;  // upward diagonal
    case 5:
      return Qt::FDiagPattern;  // downward diagonal
    case 6:
      return Qt::CrossPattern;
    case 7:
      return Qt::DiagCrossPattern;
    default:
      return Qt::SolidPattern;
  }
}

void DrawOne(QImage& surface, const Mapping& map, const ui::DrawOp& op) {
  const QSize size = surface.size();
  QImage mask = NewMask(size);
  const int x1 = map.X(op.x1), y1 = map.Y(op.y1), x2 = map.X(op.x2), y2 = map.Y(op.y2);
  // Box corners, inclusive.
  const QRect box(QPoint(std::min(x1, x2), std::min(y1, y2)),
                  QPoint(std::max(x1, x2), std::max(y1, y2)));
  switch (op.kind) {
    case ui::DrawKind::Text: {
      QPainter p(&mask);
      p.setRenderHint(QPainter::TextAntialiasing, false);
      QFont font = PictureFont(op.bold);
      p.setFont(font);
      p.setPen(QColor::fromRgba(kCovered));
      const QFontMetrics fm(font);
      // One line per line break, each starting at the same left edge.
      QString text = QString::fromStdString(op.text);
      text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
      const double line_px = ui::kLineHeightTwips * map.px_per_twip_y;
      int line = 0;
      for (const QString& piece : text.split(QChar('\n'))) {
        const int top = y1 + static_cast<int>(std::lround(line * line_px));
        p.drawText(QPoint(x1, top + fm.ascent()), piece);
        ++line;
      }
      break;
    }
    case ui::DrawKind::Line: {
      QPainter p(&mask);
      p.setRenderHint(QPainter::Antialiasing, false);
      p.setPen(QPen(QColor::fromRgba(kCovered), 0));
      p.drawLine(x1, y1, x2, y2);
      break;
    }
    case ui::DrawKind::BoxFilled: {
      QPainter p(&mask);
      p.fillRect(box, QColor::fromRgba(kCovered));
      break;
    }
    case ui::DrawKind::Box: {
      // The inside and the outline are separate pixels, so that a combining
      // mode sees each pixel once per shape.
      if (op.fill_style != ui::vbFSTransparent && box.width() > 2 && box.height() > 2) {
        QImage inside = NewMask(size);
        {
          QPainter p(&inside);
          p.fillRect(box.adjusted(1, 1, -1, -1),
                     QBrush(QColor::fromRgba(kCovered), HatchOf(op.fill_style)));
        }
        Combine(surface, inside, op.draw_mode, op.fill_color);
      }
      QPainter p(&mask);
      const QColor on = QColor::fromRgba(kCovered);
      p.fillRect(QRect(box.left(), box.top(), box.width(), 1), on);
      p.fillRect(QRect(box.left(), box.bottom(), box.width(), 1), on);
      p.fillRect(QRect(box.left(), box.top(), 1, box.height()), on);
      p.fillRect(QRect(box.right(), box.top(), 1, box.height()), on);
      break;
    }
  }
  Combine(surface, mask, op.draw_mode, op.color);
}

}  // namespace

QColor ToQColor(ui::Color color) {
  return QColor(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                static_cast<int>((color >> 16) & 0xFF));
}

QFont PictureFont(bool bold) {
  QFont font;
  font.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
  font.setPixelSize(11);
  font.setBold(bold);
  font.setStyleStrategy(QFont::NoAntialias);
  return font;
}

QImage RenderPicture(const ui::PictureBox& picture, QSize size) {
  QImage surface(size.expandedTo(QSize(0, 0)), QImage::Format_RGB32);
  if (surface.isNull()) return surface;
  surface.fill(ToQColor(picture.BackColor()));
  // Without a size in twips, scale units are twips (see ToTwipsX).
  const Mapping map{
      &picture,
      picture.Width() > 0 ? double(size.width()) / picture.Width() : 1.0 / ui::kTwipsPerPixel,
      picture.Height() > 0 ? double(size.height()) / picture.Height() : 1.0 / ui::kTwipsPerPixel};
  for (const ui::DrawOp& op : picture.DisplayList()) DrawOne(surface, map, op);
  return surface;
}

QImage RenderPicture(const ui::PictureBox& picture) {
  return RenderPicture(
      picture, QSize(ui::TwipsToPixels(picture.Width()), ui::TwipsToPixels(picture.Height())));
}

}  // namespace qtui
