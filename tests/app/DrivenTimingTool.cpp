// Drives the real window against a model directory and times what a user
// waits for: from the click on "Generate" to the first step and to the
// result in the grid, for two generations in a row (the second shows whether
// anything is reloaded), and how long the window keeps input waiting while it
// generates (the worst lateness of a 10 ms timer on its thread, which is
// where every key press and click is handled). For full-size random-weight
// models:
//   dravelin-drive-timing MODEL_DIR [STEPS] [--import MODEL]
// With --import, MODEL (a .safetensors checkpoint or a model directory) is
// first imported into the window's model library (timed, hashing included),
// chosen, and the generations run with it; MODEL_DIR then serves as the
// downloaded model (and its tokenizer).

#include "nn/compute/ComputeWaitPolicy.h"
#include "state/Generator.h"
#include "state/ModelStore.h"
#include "state/library/ModelLibrary.h"
#include "ui/MainView.h"
#include "ui/MainWindow.h"
#include "ui/ResultsGrid.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

using namespace dravelin;

namespace {

bool waitFor(const std::function<bool()>& done, qint64 limitMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

// The process's peak resident memory, from /proc.
std::string peakResident() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return line.substr(6);
        }
    }
    return "?";
}

} // namespace

int main(int argc, char** argv) {
    // As the application does: compute threads that sleep while they wait.
    dravelin::usePassiveComputeWaiting(argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: dravelin-drive-timing MODEL_DIR [STEPS] [--import MODEL]\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    const QString model = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    const int steps = argc > 2 ? std::atoi(argv[2]) : 20;
    const QString imported = argc > 4 && std::string(argv[3]) == "--import"
                                 ? QFileInfo(QString::fromLocal8Bit(argv[4])).absoluteFilePath()
                                 : QString();

    // The store finds its model at <application folder>/Model.
    QTemporaryDir folder;
    if (!QFile::link(model, folder.path() + QStringLiteral("/Model"))) {
        std::fprintf(stderr, "cannot link the model directory\n");
        return 1;
    }
    ModelStore store(folder.path());
    Generator generator;
    MainWindow window(store, generator);
    window.resize(1000, 700);
    QElapsedTimer clock;
    clock.start();
    window.show();
    if (!waitFor([&] { return store.state() == ModelState::ready(); }, 20 * 60 * 1000)) {
        std::fprintf(stderr, "the model did not load\n");
        return 1;
    }
    std::printf("model loaded in %.1f s\n", clock.elapsed() / 1000.0);
    MainView* main = window.mainView();
    if (!imported.isEmpty()) {
        // The library lives in the temporary folder, on the file system of
        // /tmp: a model elsewhere is copied, one beside it linked.
        const qint64 start = clock.elapsed();
        window.library().importModel(imported);
        waitFor([&] { return !window.library().isImporting(); }, 60 * 60 * 1000);
        if (!window.library().message().isEmpty()) {
            std::fprintf(stderr, "import failed: %s\n", qPrintable(window.library().message()));
            return 1;
        }
        const std::optional<LibraryEntry> entry = window.library().entry(window.library().chosenId());
        std::printf("imported %s (%s, %.2f GB) in %.1f s, hashing included\n",
                    qPrintable(entry->name), qPrintable(displayName(entry->kind)),
                    static_cast<double>(entry->size) / 1e9,
                    static_cast<double>(clock.elapsed() - start) / 1000.0);
        std::fflush(stdout);
    }

    for (int run = 1; run <= 2; ++run) {
        main->findChild<QPlainTextEdit*>(QStringLiteral("prompt"))
            ->setPlainText(QStringLiteral("a photo of a cat"));
        generator.setSteps(steps);
        // When each step from index 1 on was reported, in ms on the clock.
        // (Step 0 changes nothing the generator shows, so it sends no signal.)
        std::vector<qint64> stepDone;
        QMetaObject::Connection follow = QObject::connect(&generator, &Generator::stepChanged, [&] {
            if (generator.step() >= 1) {
                stepDone.push_back(clock.elapsed());
            }
        });
        // Step 0 is followed by the first preview: its arrival ends step 0.
        qint64 firstPreview = -1;
        QMetaObject::Connection preview =
            QObject::connect(&generator, &Generator::previewChanged, [&] {
                if (firstPreview < 0 && !generator.preview().isNull() && generator.isGenerating()) {
                    firstPreview = clock.elapsed();
                }
            });
        // Input waits as long as this timer is late.
        QTimer probe;
        probe.setInterval(10);
        qint64 lastTick = -1;
        qint64 worstLateness = 0;
        QObject::connect(&probe, &QTimer::timeout, [&] {
            const qint64 now = clock.elapsed();
            if (lastTick >= 0) {
                worstLateness = std::max(worstLateness, now - lastTick - probe.interval());
            }
            lastTick = now;
        });
        probe.start();
        // A model chosen in the library loads at the first click.
        qint64 loadStarted = -1;
        qint64 loadEnded = -1;
        QMetaObject::Connection loading =
            QObject::connect(&generator, &Generator::isLoadingModelChanged, [&] {
                (generator.isLoadingModel() ? loadStarted : loadEnded) = clock.elapsed();
            });
        const int before = main->grid()->model()->rowCount();
        const qint64 click = clock.elapsed();
        QTest::mouseClick(main->findChild<QPushButton*>(QStringLiteral("generate")),
                          Qt::LeftButton);
        if (!waitFor([&] { return main->grid()->model()->rowCount() > before; }, 60 * 60 * 1000)) {
            std::fprintf(stderr, "no result arrived\n");
            return 1;
        }
        const qint64 result = clock.elapsed();
        probe.stop();
        QObject::disconnect(follow);
        QObject::disconnect(preview);
        QObject::disconnect(loading);
        if (loadStarted >= 0 && loadEnded >= loadStarted) {
            std::printf("run %d: the chosen model loaded in %.1f s\n", run,
                        static_cast<double>(loadEnded - loadStarted) / 1000.0);
        }
        waitFor([&] { return !generator.isGenerating(); }, 10000);
        // The pace from step 1 on. Step 1 (no preview) runs between the first
        // preview and its report, so the first step began about that long,
        // plus the preview's cost, before the first preview.
        double perStep = 0.0;
        if (stepDone.size() >= 2) {
            perStep = static_cast<double>(stepDone.back() - stepDone.front()) /
                      static_cast<double>(stepDone.size() - 1);
        }
        const double toPreview = static_cast<double>(firstPreview - click) / 1000.0;
        const double stepOne =
            stepDone.empty() ? 0.0 : static_cast<double>(stepDone.front() - firstPreview) / 1000.0;
        std::printf("run %d (%d steps): click to result %.1f s; click to first preview %.1f s; "
                    "step 1 alone %.2f s; %.2f s per step from step 1 on; so the first step "
                    "started about %.1f s after the click, less the first preview's cost\n",
                    run, steps, static_cast<double>(result - click) / 1000.0, toPreview, stepOne,
                    perStep / 1000.0, toPreview - stepOne);
        std::printf("run %d: the window answered input within %lld ms while generating\n", run,
                    static_cast<long long>(worstLateness));
        std::fflush(stdout);
    }
    std::printf("peak resident memory:%s\n", peakResident().c_str());
    return 0;
}
