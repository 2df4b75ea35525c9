// Renders each screen of the window offscreen to PNG files, for checking the
// look and for documentation: dravelin-screenshots [OUTPUT_DIR].

#include "app/FakeHub.h"
#include "app/ScriptedStore.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "state/Generator.h"
#include "state/ImageInput.h"
#include "state/ModelStore.h"
#include "state/SessionState.h"
#include "state/library/ModelLibrary.h"
#include "support/TestNetworks.h"
#include "support/TestPipelineKinds.h"
#include "ui/MainView.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QPlainTextEdit>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <future>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

void settle(int milliseconds = 100) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
}

bool waitFor(const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > 10000) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

void shoot(QWidget& window, const QString& directory, const QString& name) {
    settle();
    const QString path = directory + QLatin1Char('/') + name + QStringLiteral(".png");
    if (!window.grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const QString output =
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(output);

    PipelineKinds kinds;
    TemporaryDirectory directory;
    const QString folder = QString::fromStdString(directory.path().string());
    ScriptedStore store(folder);
    Generator generator;
    MainWindow window(store, generator);
    window.resize(1000, 700);
    window.show();
    settle(300); // start-up: no model, so "missing"

    shoot(window, output, QStringLiteral("setup-missing"));
    store.setState(ModelState::downloading(
        0.375, QString::fromUtf8("diffusion_pytorch_model.fp16.safetensors — 806 MB of 2.2 GB · "
                                 "8.4 MB/s · 3 min left")));
    shoot(window, output, QStringLiteral("setup-downloading"));
    store.setState(ModelState::loading());
    shoot(window, output, QStringLiteral("setup-loading"));
    store.setState(ModelState::failed(QString::fromUtf8(
        "The model download failed: Server returned HTTP 404 for vocab.json. Check your internet "
        "connection and try again. Partially downloaded files are kept so the download can "
        "resume.")));
    shoot(window, output, QStringLiteral("setup-failed-without-marker"));

    writeTinyModel(directory.path() / "Model",
                   {.encoder = true, .latentSize = 32, .unetDelayMilliseconds = 20});
    QFile(folder + QStringLiteral("/Model/.complete")).open(QIODevice::WriteOnly);
    store.setState(ModelState::failed(QString::fromUtf8(
        "The model could not be loaded: The model bundle \"Unet.model\" has unusable weights. The "
        "files may be damaged — use Delete model and download it again.")));
    shoot(window, output, QStringLiteral("setup-failed-with-marker"));

    store.loadModel();
    if (!waitFor([&] { return store.state() == ModelState::ready(); })) {
        std::fprintf(stderr, "the model did not load\n");
        return 1;
    }
    shoot(window, output, QStringLiteral("main-empty"));

    const char* prompts[] = {"a photo of a cat", "a dog", "a photo of a dog", "a cat of a dog",
                             "photo of a photo"};
    for (int i = 0; i < 5; ++i) {
        generator.setPrompt(QString::fromUtf8(prompts[i]));
        generator.setSeedText(QString::number(100 + i));
        generator.setSteps(6);
        generator.generate(store.pipeline());
        waitFor([&] { return !generator.isGenerating(); });
    }
    shoot(window, output, QStringLiteral("main-idle-with-results"));

    // Stop partway so the preview holds an intermediate image.
    generator.setSteps(60);
    generator.setPrompt(QStringLiteral("a photo of a cat"));
    generator.generate(store.pipeline());
    waitFor([&] { return generator.step() >= 8; });
    shoot(window, output, QStringLiteral("main-generating"));
    generator.stop();
    waitFor([&] { return !generator.isGenerating(); });

    generator.setSteps(1);
    generator.generate(store.pipeline());
    waitFor([&] { return !generator.isGenerating(); });
    shoot(window, output, QStringLiteral("main-with-error"));

    ImageInput& input = *generator.imageInput();
    // A queue of five images, the second one under way.
    SessionState& session = window.session();
    generator.setSteps(30);
    session.settings().setImageCount(5);
    session.settings().setSampler(QStringLiteral("DPM++ 2M Karras"));
    session.launcher().launch();
    waitFor([&] { return generator.queuePosition() == 2 && generator.step() >= 8; });
    shoot(window, output, QStringLiteral("main-queue"));
    generator.stop();
    waitFor([&] { return !generator.isGenerating(); });
    session.settings().setImageCount(1);

    // Settings read back from another tool's PNG text, naming what is missing.
    session.reader().apply(
        QString::fromUtf8("a lighthouse at dusk, (oil painting:1.2) <lora:impasto:0.7>\n"
                          "Negative prompt: blurry\nSteps: 28, Sampler: Euler a, CFG scale: 6, "
                          "Seed: 1234, Size: 512x768, Model: dreamshaper_8"),
        QStringLiteral("lighthouse.png"));
    shoot(window, output, QStringLiteral("main-settings-read-back"));
    session.reader().clearNotice();

    // The fast mode fetching its LoRA: a stand-in hub that sends part of it.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    FakeHub hub;
    qputenv("HF_ENDPOINT", hub.baseUrl().toString().toUtf8());
    const QByteArray weights(135'000'000 / 1000, 'w');
    hub.serveFile("/api/models/latent-consistency/lcm-lora-sdv1-5/tree/main?recursive=true",
                  QJsonDocument(QJsonArray{QJsonObject{{"type", "file"},
                                                       {"path", "pytorch_lora_weights.safetensors"},
                                                       {"size", weights.size()}}})
                      .toJson());
    hub.serve("/latent-consistency/lcm-lora-sdv1-5/resolve/main/pytorch_lora_weights.safetensors",
              {.body = weights, .ending = FakeHub::Reply::Ending::stall,
               .bodyBytesSent = weights.size() * 2 / 5});
    session.fastMode().setEnabled(true);
    waitFor([&] { return session.fastMode().downloadFraction() > 0.3; });
    shoot(window, output, QStringLiteral("main-fast-mode-downloading"));
    session.fastMode().setEnabled(false);

    // A result taken as the input image, a mask painted over its middle.
    input.setImage(generator.results().front().image);
    input.setBrushSize(std::max(4, input.image().width() / 6));
    const double w = input.image().width();
    const double h = input.image().height();
    input.beginStroke({w * 0.3, h * 0.35});
    input.continueStroke({w * 0.7, h * 0.45});
    input.continueStroke({w * 0.4, h * 0.65});
    input.endStroke();
    input.setStrength(0.8);
    shoot(window, output, QStringLiteral("main-input-with-mask"));
    // The hires option beside the input image.
    input.setHiresEnabled(true);
    shoot(window, output, QStringLiteral("main-inpainted-hires-option"));
    // Back to text-to-image for the model library's shots.
    input.setHiresEnabled(false);
    input.clearImage();
    // The model library: an import under way (held at its check until the
    // shot is taken), then an SDXL model chosen.
    writeTinyXLModel(directory.path() / "downloads" / "Juggernaut XL", {});
    std::promise<void> shot;
    std::shared_future<void> taken = shot.get_future().share();
    window.library().setInspector([taken](const QString& path) {
        taken.wait();
        return inspectModel(path);
    });
    window.library().importModel(
        QString::fromStdString((directory.path() / "downloads" / "Juggernaut XL").string()));
    shoot(window, output, QStringLiteral("main-importing-model"));
    shot.set_value();
    waitFor([&] { return !window.library().isImporting(); });
    shoot(window, output, QStringLiteral("main-sdxl-model-chosen"));
    return 0;
}
