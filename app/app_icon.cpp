#include "app/app_icon.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace zel {

QIcon appIcon() {
    QIcon icon;
    for (const int side : {16, 22, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(side / 256.0, side / 256.0);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0x1f, 0x6f, 0xeb));
        painter.drawRoundedRect(QRectF(8, 8, 240, 240), 56, 56);
        QPen white(Qt::white, 14);
        white.setJoinStyle(Qt::RoundJoin);
        white.setCapStyle(Qt::RoundCap);
        painter.setPen(white);
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(72, 40, 112, 176), 18, 18);
        white.setWidth(16);
        painter.setPen(white);
        QPainterPath zed;
        zed.moveTo(100, 92);
        zed.lineTo(156, 92);
        zed.lineTo(100, 164);
        zed.lineTo(156, 164);
        painter.drawPath(zed);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace zel
