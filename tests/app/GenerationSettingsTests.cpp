#include "app/FakeHub.h"
#include "app/QtTestApplication.h"
#include "app/StopAtEvent.h"
#include "make-model/ModelMaker.h"
#include "pipeline/GenerationParameters.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "runtime/BundleWriter.h"
#include "state/FastMode.h"
#include "state/GenerationLauncher.h"
#include "state/GenerationSettings.h"
#include "state/Generator.h"
#include "state/LoraLibrary.h"
#include "state/ModelStore.h"
#include "state/SettingsReader.h"
#include "support/TestNetworks.h"
#include "support/TestPipelineKinds.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

QString qpath(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

GenerationParameters parametersOfResult(const GeneratedImage& image) {
    return parseGenerationParameters(image.parameters.toStdString());
}

} // namespace

TEST(GenerationSettings, SamplersComeFromTheSchedulerTableAndSizesFollowTheFamily) {
    qtApplication();
    GenerationSettings settings;
    const QStringList names = settings.samplerNames();
    EXPECT_EQ(settings.sampler(), QStringLiteral("PNDM"));
    for (const char* name : {"PNDM", "DPM++ 2M", "DPM++ 2M Karras", "LCM"}) {
        EXPECT_TRUE(names.contains(QString::fromUtf8(name))) << name;
    }
    EXPECT_FALSE(names.contains(QStringLiteral("PNDM Karras")));
    // Every name stands for the choice it names.
    for (const QString& name : names) {
        settings.setSampler(name);
        EXPECT_EQ(GenerationSettings::samplerName(settings.samplerChoice()), name);
    }
    settings.setSampler(QStringLiteral("DPM++ 2M Karras"));
    EXPECT_EQ(settings.samplerChoice(),
              (SamplerChoice{StableDiffusionScheduler::dpmSolverMultistepScheduler,
                             TimeStepSpacing::karras}));
    settings.setSampler(QStringLiteral("Euler z"));
    EXPECT_EQ(settings.sampler(), QStringLiteral("DPM++ 2M Karras"));

    EXPECT_EQ(settings.width(), 512);
    EXPECT_EQ(settings.sizePreset(), 0);
    settings.chooseSizePreset(2);
    EXPECT_EQ(QSize(settings.width(), settings.height()), QSize(768, 512));
    // A preset size becomes the other family's default; a custom one stays.
    settings.setXL(true);
    EXPECT_EQ(QSize(settings.width(), settings.height()), QSize(1024, 1024));
    for (const QSize& size : settings.sizePresets()) {
        EXPECT_NEAR(size.width() * size.height(), 1024 * 1024, 1024 * 1024 / 10);
    }
    ASSERT_TRUE(settings.setSize(640, 384));
    EXPECT_EQ(settings.sizePreset(), -1);
    settings.setXL(false);
    EXPECT_EQ(QSize(settings.width(), settings.height()), QSize(640, 384));
    EXPECT_FALSE(settings.setSize(641, 384));
    EXPECT_TRUE(GenerationSettings::sizeProblem(641, 384).contains(QStringLiteral("641")));
    EXPECT_FALSE(settings.setSize(4096, 512));
    EXPECT_EQ(QSize(settings.width(), settings.height()), QSize(640, 384));
    settings.setImageCount(0);
    EXPECT_EQ(settings.imageCount(), 1);
    settings.setImageCount(1000);
    EXPECT_EQ(settings.imageCount(), GenerationSettings::kMostImages);
}

namespace {

class Queue : public ::testing::Test {
protected:
    PipelineKinds kinds;
    TemporaryDirectory directory;
    std::shared_ptr<StableDiffusionPipeline> pipeline;
    Generator generator;
    GenerationSettings settings;
    LoraLibrary library{qpath(directory.path() / "app")};

    Queue() { qtApplication(); }

    void SetUp() override {
        writeTinyModel(directory.path() / "model", {.unetDelayMilliseconds = 2});
        pipeline = std::make_shared<StableDiffusionPipeline>(directory.path() / "model",
                                                             std::vector<std::string>{},
                                                             ModelConfiguration{}, true, true);
        generator.setPrompt(QStringLiteral("a fox, \"quoted\" <lora:style:0.5>"));
        generator.setSeedText(QStringLiteral("4294967294"));
        generator.setSteps(3);
    }

