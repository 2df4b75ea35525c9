#include "app/FakeHub.h"
#include "app/QtValuePrinting.h"
#include "state/download/ModelDownload.h"

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
#include <memory>
#include <ostream>
#include <vector>

using namespace dravelin;
using dravelin::testing::FakeHub;
using Outcome = ModelDownload::Outcome;

namespace {

// One file of the fake repository that the application installs.
struct RepositoryFile {
    QString hubPath;
    QString installedPath;
    QByteArray body;
};

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

QByteArray fileTarget(const QString& hubPath) {
    return "/stable-diffusion-v1-5/stable-diffusion-v1-5/resolve/main/" + hubPath.toUtf8();
}

const QByteArray listingTarget =
    "/api/models/stable-diffusion-v1-5/stable-diffusion-v1-5/tree/main?recursive=true";

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
    // Sizes sum to 10,000 bytes so progress texts are easy to predict.
    std::vector<RepositoryFile> files{
        {"tokenizer/vocab.json", "vocab.json", patternBytes(1500, 'a')},
        {"tokenizer/merges.txt", "merges.txt", patternBytes(500, 'b')},
        {"text_encoder/config.json", "TextEncoder.model/config.json", patternBytes(250, 'c')},
        {"text_encoder/model.fp16.safetensors", "TextEncoder.model/model.fp16.safetensors",
         patternBytes(3000, 'd')},
        {"unet/config.json", "Unet.model/config.json", patternBytes(250, 'e')},
        {"unet/diffusion_pytorch_model.fp16.safetensors",
         "Unet.model/diffusion_pytorch_model.fp16.safetensors", patternBytes(4000, 'f')},
        {"vae/config.json", "VAEDecoder.model/config.json", patternBytes(250, 'g')},
        {"vae/diffusion_pytorch_model.fp16.safetensors",
         "VAEDecoder.model/diffusion_pytorch_model.fp16.safetensors", patternBytes(250, 'h')},
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
    // as the entry's own size, the real size under "lfs".
    static QJsonObject fileEntry(const QString& hubPath, qint64 size) {
        QJsonObject entry{{"type", "file"}, {"path", hubPath}};
        if (isWeights(hubPath)) {
            entry.insert("size", 135);
            entry.insert("lfs", QJsonObject{{"size", size}, {"oid", "0123"}});
        } else {
            entry.insert("size", size);
        }
        return entry;
    }

    QJsonArray listingEntries() const {
        QJsonArray entries;
        for (const QString folder : {"tokenizer", "text_encoder", "unet", "vae"}) {
            entries.append(QJsonObject{{"type", "directory"}, {"path", folder}, {"size", 0}});
        }
        for (const QString& path : unwantedFiles) {
            entries.append(fileEntry(path, 64));
        }
        for (const RepositoryFile& repositoryFile : files) {
            entries.append(fileEntry(repositoryFile.hubPath, repositoryFile.body.size()));
        }
        return entries;
    }

    void serveFiles() {
        for (const RepositoryFile& repositoryFile : files) {
            hub.serveFile(fileTarget(repositoryFile.hubPath), repositoryFile.body);
        }
        for (const QString& path : unwantedFiles) {
            hub.serveFile(fileTarget(path), patternBytes(64, 'z'));
        }
    }

    void serveRepository() {
        hub.serveFile(listingTarget, jsonBytes(listingEntries()));
        serveFiles();
    }

    ModelDownload& makeDownload(const QString& partialDirectory) {
        observed = Observed();
        download = std::make_unique<ModelDownload>(&network, partialDirectory, model);
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
        const bool finished = waitUntil([this] { return observed.finishedCount > 0; }, 5000);
        runEventsFor(20);
        return finished;
    }

    void runDownload() {
        makeDownload().start();
        ASSERT_TRUE(waitForFinish());
        ASSERT_EQ(observed.finishedCount, 1);
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
    expected.sort();
    EXPECT_EQ(filesUnder(model), expected);
    for (const RepositoryFile& repositoryFile : files) {
        EXPECT_EQ(readFile(model + "/" + repositoryFile.installedPath), repositoryFile.body)
            << repositoryFile.installedPath.toStdString();
        EXPECT_EQ(hub.requestCount(fileTarget(repositoryFile.hubPath)), 1);
    }
    EXPECT_EQ(QFileInfo(model + "/.complete").size(), 0);
    EXPECT_FALSE(QFileInfo::exists(partial));
    EXPECT_EQ(hub.requestCount(listingTarget), 1);
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

TEST_F(ModelDownloadTest, FollowsRedirectsToTheFileBodies) {
    serveRepository();
    for (const RepositoryFile& repositoryFile : files) {
        const QByteArray storage = "/storage/" + repositoryFile.hubPath.toUtf8();
        hub.redirect(fileTarget(repositoryFile.hubPath), storage);
        hub.serveFile(storage, repositoryFile.body);
    }
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::installed) << observed.description.toStdString();
    EXPECT_EQ(readFile(model + "/Unet.model/diffusion_pytorch_model.fp16.safetensors"),
              file("unet/diffusion_pytorch_model.fp16.safetensors").body);
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
    serveFiles();
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::installed) << observed.description.toStdString();
    EXPECT_EQ(hub.requestCount(listingTarget), 1);
    EXPECT_EQ(hub.requestCount(secondTarget), 1);
    EXPECT_EQ(hub.requestCount(thirdTarget), 1);
    EXPECT_EQ(filesUnder(model).size(), files.size() + 1);
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
              QStringLiteral("diffusion_pytorch_model.fp16.safetensors \u2014 10 kB of 10 kB"));
}

