#include "app/FakeHub.h"
#include "app/QtTestApplication.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "make-model/ModelMaker.h"
#include "runtime/CheckpointWriter.h"
#include "state/FastMode.h"
#include "state/GenerationLauncher.h"
#include "state/GenerationSettings.h"
#include "state/Generator.h"
#include "state/LoraLibrary.h"
#include "state/MemoryPlan.h"
#include "state/ModelStore.h"
#include "state/SessionState.h"
#include "state/library/ModelLibrary.h"
#include "support/TestNetworks.h"
#include "support/TestPipelineKinds.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <future>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

QString qt(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

// A file of `bytes` bytes that counts up, so its hash is known.
void writeBytes(const std::filesystem::path& path, size_t bytes) {
    std::ofstream out(path, std::ios::binary);
    for (size_t i = 0; i < bytes; ++i) {
        out.put(static_cast<char>(i * 7));
    }
}

QString sha256Of(const std::filesystem::path& path) {
    QFile file(qt(path));
    file.open(QIODevice::ReadOnly);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return QString::fromLatin1(hash.result().toHex());
}

// What is in a library folder, hidden names included.
QStringList listing(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

class Library : public ::testing::Test {
protected:
    PipelineKinds kinds;
    TemporaryDirectory directory;
    TemporaryDirectory elsewhere; // where the user's files lie
    QString folder = qt(directory.path());
    std::unique_ptr<ModelStore> store;
    std::unique_ptr<ModelLibrary> library;
    // Files of the stand-in kinds pass as the kind named in their name.
    static InspectedModel byName(const QString& path) {
        if (path.endsWith(QStringLiteral(".bad"))) {
            throw std::runtime_error("\u201cx.bad\u201d is no model.");
        }
        if (path.contains(QStringLiteral("vae"))) {
            return {ModelKind::vae, {}};
        }
        if (path.contains(QStringLiteral("xl"))) {
            return {ModelKind::sdxlBase, {}};
        }
        return QFileInfo(path).isDir() ? inspectModel(path) : InspectedModel{ModelKind::sd1, {}};
    }

    Library() { qtApplication(); }

    void SetUp() override { open(); }

    void open() {
        library.reset();
        store = std::make_unique<ModelStore>(folder);
        library = std::make_unique<ModelLibrary>(*store);
        library->setInspector(byName);
    }

    void installHub() {
        writeTinyModel(directory.path() / "Model");
        QFile marker(folder + QStringLiteral("/Model/.complete"));
        ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
        marker.close();
        library->refresh();
    }

    // Imports and waits; returns the new entry's id (empty on failure).
    QString importAndWait(const std::filesystem::path& source) {
        QString id = QStringLiteral("(not finished)");
        const auto connection = QObject::connect(library.get(), &ModelLibrary::importFinished,
                                                 [&](const QString& made) { id = made; });
        library->importModel(qt(source));
        waitUntil([&] { return !library->isImporting(); }, std::chrono::seconds(30));
        QObject::disconnect(connection);
        return id;
    }
};

} // namespace

TEST_F(Library, ImportsLinkingOnOneFileSystemAndRemembersTheChoice) {
    installHub();
    ASSERT_EQ(library->entries().size(), 1);
    EXPECT_TRUE(library->entries().front().isHub);
    EXPECT_EQ(library->chosenId(), QStringLiteral("hub"));

    const auto source = elsewhere.path() / "Dream Shaper.safetensors";
    writeBytes(source, 3'000'000);
    std::vector<double> fractions;
    QObject::connect(library.get(), &ModelLibrary::importProgressChanged,
                     [&] { fractions.push_back(library->importFraction()); });
    const QString id = importAndWait(source);
    ASSERT_EQ(id, QStringLiteral("Models/Dream Shaper")) << library->message().toStdString();
    EXPECT_TRUE(library->message().isNull());

    const std::optional<LibraryEntry> entry = library->entry(id);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name, QStringLiteral("Dream Shaper"));
    EXPECT_EQ(entry->kind, ModelKind::sd1);
    EXPECT_EQ(entry->size, 3'000'000);
    EXPECT_EQ(entry->sha256, sha256Of(source));
    EXPECT_EQ(entry->shortHash(), entry->sha256.left(10));
    EXPECT_EQ(entry->path, folder + QStringLiteral("/Models/Dream Shaper.safetensors"));
    // One file on disk, two names: no second copy of the weights.
    struct stat original {};
    struct stat imported {};
    ASSERT_EQ(::stat(source.c_str(), &original), 0);
    ASSERT_EQ(::stat(QFile::encodeName(entry->path).constData(), &imported), 0);
    EXPECT_EQ(original.st_ino, imported.st_ino);
    EXPECT_EQ(listing(folder + QStringLiteral("/Models")),
              (QStringList{QStringLiteral("Dream Shaper.json"),
                           QStringLiteral("Dream Shaper.safetensors")}));
    EXPECT_EQ(library->chosenId(), id); // a new import is chosen
    EXPECT_EQ(library->models()->rowCount(), 2);
    EXPECT_EQ(library->models()->data(library->models()->index(1, 0)).toString(),
              QString::fromUtf8("Dream Shaper — SD 1.5, 3.0 MB"));

    // The same name again gets a name of its own; the same weights are refused.
    const auto second = elsewhere.path() / "sub";
    std::filesystem::create_directories(second);
    writeBytes(second / "Dream Shaper.safetensors", 1000);
    EXPECT_EQ(importAndWait(second / "Dream Shaper.safetensors"),
              QStringLiteral("Models/Dream Shaper-2"));
    EXPECT_EQ(importAndWait(source), QString());
    EXPECT_EQ(library->message(),
              QString::fromUtf8("This model is already in the library as “Dream Shaper”."));

    // A new launch finds the entries and the choice.
    library->choose(id);
    open();
    EXPECT_EQ(library->chosenId(), id);
    EXPECT_EQ(library->entries().size(), 3);
    EXPECT_EQ(library->entry(id), entry);
    const std::optional<ModelChoice> choice = library->choice();
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->model, *entry);
    EXPECT_FALSE(choice->preloaded);

    // Removing the chosen model deletes its files (never the user's) and
    // falls back to the hub model.
    EXPECT_FALSE(library->remove(QStringLiteral("hub")));
    EXPECT_TRUE(library->remove(id));
    EXPECT_FALSE(library->entry(id));
    EXPECT_EQ(library->chosenId(), QStringLiteral("hub"));
    EXPECT_FALSE(QFileInfo::exists(entry->path));
    EXPECT_TRUE(std::filesystem::exists(source));
    EXPECT_EQ(listing(folder + QStringLiteral("/Models")),
              (QStringList{QStringLiteral("Dream Shaper-2.json"),
                           QStringLiteral("Dream Shaper-2.safetensors")}));
}

