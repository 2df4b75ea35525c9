#include "ui/SetupView.h"

#include "state/ModelStore.h"
#include "ui/Icons.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace dravelin {

namespace {

QPushButton* prominentButton(const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setDefault(true);
    button->setMinimumHeight(36);
    QFont font = button->font();
    font.setPointSizeF(font.pointSizeF() * 1.15);
    button->setFont(font);
    return button;
}

QLabel* secondaryLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setForegroundRole(QPalette::PlaceholderText);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

} // namespace

QString SetupView::progressCaption(double fraction, const QString& detail) {
    const int percent = static_cast<int>(std::floor(std::clamp(fraction, 0.0, 1.0) * 100.0));
    return QString::number(percent) + QStringLiteral("%  \u00b7  ") + detail;
}

QString SetupView::progressCaption(double fraction, const QString& detail,
                                   const QFontMetrics& metrics, int width) {
    const QString whole = progressCaption(fraction, detail);
    if (metrics.horizontalAdvance(whole) <= width) {
        return whole;
    }
    const QString separator = QStringLiteral(" \u2014 ");
    const qsizetype split = detail.indexOf(separator);
    const QString percent = progressCaption(fraction, QString());
    if (split < 0) {
        return whole;
    }
    const QString figures = detail.mid(split);
    const int room = width - metrics.horizontalAdvance(percent + figures);
    const QString name = metrics.elidedText(detail.left(split), Qt::ElideMiddle, room);
    // An ellipsis alone says nothing: then the figures go without a name.
    if (name.isEmpty() || name == QStringLiteral("\u2026")) {
        return percent + figures.mid(separator.size());
    }
    return percent + name + figures;
}

SetupView::SetupView(ModelStore& store, QWidget* parent) : QWidget(parent), store_(store) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(40, 40, 40, 40);
    layout->setSpacing(16);
    layout->addStretch(1);

    auto* icon = new QLabel(this);
    icon->setPixmap(themedIcon(QStringLiteral("applications-graphics")).pixmap(48, 48));
    icon->setAlignment(Qt::AlignCenter);
    layout->addWidget(icon);

    auto* title = new QLabel(QStringLiteral("Dravelin"), this);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 2.2);
    titleFont.setBold(true);
    title->setFont(titleFont);
    title->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);

    introduction_ = new QLabel(
        QStringLiteral("Images are generated entirely on this computer. The first launch needs a "
                       "one-time download of the Stable Diffusion 1.5 model (16-bit, about 2.1 "
                       "GB) from Hugging Face."),
        this);
    introduction_->setWordWrap(true);
    introduction_->setAlignment(Qt::AlignCenter);
    // A centred item gets no height-for-width from the layout: give the
    // wrapped paragraph its width and the height that needs.
    introduction_->setFixedWidth(460);
    introduction_->setMinimumHeight(introduction_->heightForWidth(460));
    layout->addWidget(introduction_, 0, Qt::AlignHCenter);
    downloadButton_ = prominentButton(QStringLiteral("Download model"), this);
    layout->addWidget(downloadButton_, 0, Qt::AlignHCenter);

    downloadProgress_ = new QProgressBar(this);
    downloadProgress_->setRange(0, 1000);
    downloadProgress_->setTextVisible(false);
    downloadProgress_->setMaximumWidth(420);
    downloadProgress_->setMinimumWidth(420);
    layout->addWidget(downloadProgress_, 0, Qt::AlignHCenter);
    downloadCaption_ = secondaryLabel(QString(), this);
    // The width the caption is fitted into (see progressCaption).
    downloadCaption_->setFixedWidth(420);
    layout->addWidget(downloadCaption_, 0, Qt::AlignHCenter);
    cancelButton_ = new QPushButton(QStringLiteral("Cancel"), this);
    layout->addWidget(cancelButton_, 0, Qt::AlignHCenter);

    spinner_ = new QProgressBar(this);
    spinner_->setRange(0, 0); // indeterminate
    spinner_->setTextVisible(false);
    spinner_->setMaximumWidth(200);
    layout->addWidget(spinner_, 0, Qt::AlignHCenter);
    loadingText_ = secondaryLabel(QStringLiteral("Loading model\u2026"), this);
    layout->addWidget(loadingText_, 0, Qt::AlignHCenter);

    failure_ = new QWidget(this);
    auto* failureRow = new QHBoxLayout(failure_);
    failureRow->setContentsMargins(0, 0, 0, 0);
    auto* warning = new QLabel(failure_);
    warning->setPixmap(themedIcon(QStringLiteral("dialog-warning")).pixmap(20, 20));
    warning->setAlignment(Qt::AlignTop);
    failureRow->addWidget(warning);
    failureMessage_ = new QLabel(failure_);
    failureMessage_->setWordWrap(true);
    failureMessage_->setAlignment(Qt::AlignCenter);
    failureMessage_->setFixedWidth(450);
    failureMessage_->setStyleSheet(QStringLiteral("color: #c62828;"));
    failureRow->addWidget(failureMessage_);
    layout->addWidget(failure_, 0, Qt::AlignHCenter);
    auto* failureButtons = new QHBoxLayout();
    tryAgainButton_ = new QPushButton(QStringLiteral("Try again"), this);
    deleteButton_ = new QPushButton(QStringLiteral("Delete model"), this);
    deleteButton_->setStyleSheet(QStringLiteral("color: #c62828;"));
    retryButton_ = prominentButton(QStringLiteral("Retry download"), this);
    failureButtons->addStretch(1);
    failureButtons->addWidget(tryAgainButton_);
    failureButtons->addWidget(deleteButton_);
    failureButtons->addWidget(retryButton_);
    failureButtons->addStretch(1);
    layout->addLayout(failureButtons);
    layout->addStretch(1);

    connect(downloadButton_, &QPushButton::clicked, &store_, &ModelStore::startDownload);
    connect(retryButton_, &QPushButton::clicked, &store_, &ModelStore::startDownload);
    connect(cancelButton_, &QPushButton::clicked, &store_, &ModelStore::cancelDownload);
    connect(tryAgainButton_, &QPushButton::clicked, &store_, &ModelStore::tryAgain);
    connect(deleteButton_, &QPushButton::clicked, &store_, &ModelStore::deleteModel);
    connect(&store_, &ModelStore::stateChanged, this, &SetupView::follow);
    follow();
}

void SetupView::follow() {
    const ModelState& state = store_.state();
    using Kind = ModelState::Kind;
    introduction_->setVisible(state.kind == Kind::missing);
    downloadButton_->setVisible(state.kind == Kind::missing);

    const bool downloading = state.kind == Kind::downloading;
    downloadProgress_->setVisible(downloading);
    downloadCaption_->setVisible(downloading);
    cancelButton_->setVisible(downloading);
    if (downloading) {
        downloadProgress_->setValue(static_cast<int>(std::clamp(state.fraction, 0.0, 1.0) * 1000));
        downloadCaption_->setText(progressCaption(state.fraction, state.detail,
                                                  downloadCaption_->fontMetrics(),
                                                  downloadCaption_->maximumWidth()));
        downloadCaption_->setToolTip(progressCaption(state.fraction, state.detail));
    }

    spinner_->setVisible(state.kind == Kind::loading);
    loadingText_->setVisible(state.kind == Kind::loading);

    const bool failed = state.kind == Kind::failed;
    const bool installed = store_.isInstalled();
    failure_->setVisible(failed);
    failureMessage_->setText(state.message);
    tryAgainButton_->setVisible(failed && installed);
    deleteButton_->setVisible(failed && installed);
    retryButton_->setVisible(failed && !installed);
}

} // namespace dravelin
