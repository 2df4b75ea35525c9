#include "app/FakeHub.h"
#include "app/QtValuePrinting.h"
#include "state/download/ModelDownload.h"
#include "state/download/ModelManifest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <memory>
#include <ostream>
#include <vector>

using namespace dravelin;
using dravelin::testing::FakeHub;
using Outcome = ModelDownload::Outcome;

namespace {

QByteArray patternBytes(qsizetype size, char seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype index = 0; index < size; ++index) {
        bytes[index] = static_cast<char>(seed + index % 23);
    }
    return bytes;
}

bool isWeights(const QString& hubPath) {
    return hubPath.endsWith(QLatin1String(".safetensors"));
}

const QString previewRepository = QStringLiteral("madebyollin/taesd");

QByteArray fileTarget(const QString& hubPath,
                      const QString& repository = "stable-diffusion-v1-5/stable-diffusion-v1-5") {
    return "/" + repository.toUtf8() + "/resolve/main/" + hubPath.toUtf8();
}

QByteArray listingTargetOf(const QString& repository) {
    return "/api/models/" + repository.toUtf8() + "/tree/main?recursive=true";
}

const QByteArray listingTarget = listingTargetOf("stable-diffusion-v1-5/stable-diffusion-v1-5");
const QByteArray previewListingTarget = listingTargetOf(previewRepository);

QByteArray sha256Hex(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

// Retries cost a test milliseconds. The stall limit is far beyond any pause
// a busy machine makes: a test sees a stall only where it serves one and
// asks for `stallTimings`.
const DownloadTimings quickTimings{.stallMilliseconds = 30'000,
                                   .retryPausesMilliseconds = {10, 20}};
// Long enough that the bytes sent before a stall are always read before the
// limit strikes: Qt's client may otherwise time out with them still on their
// way from its network thread, and the part then lacks them.
const DownloadTimings stallTimings{.stallMilliseconds = 1000, .retryPausesMilliseconds = {10, 20}};

// When the server closes a connection mid-body, Qt's HTTP client may send
// the same request once more on its own (and drop that reply) before the
// download hears of the failure. The requests the download made are the
// list without such repeats.
QList<QByteArray> withoutRepeats(const QList<QByteArray>& ranges) {
    QList<QByteArray> result;
    for (const QByteArray& range : ranges) {
        if (result.isEmpty() || result.last() != range) {
            result.append(range);
        }
    }
    return result;
}

// One file of a fake repository that the application installs.
struct RepositoryFile {
    QString hubPath;
    QString installedPath;
    QByteArray body;
    QString repository = "stable-diffusion-v1-5/stable-diffusion-v1-5";

    QByteArray target() const { return fileTarget(hubPath, repository); }
};

QByteArray jsonBytes(const QJsonArray& array) {
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(bytes);
}

// Every file below `directory` (hidden ones included), relative and sorted.
QStringList filesUnder(const QString& directory) {
    QStringList files;
    QDirIterator iterator(directory, QDir::Files | QDir::Hidden | QDir::System,
                          QDirIterator::Subdirectories);
    while (iterator.hasNext()) {
        files.append(QDir(directory).relativeFilePath(iterator.next()));
    }
    files.sort();
    return files;
}

// Runs the event loop until `condition` holds or `milliseconds` have passed.
// The loop never sleeps, so each network round trip costs no more than it must.
bool waitUntil(const std::function<bool()>& condition, int milliseconds) {
    if (condition()) {
        return true;
    }
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    QTimer check;
    check.setInterval(1);
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (condition() || clock.elapsed() >= milliseconds) {
            loop.quit();
        }
    });
    check.start();
    loop.exec();
    return condition();
}

void runEventsFor(int milliseconds) {
    waitUntil([] { return false; }, milliseconds);
}

struct Observed {
    int finishedCount = 0;
    Outcome outcome = Outcome::failed;
    QString description;
    QList<QPair<double, QString>> progress;
    int progressAfterFinish = 0;
};

class ModelDownloadTest : public ::testing::Test {
protected:
    QTemporaryDir directory;
    QString partial = directory.filePath(QStringLiteral("Dravelin/Model.partial"));
    QString model = directory.filePath(QStringLiteral("Dravelin/Model"));
    FakeHub hub;
    QNetworkAccessManager network;
    std::unique_ptr<ModelDownload> download;
    Observed observed;
    // Sizes sum to 10,000 bytes so progress texts are easy to predict. The
    // preview decoder's two files come last, from their own repository.
    std::vector<RepositoryFile> files{
        {"tokenizer/vocab.json", "vocab.json", patternBytes(1500, 'a')},
        {"tokenizer/merges.txt", "merges.txt", patternBytes(500, 'b')},
        {"text_encoder/config.json", "TextEncoder.model/config.json", patternBytes(250, 'c')},
        {"text_encoder/model.fp16.safetensors", "TextEncoder.model/model.fp16.safetensors",
         patternBytes(3000, 'd')},
        {"unet/config.json", "Unet.model/config.json", patternBytes(250, 'e')},
        {"unet/diffusion_pytorch_model.fp16.safetensors",
         "Unet.model/diffusion_pytorch_model.fp16.safetensors", patternBytes(3700, 'f')},
        {"vae/config.json", "VAEDecoder.model/config.json", patternBytes(250, 'g')},
        {"vae/diffusion_pytorch_model.fp16.safetensors",
         "VAEDecoder.model/diffusion_pytorch_model.fp16.safetensors", patternBytes(250, 'h')},
        {"config.json", "PreviewDecoder.model/config.json", patternBytes(100, 'i'),
         previewRepository},
        {"diffusion_pytorch_model.safetensors",
         "PreviewDecoder.model/diffusion_pytorch_model.safetensors", patternBytes(200, 'j'),
         previewRepository},
    };
    // Repository files the application must never fetch.
    QStringList unwantedFiles{"safety_checker/model.fp16.safetensors",
                              "unet/diffusion_pytorch_model.safetensors", "model_index.json"};