    bool finished() {
        return waitUntil([this] { return !generator.isGenerating(); });
    }
};

} // namespace

TEST_F(Queue, EachImageJoinsTheResultsAsItIsDoneWithTheNextSeed) {
    QStringList captions;
    QObject::connect(&generator, &Generator::queueChanged, [&] {
        if (!generator.queueCaption().isEmpty() && !captions.contains(generator.queueCaption())) {
            captions.append(generator.queueCaption());
        }
    });
    std::vector<int> resultsAtCaption;
    QObject::connect(&generator, &Generator::queueChanged,
                     [&] { resultsAtCaption.push_back(static_cast<int>(generator.results().size())); });
    GenerationOptions options;
    options.sampler = {StableDiffusionScheduler::dpmSolverMultistepScheduler, TimeStepSpacing::karras};
    options.imageCount = 3;
    options.loras = {{"style", 0.5f, "0123456789ab"}};
    options.modelName = QStringLiteral("tiny, model");
    generator.generate(pipeline, options);
    ASSERT_TRUE(finished());
    EXPECT_EQ(captions, (QStringList{QStringLiteral("Image 1 of 3"), QStringLiteral("Image 2 of 3"),
                                     QStringLiteral("Image 3 of 3")}));
    // Image 2 starts after image 1 is in the results.
    EXPECT_NE(std::find(resultsAtCaption.begin(), resultsAtCaption.end(), 1), resultsAtCaption.end());
    ASSERT_EQ(generator.results().size(), 3);
    EXPECT_EQ(generator.queueCaption(), QString());
    // Newest first; the seed counts up and wraps like the 32-bit value it is.
    EXPECT_EQ(generator.results()[2].seed, 4294967294u);
    EXPECT_EQ(generator.results()[1].seed, 4294967295u);
    EXPECT_EQ(generator.results()[0].seed, 0u);
    const GenerationParameters p = parametersOfResult(generator.results()[0]);
    EXPECT_EQ(p.prompt, "a fox, \"quoted\"");
    EXPECT_EQ(p.seed, 0u);
    EXPECT_EQ(p.steps, 3);
    EXPECT_EQ(p.sampler, "DPM++ 2M");
    EXPECT_EQ(p.scheduleType, "Karras");
    EXPECT_EQ(p.model, "tiny, model");
    EXPECT_EQ(p.loras, (std::vector<PromptLora>{{"style", 0.5f, "0123456789ab"}}));
    EXPECT_EQ(p.width, 16);
    EXPECT_NE(generator.results()[0].image, generator.results()[1].image);
}

TEST_F(Queue, StopEndsTheCurrentImageAndTheRestOfTheQueue) {
    GenerationOptions options;
    options.imageCount = 5;
    generator.setSteps(6);
    // Pressed early in the second image (six or seven predictions each).
    const StopAtEvent stop(&generator, [this] { generator.stop(); }, "predict:unet", 7 + 2);
    generator.generate(pipeline, options);
    ASSERT_TRUE(finished());
    EXPECT_TRUE(stop.pressed());
    EXPECT_EQ(generator.results().size(), 1);
    EXPECT_TRUE(generator.errorMessage().isNull());
    EXPECT_EQ(generator.queuePosition(), 0);
}

