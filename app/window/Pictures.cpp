#include "app/window/Pictures.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <array>

#include "platform/qt/DesignFonts.h"

namespace morvane {
namespace {

const QColor kStripTop(0x33, 0x4a, 0x63);
const QColor kStripBottom(0x1f, 0x2e, 0x3f);
const QColor kAccent(0x3d, 0x9b, 0xe9);

void DrawPlaySign(QPainter& p, const QRectF& box) {
  QPainterPath path;
  path.moveTo(box.left() + box.width() * 0.30, box.top() + box.height() * 0.22);
  path.lineTo(box.left() + box.width() * 0.80, box.center().y());
  path.lineTo(box.left() + box.width() * 0.30, box.top() + box.height() * 0.78);
  path.closeSubpath();
  p.fillPath(path, Qt::white);
}

void DrawSearchSign(QPainter& p, const QRectF& box) {
  p.setPen(QPen(Qt::white, box.width() * 0.12, Qt::SolidLine, Qt::RoundCap));
  p.setBrush(Qt::NoBrush);
  const QRectF lens(box.left() + box.width() * 0.15, box.top() + box.height() * 0.15,
                    box.width() * 0.5, box.height() * 0.5);
  p.drawEllipse(lens);
  p.drawLine(QPointF(lens.right() - box.width() * 0.05, lens.bottom() - box.height() * 0.05),
             QPointF(box.right() - box.width() * 0.12, box.bottom() - box.height() * 0.12));
}

void DrawFilmSign(QPainter& p, const QRectF& box) {
  const QRectF film = box.adjusted(box.width() * 0.12, box.height() * 0.2, -box.width() * 0.12,
                                   -box.height() * 0.2);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawRoundedRect(film, 2, 2);
  p.setBrush(kStripBottom);
  const double hole = film.width() / 9;
  for (int i = 0; i < 4; ++i) {
    const double x = film.left() + hole * (0.6 + i * 2.1);
    p.drawRect(QRectF(x, film.top() + hole * 0.4, hole, hole * 0.8));
    p.drawRect(QRectF(x, film.bottom() - hole * 1.2, hole, hole * 0.8));
  }
}

void DrawTvSign(QPainter& p, const QRectF& box) {
  const QRectF screen = box.adjusted(box.width() * 0.1, box.height() * 0.28, -box.width() * 0.1,
                                     -box.height() * 0.12);
  p.setPen(QPen(Qt::white, box.width() * 0.08));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(screen, 3, 3);
  p.drawLine(QPointF(box.center().x(), screen.top()),
             QPointF(box.left() + box.width() * 0.3, box.top() + box.height() * 0.08));
  p.drawLine(QPointF(box.center().x(), screen.top()),
             QPointF(box.right() - box.width() * 0.3, box.top() + box.height() * 0.08));
}

}  // namespace

QImage ProgramIconImage(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF box(0.5, 0.5, size - 1.0, size - 1.0);
  QLinearGradient fill(box.topLeft(), box.bottomLeft());
  fill.setColorAt(0, kAccent.lighter(120));
  fill.setColorAt(1, kAccent.darker(160));
  p.setPen(QPen(kStripBottom, size >= 32 ? 1.5 : 1.0));
  p.setBrush(fill);
  p.drawEllipse(box);
  DrawPlaySign(p, box.adjusted(size * 0.08, 0, 0, 0));
  return image;
}

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 32, 48}) icon.addPixmap(QPixmap::fromImage(ProgramIconImage(size)));
  return icon;
}

QPixmap ToolbarPicture(int index) {
  static const std::array<QString, 4> kPageNames = {
      QStringLiteral("在线云播"), QStringLiteral("搜索种子"), QStringLiteral("高清影库"),
      QStringLiteral("电视直播")};
  QPixmap pixmap(100, 45);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF sign(8, 9, 26, 26);
  p.setPen(Qt::NoPen);
  p.setBrush(kAccent);
  p.drawEllipse(sign.adjusted(-3, -3, 3, 3));
  switch (index) {
    case 0:
      DrawPlaySign(p, sign);
      break;
    case 1:
      DrawSearchSign(p, sign);
      break;
    case 2:
      DrawFilmSign(p, sign);
      break;
    default:
      DrawTvSign(p, sign);
      break;
  }
  p.setPen(Qt::white);
  p.setFont(DesignFont(Typeface::Hei, 14, true));
  p.drawText(QRectF(40, 0, 60, 45), Qt::AlignVCenter | Qt::AlignLeft,
             kPageNames[static_cast<std::size_t>(index) % kPageNames.size()]);
  return pixmap;
}

QPixmap ArrowPicture() {
  QPixmap pixmap(24, 24);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x2e, 0xb8, 0x4b));
  p.drawEllipse(QRectF(2, 2, 20, 20));
  QPainterPath arrow;
  arrow.moveTo(12, 5);
  arrow.lineTo(18.5, 12);
  arrow.lineTo(14.5, 12);
  arrow.lineTo(14.5, 18.5);
  arrow.lineTo(9.5, 18.5);
  arrow.lineTo(9.5, 12);
  arrow.lineTo(5.5, 12);
  arrow.closeSubpath();
  p.fillPath(arrow, Qt::white);
  return pixmap;
}

}  // namespace morvane
