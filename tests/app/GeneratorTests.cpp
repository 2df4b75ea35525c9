#include "app/QtTestApplication.h"
#include "app/StopAtEvent.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "state/Generator.h"
#include "state/SeedText.h"
#include "state/ThreadPriority.h"
#include "support/TestNetworks.h"
#include "support/TestPipelineKinds.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QImageReader>
#include <QSemaphore>
#include <QThread>

#include <atomic>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

GeneratedImage result(const QString& prompt, uint32_t seed) {
    return GeneratedImage{QUuid::createUuid(), QImage(), prompt, QString(), seed, 20, 7.5};
}

class GeneratorTest : public ::testing::Test {
protected:
    PipelineKinds kinds;
    TemporaryDirectory directory;
    std::shared_ptr<StableDiffusionPipeline> pipeline;
    Generator generator;
    // Published changes in order, each marked with whether it came on the GUI thread.
    std::vector<std::string> changes;
    bool allOnGuiThread = true;
    // Each insertion into the results model: first and last row.
    std::vector<std::pair<int, int>> insertedRows;

    GeneratorTest() { qtApplication(); }

    void SetUp() override {
        writeTinyModel(directory.path() / "model");
        pipeline = std::make_shared<StableDiffusionPipeline>(directory.path() / "model",
                                                             std::vector<std::string>{},
                                                             ModelConfiguration{}, true, true);
        auto record = [this](const char* name) {
            return [this, name] {
                changes.emplace_back(name);
                allOnGuiThread &= QThread::currentThread() == qtApplication().thread();
            };
        };
        QObject::connect(&generator, &Generator::stepChanged, record("step"));
        QObject::connect(&generator, &Generator::previewChanged, record("preview"));
        QObject::connect(generator.resultsModel(), &QAbstractItemModel::rowsInserted,
                         [this, record](const QModelIndex&, int first, int last) {
                             insertedRows.emplace_back(first, last);
                             record("results")();
                         });
        QObject::connect(&generator, &Generator::isGeneratingChanged, record("generating"));
        generator.setPrompt(QStringLiteral("  a photo of a cat \n"));
        generator.setSeedText(QStringLiteral("42"));
    }

    bool finished() {
        return waitUntil([this] { return !generator.isGenerating(); });
    }
};

} // namespace

TEST(SeedText, AcceptsOnlyWholeNumbersThatFitThirtyTwoBits) {
    EXPECT_EQ(parseSeed(QStringLiteral(" 42 ")), 42u);
    EXPECT_EQ(parseSeed(QStringLiteral("\t+7")), 7u);
    EXPECT_EQ(parseSeed(QStringLiteral("-0")), 0u);
    EXPECT_EQ(parseSeed(QStringLiteral("-000")), 0u);
    EXPECT_EQ(parseSeed(QStringLiteral("007")), 7u);
    EXPECT_EQ(parseSeed(QStringLiteral("4294967295")), 4294967295u);
    for (const char* text : {"4294967296", "-1", "", "   ", "12a", "1 2", "+", "-", "4 2",
                             "99999999999999999999", "42\n", "٤٢"}) {
        EXPECT_FALSE(parseSeed(QString::fromUtf8(text))) << text;
    }
}

TEST(SuggestedFileName, FromThePromptsFirstWords) {
    EXPECT_EQ(result(QStringLiteral("A cat, in a hat!"), 42).suggestedFileName(),
              QStringLiteral("a-cat-in-a-hat_seed-42.png"));
    EXPECT_EQ(result(QStringLiteral("one two three four five six seven eight nine ten"), 1)
                  .suggestedFileName(),
              QStringLiteral("one-two-three-four-five-six-seven-eight_seed-1.png"));
    EXPECT_EQ(result(QStringLiteral("?!… ---"), 7).suggestedFileName(),
              QStringLiteral("_seed-7.png"));
    EXPECT_EQ(result(QString::fromUtf8("Straße Café 🐱 ½ x²"), 3).suggestedFileName(),
              QString::fromUtf8("straße-café-½-x²_seed-3.png"));
    // A decomposed accent stays with its letter.
    EXPECT_EQ(result(QString::fromUtf8("Cafe\u0301!"), 3).suggestedFileName(),
              QString::fromUtf8("cafe\u0301_seed-3.png"));
    const GeneratedImage longWords = result(
        QStringLiteral("abcdefghijklmnopqrstuvwxyz abcdefghijklmnopqrstuvwxyz abcdefghij"), 9);
    EXPECT_EQ(
        longWords.suggestedFileName(),
        QStringLiteral("abcdefghijklmnopqrstuvwxyz-abcdefghijklmnopqrstuvwxyz-abcdef_seed-9.png"));
}