TEST_F(Queue, SavedPngsGiveTheirSettingsBack) {
    GenerationOptions options;
    options.sampler = {StableDiffusionScheduler::dpmSolverMultistepScheduler, TimeStepSpacing::karras};
    options.loras = {{"style", 0.5f, "0123456789ab"}};
    options.modelName = QStringLiteral("stable-diffusion-v1-5");
    generator.setPrompt(QStringLiteral("caf\u00e9 \u732b, \"quoted\": yes\nsecond line"));
    generator.setNegativePrompt(QStringLiteral("blurry, low"));
    generator.setGuidance(6.5);
    generator.generate(pipeline, options);
    ASSERT_TRUE(finished());
    ASSERT_EQ(generator.results().size(), 1) << generator.errorMessage().toStdString();
    const QString saved = qpath(directory.path() / "made.png");
    ASSERT_TRUE(generator.save(generator.results().front(), saved));

    Generator other;
    GenerationSettings otherSettings;
    SettingsReader reader(other, otherSettings, library);
    reader.setModelName(QStringLiteral("stable-diffusion-v1-5"));
    ASSERT_TRUE(reader.readFile(saved)) << reader.notice().toStdString();
    EXPECT_EQ(other.prompt(), QStringLiteral("caf\u00e9 \u732b, \"quoted\": yes\nsecond line"));
    EXPECT_EQ(other.negativePrompt(), QStringLiteral("blurry, low"));
    EXPECT_EQ(other.seedText(), QStringLiteral("4294967294"));
    EXPECT_EQ(other.steps(), 3);
    EXPECT_EQ(other.guidance(), 6.5);
    EXPECT_EQ(otherSettings.sampler(), QStringLiteral("DPM++ 2M Karras"));
    // What cannot be taken is named: the tiny image's size and the LoRA.
    EXPECT_TRUE(reader.notice().contains(QStringLiteral("16 \u00d7 16"))) << reader.notice().toStdString();
    EXPECT_TRUE(reader.notice().contains(QStringLiteral("LoRA \"style\" is not installed")))
        << reader.notice().toStdString();
    EXPECT_FALSE(reader.notice().contains(QStringLiteral("model")));

    // Another tool's text: a sampler we lack and a model we do not have.
    ASSERT_TRUE(reader.apply(QStringLiteral("a cat\nSteps: 30, Sampler: Restart, CFG scale: 5, "
                                            "Seed: 9, Size: 768x512, Model: other"),
                             QStringLiteral("web.png")));
    EXPECT_EQ(otherSettings.sampler(), QStringLiteral("DPM++ 2M Karras"));
    EXPECT_EQ(QSize(otherSettings.width(), otherSettings.height()), QSize(768, 512));
    EXPECT_TRUE(reader.notice().contains(QStringLiteral("sampler \"Restart\"")));
    EXPECT_TRUE(reader.notice().contains(QStringLiteral("model \"other\" is not installed")));
    // The hires fix and its strength; another tool's upscaler is named.
    ImageInput& input = *other.imageInput();
    ASSERT_TRUE(reader.apply(QStringLiteral("a cat\nSteps: 30, Seed: 9, Clip skip: 3, Denoising "
                                            "strength: 0.35, Hires upscale: 1.5, Hires steps: "
                                            "12, Hires upscaler: Latent"),
                             QStringLiteral("hires.png")));
    EXPECT_EQ(otherSettings.clipSkip(), 3);
    EXPECT_TRUE(input.hiresEnabled());
    EXPECT_EQ(input.hiresScale(), 1.5);
    EXPECT_NEAR(input.hiresStrength(), 0.35, 1e-6);
    EXPECT_EQ(input.hiresSteps(), 12);
    EXPECT_EQ(input.request(30).hires->stepCount, 12);
    EXPECT_TRUE(reader.notice().contains(QStringLiteral("upscaler \"Latent\"")))
        << reader.notice().toStdString();
    // Without them: image-to-image's strength, the hires fix and clip skip off.
    ASSERT_TRUE(reader.apply(QStringLiteral("a cat\nSteps: 30, Denoising strength: 0.6"),
                             QStringLiteral("img2img.png")));
    EXPECT_FALSE(input.hiresEnabled());
    EXPECT_NEAR(input.strength(), 0.6, 1e-6);
    EXPECT_EQ(otherSettings.clipSkip(), 1);
    // A scale the hires fix cannot make is named, and leaves it off.
    ASSERT_TRUE(reader.apply(QStringLiteral("a cat\nSteps: 30, Hires upscale: 8"),
                             QStringLiteral("big.png")));
    EXPECT_FALSE(input.hiresEnabled());
    EXPECT_TRUE(reader.notice().contains(QStringLiteral("hires upscale"))) << reader.notice().toStdString();
    // Text that is not parameters changes nothing.
    EXPECT_FALSE(reader.apply(QStringLiteral("just words"), QStringLiteral("note.png")));
    EXPECT_EQ(other.prompt(), QStringLiteral("a cat"));
    EXPECT_TRUE(reader.notice().contains(QStringLiteral("cannot be read")));
    EXPECT_FALSE(reader.readFile(qpath(directory.path() / "missing.png")));
}

