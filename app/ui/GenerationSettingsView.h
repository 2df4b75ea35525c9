#pragma once

#include <QWidget>

#include <functional>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace dravelin {

class SessionState;

// Sampler, size, image count, fast mode and LoRAs, bound both ways to the
// session's state objects; a line below says what reading an image's
// settings took or could not take.
class GenerationSettingsView : public QWidget {
    Q_OBJECT
public:
    explicit GenerationSettingsView(SessionState& session, QWidget* parent = nullptr);

    // Asks which LoRA file to import; empty when the user cancels.
    // Replaceable so importing can be driven without a modal dialog.
    std::function<QString(QWidget* parent)> askLoraFile;

private:
    void followSize();
    void followLibrary();
    void followFastMode();
    void followLoraImport();

    SessionState& session_;
    QComboBox* sampler_;
    QComboBox* size_;
    QSpinBox* width_;
    QSpinBox* height_;
    QWidget* customSize_;
    QSpinBox* imageCount_;
    QSpinBox* clipSkip_;
    QCheckBox* fastMode_;
    QWidget* fastDownload_;
    QProgressBar* fastProgress_;
    QLabel* fastDetail_;
    QListWidget* loras_;
    QDoubleSpinBox* loraWeight_;
    QWidget* loraImport_;
    QProgressBar* loraProgress_;
    QLabel* loraDetail_;
    QPushButton* importLora_;
    QLabel* message_;
    bool updating_ = false;
};

} // namespace dravelin