    void SetUp() override {
        ASSERT_TRUE(directory.isValid());
        qputenv("HF_ENDPOINT", hub.baseUrl().toEncoded());
    }
    void TearDown() override { qunsetenv("HF_ENDPOINT"); }

    const RepositoryFile& file(const QString& hubPath) const {
        for (const RepositoryFile& candidate : files) {
            if (candidate.hubPath == hubPath) {
                return candidate;
            }
        }
        throw std::logic_error("no such repository file");
    }

    // Weights are listed the way the hub lists LFS files: the pointer's size
    // as the entry's own size, the real size and the SHA-256 under "lfs".
    static QJsonObject fileEntry(const QString& hubPath, const QByteArray& body) {
        QJsonObject entry{{"type", "file"}, {"path", hubPath}};
        if (isWeights(hubPath)) {
            entry.insert("size", 135);
            entry.insert("lfs", QJsonObject{{"size", body.size()},
                                            {"oid", QString::fromLatin1(sha256Hex(body))},
                                            {"pointerSize", 135}});
        } else {
            entry.insert("size", body.size());
        }
        return entry;
    }

    // The model repository's listing (the preview decoder's with `preview`).
    QJsonArray listingEntries(bool preview = false) const {
        QJsonArray entries;
        if (!preview) {
            for (const QString folder : {"tokenizer", "text_encoder", "unet", "vae"}) {
                entries.append(QJsonObject{{"type", "directory"}, {"path", folder}, {"size", 0}});
            }
            for (const QString& path : unwantedFiles) {
                entries.append(fileEntry(path, patternBytes(64, 'z')));
            }
        }
        for (const RepositoryFile& repositoryFile : files) {
            if ((repositoryFile.repository == previewRepository) == preview) {
                entries.append(fileEntry(repositoryFile.hubPath, repositoryFile.body));
            }
        }
        return entries;
    }

    void serveFiles() {
        for (const RepositoryFile& repositoryFile : files) {
            hub.serveFile(repositoryFile.target(), repositoryFile.body);
        }
        for (const QString& path : unwantedFiles) {
            hub.serveFile(fileTarget(path), patternBytes(64, 'z'));
        }
    }

    void serveRepository() {
        hub.serveFile(listingTarget, jsonBytes(listingEntries()));
        hub.serveFile(previewListingTarget, jsonBytes(listingEntries(/*preview=*/true)));
        serveFiles();
    }

    ModelDownload& makeDownload(const QString& partialDirectory) {
        observed = Observed();
        download = std::make_unique<ModelDownload>(&network, partialDirectory, model);
        download->setTimings(quickTimings);
        QObject::connect(download.get(), &ModelDownload::progress,
                         [this](double fraction, const QString& detail) {
                             observed.progress.append({fraction, detail});
                             if (observed.finishedCount > 0) {
                                 ++observed.progressAfterFinish;
                             }
                         });
        QObject::connect(download.get(), &ModelDownload::finished,
                         [this](Outcome outcome, const QString& description) {
                             ++observed.finishedCount;
                             observed.outcome = outcome;
                             observed.description = description;
                         });
        return *download;
    }
    ModelDownload& makeDownload() { return makeDownload(partial); }

    // Waits for finished(), then a little longer so a second report would show.
    bool waitForFinish() {
        const bool finished = waitUntil([this] { return observed.finishedCount > 0; }, 60'000);
        runEventsFor(20);
        return finished;
    }

    void runDownload(const DownloadTimings& timings = quickTimings) {
        makeDownload().setTimings(timings);
        download->start();
        ASSERT_TRUE(waitForFinish());
        ASSERT_EQ(observed.finishedCount, 1);
    }

    // Both listings, with neither sizes nor checksums.
    void serveUnsizedListings() {
        QJsonArray entries;
        QJsonArray previewEntries;
        for (const RepositoryFile& repositoryFile : files) {
            (repositoryFile.repository == previewRepository ? previewEntries : entries)
                .append(QJsonObject{{"type", "file"}, {"path", repositoryFile.hubPath}});
        }
        hub.serveFile(listingTarget, jsonBytes(entries));
        hub.serveFile(previewListingTarget, jsonBytes(previewEntries));
    }

    // The listed file's body with one byte changed at `offset`.
    QByteArray damaged(const QString& hubPath, qsizetype offset) const {
        QByteArray body = file(hubPath).body;
        body[offset] = static_cast<char>(body[offset] ^ 0x20);
        return body;
    }

    void expectNoTemporaryFiles(const QString& where) const {
        for (const QString& path : filesUnder(where)) {
            EXPECT_FALSE(path.endsWith(QLatin1String(".part"))) << path.toStdString();
        }
    }

    QStringList installedPaths() const {
        QStringList paths;
        for (const RepositoryFile& repositoryFile : files) {
            paths.append(repositoryFile.installedPath);
        }
        return paths;
    }
};

// --- Successful installs -------------------------------------------------

TEST_F(ModelDownloadTest, InstallsTheMappedFilesUnderTheirNamesAndWritesTheMarker) {
    // The weights are listed with the pointer's 135 bytes as their own size:
    // only the LFS size lets them pass the size check.
    serveRepository();
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::installed);
    EXPECT_EQ(observed.description, QString());
    QStringList expected = installedPaths();
    expected.append(".complete");
    expected.append(".manifest.json");
    expected.sort();
    EXPECT_EQ(filesUnder(model), expected);
    // The manifest names every file with its size and checksum, whether the
    // listing gave one or not.
    QList<ManifestEntry> manifest;
    for (const RepositoryFile& repositoryFile : files) {
        EXPECT_EQ(readFile(model + "/" + repositoryFile.installedPath), repositoryFile.body)
            << repositoryFile.installedPath.toStdString();
        EXPECT_EQ(hub.requestCount(repositoryFile.target()), 1);
        EXPECT_EQ(hub.ranges(repositoryFile.target()), QList<QByteArray>{""});
        manifest.append({repositoryFile.installedPath, repositoryFile.body.size(),
                         sha256Hex(repositoryFile.body)});
    }
    EXPECT_EQ(readManifest(model), manifest);
    EXPECT_TRUE(differingFiles(model, manifest).isEmpty());
    EXPECT_EQ(QFileInfo(model + "/.complete").size(), 0);
    EXPECT_FALSE(QFileInfo::exists(partial));
    EXPECT_EQ(hub.requestCount(listingTarget), 1);
    EXPECT_EQ(hub.requestCount(previewListingTarget), 1);
    for (const QString& path : unwantedFiles) {
        EXPECT_EQ(hub.requestCount(fileTarget(path)), 0) << path.toStdString();
    }
    EXPECT_EQ(observed.progressAfterFinish, 0);
}

