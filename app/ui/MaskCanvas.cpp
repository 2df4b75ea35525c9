#include "ui/MaskCanvas.h"

#include "state/ImageInput.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>
#include <QPainter>

namespace dravelin {

namespace {

// The one local file a drop carries, or an empty path.
QString droppedFile(const QMimeData* data) {
    if (data == nullptr || data->urls().size() != 1 || !data->urls().front().isLocalFile()) {
        return {};
    }
    return data->urls().front().toLocalFile();
}

} // namespace

MaskCanvas::MaskCanvas(ImageInput& input, QWidget* parent) : QWidget(parent), input_(input) {
    setObjectName(QStringLiteral("maskCanvas"));
    setMinimumSize(160, 160);
    setCursor(Qt::CrossCursor);
    setAcceptDrops(true);
    connect(&input_, &ImageInput::imageChanged, this, qOverload<>(&QWidget::update));
    connect(&input_, &ImageInput::maskChanged, this, qOverload<>(&QWidget::update));
}

QRectF MaskCanvas::imageRect() const {
    const QImage image = input_.image();
    if (image.isNull() || width() <= 0 || height() <= 0) {
        return {};
    }
    const QSizeF shown = QSizeF(image.size()).scaled(QSizeF(size()), Qt::KeepAspectRatio);
    return {QPointF((width() - shown.width()) / 2, (height() - shown.height()) / 2), shown};
}

QPointF MaskCanvas::toImage(QPointF point) const {
    const QRectF area = imageRect();
    if (area.isEmpty()) {
        return {};
    }
    const double scale = input_.image().width() / area.width();
    return (point - area.topLeft()) * scale;
}

void MaskCanvas::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Shadow));
    const QRectF area = imageRect();
    if (area.isEmpty()) {
        painter.setPen(palette().color(QPalette::PlaceholderText));
        painter.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap,
                         QStringLiteral("Open an image or drop a PNG here to start from it"));
        return;
    }
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(area, input_.image());
    if (input_.hasMask()) {
        // The painted part in red, half see-through, so the image shows.
        QImage overlay(input_.mask().size(), QImage::Format_ARGB32_Premultiplied);
        overlay.fill(QColor(220, 40, 40, 140));
        QImage alpha = input_.mask();
        overlay.setAlphaChannel(alpha);
        painter.setOpacity(0.55);
        painter.drawImage(area, overlay);
    }
}

void MaskCanvas::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && input_.hasImage()) {
        input_.beginStroke(toImage(event->position()));
    }
}

void MaskCanvas::mouseMoveEvent(QMouseEvent* event) {
    if ((event->buttons() & Qt::LeftButton) != 0) {
        input_.continueStroke(toImage(event->position()));
    }
}

void MaskCanvas::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        input_.endStroke();
    }
}

void MaskCanvas::dragEnterEvent(QDragEnterEvent* event) {
    if (!droppedFile(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void MaskCanvas::dropEvent(QDropEvent* event) {
    // Taken here rather than by the window, which would read the image's
    // settings: on the input panel a dropped image is the input. A file that
    // cannot be read leaves the sentence in the input's error message.
    const QString path = droppedFile(event->mimeData());
    if (!path.isEmpty()) {
        input_.openFile(path);
        event->acceptProposedAction();
    }
}

} // namespace dravelin