namespace {

// A real (tiny, random) model installed as the application's, a LoRA for it
// and one for another network.
class LoraLibraryTest : public ::testing::Test {
protected:
    TemporaryDirectory directory;
    QString folder = qpath(directory.path() / "app");
    std::filesystem::path fitting = directory.path() / "my: style.safetensors";
    std::filesystem::path foreign = directory.path() / "foreign.safetensors";

    LoraLibraryTest() { qtApplication(); }

    void SetUp() override {
        writeRandomModel(directory.path() / "app" / "Model", {});
        writeRandomLora(fitting, {});
        // A rank-2 update of a layer of a different width.
        writeSafetensors(
            foreign,
            {TensorToWrite::fromFloats("lora_unet_down_blocks_0_attentions_0_proj_in.lora_down.weight",
                                       ShapedArray({2, 1000}, 0.01f)),
             TensorToWrite::fromFloats("lora_unet_down_blocks_0_attentions_0_proj_in.lora_up.weight",
                                       ShapedArray({1000, 2}, 0.01f))});
    }
};

} // namespace

TEST_F(LoraLibraryTest, ImportsChoosesWhatFitsAndResolvesPromptTags) {
    LoraLibrary library(folder);
    library.setModelDirectory(folder + QStringLiteral("/Model"));
    EXPECT_TRUE(library.names().isEmpty());
    const QString name = library.importFile(qpath(fitting));
    EXPECT_EQ(name, QStringLiteral("my_ style"));
    EXPECT_EQ(library.names(), QStringList{name});
    EXPECT_EQ(library.entry(name)->hash.size(), 12);
    EXPECT_TRUE(library.importFile(qpath(fitting)).isEmpty());
    EXPECT_TRUE(library.errorMessage().contains(QStringLiteral("already has")));
    EXPECT_TRUE(library.importFile(qpath(directory.path() / "notes.txt")).isEmpty());
    const QString foreignName = library.importFile(qpath(foreign));
    ASSERT_FALSE(foreignName.isEmpty());

    EXPECT_TRUE(library.choose(name, 0.75));
    EXPECT_FALSE(library.choose(foreignName));
    EXPECT_TRUE(library.errorMessage().contains(QStringLiteral("does not fit this model")))
        << library.errorMessage().toStdString();
    EXPECT_EQ(library.chosen(), (QList<ChosenLora>{{name, 0.75}}));

    // A tag's weight wins over the chosen one; unknown names are refused.
    ResolvedLoras resolved = library.resolve(QStringLiteral("a cat <lora:my_ style:0.25>"));
    ASSERT_EQ(resolved.files.size(), 1u);
    EXPECT_EQ(resolved.files[0].scale, 0.25f);
    EXPECT_EQ(resolved.named[0].hash, library.entry(name)->hash.toStdString());
    try {
        library.resolve(QStringLiteral("a cat <lora:absent:1>"));
        ADD_FAILURE() << "an unknown LoRA was accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("\"absent\", which is not in the LoRA library"),
                  std::string::npos);
    }
    // A new library object finds the files and their hashes again.
    LoraLibrary again(folder);
    EXPECT_EQ(again.entry(name)->hash, library.entry(name)->hash);
}

