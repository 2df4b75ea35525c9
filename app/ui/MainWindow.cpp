#include "ui/MainWindow.h"

#include "state/ModelStore.h"
#include "state/SessionState.h"
#include "ui/MainView.h"
#include "ui/SetupView.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QStackedWidget>
#include <QTimer>

namespace dravelin {

MainWindow::MainWindow(ModelStore& store, Generator& generator, QWidget* parent)
    : QMainWindow(parent), store_(store), generator_(generator),
      session_(new SessionState(generator, store, this)) {
    setAcceptDrops(true);
    setMinimumSize(900, 640);
    resize(1100, 760);
    screens_ = new QStackedWidget(this);
    setupView_ = new SetupView(store_, screens_);
    screens_->addWidget(setupView_);
    setCentralWidget(screens_);
    connect(&store_, &ModelStore::stateChanged, this, &MainWindow::follow);
    follow();
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!started_) {
        // Once per launch, after the window is up: load or stay at "missing".
        started_ = true;
        QTimer::singleShot(0, &store_, &ModelStore::startUp);
    }
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (mainView_ != nullptr && urls.size() == 1 && urls.front().isLocalFile()) {
        event->acceptProposedAction();
    }
}

void MainWindow::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (mainView_ != nullptr && urls.size() == 1 && urls.front().isLocalFile()) {
        session_->reader().readFile(urls.front().toLocalFile());
        event->acceptProposedAction();
    }
}

void MainWindow::follow() {
    // A reload that merges other LoRAs keeps the main screen up.
    const bool ready = store_.state().kind == ModelState::Kind::ready ||
                       (mainView_ != nullptr && store_.isReloading());
    if (ready && mainView_ == nullptr) {
        // A fresh main screen each time, so its delete confirmation starts closed.
        mainView_ = new MainView(generator_, store_, *session_, screens_);
        screens_->addWidget(mainView_);
        screens_->setCurrentWidget(mainView_);
    } else if (!ready && mainView_ != nullptr) {
        screens_->setCurrentWidget(setupView_);
        screens_->removeWidget(mainView_);
        mainView_->deleteLater();
        mainView_ = nullptr;
    }
}

} // namespace dravelin