TEST_F(Library, AnyEntryIsRemovedButNotWhileAGenerationReadsIt) {
    installHub();
    writeBytes(elsewhere.path() / "first.safetensors", 2000);
    writeBytes(elsewhere.path() / "second.safetensors", 3000);
    writeBytes(elsewhere.path() / "vae.safetensors", 1000);
    const QString first = importAndWait(elsewhere.path() / "first.safetensors");
    const QString second = importAndWait(elsewhere.path() / "second.safetensors");
    const QString vae = importAndWait(elsewhere.path() / "vae.safetensors");
    ASSERT_FALSE(first.isEmpty() || second.isEmpty() || vae.isEmpty());
    library->choose(first);
    library->chooseVae(vae);
    EXPECT_EQ(library->removableEntries().size(), 3);

    // Another model than the chosen one: the choice stays.
    EXPECT_TRUE(library->remove(second));
    EXPECT_FALSE(library->entry(second));
    EXPECT_EQ(library->chosenId(), first);

    // What a running generation reads stays, with a sentence saying why.
    library->setEntriesInUse({first, vae});
    EXPECT_FALSE(library->remove(vae));
    EXPECT_TRUE(library->message().contains(QStringLiteral("in use by the running generation")))
        << library->message().toStdString();
    EXPECT_TRUE(library->entry(vae));
    EXPECT_TRUE(QFileInfo::exists(library->entry(vae)->path));
    library->setEntriesInUse({});
    EXPECT_TRUE(library->remove(vae));
    EXPECT_FALSE(library->choice()->vae);
    EXPECT_EQ(library->chosenId(), first);

    // A model removed and another imported under its name is another model
    // to whatever keeps the loaded one.
    const QString loadedKey = library->choice()->key();
    EXPECT_TRUE(library->remove(first));
    EXPECT_EQ(library->chosenId(), QStringLiteral("hub"));
    std::filesystem::create_directories(elsewhere.path() / "other");
    writeBytes(elsewhere.path() / "other" / "first.safetensors", 2500);
    EXPECT_EQ(importAndWait(elsewhere.path() / "other" / "first.safetensors"), first);
    EXPECT_NE(library->choice()->key(), loadedKey);
}