TEST_F(ModelDownloadTest, ReplacesAModelDirectoryThatHasNoMarker) {
    writeFile(model + "/leftover.bin", "old");
    writeFile(model + "/Unet.model/config.json", "old configuration");
    serveRepository();
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::installed);
    EXPECT_FALSE(QFileInfo::exists(model + "/leftover.bin"));
    EXPECT_EQ(readFile(model + "/Unet.model/config.json"), file("unet/config.json").body);
    EXPECT_TRUE(QFileInfo::exists(model + "/.complete"));
}

TEST_F(ModelDownloadTest, FollowsRedirectsToTheFileBodiesAndResumesThroughThem) {
    serveRepository();
    for (const RepositoryFile& repositoryFile : files) {
        const QByteArray storage = "/storage/" + repositoryFile.hubPath.toUtf8();
        hub.redirect(repositoryFile.target(), storage);
        hub.serveFile(storage, repositoryFile.body);
    }
    const QByteArray unet = file("unet/diffusion_pytorch_model.fp16.safetensors").body;
    const QByteArray unetStorage = "/storage/unet/diffusion_pytorch_model.fp16.safetensors";
    hub.serveInTurn(
        unetStorage,
        {{.body = unet, .ending = FakeHub::Reply::Ending::dropMidBody, .bodyBytesSent = 1850},
         {.body = unet}});
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::installed) << observed.description.toStdString();
    EXPECT_EQ(readFile(model + "/Unet.model/diffusion_pytorch_model.fp16.safetensors"), unet);
    // The redirected request still asks for the rest only.
    EXPECT_EQ(withoutRepeats(hub.ranges(unetStorage)), (QList<QByteArray>{"", "bytes=1850-"}));
    EXPECT_EQ(hub.bytesServedPerRequest(unetStorage).last(), unet.size() - 1850);
}

TEST_F(ModelDownloadTest, ConcatenatesListingPagesFollowingLinkHeaders) {
    const QJsonArray entries = listingEntries();
    QJsonArray first, second, third;
    for (qsizetype index = 0; index < entries.size(); ++index) {
        (index < 5 ? first : index < 10 ? second : third).append(entries[index]);
    }
    const QByteArray secondTarget = listingTarget + "&cursor=page%3D2";
    const QByteArray thirdTarget = listingTarget + "&cursor=page%3D3";
    // An absolute link with two relations, then a relative one after a
    // link that is not "next".
    hub.serve(listingTarget, {.body = jsonBytes(first),
                              .headers = {{"Link", "<" + hub.baseUrl().toEncoded() + secondTarget +
                                                       ">; rel=\"next last\""}}});
    hub.serve(secondTarget, {.body = jsonBytes(second),
                             .headers = {{"Link", "<" + listingTarget + ">; rel=\"first\", <" +
                                                      thirdTarget + ">; rel=next"}}});
    hub.serveFile(thirdTarget, jsonBytes(third));
    hub.serveFile(previewListingTarget, jsonBytes(listingEntries(/*preview=*/true)));
    serveFiles();
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::installed) << observed.description.toStdString();
    EXPECT_EQ(hub.requestCount(listingTarget), 1);
    EXPECT_EQ(hub.requestCount(secondTarget), 1);
    EXPECT_EQ(hub.requestCount(thirdTarget), 1);
    EXPECT_EQ(filesUnder(model).size(), files.size() + 2);
}

// --- Progress ----------------------------------------------------------------

TEST_F(ModelDownloadTest, ProgressNamesTheFileAndCountsAllBytesUpToExactlyOne) {
    serveRepository();
    runDownload();
    ASSERT_EQ(observed.outcome, Outcome::installed);

    const auto& progress = observed.progress;
    ASSERT_FALSE(progress.isEmpty());
    for (qsizetype index = 1; index < progress.size(); ++index) {
        EXPECT_GE(progress[index].first, progress[index - 1].first);
    }
    // The end of the first file: 1,500 of 10,000 bytes.
    EXPECT_TRUE(progress.contains(
        QPair<double, QString>(0.15, QStringLiteral("vocab.json \u2014 2 kB of 10 kB"))));
    // The end of the text encoder's weights: 5,250 bytes.
    EXPECT_TRUE(progress.contains(QPair<double, QString>(
        0.525, QStringLiteral("model.fp16.safetensors \u2014 5 kB of 10 kB"))));
    EXPECT_EQ(progress.last().first, 1.0);
    EXPECT_EQ(progress.last().second,
              QStringLiteral("diffusion_pytorch_model.safetensors \u2014 10 kB of 10 kB"));
}

