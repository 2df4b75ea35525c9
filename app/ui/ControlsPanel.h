#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSlider;
class QSpinBox;
class QVBoxLayout;

namespace dravelin {

class Generator;
class ModelLibrary;
class ModelPicker;
class ModelStore;
class SessionState;

// The left column of the main screen, bound both ways to the generator.
class ControlsPanel : public QWidget {
    Q_OBJECT
public:
    ControlsPanel(Generator& generator, ModelStore& store, ModelLibrary& library,
                  QWidget* parent = nullptr);

    ModelPicker* modelPicker() const { return picker_; }
    // Shows the session's generation settings below the guidance scale and
    // lets Generate go through its launcher (LoRAs, fast mode, queue).
    void attach(SessionState& session);

    // "Guidance scale: 7.5", one decimal always.
    static QString guidanceLabel(double guidance);
    // "Step 3 of 20".
    static QString stepCaption(qint64 step, qint64 steps);
    // "2.4 s per step, 38 s left" (two decimals below a second per step,
    // minutes and seconds from a minute left on);
    // empty before the first step is timed.
    static QString timingCaption(double secondsPerStep, double secondsLeft);

signals:
    void deleteRequested();

private:
    void generate();
    void followGenerating();
    void followProgress();
    void followError();

    Generator& generator_;
    ModelStore& store_;
    ModelLibrary& library_;
    SessionState* session_ = nullptr;
    QVBoxLayout* layout_;
    ModelPicker* picker_;
    QPlainTextEdit* prompt_;
    QPlainTextEdit* negativePrompt_;
    QLineEdit* seed_;
    QSpinBox* steps_;
    QLabel* guidanceLabel_;
    QSlider* guidance_;
    QWidget* running_;
    QProgressBar* progress_;
    QLabel* queueCaption_;
    QLabel* stepCaption_;
    QLabel* stepTiming_;
    QPushButton* generateButton_;
    QWidget* error_;
    QLabel* errorText_;
    QPushButton* deleteButton_;
};

} // namespace dravelin