TEST_F(Library, CopiesAcrossFileSystemsAndImportsModelFolders) {
    installHub();
    // /dev/shm is a memory file system: a hard link to it cannot be made.
    std::error_code error;
    const std::filesystem::path shm = "/dev/shm/dravelin-library-test-" + std::to_string(::getpid());
    std::filesystem::create_directories(shm, error);
    if (error) {
        GTEST_SKIP() << "no second file system to copy from";
    }
    writeBytes(shm / "vae-ft-mse.safetensors", 5'000'000);
    const QString id = importAndWait(shm / "vae-ft-mse.safetensors");
    const QString expectedHash = sha256Of(shm / "vae-ft-mse.safetensors");
    std::filesystem::remove_all(shm, error);
    ASSERT_EQ(id, QStringLiteral("VAE/vae-ft-mse")) << library->message().toStdString();
    const std::optional<LibraryEntry> vae = library->entry(id);
    EXPECT_EQ(vae->sha256, expectedHash);
    EXPECT_EQ(QFileInfo(vae->path).size(), 5'000'000); // a copy, still there
    EXPECT_EQ(library->chosenVaeId(), id);              // VAEs are chosen beside the model
    EXPECT_EQ(library->chosenId(), QStringLiteral("hub"));

    // A model folder (an SDXL directory) is brought in whole.
    writeTinyXLModel(elsewhere.path() / "Tiny XL", {.refiner = false});
    const QString xl = importAndWait(elsewhere.path() / "Tiny XL");
    ASSERT_EQ(xl, QStringLiteral("Models/Tiny XL")) << library->message().toStdString();
    EXPECT_TRUE(QFileInfo::exists(folder + QStringLiteral("/Models/Tiny XL/Unet.model/config.json")));
    EXPECT_EQ(library->chosenKindName(), QStringLiteral("SDXL"));
    EXPECT_TRUE(library->chosenIsXL());
    EXPECT_EQ(library->nativeWidth(), 1024);
    EXPECT_EQ(library->nativeHeight(), 1024);
    library->choose(QStringLiteral("hub"));
    EXPECT_EQ(library->nativeWidth(), 512);
    EXPECT_FALSE(library->chosenIsXL());
}