// The window's import copies on a worker thread; Cancel, or a crash during
// an import, leaves nothing in the library's folder.
TEST_F(LoraLibraryTest, ImportsOffTheWindowsThreadAndCancelLeavesNothing) {
    const auto big = directory.path() / "big.safetensors";
    writeSafetensors(big, {TensorToWrite::fromFloats("lora_unet_x.lora_down.weight",
                                                     ShapedArray({3, 4'000'000}, 0.5f))});
    LoraLibrary library(folder);
    QString finished = QStringLiteral("(not yet)");
    QObject::connect(&library, &LoraLibrary::importFinished,
                     [&](const QString& name) { finished = name; });
    std::vector<double> fractions;
    QObject::connect(&library, &LoraLibrary::importProgressChanged,
                     [&] { fractions.push_back(library.importFraction()); });
    const auto listing = [&] {
        return QDir(library.folder())
            .entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    };

    library.startImport(qpath(big));
    EXPECT_TRUE(library.isImporting());
    library.cancelImport();
    ASSERT_TRUE(waitUntil([&] { return !library.isImporting(); }, std::chrono::seconds(60)));
    EXPECT_TRUE(finished.isEmpty());
    EXPECT_TRUE(listing().isEmpty()) << listing().join(QLatin1Char(' ')).toStdString();
    EXPECT_TRUE(library.names().isEmpty());

    library.startImport(qpath(big));
    ASSERT_TRUE(waitUntil([&] { return !library.isImporting(); }, std::chrono::seconds(60)));
    EXPECT_EQ(finished, QStringLiteral("big"));
    EXPECT_EQ(listing(), (QStringList{QStringLiteral("big.json"), QStringLiteral("big.safetensors")}));
    EXPECT_EQ(library.entry(QStringLiteral("big"))->hash.size(), 12);
    ASSERT_FALSE(fractions.empty());
    EXPECT_EQ(fractions.back(), 0.0); // reset when done
    // A second import of the same name is refused at once, with a sentence.
    library.startImport(qpath(big));
    EXPECT_FALSE(library.isImporting());
    EXPECT_TRUE(library.errorMessage().contains(QStringLiteral("already has")));

    // What an import that never ended left is removed on the next start.
    QFile leftover(library.folder() + QStringLiteral("/.importing-1234.safetensors"));
    ASSERT_TRUE(leftover.open(QIODevice::WriteOnly));
    leftover.close();
    LoraLibrary again(folder);
    EXPECT_EQ(listing(), (QStringList{QStringLiteral("big.json"), QStringLiteral("big.safetensors")}));
}

TEST_F(LoraLibraryTest, GeneratingWithLorasReloadsOnlyWhenTheyChange) {
    ModelStore store(folder);
    std::vector<ModelState::Kind> kinds;
    QObject::connect(&store, &ModelStore::stateChanged,
                     [&] { kinds.push_back(store.state().kind); });
    store.startUp();
    ASSERT_TRUE(waitUntil([&] { return store.state().kind == ModelState::Kind::ready; }));
    Generator generator;
    GenerationSettings settings;
    LoraLibrary library(folder);
    FastMode fastMode(generator, settings, folder);
    GenerationLauncher launcher(generator, settings, library, fastMode, store);
    const QString name = library.importFile(qpath(fitting));
    generator.setPrompt(QStringLiteral("a cat <lora:") + name + QStringLiteral(":0.5>"));
    generator.setSteps(2);
    settings.setImageCount(2);

    kinds.clear();
    launcher.launch();
    EXPECT_TRUE(launcher.isWaiting());
    ASSERT_TRUE(waitUntil([&] { return generator.results().size() == 2 && !generator.isGenerating(); }))
        << generator.errorMessage().toStdString();
    EXPECT_EQ(kinds, (std::vector<ModelState::Kind>{ModelState::Kind::loading,
                                                    ModelState::Kind::ready}));
    EXPECT_EQ(store.loras().size(), 1u);
    const GenerationParameters p = parametersOfResult(generator.results().front());
    ASSERT_EQ(p.loras.size(), 1u);
    EXPECT_EQ(p.loras[0].weight, 0.5f);
    EXPECT_EQ(p.prompt, "a cat");

    // The same LoRAs again: no reload.
    kinds.clear();
    launcher.launch();
    EXPECT_FALSE(launcher.isWaiting());
    ASSERT_TRUE(waitUntil([&] { return generator.results().size() == 4 && !generator.isGenerating(); }));
    EXPECT_TRUE(kinds.empty());

    // A tag naming a LoRA not in the library is refused before anything runs.
    generator.setPrompt(QStringLiteral("a cat <lora:absent:1>"));
    launcher.launch();
    EXPECT_FALSE(generator.isGenerating());
    EXPECT_TRUE(generator.errorMessage().contains(QStringLiteral("absent")));
}

