#include "state/ImageInput.h"

#include "pipeline/ImageFitting.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "state/ImageFileLoading.h"
#include "state/QtImageConversion.h"

#include <QPainter>
#include <QPen>

#include <algorithm>
#include <stdexcept>

namespace dravelin {


void ImageInputRequest::applyTo(PipelineConfiguration& c,
                                const StableDiffusionPipeline& pipeline) const {
    if (!image) {
        return;
    }
    if (!pipeline.encoder) {
        throw std::runtime_error("This model has no image encoder (VAEEncoder.model), which "
                                 "starting from an image needs.");
    }
    const Shape shape = pipeline.encoder->inputShape();
    if (shape.size() != 4) {
        throw std::runtime_error("The image encoder does not take an image.");
    }
    const int width = static_cast<int>(shape[3]);
    const int height = static_cast<int>(shape[2]);
    c.startingImage = fitToSize(*image, width, height);
    c.strength = strength;
    if (mask) {
        c.maskImage = fitToSize(*mask, width, height);
    }
}

ImageInput::ImageInput(QObject* parent) : QObject(parent) {}

void ImageInput::setStrength(double strength) {
    // Above 0 (0 would return the image) and at most 1 (from noise).
    strength = std::clamp(strength, 0.01, 1.0);
    if (strength != strength_) {
        strength_ = strength;
        emit strengthChanged();
    }
}

void ImageInput::setBrushSize(int size) {
    size = std::clamp(size, kSmallestBrush, kLargestBrush);
    if (size != brushSize_) {
        brushSize_ = size;
        emit brushChanged();
    }
}

void ImageInput::setErasing(bool erasing) {
    if (erasing != erasing_) {
        erasing_ = erasing;
        emit brushChanged();
    }
}

void ImageInput::setHiresEnabled(bool enabled) {
    if (enabled != hiresEnabled_) {
        hiresEnabled_ = enabled;
        emit hiresChanged();
    }
}

void ImageInput::setHiresScale(double scale) {
    scale = std::clamp(scale, kSmallestHiresScale, kLargestHiresScale);
    if (scale != hiresScale_) {
        hiresScale_ = scale;
        emit hiresChanged();
    }
}

void ImageInput::setHiresStrength(double strength) {
    strength = std::clamp(strength, 0.01, 0.99);
    if (strength != hiresStrength_) {
        hiresStrength_ = strength;
        emit hiresChanged();
    }
}

void ImageInput::setHiresSteps(int steps) {
    steps = std::clamp(steps, 0, kMostHiresSteps);
    if (steps != hiresSteps_) {
        hiresSteps_ = steps;
        emit hiresChanged();
    }
}

void ImageInput::setErrorMessage(const QString& message) {
    if (message != errorMessage_) {
        errorMessage_ = message;
        emit errorMessageChanged();
    }
}

bool ImageInput::openFile(const QString& path) {
    // Through the bounded reader: a header claiming a huge size is refused
    // before anything is allocated for it.
    QImage image;
    try {
        image = toQImage(loadImageFile(path));
    } catch (const std::exception& error) {
        setErrorMessage(QString::fromUtf8(error.what()));
        return false;
    }
    setImage(image);
    return true;
}

void ImageInput::setImage(const QImage& image) {
    if (image.isNull()) {
        clearImage();
        return;
    }
    image_ = image.convertToFormat(QImage::Format_RGB888);
    mask_ = QImage(image_.size(), QImage::Format_Grayscale8);
    mask_.fill(0);
    undo_.clear();
    stroking_ = false;
    hasMask_ = false;
    setErrorMessage(QString());
    emit imageChanged();
    emit maskChanged();
}

void ImageInput::clearImage() {
    image_ = QImage();
    mask_ = QImage();
    undo_.clear();
    stroking_ = false;
    hasMask_ = false;
    emit imageChanged();
    emit maskChanged();
}

void ImageInput::beginStroke(QPointF point) {
    if (!hasImage()) {
        return;
    }
    undo_.append(mask_.copy());
    if (undo_.size() > kUndoDepth) {
        undo_.removeFirst();
    }
    stroking_ = true;
    lastPoint_ = point;
    paintTo(point);
}

void ImageInput::continueStroke(QPointF point) {
    if (stroking_) {
        paintTo(point);
    }
}

void ImageInput::endStroke() {
    stroking_ = false;
}

void ImageInput::paintTo(QPointF point) {
    {
        QPainter painter(&mask_);
        // Hard edges: the mask is read as repaint or keep, nothing between.
        painter.setRenderHint(QPainter::Antialiasing, false);
        const QColor colour = erasing_ ? Qt::black : Qt::white;
        painter.setPen(QPen(colour, brushSize_, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        if (point == lastPoint_) {
            painter.drawPoint(point);
        } else {
            painter.drawLine(lastPoint_, point);
        }
    }
    lastPoint_ = point;
    updateHasMask();
    emit maskChanged();
}

void ImageInput::undoStroke() {
    if (undo_.isEmpty()) {
        return;
    }
    mask_ = undo_.takeLast();
    stroking_ = false;
    updateHasMask();
    emit maskChanged();
}

void ImageInput::clearMask() {
    if (!hasImage() || !hasMask_) {
        return;
    }
    undo_.append(mask_.copy());
    mask_.fill(0);
    hasMask_ = false;
    emit maskChanged();
}

void ImageInput::updateHasMask() {
    hasMask_ = false;
    for (int y = 0; y < mask_.height() && !hasMask_; ++y) {
        const uchar* row = mask_.constScanLine(y);
        hasMask_ = std::any_of(row, row + mask_.width(), [](uchar v) { return v >= 128; });
    }
}

ImageInputRequest ImageInput::request(int64_t steps) const {
    ImageInputRequest request;
    if (hasImage()) {
        request.image = fromQImage(image_);
        if (hasMask_) {
            request.mask = fromQImage(mask_.convertToFormat(QImage::Format_RGB888));
        }
        request.strength = static_cast<float>(strength_);
        if (!hasMask_ && request.strength >= 1.0f) {
            // Image-to-image at full strength would ignore the image.
            request.strength = 0.99f;
        }
    }
    if (hiresEnabled_) {
        HiresFix hires;
        hires.scale = static_cast<float>(hiresScale_);
        hires.strength = static_cast<float>(hiresStrength_);
        hires.stepCount = hiresSteps_ > 0 ? hiresSteps_ : std::max<int64_t>(steps, 1);
        request.hires = hires;
    }
    return request;
}

} // namespace dravelin