TEST_F(ModelDownloadTest, ListingWithoutSizesCountsOneByteAndCapsTheFraction) {
    serveUnsizedListings();
    serveFiles();
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::installed) << observed.description.toStdString();
    ASSERT_FALSE(observed.progress.isEmpty());
    for (const auto& [fraction, detail] : observed.progress) {
        EXPECT_GE(fraction, 0.0);
        EXPECT_LE(fraction, 1.0);
        EXPECT_TRUE(detail.endsWith(QStringLiteral(" of 1 byte"))) << detail.toStdString();
    }
    // Files listed without a size add nothing to the bytes accounted for.
    EXPECT_EQ(observed.progress.last().first, 1.0);
    EXPECT_EQ(observed.progress.last().second,
              QStringLiteral("diffusion_pytorch_model.safetensors \u2014 200 bytes of 1 byte"));
}

// --- Resuming ----------------------------------------------------------------

TEST_F(ModelDownloadTest, ResumeFetchesOnlyFilesThatAreMissingOrOfTheWrongSize) {
    writeFile(partial + "/vocab.json", file("tokenizer/vocab.json").body);
    writeFile(partial + "/TextEncoder.model/config.json", file("text_encoder/config.json").body);
    // Cut short by an earlier run: fetched again from its first byte.
    writeFile(partial + "/Unet.model/config.json", "{\"trunc");
    // Left by a run that was killed mid-transfer of a file that is complete.
    writeFile(partial + "/vocab.json.part", "partial");
    // Interrupted transfers: the rest is asked for. The weights' part is of
    // another version of the file, which only the checksum shows.
    const QByteArray merges = file("tokenizer/merges.txt").body;
    writeFile(partial + "/merges.txt.part", merges.left(200));
    const QString weights = "text_encoder/model.fp16.safetensors";
    writeFile(partial + "/TextEncoder.model/model.fp16.safetensors.part",
              damaged(weights, 5).left(1000));
    serveRepository();
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::installed) << observed.description.toStdString();
    EXPECT_EQ(hub.requestCount(fileTarget("tokenizer/vocab.json")), 0);
    EXPECT_EQ(hub.requestCount(fileTarget("text_encoder/config.json")), 0);
    EXPECT_EQ(hub.requestCount(fileTarget("unet/config.json")), 1);
    EXPECT_EQ(hub.ranges(fileTarget("tokenizer/merges.txt")), QList<QByteArray>{"bytes=200-"});
    EXPECT_EQ(hub.bytesServed(fileTarget("tokenizer/merges.txt")), merges.size() - 200);
    EXPECT_EQ(hub.ranges(fileTarget(weights)), (QList<QByteArray>{"bytes=1000-", ""}));
    EXPECT_EQ(readFile(model + "/Unet.model/config.json"), file("unet/config.json").body);
    EXPECT_EQ(readFile(model + "/merges.txt"), merges);
    EXPECT_EQ(readFile(model + "/TextEncoder.model/model.fp16.safetensors"), file(weights).body);
    expectNoTemporaryFiles(model);
    // The first report already counts the 1,500 bytes that were on disk and
    // the 200 of the part.
    ASSERT_FALSE(observed.progress.isEmpty());
    EXPECT_EQ(observed.progress.first().first, 0.17);
    EXPECT_TRUE(observed.progress.first().second.startsWith(QStringLiteral("merges.txt")));
}

TEST_F(ModelDownloadTest, ASecondDownloadAfterAFailureFetchesOnlyWhatIsMissing) {
    serveRepository();
    hub.serve(fileTarget("unet/diffusion_pytorch_model.fp16.safetensors"), {.status = 404});
    runDownload();
    ASSERT_EQ(observed.outcome, Outcome::failed);

    serveFiles();
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::installed) << observed.description.toStdString();
    for (const RepositoryFile& repositoryFile : files) {
        const bool retried =
            repositoryFile.hubPath == "unet/diffusion_pytorch_model.fp16.safetensors";
        EXPECT_EQ(hub.requestCount(repositoryFile.target()), retried ? 2 : 1)
            << repositoryFile.hubPath.toStdString();
    }
    EXPECT_EQ(hub.requestCount(listingTarget), 2);
}

// --- Listing faults ----------------------------------------------------------

struct ListingFault {
    const char* name;
    FakeHub::Reply reply;
    QString description;
    // Passing failures are asked again after each pause.
    int requests = 1;
};

std::ostream& operator<<(std::ostream& stream, const ListingFault& fault) {
    return stream << fault.name;
}

class ListingFaultTest : public ModelDownloadTest,
                         public ::testing::WithParamInterface<ListingFault> {};

QByteArray listingWithout(const QString& hubPath) {
    QJsonArray entries;
    for (const auto& [from, to] : ModelDownload::installMap()) {
        if (from != hubPath) {
            entries.append(QJsonObject{{"type", "file"}, {"path", from}, {"size", 10}});
        }
    }
    return jsonBytes(entries);
}

QByteArray listingWith(const QJsonObject& replacementForVocabulary) {
    QJsonArray entries = QJsonDocument::fromJson(listingWithout("tokenizer/vocab.json")).array();
    entries.append(replacementForVocabulary);
    return jsonBytes(entries);
}

const QString notFound =
    QStringLiteral("The model files were not found in the Hugging Face repository.");
const QString unexpected = QStringLiteral("Unexpected response from Hugging Face.");

