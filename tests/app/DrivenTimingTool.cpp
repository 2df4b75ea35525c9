// Drives the real window against a model directory and times what a user
// waits for: from the click on "Generate" to the first step and to each
// result in the grid, for two generations in a row (the second shows whether
// anything is reloaded), and how long the window keeps input waiting while it
// generates (the worst lateness of a 10 ms timer on its thread, which is
// where every key press and click is handled). For full-size random-weight
// models:
//   dravelin-drive-timing MODEL_DIR [STEPS | SETTINGS.json] [--import MODEL]
// A settings file sets any of: "prompt", "negativePrompt", "seed", "steps",
// "guidance", "sampler" (as the window names it, "DPM++ 2M Karras"),
// "width", "height", "imageCount", "loras" ([{"file": …, "weight": …}],
// imported into the LoRA library and chosen), "fastMode" (true; with
// "fastModeLora" naming the latent-consistency LoRA file to use instead of
// downloading it), "runs" and "prompts" (one per run, in turn: a changed
// prompt shows what encoding it costs once the text encoders have been let
// go). After each run it prints the networks kept loaded and the peak
// resident memory so far.
// With --import, MODEL (a .safetensors checkpoint or a model directory) is
// first imported into the window's model library (timed, hashing included),
// chosen, and the generations run with it; MODEL_DIR then serves as the
// downloaded model (and its tokenizer).

#include "nn/compute/ComputeWaitPolicy.h"
#include "state/Generator.h"
#include "state/ModelStore.h"
#include "state/SessionState.h"
#include "state/library/ModelLibrary.h"
#include "ui/MainView.h"
#include "ui/MainWindow.h"
#include "ui/ResultsGrid.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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

// Puts a settings file's values into the window's state; the views follow.
// Returns an error sentence, empty on success.
QString applySettings(const QJsonObject& json, Generator& generator, SessionState& session) {
    if (json.contains(QStringLiteral("prompt"))) {
        generator.setPrompt(json.value(QStringLiteral("prompt")).toString());
    }
    generator.setNegativePrompt(json.value(QStringLiteral("negativePrompt")).toString());
    if (json.contains(QStringLiteral("seed"))) {
        generator.setSeedText(QString::number(json.value(QStringLiteral("seed")).toInteger()));
    }
    GenerationSettings& settings = session.settings();
    if (json.contains(QStringLiteral("sampler"))) {
        const QString sampler = json.value(QStringLiteral("sampler")).toString();
        if (!settings.samplerNames().contains(sampler)) {
            return QStringLiteral("unknown sampler \"%1\"; the window has: %2")
                .arg(sampler, settings.samplerNames().join(QStringLiteral(", ")));
        }
        settings.setSampler(sampler);
    }
    if (json.contains(QStringLiteral("width")) || json.contains(QStringLiteral("height"))) {
        const int width = json.value(QStringLiteral("width")).toInt(settings.width());
        const int height = json.value(QStringLiteral("height")).toInt(settings.height());
        if (!settings.setSize(width, height)) {
            return GenerationSettings::sizeProblem(width, height);
        }
    }
    settings.setImageCount(json.value(QStringLiteral("imageCount")).toInt(1));
    for (const QJsonValue& entry : json.value(QStringLiteral("loras")).toArray()) {
        const QJsonObject lora = entry.toObject();
        const QString name = session.library().importFile(
            QDir(lora.value(QStringLiteral("file")).toString()).absolutePath());
        if (name.isEmpty() ||
            !session.library().choose(name, lora.value(QStringLiteral("weight")).toDouble(1.0))) {
            return session.library().errorMessage();
        }
    }
    if (json.value(QStringLiteral("fastMode")).toBool()) {
        const QString given = json.value(QStringLiteral("fastModeLora")).toString();
        if (!given.isEmpty()) {
            const QString directory = session.fastMode().directoryFor(settings.isXL());
            QDir().mkpath(directory);
            if (!QFile::link(QDir(given).absolutePath(),
                             directory + QStringLiteral("/pytorch_lora_weights.safetensors"))) {
                return QStringLiteral("cannot place the fast mode's LoRA");
            }
            QFile marker(directory + QStringLiteral("/.complete"));
            marker.open(QIODevice::WriteOnly);
        }
        session.fastMode().setEnabled(true);
    }
    // Steps and guidance last: the fast mode sets its own, a file's win.
    if (json.contains(QStringLiteral("steps"))) {
        generator.setSteps(json.value(QStringLiteral("steps")).toInteger());
    }
    if (json.contains(QStringLiteral("guidance"))) {
        generator.setGuidance(json.value(QStringLiteral("guidance")).toDouble());
    }
    return {};
}

} // namespace

