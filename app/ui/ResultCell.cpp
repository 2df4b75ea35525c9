#include "ui/ResultCell.h"

#include "ui/Icons.h"

#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolButton>

namespace dravelin {

namespace {

constexpr int kCornerRadius = 6;
constexpr int kSourceSide = 192; // typical cell side; twice that is kept for sharpness

QToolButton* capsuleButton(const QString& icon, const QString& tip, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setIcon(themedIcon(icon));
    button->setToolTip(tip);
    button->setAutoRaise(true);
    button->setIconSize(QSize(16, 16));
    button->setCursor(Qt::ArrowCursor);
    return button;
}

} // namespace

ResultCell::ResultCell(GeneratedImage result, QWidget* parent)
    : QWidget(parent), result_(std::move(result)) {
    // Cells are small: keep a reduced copy once, so a resize only rescales that.
    const QImage& image = result_.image;
    source_ = QPixmap::fromImage(image.width() > 2 * kSourceSide || image.height() > 2 * kSourceSide
                                     ? image.scaled(kSourceSide * 2, kSourceSide * 2,
                                                    Qt::KeepAspectRatioByExpanding,
                                                    Qt::SmoothTransformation)
                                     : image);
    setToolTip(result_.prompt + QLatin1Char('\n') + QStringLiteral("Seed ") +
               QString::number(result_.seed));
    setCursor(Qt::PointingHandCursor);

    capsule_ = new QWidget(this);
    capsule_->setObjectName(QStringLiteral("capsule"));
    capsule_->setAttribute(Qt::WA_StyledBackground);
    capsule_->setStyleSheet(
        QStringLiteral("#capsule { background: rgba(255, 255, 255, 150); border-radius: 12px; }"));
    auto* row = new QHBoxLayout(capsule_);
    row->setContentsMargins(4, 0, 4, 0);
    row->setSpacing(4);
    QToolButton* save =
        capsuleButton(QStringLiteral("document-save"), QStringLiteral("Save as PNG"), capsule_);
    QToolButton* copy =
        capsuleButton(QStringLiteral("edit-copy"), QStringLiteral("Copy to clipboard"), capsule_);
    save->setObjectName(QStringLiteral("save"));
    copy->setObjectName(QStringLiteral("copy"));
    row->addWidget(save);
    row->addWidget(copy);
    connect(save, &QToolButton::clicked, this, [this] { emit saveRequested(result_); });
    connect(copy, &QToolButton::clicked, this, [this] { emit copyRequested(result_); });
}

void ResultCell::resizeEvent(QResizeEvent* event) {
    thumbnail_ = QPixmap();
    capsule_->adjustSize();
    capsule_->move(width() - capsule_->width() - 4, height() - capsule_->height() - 4);
    QWidget::resizeEvent(event);
}

void ResultCell::paintEvent(QPaintEvent*) {
    if (thumbnail_.isNull() && !source_.isNull()) {
        // Fill the square: scale the shorter side to fit, crop the rest.
        const qreal ratio = devicePixelRatioF();
        const QSize target = size() * ratio;
        const QPixmap scaled =
            source_.scaled(target, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
        thumbnail_ =
            scaled.copy((scaled.width() - target.width()) / 2,
                        (scaled.height() - target.height()) / 2, target.width(), target.height());
        thumbnail_.setDevicePixelRatio(ratio);
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath rounded;
    rounded.addRoundedRect(rect(), kCornerRadius, kCornerRadius);
    painter.setClipPath(rounded);
    painter.fillRect(rect(), palette().color(QPalette::Mid));
    if (!thumbnail_.isNull()) {
        painter.drawPixmap(0, 0, thumbnail_);
    }
}

void ResultCell::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        emit clicked(result_);
    }
    QWidget::mouseReleaseEvent(event);
}

void ResultCell::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(QStringLiteral("Save as PNG\u2026"), this,
                   [this] { emit saveRequested(result_); });
    menu.addAction(QStringLiteral("Copy"), this, [this] { emit copyRequested(result_); });
    menu.exec(event->globalPos());
}

} // namespace dravelin