INSTANTIATE_TEST_SUITE_P(
    Hub, ListingFaultTest,
    ::testing::Values(
        ListingFault{"Status500",
                     {.status = 500, .body = "oops"},
                     "Hugging Face returned HTTP 500 when listing model files.",
                     3},
        ListingFault{"Status404",
                     {.status = 404, .body = "{\"error\":\"not found\"}"},
                     "Hugging Face returned HTTP 404 when listing model files."},
        ListingFault{"MalformedJson",
                     {.body = "[{\"type\": \"file\", "},
                     "The hub sent a file list that could not be read."},
        ListingFault{"NotAnArray", {.body = "{\"files\": []}"}, unexpected},
        ListingFault{"ArrayOfNonObjects", {.body = "[{\"type\": \"file\"}, 7]"}, unexpected},
        ListingFault{"MissingOneFile", {.body = listingWithout("vae/config.json")}, notFound},
        ListingFault{"PathDiffersInCase",
                     {.body = listingWith({{"type", "file"}, {"path", "tokenizer/Vocab.json"}})},
                     notFound},
        ListingFault{
            "FolderNamedLikeAFile",
            {.body = listingWith({{"type", "directory"}, {"path", "tokenizer/vocab.json"}})},
            notFound},
        ListingFault{
            "FileWithoutPath", {.body = listingWith({{"type", "file"}, {"size", 10}})}, notFound},
        ListingFault{"PathIsNotText",
                     {.body = listingWith({{"type", "file"}, {"path", QJsonArray{"x"}}})},
                     notFound}),
    [](const ::testing::TestParamInfo<ListingFault>& info) { return info.param.name; });

TEST_P(ListingFaultTest, FailsWithItsMessageAndTouchesNothing) {
    writeFile(model + "/keep.bin", "earlier model");
    serveFiles();
    hub.serve(listingTarget, GetParam().reply);
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::failed);
    EXPECT_EQ(observed.description, GetParam().description);
    EXPECT_EQ(hub.requests(), QList<QByteArray>(GetParam().requests, listingTarget));
    EXPECT_FALSE(QFileInfo::exists(partial));
    EXPECT_EQ(filesUnder(model), QStringList{"keep.bin"});
}

TEST_F(ModelDownloadTest, ListingWhoseNextLinkPointsBackFailsInsteadOfLooping) {
    hub.serve(listingTarget, {.body = jsonBytes(listingEntries()),
                              .headers = {{"Link", "<" + listingTarget + ">; rel=\"next\""}}});
    serveFiles();
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::failed);
    EXPECT_EQ(observed.description, unexpected);
    EXPECT_EQ(hub.requestCount(listingTarget), 1);
}

// --- File faults -------------------------------------------------------------

struct FileFault {
    const char* name;
    QString hubPath;
    // Serves the faulty reply for `hubPath` (whose real body is given).
    std::function<void(FakeHub&, const QByteArray& target, const QByteArray& body)> serve;
    // Any one of these.
    QStringList descriptions;
    // Passing failures are asked again after each pause (at least this
    // many requests).
    int requests = 1;
    // The bytes of the faulty file's part kept for a later resume; 0: none.
    qsizetype keptPart = 0;
};

std::ostream& operator<<(std::ostream& stream, const FileFault& fault) {
    return stream << fault.name;
}

class FileFaultTest : public ModelDownloadTest, public ::testing::WithParamInterface<FileFault> {};

INSTANTIATE_TEST_SUITE_P(
    Hub, FileFaultTest,
    ::testing::Values(
        FileFault{"NotFound",
                  "tokenizer/merges.txt",
                  [](FakeHub& hub, const QByteArray& target, const QByteArray&) {
                      hub.serve(target, {.status = 404, .body = "Entry not found"});
                  },
                  {"Server returned HTTP 404 for merges.txt."}},
        FileFault{"ServerError",
                  "unet/diffusion_pytorch_model.fp16.safetensors",
                  [](FakeHub& hub, const QByteArray& target, const QByteArray&) {
                      hub.serve(target, {.status = 500});
                  },
                  {"Server returned HTTP 500 for diffusion_pytorch_model.fp16.safetensors."},
                  3},
        FileFault{"RedirectToNotFound",
                  "text_encoder/config.json",
                  [](FakeHub& hub, const QByteArray& target, const QByteArray&) {
                      hub.redirect(target, "/storage/gone");
                  },
                  {"Server returned HTTP 404 for config.json."}},
        FileFault{"BodyShorterThanListed",
                  "text_encoder/model.fp16.safetensors",
                  [](FakeHub& hub, const QByteArray& target, const QByteArray& body) {
                      hub.serveFile(target, body.left(1000));
                  },
                  // Short, then 416 for the rest (the part goes), then short again.
                  {"The download of model.fp16.safetensors ended after 1000 of 3000 bytes."},
                  3,
                  1000},
        FileFault{"BodyLongerThanListed",
                  "tokenizer/vocab.json",
                  [](FakeHub& hub, const QByteArray& target, const QByteArray& body) {
                      hub.serveFile(target, body + body);
                  },
                  {"The download of vocab.json is larger than the listed 1500 bytes."}},
        FileFault{"ConnectionDroppedAtTheSameByteEveryTime",
                  "unet/config.json",
                  [](FakeHub& hub, const QByteArray& target, const QByteArray& body) {
                      hub.serve(target, {.body = body,
                                         .ending = FakeHub::Reply::Ending::dropMidBody,
                                         .bodyBytesSent = body.size() / 2});
                  },
                  // Qt reports the early close, or sees it as the end of the
                  // body, which then is too short.
                  {"The connection was closed by the server.",
                   "The download of config.json ended after 125 of 250 bytes."},
                  3,
                  125},
        FileFault{"DamagedDeepInside",
                  "text_encoder/model.fp16.safetensors",
                  [](FakeHub& hub, const QByteArray& target, const QByteArray& body) {
                      QByteArray damaged = body;
                      damaged[2900] = static_cast<char>(damaged[2900] ^ 1);
                      hub.serveFile(target, damaged);
                  },
                  {"model.fp16.safetensors arrived damaged: its content does not match the "
                   "checksum the hub lists for it."}}),
    [](const ::testing::TestParamInfo<FileFault>& info) { return info.param.name; });