int main(int argc, char** argv) {
    // As the application does: compute threads that sleep while they wait.
    dravelin::usePassiveComputeWaiting(argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: dravelin-drive-timing MODEL_DIR [STEPS | SETTINGS.json] "
                             "[--import MODEL]\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    const QString model = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QJsonObject settingsFile;
    int steps = 20;
    if (argc > 2 && QString::fromLocal8Bit(argv[2]).endsWith(QStringLiteral(".json"))) {
        QFile file(QString::fromLocal8Bit(argv[2]));
        QJsonParseError error{};
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", argv[2]);
            return 2;
        }
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
        if (!document.isObject()) {
            std::fprintf(stderr, "%s is not a JSON object: %s\n", argv[2],
                         error.errorString().toUtf8().constData());
            return 2;
        }
        settingsFile = document.object();
        steps = -1; // as the file or the fast mode sets them
    } else if (argc > 2) {
        steps = std::atoi(argv[2]);
    }
    const int runs = settingsFile.value(QStringLiteral("runs")).toInt(2);
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

    main->findChild<QPlainTextEdit*>(QStringLiteral("prompt"))
        ->setPlainText(QStringLiteral("a photo of a cat"));
    if (const QString problem = applySettings(settingsFile, generator, window.session());
        !problem.isEmpty()) {
        std::fprintf(stderr, "settings: %s\n", problem.toUtf8().constData());
        return 2;
    }
    if (steps > 0) {
        generator.setSteps(steps);
    }
    const int count = window.session().settings().imageCount();
    std::printf("settings: %s, %lld steps, guidance %.1f, %d x %d, %d image(s), fast mode %s\n",
                window.session().settings().sampler().toUtf8().constData(),
                static_cast<long long>(generator.steps()), generator.guidance(),
                window.session().settings().width(), window.session().settings().height(), count,
                window.session().fastMode().enabled() ? "on" : "off");

    const QJsonArray prompts = settingsFile.value(QStringLiteral("prompts")).toArray();
    for (int run = 1; run <= runs; ++run) {
        if (!prompts.isEmpty()) {
            generator.setPrompt(prompts.at((run - 1) % prompts.size()).toString());
        }
        // When each image of the queue reached the grid.
        std::vector<qint64> arrivals;
        QMetaObject::Connection arrived = QObject::connect(
            main->grid()->model(), &QAbstractItemModel::rowsInserted,
            [&] { arrivals.push_back(clock.elapsed()); });
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
        if (!waitFor([&] { return main->grid()->model()->rowCount() >= before + count; },
                     60 * 60 * 1000)) {
            std::fprintf(stderr, "no result arrived: %s\n",
                         generator.errorMessage().toUtf8().constData());
            return 1;
        }
        const qint64 result = arrivals.empty() ? clock.elapsed() : arrivals.front();
        QObject::disconnect(arrived);
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
                    run, static_cast<int>(generator.steps()),
                    static_cast<double>(result - click) / 1000.0, toPreview, stepOne,
                    perStep / 1000.0, toPreview - stepOne);
        if (count > 1) {
            std::printf("run %d: queue of %d images, click to the last result %.1f s; each image "
                        "reached the grid at",
                        run, count, static_cast<double>(arrivals.back() - click) / 1000.0);
            for (const qint64 arrival : arrivals) {
                std::printf(" %.1f", static_cast<double>(arrival - click) / 1000.0);
            }
            std::printf(" s\n");
        }
        std::printf("run %d: the window answered input within %lld ms while generating\n", run,
                    static_cast<long long>(worstLateness));
        std::printf("run %d: prompt \"%s\"; networks kept loaded: %s; peak resident memory so "
                    "far:%s\n",
                    run, generator.prompt().toUtf8().constData(),
                    generator.residentNetworks().join(QStringLiteral(", ")).toUtf8().constData(),
                    peakResident().c_str());
        std::fflush(stdout);
    }
    std::printf("peak resident memory:%s\n", peakResident().c_str());
    return 0;
}