TEST_F(GeneratorTest, ValidatesPromptBeforeSeed) {
    generator.setPrompt(QStringLiteral(" \n "));
    generator.setSeedText(QStringLiteral("x"));
    generator.generate(pipeline);
    EXPECT_EQ(generator.errorMessage(), QStringLiteral("Enter a prompt first."));
    EXPECT_FALSE(generator.isGenerating());

    generator.setPrompt(QStringLiteral("a cat"));
    generator.generate(pipeline);
    EXPECT_EQ(generator.errorMessage(),
              QStringLiteral("The seed must be a whole number between 0 and 4294967295."));
    EXPECT_FALSE(generator.isGenerating());
    EXPECT_TRUE(changes.empty());
}

TEST_F(GeneratorTest, RunsOneGenerationAndPublishesInOrder) {
    generator.setSteps(20);
    generator.generate(pipeline);
    EXPECT_TRUE(generator.isGenerating());
    EXPECT_TRUE(generator.errorMessage().isNull());
    generator.generate(pipeline); // ignored while running
    ASSERT_TRUE(finished());

    EXPECT_TRUE(allOnGuiThread);
    EXPECT_EQ(generator.step(), 20); // PNDM visits 21 timesteps
    ASSERT_EQ(generator.results().size(), 1);
    const GeneratedImage& first = generator.results().front();
    EXPECT_EQ(first.prompt, QStringLiteral("a photo of a cat"));
    EXPECT_EQ(first.seed, 42u);
    EXPECT_EQ(first.steps, 20);
    EXPECT_EQ(first.image.size(), QSize(16, 16));
    EXPECT_EQ(generator.preview(), first.image);
    EXPECT_TRUE(generator.errorMessage().isNull());

    // Steps and previews first, then the result, the final preview, and idle.
    const auto previews = std::count(changes.begin(), changes.end(), "preview");
    EXPECT_EQ(previews, 1 + 11 + 1); // cleared, steps 0, 2, …, 20, the result
    ASSERT_GE(changes.size(), 4u);
    EXPECT_EQ(changes.front(), "generating");
    EXPECT_EQ(changes[changes.size() - 3], "results");
    EXPECT_EQ(changes[changes.size() - 2], "preview");
    EXPECT_EQ(changes.back(), "generating");

    generator.setSeedText(QStringLiteral("43"));
    generator.generate(pipeline);
    ASSERT_TRUE(finished());
    ASSERT_EQ(generator.results().size(), 2);
    EXPECT_EQ(generator.results().front().seed, 43u);
    EXPECT_NE(generator.results()[0].image, generator.results()[1].image);
    // One row at the front per result, and the model reads as the list.
    EXPECT_EQ(insertedRows, (std::vector<std::pair<int, int>>{{0, 0}, {0, 0}}));
    const ResultsModel& model = *generator.resultsModel();
    EXPECT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.index(1).data(ResultsModel::ResultRole).value<GeneratedImage>().id,
              generator.results()[1].id);
    EXPECT_EQ(model.index(0).data(Qt::ToolTipRole).toString(),
              QStringLiteral("a photo of a cat\nSeed 43"));
    // The pace of the run just finished was published.
    EXPECT_GT(generator.secondsPerStep(), 0.0);
    EXPECT_EQ(generator.secondsLeft(), 0.0);
}

TEST_F(GeneratorTest, StopKeepsThePreviewAndAddsNothing) {
    generator.setSteps(20);
    // Pressed during the fourth step, after the first preview.
    const StopAtEvent stop(&generator, [this] { generator.stop(); }, "predict:unet", 4);
    generator.generate(pipeline);
    ASSERT_TRUE(finished());
    EXPECT_TRUE(stop.pressed());
    EXPECT_TRUE(generator.results().isEmpty());
    EXPECT_TRUE(generator.errorMessage().isNull());
    EXPECT_FALSE(generator.preview().isNull());
    EXPECT_LT(generator.step(), 20);
}