TEST_F(Library, CancelAndFailureLeaveNothingBehind) {
    installHub();
    const auto source = elsewhere.path() / "big.safetensors";
    writeBytes(source, 40'000'000);
    // The check waits until the test has pressed Cancel.
    std::promise<void> pressed;
    std::shared_future<void> released = pressed.get_future().share();
    library->setInspector([released](const QString& path) {
        released.wait();
        return byName(path);
    });
    bool sawImporting = false;
    QObject::connect(library.get(), &ModelLibrary::importingChanged,
                     [&] { sawImporting |= library->isImporting(); });
    library->importModel(qt(source));
    EXPECT_TRUE(library->isImporting());
    library->importModel(qt(source)); // one at a time
    EXPECT_EQ(library->message(),
              QStringLiteral("Another model is being imported; wait for it or cancel it."));
    library->cancelImport();
    pressed.set_value();
    ASSERT_TRUE(waitUntil([&] { return !library->isImporting(); }));
    EXPECT_TRUE(library->message().isNull());
    EXPECT_EQ(library->entries().size(), 1);
    EXPECT_TRUE(listing(folder + QStringLiteral("/Models")).isEmpty());

    // What the check refuses is said in its own sentence.
    library->setInspector(byName);
    writeBytes(elsewhere.path() / "x.bad", 10);
    EXPECT_EQ(importAndWait(elsewhere.path() / "x.bad"), QString());
    EXPECT_EQ(library->message(), QString::fromUtf8("“x.bad” is no model."));
    library->setInspector(inspectModel);
    // A pickled checkpoint is refused by the reader's sentence, unopened.
    writeBytes(elsewhere.path() / "model.ckpt", 1000);
    EXPECT_EQ(importAndWait(elsewhere.path() / "model.ckpt"), QString());
    EXPECT_TRUE(library->message().contains(QStringLiteral(".safetensors")))
        << library->message().toStdString();
    std::filesystem::create_directories(elsewhere.path() / "empty folder");
    EXPECT_EQ(importAndWait(elsewhere.path() / "empty folder"), QString());
    EXPECT_TRUE(library->message().contains(QStringLiteral("is not a model folder")));

    // Leftovers of an import that was killed are cleared at start-up;
    // descriptions whose file is gone or changed size are no entries.
    library->setInspector(byName);
    const QString models = folder + QStringLiteral("/Models");
    QDir().mkpath(models);
    QFile(models + QStringLiteral("/.importing-1234.safetensors")).open(QIODevice::WriteOnly);
    writeBytes(elsewhere.path() / "gone.safetensors", 100);
    const QString gone = importAndWait(elsewhere.path() / "gone.safetensors");
    ASSERT_FALSE(gone.isEmpty());
    std::filesystem::resize_file(
        std::filesystem::path(QFile::encodeName(library->entry(gone)->path).toStdString()), 50);
    QFile(models + QStringLiteral("/broken.json")).open(QIODevice::WriteOnly);
    open();
    EXPECT_EQ(library->entries().size(), 1);
    EXPECT_EQ(library->chosenId(), QStringLiteral("hub"));
    EXPECT_FALSE(QFileInfo::exists(models + QStringLiteral("/.importing-1234.safetensors")));
}

TEST_F(Library, TheRefinerGoesWithAnSDXLBaseModelOnly) {
    installHub();
    writeTinyXLModel(elsewhere.path() / "base", {});
    writeTinyXLModel(elsewhere.path() / "refiner", {.textEncoder = false, .refiner = true});
    std::filesystem::remove_all(elsewhere.path() / "refiner" / "Unet.model");
    const QString base = importAndWait(elsewhere.path() / "base");
    const QString refiner = importAndWait(elsewhere.path() / "refiner");
    ASSERT_EQ(library->entry(refiner)->kind, ModelKind::sdxlRefiner);
    EXPECT_EQ(library->chosenId(), base); // a refiner is no model of its own
    EXPECT_EQ(library->chosenRefinerId(), refiner);
    EXPECT_EQ(library->models()->rowCount(), 2);
    EXPECT_EQ(library->refiners()->rowCount(), 2); // with "No refiner"
    ASSERT_TRUE(library->choice()->refiner);
    library->choose(QStringLiteral("hub"));
    EXPECT_TRUE(library->chosenRefinerId().isEmpty());
    library->chooseRefiner(refiner); // refused with an SD 1.5 model
    EXPECT_TRUE(library->chosenRefinerId().isEmpty());
}

