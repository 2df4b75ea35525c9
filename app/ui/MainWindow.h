#pragma once

#include <QMainWindow>

class QMimeData;
class QStackedWidget;

namespace dravelin {

class Generator;
class MainView;
class ModelLibrary;
class ModelStore;
class SetupView;

// The one window: the setup screen until the model is ready, then the main
// screen, switching whenever the store's state changes. A model file dropped
// on the window is imported into the library.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    MainWindow(ModelStore& store, Generator& generator, ModelLibrary& library,
               QWidget* parent = nullptr);
    // With a library of its own over the store's application folder.
    MainWindow(ModelStore& store, Generator& generator, QWidget* parent = nullptr);

    ModelLibrary& library() const { return library_; }
    // What a drop does: imports the one local file or folder it carries
    // while the main screen shows; returns whether it took the drop.
    bool importDropped(const QMimeData* data);

    SetupView* setupView() const { return setupView_; }
    // Null unless the main screen is showing.
    MainView* mainView() const { return mainView_; }

protected:
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void follow();

    ModelStore& store_;
    Generator& generator_;
    ModelLibrary& library_;
    QStackedWidget* screens_;
    SetupView* setupView_;
    MainView* mainView_ = nullptr;
    bool started_ = false;
};

} // namespace dravelin
