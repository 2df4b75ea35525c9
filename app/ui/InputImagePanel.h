#pragma once

#include <QWidget>

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QSlider;

namespace dravelin {

class ImageInput;
class MaskCanvas;

// The input image column of the main screen: open or clear the image, the
// mask canvas with its brush tools, the strength and the hires option.
class InputImagePanel : public QWidget {
    Q_OBJECT
public:
    explicit InputImagePanel(ImageInput& input, QWidget* parent = nullptr);

    // "Strength: 0.75" (image-to-image) or "Strength: 0.75 (inpainting)".
    static QString strengthLabel(double strength, bool inpainting);

    // Asks for a file to open; replaceable so tests need no dialog.
    std::function<QString(QWidget*)> askOpenPath;

private:
    void follow();

    ImageInput& input_;
    MaskCanvas* canvas_;
    QPushButton* open_;
    QPushButton* clearImage_;
    QPushButton* paint_;
    QPushButton* erase_;
    QSlider* brush_;
    QPushButton* undo_;
    QPushButton* clearMask_;
    QLabel* strengthLabel_;
    QSlider* strength_;
    QCheckBox* hires_;
    QComboBox* hiresScale_;
    QLabel* error_;
};

} // namespace dravelin
