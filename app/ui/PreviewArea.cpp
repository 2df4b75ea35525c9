#include "ui/PreviewArea.h"

#include "state/Generator.h"

#include <QPainter>

namespace dravelin {

namespace {
constexpr int kInset = 12;
}

PreviewArea::PreviewArea(Generator& generator, QWidget* parent)
    : QWidget(parent), generator_(generator) {
    setMinimumSize(200, 200);
    connect(&generator_, &Generator::previewChanged, this, &PreviewArea::imageChanged);
    connect(&generator_, &Generator::isGeneratingChanged, this, qOverload<>(&QWidget::update));
    imageChanged();
}

QString PreviewArea::placeholderText() const {
    if (!source_.isNull()) {
        return QString();
    }
    return generator_.isGenerating() ? QStringLiteral("Starting\u2026")
                                     : QStringLiteral("Your image will appear here");
}

void PreviewArea::imageChanged() {
    const QImage image = generator_.preview();
    source_ = image.isNull() ? QPixmap() : QPixmap::fromImage(image);
    scaled_ = QPixmap();
    update();
}

void PreviewArea::resizeEvent(QResizeEvent* event) {
    scaled_ = QPixmap();
    QWidget::resizeEvent(event);
}

void PreviewArea::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Shadow));
    if (source_.isNull()) {
        painter.setPen(palette().color(QPalette::PlaceholderText));
        painter.drawText(rect(), Qt::AlignCenter, placeholderText());
        return;
    }
    const QRect area = rect().adjusted(kInset, kInset, -kInset, -kInset);
    if (area.width() <= 0 || area.height() <= 0) {
        return;
    }
    if (scaled_.isNull()) {
        const qreal ratio = devicePixelRatioF();
        scaled_ =
            source_.scaled(area.size() * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        scaled_.setDevicePixelRatio(ratio);
    }
    const QSize shown = scaled_.deviceIndependentSize().toSize();
    const QPoint origin(area.x() + (area.width() - shown.width()) / 2,
                        area.y() + (area.height() - shown.height()) / 2);
    painter.drawPixmap(origin, scaled_);
}

} // namespace dravelin
