#include "ui/ResultDelegate.h"

#include "state/ResultsModel.h"
#include "ui/Icons.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>

namespace dravelin {

namespace {

constexpr int kCornerRadius = 6;
constexpr int kSourceSide = 192; // typical cell side; twice that is kept for sharpness
constexpr int kButton = 24;      // a button's square in the capsule
constexpr int kCapsulePadding = 4;
constexpr int kCapsuleInset = 4; // from the cell's bottom-right corner

QRect capsuleRect(const QRect& cell) {
    const int width = 2 * kButton + 2 * kCapsulePadding + 4;
    return QRect(cell.right() - kCapsuleInset - width + 1,
                 cell.bottom() - kCapsuleInset - kButton + 1, width, kButton);
}

GeneratedImage resultAt(const QModelIndex& index) {
    return index.data(ResultsModel::ResultRole).value<GeneratedImage>();
}

} // namespace

ResultDelegate::ResultDelegate(QObject* parent) : QStyledItemDelegate(parent) {}

QRect ResultDelegate::saveButtonRect(const QRect& cell) {
    const QRect capsule = capsuleRect(cell);
    return QRect(capsule.left() + kCapsulePadding, capsule.top(), kButton, kButton);
}

QRect ResultDelegate::copyButtonRect(const QRect& cell) {
    return saveButtonRect(cell).translated(kButton + 4, 0);
}

QSize ResultDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    return QSize(side_, side_);
}

QPixmap ResultDelegate::thumbnail(const GeneratedImage& result, const QSize& size) const {
    QPixmap& cached = thumbnails_[result.id];
    if (cached.size() == size) {
        return cached;
    }
    QPixmap& source = sources_[result.id];
    if (source.isNull()) {
        const QImage& image = result.image;
        source = QPixmap::fromImage(
            image.width() > 2 * kSourceSide || image.height() > 2 * kSourceSide
                ? image.scaled(kSourceSide * 2, kSourceSide * 2, Qt::KeepAspectRatioByExpanding,
                               Qt::SmoothTransformation)
                : image);
    }
    if (source.isNull()) {
        return {};
    }
    // Fill the square: scale the shorter side to fit, crop the rest.
    const QPixmap scaled =
        source.scaled(size, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    cached = scaled.copy((scaled.width() - size.width()) / 2, (scaled.height() - size.height()) / 2,
                         size.width(), size.height());
    return cached;
}

void ResultDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                           const QModelIndex& index) const {
    const GeneratedImage result = resultAt(index);
    const QRect cell = option.rect;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    QPainterPath rounded;
    rounded.addRoundedRect(cell, kCornerRadius, kCornerRadius);
    painter->setClipPath(rounded);
    painter->fillRect(cell, option.palette.color(QPalette::Mid));
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    QPixmap picture = thumbnail(result, cell.size() * ratio);
    if (!picture.isNull()) {
        picture.setDevicePixelRatio(ratio);
        painter->drawPixmap(cell.topLeft(), picture);
    }
    painter->setClipping(false);

    if (option.state & QStyle::State_Selected) {
        QPen ring(option.palette.color(QPalette::Highlight), 3);
        painter->setPen(ring);
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(QRectF(cell).adjusted(1.5, 1.5, -1.5, -1.5), kCornerRadius,
                                 kCornerRadius);
    }

    painter->setPen(Qt::NoPen);
    painter->setBrush(QColor(255, 255, 255, 150));
    painter->drawRoundedRect(capsuleRect(cell), 12, 12);
    const int icon = 16;
    const int offset = (kButton - icon) / 2;
    themedIcon(QStringLiteral("document-save"))
        .paint(painter, saveButtonRect(cell).adjusted(offset, offset, -offset, -offset));
    themedIcon(QStringLiteral("edit-copy"))
        .paint(painter, copyButtonRect(cell).adjusted(offset, offset, -offset, -offset));
    painter->restore();
}

bool ResultDelegate::editorEvent(QEvent* event, QAbstractItemModel* model,
                                 const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease ||
        event->type() == QEvent::MouseButtonDblClick) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const QPoint at = mouse->position().toPoint();
        const bool onSave = saveButtonRect(option.rect).contains(at);
        const bool onCopy = copyButtonRect(option.rect).contains(at);
        if (onSave || onCopy) {
            // The buttons act on release and keep the press from selecting.
            if (event->type() == QEvent::MouseButtonRelease && mouse->button() == Qt::LeftButton) {
                if (onSave) {
                    emit saveRequested(resultAt(index));
                } else {
                    emit copyRequested(resultAt(index));
                }
            }
            return true;
        }
    }
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}

bool ResultDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                               const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() == QEvent::ToolTip) {
        if (saveButtonRect(option.rect).contains(event->pos())) {
            QToolTip::showText(event->globalPos(), QStringLiteral("Save as PNG"), view);
            return true;
        }
        if (copyButtonRect(option.rect).contains(event->pos())) {
            QToolTip::showText(event->globalPos(), QStringLiteral("Copy to clipboard"), view);
            return true;
        }
    }
    return QStyledItemDelegate::helpEvent(event, view, option, index);
}

} // namespace dravelin
