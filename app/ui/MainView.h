#pragma once

#include "state/GeneratedImage.h"

#include <QWidget>

#include <functional>

class QMessageBox;

namespace dravelin {

class ControlsPanel;
class InputImagePanel;
class Generator;
class ModelLibrary;
class ModelStore;
class PreviewArea;
class ResultsGrid;
class SessionState;

// The screen shown while the model is ready: controls on the left, the
// preview and the results grid on the right.
class MainView : public QWidget {
    Q_OBJECT
public:
    MainView(Generator& generator, ModelStore& store, ModelLibrary& library,
             SessionState& session, QWidget* parent = nullptr);

    // Asks where to save; returns an empty path when the user cancels.
    // Replaceable so the save path can be driven without a modal dialog.
    std::function<QString(QWidget* parent, const QString& suggestedName)> askSavePath;

    ControlsPanel* controls() const { return controls_; }
    PreviewArea* previewArea() const { return previewArea_; }
    ResultsGrid* grid() const { return grid_; }
    InputImagePanel* inputPanel() const { return inputPanel_; }

    // Shows the delete confirmation (window-modal, does not block).
    void confirmDelete();
    QMessageBox* deleteConfirmation() const { return confirmation_; }

private:
    void save(const GeneratedImage& result);

    Generator& generator_;
    ModelStore& store_;
    ControlsPanel* controls_;
    PreviewArea* previewArea_;
    ResultsGrid* grid_;
    InputImagePanel* inputPanel_;
    QMessageBox* confirmation_ = nullptr;
};

} // namespace dravelin