TEST_F(GeneratorTest, StopAtEveryPhaseLeavesItReadyForTheNextRun) {
    // Networks loaded per use and a safety checker, so that a run passes
    // through every phase; the worker is held at each until Stop is pressed.
    writeTinyModel(directory.path() / "checked", {.safetyChecker = true});
    auto checked = std::make_shared<StableDiffusionPipeline>(
        directory.path() / "checked", std::vector<std::string>{}, ModelConfiguration{},
        /*disableSafety=*/false, /*reduceMemory=*/true);
    generator.setSteps(4);
    std::atomic<int> workerNice{-100};
    for (const std::string phase : {"load:text_encoder", "predict:text_encoder", "predict:unet",
                                    "load:decoder", "predict:decoder", "predict:safety_checker",
                                    "preview"}) {
        std::atomic<bool> pressed{false};
        QSemaphore stopPressed;
        // The first preview is queued after the first step: the worker waits
        // at the second step until the GUI thread has shown it (and pressed
        // Stop), however busy the machine.
        QSemaphore previewShown;
        int unetPredictions = 0;
        const auto resultsBefore = generator.results().size();
        ModelEventLog::setObserver([&](const std::string& event) {
            workerNice = thisThreadNiceValue();
            if (phase == "preview" && event == "predict:unet" && ++unetPredictions == 2) {
                previewShown.tryAcquire(1, 60'000);
            }
            if (event == phase && !pressed.exchange(true)) {
                QMetaObject::invokeMethod(
                    &generator,
                    [&] {
                        generator.stop();
                        stopPressed.release();
                    },
                    Qt::QueuedConnection);
                stopPressed.acquire();
            }
        });
        const QMetaObject::Connection preview =
            QObject::connect(&generator, &Generator::previewChanged, [&] {
                if (phase == "preview" && generator.isGenerating() &&
                    !generator.preview().isNull() && !pressed.exchange(true)) {
                    generator.stop();
                    previewShown.release();
                }
            });
        generator.generate(checked);
        ASSERT_TRUE(finished()) << phase;
        ModelEventLog::setObserver({});
        QObject::disconnect(preview);
        EXPECT_TRUE(pressed) << phase;
        EXPECT_EQ(generator.results().size(), resultsBefore) << phase;
        EXPECT_TRUE(generator.errorMessage().isNull()) << phase;

        // Ready: the next run goes through to a result.
        generator.generate(checked);
        ASSERT_TRUE(finished()) << phase;
        EXPECT_EQ(generator.results().size(), resultsBefore + 1) << phase;
        EXPECT_TRUE(generator.errorMessage().isNull()) << phase;
    }
    // The networks ran below the GUI thread's priority.
    EXPECT_EQ(workerNice, std::min(thisThreadNiceValue() + generationNiceIncrement, 19));
}

TEST_F(GeneratorTest, EngineFailuresAndMissingImagesBecomeMessages) {
    generator.setSteps(1);
    generator.generate(pipeline);
    ASSERT_TRUE(finished());
    EXPECT_TRUE(generator.errorMessage().startsWith(QStringLiteral("Generation failed: ")))
        << generator.errorMessage().toStdString();
    EXPECT_TRUE(generator.results().isEmpty());

    // A model whose safety checker withholds every image.
    writeTinyModel(directory.path() / "flagged", {.safetyChecker = true, .safetyThreshold = -10});
    auto strict = std::make_shared<StableDiffusionPipeline>(directory.path() / "flagged",
                                                            std::vector<std::string>{},
                                                            ModelConfiguration{}, false, false);
    generator.setSteps(2);
    generator.generate(strict);
    ASSERT_TRUE(finished());
    EXPECT_EQ(generator.errorMessage(), QStringLiteral("No image was produced."));

    generator.generate(nullptr);
    ASSERT_TRUE(finished());
    EXPECT_TRUE(generator.errorMessage().startsWith(QStringLiteral("Generation failed: ")));
}

TEST_F(GeneratorTest, SavesWholePngsAndCopiesToTheClipboard) {
    generator.setSteps(2);
    generator.generate(pipeline);
    ASSERT_TRUE(finished());
    const GeneratedImage& made = generator.results().front();

    const QString path = QString::fromStdString((directory.path() / "out.png").string());
    ASSERT_TRUE(generator.save(made, path));
    QImageReader reader(path);
    EXPECT_EQ(reader.format(), QByteArray("png"));
    EXPECT_EQ(reader.read().convertToFormat(made.image.format()), made.image);

    EXPECT_FALSE(generator.save(made, QStringLiteral("/nonexistent/folder/out.png")));
    EXPECT_TRUE(generator.errorMessage().startsWith(QStringLiteral("Could not save the image: ")));

    generator.copy(made);
    generator.copy(made);
    EXPECT_EQ(QGuiApplication::clipboard()->image().convertToFormat(made.image.format()),
              made.image);
}