TEST_F(Library, GenerationsRunWithTheChosenModelAndNameIt) {
    installHub();
    writeTinyXLModel(elsewhere.path() / "Tiny XL", {});
    const QString xl = importAndWait(elsewhere.path() / "Tiny XL");
    ASSERT_FALSE(xl.isEmpty()) << library->message().toStdString();
    auto hub = std::make_shared<StableDiffusionPipeline>(
        directory.path() / "Model", std::vector<std::string>{}, ModelConfiguration{}, true, false);

    Generator generator;
    generator.setPrompt(QStringLiteral("a photo of a cat"));
    generator.setSeedText(QStringLiteral("7"));
    generator.setSteps(3);
    bool sawLoading = false;
    QObject::connect(&generator, &Generator::isLoadingModelChanged,
                     [&] { sawLoading |= generator.isLoadingModel(); });
    ModelChoice choice = *library->choice();
    generator.generate(choice);
    ASSERT_TRUE(waitUntil([&] { return !generator.isGenerating(); }));
    ASSERT_TRUE(generator.errorMessage().isNull()) << generator.errorMessage().toStdString();
    EXPECT_TRUE(sawLoading);
    EXPECT_FALSE(generator.isLoadingModel());
    ASSERT_EQ(generator.results().size(), 1);
    EXPECT_EQ(generator.results().front().modelName, QStringLiteral("Tiny XL"));
    EXPECT_EQ(generator.results().front().image.width(), 16); // the tiny XL network's size

    library->choose(QStringLiteral("hub"));
    choice = *library->choice();
    choice.preloaded = hub;
    generator.generate(choice);
    ASSERT_TRUE(waitUntil([&] { return !generator.isGenerating(); }));
    ASSERT_EQ(generator.results().size(), 2);
    const GeneratedImage& made = generator.results().front();
    EXPECT_EQ(made.modelName, QStringLiteral("Stable Diffusion 1.5"));
    EXPECT_TRUE(made.modelHash.isEmpty()); // a model folder has no file hash

    // The saved PNG says what made it.
    const QString path = qt(elsewhere.path() / "out.png");
    ASSERT_TRUE(generator.save(made, path));
    EXPECT_EQ(QImage(path).text(QStringLiteral("parameters")),
              QStringLiteral("a photo of a cat\nSteps: 3, Sampler: PNDM, CFG scale: 7.5, Seed: 7, "
                             "Size: 16x16, Model: Stable Diffusion 1.5"));
    GeneratedImage fromFile = made;
    fromFile.modelHash = QStringLiteral("0123456789");
    fromFile.negativePrompt = QStringLiteral("blurry");
    EXPECT_TRUE(fromFile.parametersText().endsWith(
        QStringLiteral("\nNegative prompt: blurry\nSteps: 3, Sampler: PNDM, CFG scale: 7.5, "
                       "Seed: 7, Size: 16x16, Model hash: 0123456789, Model: Stable Diffusion "
                       "1.5")));
    fromFile.modelName = QStringLiteral("v2, \"final\"");
    EXPECT_TRUE(fromFile.parametersText().endsWith(QStringLiteral(", Model: \"v2, \\\"final\\\"\"")))
        << fromFile.parametersText().toStdString();
}