namespace {

const QByteArray kLcmRepository = QByteArrayLiteral("/latent-consistency/lcm-lora-sdv1-5");

class Fast : public ::testing::Test {
protected:
    TemporaryDirectory directory;
    QString folder = qpath(directory.path() / "app");
    std::unique_ptr<FakeHub> hub;
    QByteArray weights;
    Generator generator;
    GenerationSettings settings;

    Fast() { qtApplication(); }

    void SetUp() override {
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        hub = std::make_unique<FakeHub>();
        qputenv("HF_ENDPOINT", hub->baseUrl().toString().toUtf8());
        writeRandomLora(directory.path() / "lcm.safetensors", {});
        QFile file(qpath(directory.path() / "lcm.safetensors"));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        weights = file.readAll();
        hub->serveFile("/api/models" + kLcmRepository + "/tree/main?recursive=true",
                       QJsonDocument(QJsonArray{QJsonObject{
                                         {"type", "file"},
                                         {"path", "pytorch_lora_weights.safetensors"},
                                         {"size", weights.size()}}})
                           .toJson());
        generator.setSteps(30);
        generator.setGuidance(8.0);
        settings.setSampler(QStringLiteral("DPM++ 2M"));
    }

    void TearDown() override { qunsetenv("HF_ENDPOINT"); }
};

} // namespace

TEST_F(Fast, FetchesTheLoraOnceAndGivesBackTheUsersSettings) {
    hub->serveFile(kLcmRepository + "/resolve/main/pytorch_lora_weights.safetensors", weights);
    FastMode fast(generator, settings, folder);
    fast.setEnabled(true);
    EXPECT_EQ(settings.sampler(), QStringLiteral("LCM"));
    EXPECT_EQ(generator.steps(), FastMode::kSteps);
    EXPECT_EQ(generator.guidance(), FastMode::kGuidance);
    EXPECT_TRUE(fast.isDownloading());
    EXPECT_FALSE(fast.lora());
    ASSERT_TRUE(waitUntil([&] { return !fast.isDownloading(); }));
    ASSERT_TRUE(fast.lora()) << fast.errorMessage().toStdString();
    QFile installed(QString::fromStdString(fast.lora()->path.string()));
    ASSERT_TRUE(installed.open(QIODevice::ReadOnly));
    EXPECT_EQ(installed.readAll(), weights);

    fast.setEnabled(false);
    EXPECT_EQ(settings.sampler(), QStringLiteral("DPM++ 2M"));
    EXPECT_EQ(generator.steps(), 30);
    EXPECT_EQ(generator.guidance(), 8.0);
    EXPECT_FALSE(fast.lora());
    // Installed: no second download.
    fast.setEnabled(true);
    EXPECT_FALSE(fast.isDownloading());
    EXPECT_TRUE(fast.lora());
    EXPECT_EQ(hub->requestCount(kLcmRepository + "/resolve/main/pytorch_lora_weights.safetensors"), 1);
}

TEST_F(Fast, CancelOrAFailedDownloadSwitchesItOffWithTheSettingsBack) {
    hub->serve(kLcmRepository + "/resolve/main/pytorch_lora_weights.safetensors",
               {.body = weights, .ending = FakeHub::Reply::Ending::stall, .bodyBytesSent = 100});
    FastMode fast(generator, settings, folder);
    fast.setDownloadTimings({.stallMilliseconds = 60'000, .retryPausesMilliseconds = {}});
    fast.setEnabled(true);
    ASSERT_TRUE(waitUntil([&] { return fast.downloadFraction() > 0.0; }));
    fast.cancelDownload();
    ASSERT_TRUE(waitUntil([&] { return !fast.enabled(); }));
    EXPECT_TRUE(fast.errorMessage().isNull());
    EXPECT_EQ(settings.sampler(), QStringLiteral("DPM++ 2M"));
    EXPECT_EQ(generator.steps(), 30);

    hub->serve(kLcmRepository + "/resolve/main/pytorch_lora_weights.safetensors", {.status = 404});
    fast.setEnabled(true);
    ASSERT_TRUE(waitUntil([&] { return !fast.enabled(); }));
    EXPECT_TRUE(fast.errorMessage().startsWith(
        QStringLiteral("The fast mode's LoRA could not be downloaded: ")))
        << fast.errorMessage().toStdString();
    EXPECT_EQ(generator.guidance(), 8.0);
}