TEST_F(ModelDownloadTest, ListingWithoutSizesCountsOneByteAndCapsTheFraction) {
    QJsonArray entries;
    for (const RepositoryFile& repositoryFile : files) {
        entries.append(QJsonObject{{"type", "file"}, {"path", repositoryFile.hubPath}});
    }
    hub.serveFile(listingTarget, jsonBytes(entries));
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
    EXPECT_EQ(
        observed.progress.last().second,
        QStringLiteral("diffusion_pytorch_model.fp16.safetensors \u2014 250 bytes of 1 byte"));
}

// --- Resuming ----------------------------------------------------------------

TEST_F(ModelDownloadTest, ResumeFetchesOnlyFilesThatAreMissingOrOfTheWrongSize) {
    writeFile(partial + "/vocab.json", file("tokenizer/vocab.json").body);
    writeFile(partial + "/TextEncoder.model/config.json", file("text_encoder/config.json").body);
    // Cut short by an earlier run: fetched again from its first byte.
    writeFile(partial + "/Unet.model/config.json", "{\"trunc");
    // Left by a run that was killed mid-transfer.
    writeFile(partial + "/vocab.json.part", "partial");
    serveRepository();
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::installed) << observed.description.toStdString();
    EXPECT_EQ(hub.requestCount(fileTarget("tokenizer/vocab.json")), 0);
    EXPECT_EQ(hub.requestCount(fileTarget("text_encoder/config.json")), 0);
    EXPECT_EQ(hub.requestCount(fileTarget("unet/config.json")), 1);
    EXPECT_EQ(hub.requestCount(fileTarget("tokenizer/merges.txt")), 1);
    EXPECT_EQ(readFile(model + "/Unet.model/config.json"), file("unet/config.json").body);
    expectNoTemporaryFiles(model);
    // The first report already counts the 1,500 bytes that were on disk.
    ASSERT_FALSE(observed.progress.isEmpty());
    EXPECT_GE(observed.progress.first().first, 0.15);
    EXPECT_TRUE(observed.progress.first().second.startsWith(QStringLiteral("merges.txt")));
}

TEST_F(ModelDownloadTest, ASecondDownloadAfterAFailureFetchesOnlyWhatIsMissing) {
    serveRepository();
    hub.serve(fileTarget("unet/diffusion_pytorch_model.fp16.safetensors"), {.status = 500});
    runDownload();
    ASSERT_EQ(observed.outcome, Outcome::failed);

    serveFiles();
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::installed) << observed.description.toStdString();
    for (const RepositoryFile& repositoryFile : files) {
        const bool retried =
            repositoryFile.hubPath == "unet/diffusion_pytorch_model.fp16.safetensors";
        EXPECT_EQ(hub.requestCount(fileTarget(repositoryFile.hubPath)), retried ? 2 : 1)
            << repositoryFile.hubPath.toStdString();
    }
    EXPECT_EQ(hub.requestCount(listingTarget), 2);
}

// --- Listing faults ----------------------------------------------------------