TEST_F(Library, SDXLTextEncodersGoOnceThePromptIsEncodedAndComeBackForANewOne) {
    installHub();
    writeTinyXLModel(elsewhere.path() / "Tiny XL", {});
    ASSERT_FALSE(importAndWait(elsewhere.path() / "Tiny XL").isEmpty())
        << library->message().toStdString();
    const auto generate = [&](Generator& generator, const QString& prompt) {
        generator.setPrompt(prompt);
        generator.setSeedText(QStringLiteral("7"));
        generator.setSteps(2);
        generator.generate(*library->choice());
        EXPECT_TRUE(waitUntil([&] { return !generator.isGenerating(); }));
        EXPECT_TRUE(generator.errorMessage().isNull()) << generator.errorMessage().toStdString();
        return generator.results().isEmpty() ? QImage() : generator.results().front().image;
    };
    Generator generator;
    const QImage cat = generate(generator, QStringLiteral("a photo of a cat"));
    // The model stays loaded between generations; its text encoders do not.
    QStringList kept = generator.residentNetworks();
    kept.removeAll(QStringLiteral("PreviewDecoder.model")); // only where a preview decoder is
    EXPECT_EQ(kept, (QStringList{QStringLiteral("Unet.model"), QStringLiteral("VAEDecoder.model")}));

    // The same prompt again needs neither them nor any other load.
    ModelEventLog::clear();
    EXPECT_EQ(generate(generator, QStringLiteral("a photo of a cat")), cat);
    EXPECT_TRUE(ModelEventLog::events("load").empty());
    const std::vector<std::string> predicted = ModelEventLog::events("predict");
    EXPECT_EQ(std::count(predicted.begin(), predicted.end(), "text_encoder_2"), 0);

    // A changed prompt brings them back for its encoding only, and the image
    // is the one a freshly loaded model makes.
    ModelEventLog::clear();
    const QImage dog = generate(generator, QStringLiteral("a photo of a dog"));
    EXPECT_EQ(ModelEventLog::events("load"),
              (std::vector<std::string>{"text_encoder", "text_encoder_2"}));
    EXPECT_EQ(generator.residentNetworks(), kept);
    Generator fresh;
    EXPECT_EQ(generate(fresh, QStringLiteral("a photo of a dog")), dog);
}

TEST_F(Library, TheWindowsSettingsFollowTheChosenModel) {
    installHub();
    writeTinyXLModel(elsewhere.path() / "Tiny XL", {});
    Generator generator;
    SessionState session(generator, *store);
    session.attachModelLibrary(*library);
    EXPECT_FALSE(session.settings().isXL());
    EXPECT_EQ(session.launcher().modelName(), QStringLiteral("Stable Diffusion 1.5"));

    const QString xl = importAndWait(elsewhere.path() / "Tiny XL");
    ASSERT_FALSE(xl.isEmpty()) << library->message().toStdString();
    EXPECT_TRUE(session.settings().isXL()); // the size presets of its family
    EXPECT_EQ(session.launcher().modelName(), QStringLiteral("Tiny XL"));

    // Generate goes to the chosen model, which names the results.
    generator.setPrompt(QStringLiteral("a photo of a cat"));
    generator.setSteps(2);
    session.launcher().launch();
    ASSERT_TRUE(waitUntil([&] { return generator.results().size() == 1 && !generator.isGenerating(); }))
        << generator.errorMessage().toStdString();
    const GeneratedImage& made = generator.results().front();
    EXPECT_EQ(made.modelName, QStringLiteral("Tiny XL"));
    EXPECT_EQ(made.image.width(), 16); // the tiny XL network's own size
    EXPECT_TRUE(made.parametersText().endsWith(QStringLiteral("Model: Tiny XL")))
        << made.parametersText().toStdString();

    library->choose(QStringLiteral("hub"));
    EXPECT_FALSE(session.settings().isXL());
}