TEST_P(FileFaultTest, FailsWithItsMessageAndKeepsOnlyCompleteFiles) {
    writeFile(model + "/keep.bin", "earlier model");
    serveRepository();
    const RepositoryFile& faulty = file(GetParam().hubPath);
    GetParam().serve(hub, faulty.target(), faulty.body);
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::failed);
    EXPECT_TRUE(GetParam().descriptions.contains(observed.description))
        << observed.description.toStdString();
    // Qt itself sends a request once more when the server closes before any
    // byte of the body, so retried faults may see more requests.
    if (GetParam().requests == 1) {
        EXPECT_EQ(hub.requestCount(faulty.target()), 1);
    } else {
        EXPECT_GE(hub.requestCount(faulty.target()), GetParam().requests);
    }
    // The files before the faulty one are complete; nothing else is there,
    // in particular nothing under the faulty file's name, and a part only
    // when its bytes are good.
    QStringList expected;
    for (const RepositoryFile& repositoryFile : files) {
        if (repositoryFile.hubPath == faulty.hubPath) {
            break;
        }
        expected.append(repositoryFile.installedPath);
        EXPECT_EQ(readFile(partial + "/" + repositoryFile.installedPath), repositoryFile.body);
    }
    if (GetParam().keptPart > 0) {
        const QString part = faulty.installedPath + ".part";
        expected.append(part);
        EXPECT_EQ(readFile(partial + "/" + part), faulty.body.left(GetParam().keptPart));
    }
    expected.sort();
    EXPECT_EQ(filesUnder(partial), expected);
    EXPECT_EQ(filesUnder(model), QStringList{"keep.bin"});
    EXPECT_EQ(observed.progressAfterFinish, 0);
}

// --- Passing failures ----------------------------------------------------------

// The size of the file dropped at 90 %; DRAVELIN_MEASURE_DOWNLOAD_MB sets
// another for a measurement.
qsizetype droppedFileSize() {
    const int megabytes = qEnvironmentVariableIntValue("DRAVELIN_MEASURE_DOWNLOAD_MB");
    return megabytes > 0 ? static_cast<qsizetype>(megabytes) * 1'000'000 : 4'000'000;
}

TEST_F(ModelDownloadTest, ADropAt90PercentFetchesOnlyTheRestWithoutTheUserNoticing) {
    const qsizetype size = droppedFileSize();
    const qsizetype dropAt = size / 10 * 9;
    RepositoryFile& weights = files[5];
    ASSERT_EQ(weights.hubPath, "unet/diffusion_pytorch_model.fp16.safetensors");
    weights.body = patternBytes(size, 'u');
    serveRepository();
    hub.serveInTurn(weights.target(), {{.body = weights.body,
                                        .ending = FakeHub::Reply::Ending::dropMidBody,
                                        .bodyBytesSent = dropAt},
                                       {.body = weights.body}});
    QElapsedTimer clock;
    clock.start();
    runDownload({.stallMilliseconds = quickTimings.stallMilliseconds,
                 .retryPausesMilliseconds = {10}});

    EXPECT_EQ(observed.outcome, Outcome::installed) << observed.description.toStdString();
    EXPECT_EQ(readFile(model + "/" + weights.installedPath), weights.body);
    EXPECT_EQ(withoutRepeats(hub.ranges(weights.target())),
              (QList<QByteArray>{"", "bytes=" + QByteArray::number(dropAt) + "-"}));
    // The resumed request fetches exactly the bytes the part lacked.
    const qint64 rest = hub.bytesServedPerRequest(weights.target()).last();
    EXPECT_EQ(rest, size - dropAt);
    // The bar waits for the retry; it never goes back.
    bool noted = false;
    for (qsizetype index = 0; index < observed.progress.size(); ++index) {
        noted = noted || observed.progress[index].second.endsWith(" \u00b7 trying again in 1 s");
        if (index > 0) {
            EXPECT_GE(observed.progress[index].first, observed.progress[index - 1].first);
        }
    }
    EXPECT_TRUE(noted);
    std::cout << "[ measured ] drop at 90 % of " << size << " bytes: the resumed request fetched "
              << rest << " bytes (" << 100.0 * rest / size << " % of the file); whole run "
              << clock.elapsed() << " ms\n";
}

TEST_F(ModelDownloadTest, AServerThatIgnoresRangesGetsTheFileFromTheStart) {
    serveRepository();
    const RepositoryFile& merges = file("tokenizer/merges.txt");
    hub.serveInTurn(
        merges.target(),
        {{.body = merges.body, .ending = FakeHub::Reply::Ending::dropMidBody, .bodyBytesSent = 300},
         {.body = merges.body, .ignoresRanges = true}});
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::installed) << observed.description.toStdString();
    EXPECT_EQ(withoutRepeats(hub.ranges(merges.target())), (QList<QByteArray>{"", "bytes=300-"}));
    EXPECT_EQ(hub.bytesServedPerRequest(merges.target()).last(), merges.body.size());
    EXPECT_EQ(readFile(model + "/merges.txt"), merges.body);
}

TEST_F(ModelDownloadTest, AStallIsResumedAndAtLastReportedWithItsLength) {
    serveRepository();
    const RepositoryFile& vocabulary = file("tokenizer/vocab.json");
    hub.serveInTurn(
        vocabulary.target(),
        {{.body = vocabulary.body, .ending = FakeHub::Reply::Ending::stall, .bodyBytesSent = 1000},
         {.body = vocabulary.body}});
    const RepositoryFile& merges = file("tokenizer/merges.txt");
    hub.serve(merges.target(),
              {.body = merges.body, .ending = FakeHub::Reply::Ending::stall, .bodyBytesSent = 200});
    QElapsedTimer clock;
    clock.start();
    runDownload(stallTimings);
    const qint64 elapsed = clock.elapsed();

    EXPECT_EQ(observed.outcome, Outcome::failed);
    EXPECT_EQ(observed.description,
              QStringLiteral("The connection timed out: no data arrived for 1 second."));
    EXPECT_FALSE(download->failedLocally());
    EXPECT_EQ(hub.ranges(vocabulary.target()), (QList<QByteArray>{"", "bytes=1000-"}));
    EXPECT_EQ(hub.ranges(merges.target()), (QList<QByteArray>{"", "bytes=200-", "bytes=200-"}));
    EXPECT_EQ(filesUnder(partial), (QStringList{"merges.txt.part", "vocab.json"}));
    // One stall on the first file, three on the second, and two pauses;
    // Qt's coarse timers may fire up to 5 % early.
    EXPECT_GE(elapsed, 4 * stallTimings.stallMilliseconds * 95 / 100);
    std::cout << "[ measured ] stall message after " << elapsed << " ms with a "
              << stallTimings.stallMilliseconds << " ms stall limit (four stalls, two pauses)\n";
}

