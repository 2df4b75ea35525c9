#include "ui/InputImagePanel.h"

#include "state/ImageInput.h"
#include "ui/MaskCanvas.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QStandardPaths>
#include <QVBoxLayout>

#include <cmath>

namespace dravelin {

namespace {

QString askWithDialog(QWidget* parent) {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    return QFileDialog::getOpenFileName(parent, QStringLiteral("Open an input image"), folder,
                                        QStringLiteral("Images (*.png *.jpg *.jpeg *.webp)"));
}

QPushButton* button(const QString& text, const QString& name, QWidget* parent) {
    auto* result = new QPushButton(text, parent);
    result->setObjectName(name);
    return result;
}

} // namespace

QString InputImagePanel::strengthLabel(double strength, bool inpainting) {
    return QStringLiteral("Strength: %1%2")
        .arg(strength, 0, 'f', 2)
        .arg(inpainting ? QStringLiteral(" (inpainting)") : QString());
}

InputImagePanel::InputImagePanel(ImageInput& input, QWidget* parent)
    : QWidget(parent), askOpenPath(askWithDialog), input_(input) {
    setObjectName(QStringLiteral("inputImagePanel"));
    setFixedWidth(300);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);

    auto* title = new QLabel(QStringLiteral("<b>Input image</b>"), this);
    layout->addWidget(title);
    auto* files = new QHBoxLayout();
    open_ = button(QStringLiteral("Open\u2026"), QStringLiteral("openInput"), this);
    clearImage_ = button(QStringLiteral("Remove"), QStringLiteral("removeInput"), this);
    files->addWidget(open_);
    files->addWidget(clearImage_);
    layout->addLayout(files);

    canvas_ = new MaskCanvas(input_, this);
    layout->addWidget(canvas_, 1);

    auto* tools = new QHBoxLayout();
    paint_ = button(QStringLiteral("Paint"), QStringLiteral("paintMask"), this);
    erase_ = button(QStringLiteral("Erase"), QStringLiteral("eraseMask"), this);
    paint_->setCheckable(true);
    erase_->setCheckable(true);
    undo_ = button(QStringLiteral("Undo"), QStringLiteral("undoStroke"), this);
    clearMask_ = button(QStringLiteral("Clear"), QStringLiteral("clearMask"), this);
    for (QPushButton* tool : {paint_, erase_, undo_, clearMask_}) {
        tools->addWidget(tool);
    }
    layout->addLayout(tools);
    auto* brushRow = new QHBoxLayout();
    brushRow->addWidget(new QLabel(QStringLiteral("Brush"), this));
    brush_ = new QSlider(Qt::Horizontal, this);
    brush_->setObjectName(QStringLiteral("brushSize"));
    brush_->setRange(ImageInput::kSmallestBrush, ImageInput::kLargestBrush);
    brushRow->addWidget(brush_, 1);
    layout->addLayout(brushRow);

    strengthLabel_ = new QLabel(this);
    layout->addWidget(strengthLabel_);
    strength_ = new QSlider(Qt::Horizontal, this);
    strength_->setObjectName(QStringLiteral("strength"));
    strength_->setRange(1, 100);
    layout->addWidget(strength_);

    auto* hiresRow = new QHBoxLayout();
    hires_ = new QCheckBox(QStringLiteral("Hires fix, enlarge"), this);
    hires_->setObjectName(QStringLiteral("hires"));
    hiresScale_ = new QComboBox(this);
    hiresScale_->setObjectName(QStringLiteral("hiresScale"));
    for (const double scale : {1.5, 2.0}) {
        hiresScale_->addItem(QStringLiteral("\u00d7%1").arg(scale), scale);
    }
    hiresRow->addWidget(hires_);
    hiresRow->addWidget(hiresScale_);
    layout->addLayout(hiresRow);

    error_ = new QLabel(this);
    error_->setWordWrap(true);
    error_->setStyleSheet(QStringLiteral("color: #c0392b;"));
    layout->addWidget(error_);

    connect(open_, &QPushButton::clicked, this, [this] {
        const QString path = askOpenPath(this);
        if (!path.isEmpty()) {
            input_.openFile(path);
        }
    });
    connect(clearImage_, &QPushButton::clicked, &input_, &ImageInput::clearImage);
    connect(paint_, &QPushButton::clicked, this, [this] { input_.setErasing(false); });
    connect(erase_, &QPushButton::clicked, this, [this] { input_.setErasing(true); });
    connect(undo_, &QPushButton::clicked, &input_, &ImageInput::undoStroke);
    connect(clearMask_, &QPushButton::clicked, &input_, &ImageInput::clearMask);
    connect(brush_, &QSlider::valueChanged, &input_, &ImageInput::setBrushSize);
    connect(strength_, &QSlider::valueChanged, this,
            [this](int value) { input_.setStrength(value / 100.0); });
    connect(hires_, &QCheckBox::toggled, &input_, &ImageInput::setHiresEnabled);
    connect(hiresScale_, &QComboBox::currentIndexChanged, this, [this](int index) {
        input_.setHiresScale(hiresScale_->itemData(index).toDouble());
    });
    for (auto signal : {&ImageInput::imageChanged, &ImageInput::maskChanged,
                        &ImageInput::strengthChanged, &ImageInput::brushChanged,
                        &ImageInput::hiresChanged, &ImageInput::errorMessageChanged}) {
        connect(&input_, signal, this, &InputImagePanel::follow);
    }
    follow();
}

void InputImagePanel::follow() {
    const bool image = input_.hasImage();
    clearImage_->setEnabled(image);
    for (QWidget* tool : std::initializer_list<QWidget*>{paint_, erase_, brush_, strength_}) {
        tool->setEnabled(image);
    }
    paint_->setChecked(!input_.erasing());
    erase_->setChecked(input_.erasing());
    undo_->setEnabled(input_.canUndo());
    clearMask_->setEnabled(input_.hasMask());
    const QSignalBlocker blockBrush(brush_);
    brush_->setValue(input_.brushSize());
    const QSignalBlocker blockStrength(strength_);
    strength_->setValue(static_cast<int>(std::lround(input_.strength() * 100.0)));
    strengthLabel_->setText(strengthLabel(input_.strength(), input_.hasMask()));
    strengthLabel_->setEnabled(image);
    const QSignalBlocker blockHires(hires_);
    hires_->setChecked(input_.hiresEnabled());
    const QSignalBlocker blockScale(hiresScale_);
    hiresScale_->setCurrentIndex(input_.hiresScale() < 1.75 ? 0 : 1);
    hiresScale_->setEnabled(input_.hiresEnabled());
    error_->setText(input_.errorMessage());
    error_->setVisible(!input_.errorMessage().isEmpty());
}

} // namespace dravelin