// An imported single-file model takes what the downloaded one takes: a
// LoRA from the library (checked against the file's networks), the fast
// mode's LoRA for its family, and a size of the user's choosing; the
// networks are loaded again only when those change.
TEST_F(Library, ImportedCheckpointsTakeLorasTheFastModeAndOtherSizes) {
    writeRandomModel(directory.path() / "Model", {});
    QFile marker(folder + QStringLiteral("/Model/.complete"));
    ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
    marker.close();
    library->refresh();
    const auto source = elsewhere.path() / "source";
    writeRandomModel(source, {.checkpointRules = true});
    const auto checkpoint = elsewhere.path() / "Tiny One.safetensors";
    writeCheckpoint(source, checkpoint, CheckpointContents::model);
    library->setInspector(inspectModel);

    Generator generator;
    SessionState session(generator, *store);
    session.attachModelLibrary(*library);
    ASSERT_FALSE(importAndWait(checkpoint).isEmpty()) << library->message().toStdString();
    ASSERT_EQ(library->chosenName(), QStringLiteral("Tiny One"));

    // A LoRA made for the hub's networks does not fit the file's.
    const auto style = elsewhere.path() / "style.safetensors";
    const auto foreign = elsewhere.path() / "foreign.safetensors";
    writeRandomLora(style, {.model = source});
    writeRandomLora(foreign, {.rank = 3});
    LoraLibrary& loras = session.library();
    const QString styleName = loras.importFile(qt(style));
    const QString foreignName = loras.importFile(qt(foreign));
    ASSERT_FALSE(styleName.isEmpty()) << loras.errorMessage().toStdString();
    EXPECT_FALSE(loras.choose(foreignName));
    EXPECT_TRUE(loras.errorMessage().contains(QStringLiteral("foreign"))) << loras.errorMessage().toStdString();
    ASSERT_TRUE(loras.choose(styleName, 0.7)) << loras.errorMessage().toStdString();

    // The fast mode's LoRA is in place (a stand-in that fits the file).
    const QString fast = session.fastMode().directoryFor(false);
    ASSERT_TRUE(QDir().mkpath(fast));
    writeRandomLora((fast + QStringLiteral("/pytorch_lora_weights.safetensors")).toStdString(),
                    {.seed = 9, .model = source});
    QFile complete(fast + QStringLiteral("/.complete"));
    ASSERT_TRUE(complete.open(QIODevice::WriteOnly));
    complete.close();
    session.fastMode().setEnabled(true);
    ASSERT_TRUE(session.settings().setSize(320, 256));

    int loads = 0;
    QObject::connect(&generator, &Generator::isLoadingModelChanged,
                     [&] { loads += generator.isLoadingModel() ? 1 : 0; });
    generator.setPrompt(QStringLiteral("a photo of a cat"));
    generator.setSeedText(QStringLiteral("4"));
    const auto generate = [&](qsizetype results) {
        session.launcher().launch();
        return waitUntil([&] { return generator.results().size() == results && !generator.isGenerating(); },
                         std::chrono::seconds(120));
    };
    ASSERT_TRUE(generate(1)) << generator.errorMessage().toStdString();
    const GeneratedImage merged = generator.results().front();
    // 40 × 32 latent cells; the tiny decoder enlarges them twofold.
    EXPECT_EQ(merged.image.size(), QSize(80, 64));
    EXPECT_TRUE(merged.parametersText().contains(
        QStringLiteral("<lora:style:0.7> <lora:lcm-lora-sdv1-5:1>")))
        << merged.parametersText().toStdString();
    EXPECT_TRUE(merged.parametersText().contains(QStringLiteral("Steps: 4, Sampler: LCM")));
    EXPECT_TRUE(merged.parametersText().contains(QStringLiteral("Size: 80x64")));
    EXPECT_TRUE(merged.parametersText().contains(QStringLiteral(", Model: Tiny One, Lora hashes")))
        << merged.parametersText().toStdString();
    ASSERT_TRUE(generate(2));
    EXPECT_EQ(loads, 1); // the same LoRAs and size: nothing loads again
    EXPECT_EQ(generator.results().front().image, merged.image);

    // Without the LoRAs the same settings make another image.
    session.fastMode().setEnabled(false);
    loras.clearChosen();
    generator.setSteps(4);
    generator.setGuidance(1.0);
    session.settings().setSampler(QStringLiteral("LCM"));
    session.settings().setClipSkip(2);
    ASSERT_TRUE(generate(3)) << generator.errorMessage().toStdString();
    EXPECT_EQ(loads, 2);
    EXPECT_NE(generator.results().front().image, merged.image);
    EXPECT_TRUE(generator.results().front().parametersText().contains(QStringLiteral(
        "Model: Tiny One, Clip skip: 2")))
        << generator.results().front().parametersText().toStdString();
}