TEST_F(ModelDownloadTest, ServiceUnavailableOnceIsRetriedUnseen) {
    serveRepository();
    hub.serveInTurn(listingTarget, {{.status = 503}, {.body = jsonBytes(listingEntries())}});
    const RepositoryFile& config = file("unet/config.json");
    hub.serveInTurn(config.target(), {{.status = 503, .body = "busy"}, {.body = config.body}});
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::installed) << observed.description.toStdString();
    EXPECT_EQ(hub.requestCount(listingTarget), 2);
    EXPECT_EQ(hub.requestCount(config.target()), 2);
    EXPECT_EQ(readFile(model + "/Unet.model/config.json"), config.body);
}

TEST_F(ModelDownloadTest, ResumesEvenWhenTheListingGivesNoSize) {
    serveUnsizedListings();
    serveFiles();
    const RepositoryFile& merges = file("tokenizer/merges.txt");
    hub.serveInTurn(
        merges.target(),
        {{.body = merges.body, .ending = FakeHub::Reply::Ending::dropMidBody, .bodyBytesSent = 200},
         {.body = merges.body}});
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::installed) << observed.description.toStdString();
    EXPECT_EQ(withoutRepeats(hub.ranges(merges.target())), (QList<QByteArray>{"", "bytes=200-"}));
    EXPECT_EQ(readFile(model + "/merges.txt"), merges.body);
}

// --- Cancelling --------------------------------------------------------------

TEST_F(ModelDownloadTest, CancelDuringATransferEndsPromptlyAndKeepsCompleteFiles) {
    serveRepository();
    const RepositoryFile& weights = file("text_encoder/model.fp16.safetensors");
    hub.serve(
        fileTarget(weights.hubPath),
        {.body = weights.body, .ending = FakeHub::Reply::Ending::stall, .bodyBytesSent = 1000});
    makeDownload().start();
    ASSERT_TRUE(waitUntil(
        [this] {
            return !observed.progress.isEmpty() &&
                   observed.progress.last().second.startsWith("model.fp16.safetensors");
        },
        5000));
    const QString part = partial + "/TextEncoder.model/model.fp16.safetensors.part";
    ASSERT_TRUE(QFileInfo::exists(part));

    QElapsedTimer clock;
    clock.start();
    download->cancel();
    EXPECT_EQ(observed.finishedCount, 0) << "finished() must not re-enter the caller of cancel()";
    ASSERT_TRUE(waitForFinish());
    // Ended by the cancel, not by the stall limit, and not asked again.
    EXPECT_LT(clock.elapsed(), quickTimings.stallMilliseconds);
    EXPECT_EQ(hub.requestCount(fileTarget(weights.hubPath)), 1);

    EXPECT_EQ(observed.finishedCount, 1);
    EXPECT_EQ(observed.outcome, Outcome::cancelled);
    EXPECT_EQ(observed.description, QString());
    // What arrived stays for the next attempt to resume.
    EXPECT_EQ(filesUnder(partial), (QStringList{"TextEncoder.model/config.json",
                                                "TextEncoder.model/model.fp16.safetensors.part",
                                                "merges.txt", "vocab.json"}));
    EXPECT_EQ(readFile(part), weights.body.left(1000));
    EXPECT_FALSE(QFileInfo::exists(model));
    EXPECT_EQ(observed.progressAfterFinish, 0);

    download->cancel();
    runEventsFor(20);
    EXPECT_EQ(observed.finishedCount, 1);
}

TEST_F(ModelDownloadTest, CancelWhileListingEndsCancelledWithoutTouchingTheDisk) {
    hub.serve(listingTarget, {.body = jsonBytes(listingEntries()),
                              .ending = FakeHub::Reply::Ending::stall,
                              .bodyBytesSent = 10});
    makeDownload().start();
    ASSERT_TRUE(waitUntil([this] { return !hub.requests().isEmpty(); }, 5000));
    download->cancel();
    ASSERT_TRUE(waitForFinish());

    EXPECT_EQ(observed.finishedCount, 1);
    EXPECT_EQ(observed.outcome, Outcome::cancelled);
    EXPECT_FALSE(QFileInfo::exists(partial));
}

TEST_F(ModelDownloadTest, CancelBeforeStartEndsCancelledWithoutAnyRequest) {
    serveRepository();
    ModelDownload& cancelled = makeDownload();
    cancelled.cancel();
    runEventsFor(20);
    EXPECT_EQ(observed.finishedCount, 0);
    cancelled.start();
    EXPECT_EQ(observed.finishedCount, 0) << "finished() must not re-enter the caller of start()";
    ASSERT_TRUE(waitForFinish());

    EXPECT_EQ(observed.finishedCount, 1);
    EXPECT_EQ(observed.outcome, Outcome::cancelled);
    EXPECT_TRUE(hub.requests().isEmpty());
}

