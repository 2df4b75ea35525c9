#include "app/FakeHub.h"
#include "app/QtTestApplication.h"
#include "state/ModelStore.h"
#include "state/download/ModelDownload.h"
#include "support/TestNetworks.h"
#include "support/TestPipelineKinds.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

const QByteArray kRepositoryPath =
    QByteArrayLiteral("/stable-diffusion-v1-5/stable-diffusion-v1-5");
const QByteArray kPreviewRepositoryPath = QByteArrayLiteral("/madebyollin/taesd");

QByteArray contents(const std::filesystem::path& path) {
    QFile file(QString::fromStdString(path.string()));
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

// The tiny model's preview decoder when it has one, else stand-in bytes.
QByteArray previewFile(const std::filesystem::path& tiny, const char* name,
                       const QByteArray& standIn) {
    const auto path = tiny / "PreviewDecoder.model" / name;
    return std::filesystem::exists(path) ? contents(path) : standIn;
}

// Serves a tiny model of stand-in networks as the hub repository.
class StoreDownload : public ::testing::Test {
protected:
    PipelineKinds kinds;
    TemporaryDirectory directory;
    QString folder = QString::fromStdString((directory.path() / "app").string());
    std::unique_ptr<FakeHub> hub;
    std::unique_ptr<ModelStore> store;
    std::vector<ModelState> states;
    QHash<QString, QByteArray> files;
    // The preview decoder's files, fetched after the model's.
    qint64 previewBytes = 0;

    StoreDownload() { qtApplication(); }

    void SetUp() override {
        // Loopback only, whatever proxy the environment names.
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        hub = std::make_unique<FakeHub>();
        qputenv("HF_ENDPOINT", hub->baseUrl().toString().toUtf8());
        const auto tiny = directory.path() / "tiny";
        writeTinyModel(tiny);
        files = {{"tokenizer/vocab.json", contents(tiny / "vocab.json")},
                 {"tokenizer/merges.txt", contents(tiny / "merges.txt")},
                 {"text_encoder/config.json", contents(tiny / "TextEncoder.model/config.json")},
                 {"text_encoder/model.fp16.safetensors",
                  contents(tiny / "TextEncoder.model/model.safetensors")},
                 {"unet/config.json", contents(tiny / "Unet.model/config.json")},
                 {"unet/diffusion_pytorch_model.fp16.safetensors",
                  contents(tiny / "Unet.model/model.safetensors")},
                 {"vae/config.json", contents(tiny / "VAEDecoder.model/config.json")},
                 {"vae/diffusion_pytorch_model.fp16.safetensors",
                  contents(tiny / "VAEDecoder.model/model.safetensors")}};
        QJsonArray listing;
        for (auto file = files.cbegin(); file != files.cend(); ++file) {
            listing.append(QJsonObject{{QStringLiteral("type"), QStringLiteral("file")},
                                       {QStringLiteral("path"), file.key()},
                                       {QStringLiteral("size"), file.value().size()}});
            hub->serveFile(kRepositoryPath + "/resolve/main/" + file.key().toUtf8(), file.value());
        }
        hub->serveFile(listingTarget(), QJsonDocument(listing).toJson());
        const QByteArray previewConfig = previewFile(tiny, "config.json", "{}");
        const QByteArray previewWeights =
            previewFile(tiny, "diffusion_pytorch_model.safetensors", QByteArray(64, 'p'));
        previewBytes = previewConfig.size() + previewWeights.size();
        hub->serveFile(kPreviewRepositoryPath + "/resolve/main/config.json", previewConfig);
        hub->serveFile(kPreviewRepositoryPath + "/resolve/main/diffusion_pytorch_model.safetensors",
                       previewWeights);
        hub->serveFile(
            "/api/models" + kPreviewRepositoryPath + "/tree/main?recursive=true",
            QJsonDocument(QJsonArray{QJsonObject{{"type", "file"},
                                                 {"path", "config.json"},
                                                 {"size", previewConfig.size()}},
                                     QJsonObject{{"type", "file"},
                                                 {"path", "diffusion_pytorch_model.safetensors"},
                                                 {"size", previewWeights.size()}}})
                .toJson());
        store = std::make_unique<ModelStore>(folder);
        // Stalled replies here wait for a cancel or a delete, never for the
        // stall limit, which a busy machine must not reach either.
        store->setDownloadTimings({.stallMilliseconds = 60'000, .retryPausesMilliseconds = {10}});
        QObject::connect(store.get(), &ModelStore::stateChanged,
                         [this] { states.push_back(store->state()); });
    }

    void TearDown() override {
        store.reset();
        qunsetenv("HF_ENDPOINT");
    }

    static QByteArray listingTarget() {
        return "/api/models" + kRepositoryPath + "/tree/main?recursive=true";
    }
    static QByteArray fileTarget(const char* path) {
        return kRepositoryPath + "/resolve/main/" + path;
    }

    bool reaches(ModelState::Kind kind) {
        return waitUntil([this, kind] { return store->state().kind == kind; });
    }
};

} // namespace

TEST_F(StoreDownload, InstallsLoadsAndNeverShowsAHalfModel) {
    store->startDownload();
    EXPECT_EQ(store->state(), ModelState::downloading(0.0, QString::fromUtf8("Preparing…")));
    store->startDownload(); // a second press starts nothing
    ASSERT_TRUE(reaches(ModelState::Kind::ready)) << store->state().message.toStdString();
    EXPECT_EQ(hub->requestCount(listingTarget()), 1);
    EXPECT_TRUE(store->isInstalled());
    EXPECT_TRUE(store->pipeline());
    EXPECT_FALSE(QFileInfo::exists(store->partialDirectory()));
    EXPECT_TRUE(
        QFileInfo::exists(store->modelDirectory() + QStringLiteral("/Unet.model/config.json")));

    // downloading … → loading → ready, with fractions that never go back.
    ASSERT_GE(states.size(), 3u);
    EXPECT_EQ(states[states.size() - 2].kind, ModelState::Kind::loading);
    double last = 0.0;
    for (const ModelState& state : states) {
        if (state.kind == ModelState::Kind::downloading) {
            EXPECT_GE(state.fraction, last);
            last = state.fraction;
        }
    }
}

TEST_F(StoreDownload, ProgressIsCoalescedButTheLastValueIsShownExactly) {
    // The last file stalls after half its bytes: the shown progress must
    // settle on exactly what has arrived.
    const QByteArray vae =
        files.value(QStringLiteral("vae/diffusion_pytorch_model.fp16.safetensors"));
    FakeHub::Reply stalled;
    stalled.body = vae;
    stalled.ending = FakeHub::Reply::Ending::stall;
    stalled.bodyBytesSent = vae.size() / 2;
    hub->serve(fileTarget("vae/diffusion_pytorch_model.fp16.safetensors"), stalled);
    // Files are fetched in listing order, which follows this table's order.
    qint64 total = 0;
    qint64 before = -1;
    for (auto file = files.cbegin(); file != files.cend(); ++file) {
        if (file.key() == QStringLiteral("vae/diffusion_pytorch_model.fp16.safetensors")) {
            before = total;
        }
        total += file.value().size();
    }
    total += previewBytes;
    const double expected =
        static_cast<double>(before + vae.size() / 2) / static_cast<double>(total);

    store->startDownload();
    ASSERT_TRUE(waitUntil([&] {
        return store->state().kind == ModelState::Kind::downloading &&
               store->state().fraction == expected;
    })) << store->state().fraction;
    EXPECT_TRUE(store->state().detail.startsWith(
        QString::fromUtf8("diffusion_pytorch_model.fp16.safetensors — ")));

    store->cancelDownload();
    ASSERT_TRUE(reaches(ModelState::Kind::missing));
    EXPECT_TRUE(store->state().message.isEmpty());
    // Complete files stay for the next attempt; nothing half-written does.
    for (auto file = files.cbegin(); file != files.cend(); ++file) {
        if (file.key() == QStringLiteral("vae/diffusion_pytorch_model.fp16.safetensors")) {
            break;
        }
        for (const auto& [hubPath, installed] : ModelDownload::installMap()) {
            if (hubPath == file.key()) {
                EXPECT_TRUE(
                    QFileInfo::exists(store->partialDirectory() + QLatin1Char('/') + installed))
                    << installed.toStdString();
            }
        }
    }
    EXPECT_FALSE(QFileInfo::exists(
        store->partialDirectory() +
        QStringLiteral("/VAEDecoder.model/diffusion_pytorch_model.fp16.safetensors")));
    EXPECT_FALSE(store->isInstalled());
}

TEST_F(StoreDownload, DeleteDuringADownloadEndsMissingWithNothingOnDisk) {
    FakeHub::Reply stalled;
    stalled.body = QByteArray(1000, 'x');
    stalled.ending = FakeHub::Reply::Ending::stall;
    stalled.bodyBytesSent = 10;
    hub->serve(fileTarget("tokenizer/merges.txt"), stalled);
    store->startDownload();
    ASSERT_TRUE(waitUntil([this] { return QFileInfo::exists(store->partialDirectory()); }));
    store->deleteModel();
    EXPECT_EQ(store->state(), ModelState::missing());
    ASSERT_TRUE(waitUntil([this] { return !store->isDownloading(); }));
    EXPECT_EQ(store->state(), ModelState::missing());
    EXPECT_FALSE(QFileInfo::exists(store->modelDirectory()));
    EXPECT_FALSE(QFileInfo::exists(store->partialDirectory()) &&
                 !QDir(store->partialDirectory()).isEmpty());
}

TEST_F(StoreDownload, FailuresCarryTheFullMessageAndARetryResumes) {
    hub->serve(fileTarget("unet/config.json"), FakeHub::Reply{.status = 404, .body = "not here"});
    store->startDownload();
    ASSERT_TRUE(reaches(ModelState::Kind::failed));
    EXPECT_EQ(store->state().message,
              QStringLiteral("The model download failed: Server returned HTTP 404 for "
                             "config.json. Check your internet connection and try again. "
                             "Partially downloaded files are kept so the download can resume."));
    EXPECT_FALSE(store->isInstalled());

    hub->serveFile(fileTarget("unet/config.json"), files.value(QStringLiteral("unet/config.json")));
    store->startDownload();
    ASSERT_TRUE(reaches(ModelState::Kind::ready)) << store->state().message.toStdString();
    EXPECT_EQ(hub->requestCount(fileTarget("tokenizer/vocab.json")), 1); // kept, not fetched again
}

TEST_F(StoreDownload, TryAgainAfterADamagedLoadFetchesOnlyTheDamagedFile) {
    store->startDownload();
    ASSERT_TRUE(reaches(ModelState::Kind::ready)) << store->state().message.toStdString();
    // A bad byte in the weights' header: the load fails as damaged.
    const QString weights = store->modelDirectory() +
                            QStringLiteral("/Unet.model/diffusion_pytorch_model.fp16.safetensors");
    {
        QFile file(weights);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.seek(7);
        file.write("\x7f", 1);
    }
    store->loadModel();
    ASSERT_TRUE(reaches(ModelState::Kind::failed));
    ASSERT_TRUE(store->isInstalled());

    store->tryAgain();
    ASSERT_TRUE(reaches(ModelState::Kind::ready)) << store->state().message.toStdString();
    EXPECT_EQ(hub->requestCount(fileTarget("unet/diffusion_pytorch_model.fp16.safetensors")), 2);
    for (auto file = files.cbegin(); file != files.cend(); ++file) {
        if (file.key() != QStringLiteral("unet/diffusion_pytorch_model.fp16.safetensors")) {
            EXPECT_EQ(hub->requestCount(fileTarget(file.key().toUtf8().constData())), 1)
                << file.key().toStdString();
        }
    }
    EXPECT_EQ(contents(weights.toStdString()),
              files.value(QStringLiteral("unet/diffusion_pytorch_model.fp16.safetensors")));

    // Nothing differs now: "Try again" only loads.
    store->tryAgain();
    ASSERT_TRUE(reaches(ModelState::Kind::ready));
    EXPECT_EQ(hub->requestCount(listingTarget()), 2);
}

TEST_F(StoreDownload, AFullDiskIsNotBlamedOnTheConnection) {
    if (!QFileInfo::exists("/dev/full")) {
        GTEST_SKIP() << "/dev/full is needed to stand in for a full disk";
    }
    ASSERT_TRUE(QDir().mkpath(store->partialDirectory()));
    ASSERT_TRUE(QFile::link("/dev/full", store->partialDirectory() + "/vocab.json.part"));
    store->startDownload();
    ASSERT_TRUE(reaches(ModelState::Kind::failed));
    const QString message = store->state().message;
    EXPECT_TRUE(message.startsWith("The model download failed: The disk is full: the model needs "))
        << message.toStdString();
    EXPECT_TRUE(message.endsWith("Free up some space, then try again. Partially downloaded files "
                                 "are kept so the download can resume."))
        << message.toStdString();
    EXPECT_FALSE(message.contains("internet")) << message.toStdString();
}
