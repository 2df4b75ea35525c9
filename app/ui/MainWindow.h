#pragma once

#include <QMainWindow>

class QStackedWidget;

namespace dravelin {

class Generator;
class MainView;
class ModelStore;
class SessionState;
class SetupView;

// The one window: the setup screen until the model is ready, then the main
// screen, switching whenever the store's state changes.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    MainWindow(ModelStore& store, Generator& generator, QWidget* parent = nullptr);

    SetupView* setupView() const { return setupView_; }
    // Null unless the main screen is showing.
    MainView* mainView() const { return mainView_; }
    SessionState& session() const { return *session_; }

protected:
    void showEvent(QShowEvent* event) override;
    // A PNG dropped on the window gives its settings.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void follow();

    ModelStore& store_;
    Generator& generator_;
    SessionState* session_;
    QStackedWidget* screens_;
    SetupView* setupView_;
    MainView* mainView_ = nullptr;
    bool started_ = false;
};

} // namespace dravelin