TEST_F(ModelDownloadTest, StartingTwiceRunsOneDownloadAndLaterCallsChangeNothing) {
    serveRepository();
    makeDownload().start();
    download->start();
    ASSERT_TRUE(waitForFinish());
    ASSERT_EQ(observed.outcome, Outcome::installed);

    download->cancel();
    download->start();
    runEventsFor(50);
    EXPECT_EQ(observed.finishedCount, 1);
    EXPECT_EQ(observed.outcome, Outcome::installed);
    EXPECT_EQ(hub.requestCount(listingTarget), 1);
    EXPECT_EQ(hub.requestCount(fileTarget("tokenizer/vocab.json")), 1);
    EXPECT_TRUE(QFileInfo::exists(model + "/.complete"));
}

TEST_F(ModelDownloadTest, DestroyingTheDownloadMidTransferKeepsWhatArrived) {
    serveRepository();
    const RepositoryFile& vocabulary = file("tokenizer/vocab.json");
    hub.serve(
        fileTarget(vocabulary.hubPath),
        {.body = vocabulary.body, .ending = FakeHub::Reply::Ending::stall, .bodyBytesSent = 100});
    makeDownload().start();
    ASSERT_TRUE(waitUntil([this] { return !observed.progress.isEmpty(); }, 5000));
    download.reset();
    runEventsFor(20);

    EXPECT_EQ(observed.finishedCount, 0);
    EXPECT_EQ(filesUnder(partial), QStringList{"vocab.json.part"});
    EXPECT_EQ(readFile(partial + "/vocab.json.part"), vocabulary.body.left(100));
}

// --- File-system faults ------------------------------------------------------

TEST_F(ModelDownloadTest, PartialDirectoryUnderAFileFailsWithTheSystemsReason) {
    writeFile(directory.filePath("afile"), "not a folder");
    const QString unusable = directory.filePath("afile/Model.partial");
    serveRepository();
    makeDownload(unusable).start();
    ASSERT_TRUE(waitForFinish());

    EXPECT_EQ(observed.finishedCount, 1);
    EXPECT_EQ(observed.outcome, Outcome::failed);
    EXPECT_EQ(observed.description,
              QStringLiteral("Could not create the folder %1: Not a directory.").arg(unusable));
    EXPECT_EQ(hub.requestCount(fileTarget("tokenizer/vocab.json")), 0);
    EXPECT_FALSE(QFileInfo::exists(model));
}

TEST_F(ModelDownloadTest, FullDiskSaysSoAndHowMuchSpaceTheModelNeeds) {
    if (!QFileInfo::exists("/dev/full")) {
        GTEST_SKIP() << "/dev/full is needed to stand in for a full disk";
    }
    // The temporary file of the first transfer lands on a device that is
    // always full.
    ASSERT_TRUE(QDir().mkpath(partial));
    ASSERT_TRUE(QFile::link("/dev/full", partial + "/vocab.json.part"));
    serveRepository();
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::failed);
    EXPECT_EQ(observed.description,
              QStringLiteral("The disk is full: the model needs another 10 kB of free space in "
                             "%1 (10 kB in all). Free up some space, then try again.")
                  .arg(partial));
    EXPECT_TRUE(download->failedLocally());
    EXPECT_EQ(filesUnder(partial), QStringList());
    EXPECT_FALSE(QFileInfo::exists(model));
}

TEST_F(ModelDownloadTest, DestinationTakenByAFolderFailsWithTheSystemsReason) {
    ASSERT_TRUE(QDir().mkpath(partial + "/merges.txt/inside"));
    serveRepository();
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::failed);
    EXPECT_TRUE(observed.description.startsWith(QStringLiteral("Could not move ")))
        << observed.description.toStdString();
    EXPECT_TRUE(observed.description.endsWith(QStringLiteral(": Is a directory.")))
        << observed.description.toStdString();
    // The part is complete and checked; only its move failed.
    EXPECT_EQ(filesUnder(partial), (QStringList{"merges.txt.part", "vocab.json"}));
    EXPECT_TRUE(download->failedLocally());
}

// --- The hub ------------------------------------------------------------------

TEST(ModelDownloadHub, BaseUrlComesFromTheEnvironmentWhenSet) {
    qunsetenv("HF_ENDPOINT");
    EXPECT_EQ(ModelDownload::hubBaseUrl(), QUrl("https://huggingface.co"));
    qputenv("HF_ENDPOINT", "http://127.0.0.1:9/mirror");
    EXPECT_EQ(ModelDownload::hubBaseUrl(), QUrl("http://127.0.0.1:9/mirror"));
    qunsetenv("HF_ENDPOINT");
}

TEST(ModelDownloadHub, InstallMapNamesTheFilesInInstallOrder) {
    EXPECT_EQ(ModelDownload::repository(), "stable-diffusion-v1-5/stable-diffusion-v1-5");
    const QList<QPair<QString, QString>> expected{
        {"tokenizer/vocab.json", "vocab.json"},
        {"tokenizer/merges.txt", "merges.txt"},
        {"text_encoder/config.json", "TextEncoder.model/config.json"},
        {"text_encoder/model.fp16.safetensors", "TextEncoder.model/model.fp16.safetensors"},
        {"unet/config.json", "Unet.model/config.json"},
        {"unet/diffusion_pytorch_model.fp16.safetensors",
         "Unet.model/diffusion_pytorch_model.fp16.safetensors"},
        {"vae/config.json", "VAEDecoder.model/config.json"},
        {"vae/diffusion_pytorch_model.fp16.safetensors",
         "VAEDecoder.model/diffusion_pytorch_model.fp16.safetensors"},
    };
    EXPECT_EQ(ModelDownload::installMap(), expected);
    EXPECT_EQ(ModelDownload::previewRepository(), "madebyollin/taesd");
    const QList<QPair<QString, QString>> preview{
        {"config.json", "PreviewDecoder.model/config.json"},
        {"diffusion_pytorch_model.safetensors",
         "PreviewDecoder.model/diffusion_pytorch_model.safetensors"},
    };
    EXPECT_EQ(ModelDownload::previewInstallMap(), preview);
}

} // namespace
