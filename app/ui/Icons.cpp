#include "ui/Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace dravelin {

namespace {

// Small line drawings for the few icons the window uses.
QIcon drawnIcon(const QString& name) {
    QPixmap pixmap(48, 48);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(QColor(90, 90, 90), 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    if (name == QLatin1String("dialog-warning")) {
        QPainterPath triangle;
        triangle.moveTo(24, 5);
        triangle.lineTo(44, 42);
        triangle.lineTo(4, 42);
        triangle.closeSubpath();
        painter.setPen(QPen(QColor(200, 40, 40), 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPath(triangle);
        painter.drawLine(24, 18, 24, 30);
        painter.drawPoint(24, 36);
    } else if (name == QLatin1String("document-save")) {
        painter.drawRoundedRect(8, 8, 32, 32, 3, 3);
        painter.drawRect(16, 8, 16, 10);
        painter.drawRect(15, 27, 18, 13);
    } else if (name == QLatin1String("edit-copy")) {
        painter.drawRoundedRect(6, 6, 24, 28, 3, 3);
        painter.drawRoundedRect(18, 16, 24, 28, 3, 3);
    } else { // applications-graphics: a brush
        painter.drawLine(38, 6, 20, 28);
        painter.setBrush(QColor(90, 90, 90));
        painter.drawEllipse(QPointF(15, 34), 8, 7);
    }
    return QIcon(pixmap);
}

} // namespace

QIcon themedIcon(const QString& name) {
    const QIcon themed = QIcon::fromTheme(name);
    return themed.isNull() ? drawnIcon(name) : themed;
}

} // namespace dravelin
