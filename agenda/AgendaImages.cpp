#include "agenda/AgendaImages.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <functional>

namespace AgendaImages {
namespace {

constexpr int kSize = 32;  // drawn large; the tool bar scales it down smoothly

QIcon glyph(const QColor& color, const std::function<void(QPainter&)>& draw) {
    QPixmap pixmap(kSize, kSize);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(color, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    draw(p);
    return QIcon(pixmap);
}

void clock(QPainter& p) {
    p.drawEllipse(QRectF(4, 4, 24, 24));
    p.drawLine(QPointF(16, 16), QPointF(16, 9));
    p.drawLine(QPointF(16, 16), QPointF(21, 19));
}

void cross(QPainter& p) {
    p.drawLine(QPointF(7, 7), QPointF(25, 25));
    p.drawLine(QPointF(25, 7), QPointF(7, 25));
}

void check(QPainter& p) {
    QPainterPath path(QPointF(5, 17));
    path.lineTo(13, 25);
    path.lineTo(27, 7);
    p.drawPath(path);
}

}  // namespace

QList<QIcon> StatusImages() {
    return {glyph(QColor(0, 0, 128), clock), glyph(QColor(128, 0, 0), cross),
            glyph(QColor(96, 96, 96), check)};
}

}  // namespace AgendaImages
