#include "app/pictures.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QRadialGradient>

namespace qz::toolkit {

QImage warningPicture(int id) {
  QImage img(64, 56, QImage::Format_RGB888);
  img.fill(id == 151 ? QColor(236, 233, 216) : QColor(240, 240, 240));
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath tri;
  tri.moveTo(32, 3);
  tri.lineTo(61, 53);
  tri.lineTo(3, 53);
  tri.closeSubpath();
  QLinearGradient fill(0, 3, 0, 53);
  fill.setColorAt(0, QColor(255, 236, 90));
  fill.setColorAt(1, QColor(245, 190, 0));
  p.setPen(QPen(QColor(40, 40, 40), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(fill);
  p.drawPath(tri);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(20, 20, 20));
  QPainterPath bar;
  bar.moveTo(29, 18);
  bar.lineTo(35, 18);
  bar.lineTo(33.5, 38);
  bar.lineTo(30.5, 38);
  bar.closeSubpath();
  p.drawPath(bar);
  p.drawEllipse(QPointF(32, 45), 3.2, 3.2);
  return img;
}

QImage badge(int size, bool crossed) {
  QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  const qreal s = size;
  const QRectF disc(s * 0.04, s * 0.04, s * 0.92, s * 0.92);
  QRadialGradient body(s * 0.5, s * 0.42, s * 0.55);
  body.setColorAt(0, QColor(70, 82, 104));
  body.setColorAt(0.7, QColor(28, 34, 48));
  body.setColorAt(1, QColor(12, 14, 20));
  p.setPen(QPen(QColor(8, 10, 14), qMax(1.0, s / 32)));
  p.setBrush(body);
  p.drawEllipse(disc);
  // Gloss: a soft white cap over the upper half.
  QLinearGradient gloss(0, s * 0.06, 0, s * 0.5);
  gloss.setColorAt(0, QColor(255, 255, 255, 150));
  gloss.setColorAt(1, QColor(255, 255, 255, 0));
  p.setPen(Qt::NoPen);
  p.setBrush(gloss);
  p.drawEllipse(QRectF(s * 0.16, s * 0.07, s * 0.68, s * 0.45));
  // Monogram.
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setBold(true);
  f.setPixelSize(qMax(7, int(s * 0.42)));
  p.setFont(f);
  p.setPen(Qt::white);
  p.drawText(disc, Qt::AlignCenter, size <= 16 ? QStringLiteral("T") : QStringLiteral("TK"));
  if (crossed) {
    const qreal w = qMax(2.0, s / 7);
    p.setPen(QPen(QColor(220, 20, 20), w, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(disc.adjusted(w / 2, w / 2, -w / 2, -w / 2));
    p.drawLine(QPointF(s * 0.2, s * 0.2), QPointF(s * 0.8, s * 0.8));
  }
  return img;
}

QIcon programIcon(int id) {
  QIcon icon;
  if (id == 129) {
    icon.addPixmap(QPixmap::fromImage(badge(16, true)));
  } else {
    for (int size : {16, 32, 48, 256}) icon.addPixmap(QPixmap::fromImage(badge(size, false)));
  }
  return icon;
}

}  // namespace qz::toolkit