TEST_F(Library, FetchesTheXLPreviewDecoderFromTheHub) {
    installHub();
    FakeHub hub;
    qputenv("HF_ENDPOINT", hub.baseUrl().toString().toUtf8());
    const QByteArray config = R"({"_class_name": "AutoencoderTiny"})";
    const QByteArray weights(100, 'w');
    hub.serveFile("/api/models/madebyollin/taesdxl/tree/main?recursive=true",
                  QJsonDocument(QJsonArray{QJsonObject{{"type", "file"},
                                                       {"path", "config.json"},
                                                       {"size", config.size()}},
                                           QJsonObject{{"type", "file"},
                                                       {"path", "diffusion_pytorch_model.safetensors"},
                                                       {"size", weights.size()}}})
                      .toJson());
    hub.serveFile("/madebyollin/taesdxl/resolve/main/config.json", config);
    hub.serveFile("/madebyollin/taesdxl/resolve/main/diffusion_pytorch_model.safetensors", weights);

    // Choosing an SDXL model fetches it once, when asked to.
    library->setFetchesPreviewDecoderAutomatically(true);
    EXPECT_FALSE(library->isFetchingXLPreviewDecoder()); // the hub model is SD 1.5
    writeTinyXLModel(elsewhere.path() / "xl", {});
    std::optional<bool> fetched;
    QObject::connect(library.get(), &ModelLibrary::xlPreviewDecoderFetched,
                     [&](bool installed) { fetched = installed; });
    ASSERT_FALSE(importAndWait(elsewhere.path() / "xl").isEmpty());
    // The local hub may finish the small fetch before the import returns.
    EXPECT_TRUE(library->isFetchingXLPreviewDecoder() || fetched.has_value());
    ASSERT_TRUE(waitUntil([&] { return fetched.has_value(); }));
    qunsetenv("HF_ENDPOINT");
    EXPECT_TRUE(*fetched);
    EXPECT_TRUE(library->hasXLPreviewDecoder());
    const QString bundle = folder + QStringLiteral("/PreviewXL/PreviewDecoder.model");
    EXPECT_EQ(library->choice()->xlPreviewDecoder, bundle);
    QFile file(bundle + QStringLiteral("/diffusion_pytorch_model.safetensors"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), weights);
    library->fetchXLPreviewDecoder(); // installed: nothing more to fetch
    EXPECT_FALSE(library->isFetchingXLPreviewDecoder());
    EXPECT_EQ(hub.requestCount("/madebyollin/taesdxl/resolve/main/config.json"), 1);
}

TEST(MemoryPlan, KeepsResidentWhatFitsAndRefusesWhatCannotRun) {
    constexpr uint64_t GB = 1'000'000'000;
    // SDXL base: 6.9 GB of 16-bit files, its denoising network 5.1 GB.
    const MemoryPlan roomy = planMemory(6'900'000'000, 5'100'000'000, true, 32 * GB,
                                        ComputePrecision::bfloat16);
    EXPECT_TRUE(roomy.resident);
    EXPECT_TRUE(roomy.fits);
    const MemoryPlan tight = planMemory(6'900'000'000, 5'100'000'000, true, 16 * GB,
                                        ComputePrecision::float32);
    EXPECT_FALSE(tight.resident);
    EXPECT_TRUE(tight.fits); // one network at a time
    const MemoryPlan small = planMemory(6'900'000'000, 5'100'000'000, true, 8 * GB,
                                        ComputePrecision::float32);
    EXPECT_FALSE(small.fits);
    EXPECT_GT(small.neededBytes, 10 * GB);
    // SD 1.5 runs on the same machine.
    EXPECT_TRUE(planMemory(2'100'000'000, 1'700'000'000, false, 8 * GB, ComputePrecision::float32)
                    .fits);
    EXPECT_EQ(tooLittleMemoryMessage(QStringLiteral("Juggernaut"), true, 13'800'000'000, 8 * GB),
              QString::fromUtf8("This computer has 8.0 GB of memory, and the SDXL model "
                                "“Juggernaut” needs about 13.8 GB to generate, so the system "
                                "would stop Dravelin partway. Choose an SD 1.5 model, or use a "
                                "computer with more memory."));
}
