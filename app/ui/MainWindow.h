#pragma once

#include <QMainWindow>

class QMimeData;
class QStackedWidget;

namespace dravelin {

class Generator;
class MainView;
class ModelLibrary;
class ModelStore;
class SessionState;
class SetupView;

// The one window: the setup screen until the model is ready, then the main
// screen, switching whenever the store's state changes. A model file dropped
// on the window is imported into the library; a dropped image gives its
// generation settings.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    MainWindow(ModelStore& store, Generator& generator, ModelLibrary& library,
               QWidget* parent = nullptr);
    // With a library of its own over the store's application folder.
    MainWindow(ModelStore& store, Generator& generator, QWidget* parent = nullptr);

    ModelLibrary& library() const { return library_; }
    // What a drop does while the main screen shows: the one local file or
    // folder it carries fills in the settings when it is an image (a PNG's
    // parameters), otherwise it is imported into the model library (which
    // says why a file that is no model cannot be); returns whether it took
    // the drop.
    bool importDropped(const QMimeData* data);

    SetupView* setupView() const { return setupView_; }
    // Null unless the main screen is showing.
    MainView* mainView() const { return mainView_; }
    SessionState& session() const { return *session_; }

protected:
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void follow();

    ModelStore& store_;
    Generator& generator_;
    ModelLibrary& library_;
    SessionState* session_;
    QStackedWidget* screens_;
    SetupView* setupView_;
    MainView* mainView_ = nullptr;
    bool started_ = false;
};

} // namespace dravelin
