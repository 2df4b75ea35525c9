#pragma once

#include <QWidget>

namespace dravelin {

class ImageInput;

// The input image with its mask over it in translucent red; the mouse
// paints or erases the mask with the input's brush, one stroke per press. An
// image file dropped on it becomes the input.
class MaskCanvas : public QWidget {
    Q_OBJECT
public:
    explicit MaskCanvas(ImageInput& input, QWidget* parent = nullptr);

    // Where the image is drawn, in widget coordinates.
    QRectF imageRect() const;
    // A widget point in image pixels.
    QPointF toImage(QPointF point) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    ImageInput& input_;
};

} // namespace dravelin