struct ListingFault {
    const char* name;
    FakeHub::Reply reply;
    QString description;
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
                     "Hugging Face returned HTTP 500 when listing model files."},
        ListingFault{"Status404",
                     {.status = 404, .body = "{\"error\":\"not found\"}"},
                     "Hugging Face returned HTTP 404 when listing model files."},
        ListingFault{"MalformedJson", {.body = "[{\"type\": \"file\", "}, ""},
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

    QString expected = GetParam().description;
    if (expected.isEmpty()) {
        // The JSON parser's own message.
        QJsonParseError parseError;
        QJsonDocument::fromJson(GetParam().reply.body, &parseError);
        ASSERT_NE(parseError.error, QJsonParseError::NoError);
        expected = parseError.errorString();
        ASSERT_FALSE(expected.isEmpty());
    }
    EXPECT_EQ(observed.outcome, Outcome::failed);
    EXPECT_EQ(observed.description, expected);
    EXPECT_EQ(hub.requests(), QList<QByteArray>{listingTarget});
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
                  {"Server returned HTTP 500 for diffusion_pytorch_model.fp16.safetensors."}},
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
                  {"The download of model.fp16.safetensors ended after 1000 of 3000 bytes."}},
        FileFault{"BodyLongerThanListed",
                  "tokenizer/vocab.json",
                  [](FakeHub& hub, const QByteArray& target, const QByteArray& body) {
                      hub.serveFile(target, body + body);
                  },
                  {"The download of vocab.json is larger than the listed 1500 bytes."}},
        FileFault{
            "ConnectionDroppedMidBody",
            "unet/config.json",
            [](FakeHub& hub, const QByteArray& target, const QByteArray& body) {
                hub.serve(target, {.body = body,
                                   .ending = FakeHub::Reply::Ending::dropMidBody,
                                   .bodyBytesSent = body.size() / 2});
            },
            // Qt reports the early close, or sees it as the end of the
            // body, which then is too short.
            {"Connection closed", "The download of config.json ended after 125 of 250 bytes."}}),
    [](const ::testing::TestParamInfo<FileFault>& info) { return info.param.name; });

TEST_P(FileFaultTest, FailsWithItsMessageAndKeepsOnlyCompleteFiles) {
    writeFile(model + "/keep.bin", "earlier model");
    serveRepository();
    const RepositoryFile& faulty = file(GetParam().hubPath);
    GetParam().serve(hub, fileTarget(faulty.hubPath), faulty.body);
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::failed);
    EXPECT_TRUE(GetParam().descriptions.contains(observed.description))
        << observed.description.toStdString();
    // The files before the faulty one are complete; nothing else is there,
    // in particular nothing under the faulty file's name.
    QStringList expected;
    for (const RepositoryFile& repositoryFile : files) {
        if (repositoryFile.hubPath == faulty.hubPath) {
            break;
        }
        expected.append(repositoryFile.installedPath);
        EXPECT_EQ(readFile(partial + "/" + repositoryFile.installedPath), repositoryFile.body);
    }
    expected.sort();
    EXPECT_EQ(filesUnder(partial), expected);
    EXPECT_EQ(filesUnder(model), QStringList{"keep.bin"});
    EXPECT_EQ(observed.progressAfterFinish, 0);
}

TEST_F(ModelDownloadTest, ConnectionDroppedEarlyFailsEvenWhenTheListingGivesNoSize) {
    QJsonArray entries;
    for (const RepositoryFile& repositoryFile : files) {
        entries.append(QJsonObject{{"type", "file"}, {"path", repositoryFile.hubPath}});
    }
    hub.serveFile(listingTarget, jsonBytes(entries));
    serveFiles();
    const RepositoryFile& merges = file("tokenizer/merges.txt");
    hub.serve(
        fileTarget(merges.hubPath),
        {.body = merges.body, .ending = FakeHub::Reply::Ending::dropMidBody, .bodyBytesSent = 200});
    runDownload();

    EXPECT_EQ(observed.outcome, Outcome::failed);
    EXPECT_TRUE(observed.description == "Connection closed" ||
                observed.description == "The download of merges.txt ended after 200 of 500 bytes.")
        << observed.description.toStdString();
    EXPECT_EQ(filesUnder(partial), QStringList{"vocab.json"});
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
    ASSERT_TRUE(QFileInfo::exists(partial + "/TextEncoder.model/model.fp16.safetensors.part"));

    QElapsedTimer clock;
    clock.start();
    download->cancel();
    // The transfer is gone at once, not when the reply gets round to it.
    EXPECT_FALSE(QFileInfo::exists(partial + "/TextEncoder.model/model.fp16.safetensors.part"));
    EXPECT_EQ(observed.finishedCount, 0) << "finished() must not re-enter the caller of cancel()";
    ASSERT_TRUE(waitForFinish());
    EXPECT_LT(clock.elapsed(), 500);

    EXPECT_EQ(observed.finishedCount, 1);
    EXPECT_EQ(observed.outcome, Outcome::cancelled);
    EXPECT_EQ(observed.description, QString());
    EXPECT_EQ(filesUnder(partial),
              (QStringList{"TextEncoder.model/config.json", "merges.txt", "vocab.json"}));
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

TEST_F(ModelDownloadTest, DestroyingTheDownloadMidTransferLeavesNoTemporaryFile) {
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
    EXPECT_EQ(filesUnder(partial), QStringList());
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

TEST_F(ModelDownloadTest, FullDiskFailsWithTheSystemsReasonAndLeavesNoPartialFile) {
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
              QStringLiteral("Could not write %1/vocab.json.part: No space left on device.")
                  .arg(partial));
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
    EXPECT_EQ(filesUnder(partial), QStringList{"vocab.json"});
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
}

} // namespace
