#include "ui/MainWindow.h"

#include "state/ModelStore.h"
#include "state/SessionState.h"
#include "state/library/ModelLibrary.h"
#include "ui/MainView.h"
#include "ui/SetupView.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QImageReader>
#include <QStackedWidget>
#include <QTimer>

namespace dravelin {

namespace {

// The one local file or folder a drop carries, or an empty path.
QString droppedPath(const QMimeData* data) {
    if (data == nullptr || !data->hasUrls() || data->urls().size() != 1 ||
        !data->urls().front().isLocalFile()) {
        return {};
    }
    return data->urls().front().toLocalFile();
}

} // namespace

MainWindow::MainWindow(ModelStore& store, Generator& generator, QWidget* parent)
    : MainWindow(store, generator, *new ModelLibrary(store), parent) {
    library_.setParent(this);
}

MainWindow::MainWindow(ModelStore& store, Generator& generator, ModelLibrary& library,
                       QWidget* parent)
    : QMainWindow(parent), store_(store), generator_(generator), library_(library) {
    setAcceptDrops(true);
    session_ = new SessionState(generator_, store_, this);
    session_->attachModelLibrary(library_);
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

void MainWindow::follow() {
    // A reload that merges other LoRAs keeps the main screen up.
    const bool ready = store_.state().kind == ModelState::Kind::ready ||
                       (mainView_ != nullptr && store_.isReloading());
    if (ready && mainView_ == nullptr) {
        // A fresh main screen each time, so its delete confirmation starts closed.
        mainView_ = new MainView(generator_, store_, library_, *session_, screens_);
        screens_->addWidget(mainView_);
        screens_->setCurrentWidget(mainView_);
    } else if (!ready && mainView_ != nullptr) {
        screens_->setCurrentWidget(setupView_);
        screens_->removeWidget(mainView_);
        mainView_->deleteLater();
        mainView_ = nullptr;
    }
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    // Any one file is taken while the main screen shows: the library says
    // why one that is no model cannot be imported.
    if (mainView_ != nullptr && !droppedPath(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void MainWindow::dropEvent(QDropEvent* event) {
    if (importDropped(event->mimeData())) {
        event->acceptProposedAction();
    }
}

bool MainWindow::importDropped(const QMimeData* data) {
    const QString path = droppedPath(data);
    if (mainView_ == nullptr || path.isEmpty()) {
        return false;
    }
    if (!QFileInfo(path).isDir() && QImageReader(path).canRead()) {
        session_->reader().readFile(path);
    } else {
        library_.importModel(path);
    }
    return true;
}

} // namespace dravelin
