#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;

namespace dravelin {

// One file of a hub listing that the application installs.
struct RemoteFile {
    QString repository;
    QString path;          // inside the repository
    QString installedPath; // inside the model directory
    qint64 size = 0;
    // The SHA-256 the listing gives for an LFS file, in lower-case
    // hexadecimal; empty for files it gives none for.
    QByteArray sha256;
};

// A hub repository and which of its files go where in the directory a
// download installs.
struct DownloadSource {
    QString repository;
    QList<QPair<QString, QString>> installMap;
};

// How long the download waits before it gives up on a silent connection, and
// the pauses before each automatic new attempt after a passing failure. The
// number of pauses is the number of new attempts.
struct DownloadTimings {
    int stallMilliseconds = 20'000;
    QList<int> retryPausesMilliseconds{2'000, 5'000, 10'000};
};

// Fetches the model from the Hugging Face hub into the partial directory, file
// by file (files already there with the listed size are kept, interrupted
// ones resumed), checks every file against the listing, writes a manifest of
// what was installed, then replaces the model directory with it and writes
// the completion marker last.
//
// Lives on the GUI thread; all network waits are asynchronous. One object runs
// one download: start() once, then wait for finished().
class ModelDownload : public QObject {
    Q_OBJECT
public:
    enum class Outcome { installed, cancelled, failed };
    Q_ENUM(Outcome)

    // The hub repository of the model and which of its files go where in the
    // model directory, in install order.
    static QString repository();
    static const QList<QPair<QString, QString>>& installMap();
    // The same for the preview decoder, fetched after the model's files.
    static QString previewRepository();
    static const QList<QPair<QString, QString>>& previewInstallMap();
    // The tiny autoencoder for SDXL latents (madebyollin/taesdxl), a further
    // download of its own, installed with the same map as the one above.
    static QString xlPreviewRepository();
    // https://huggingface.co, or $HF_ENDPOINT when set.
    static QUrl hubBaseUrl();

    // What one download fetches: repositories in turn, each with its
    // install map. The hub model and its preview decoder unless set before
    // start() (other files than the model's, a LoRA say, get the same
    // resuming, checks, manifest and marker).
    using Source = DownloadSource;
    void setSources(QList<Source> sources) { sources_ = std::move(sources); }
    const QList<Source>& sources() const { return sources_; }

    ModelDownload(QNetworkAccessManager* network, QString partialDirectory, QString modelDirectory,
                  QObject* parent = nullptr);

    // Takes effect at start().
    void setTimings(const DownloadTimings& timings) { timings_ = timings; }

    void start();
    // Aborts the running request promptly; finished(cancelled) follows.
    void cancel();

    // After finished(failed): true when the cause lies on this computer (a
    // full disk, a folder that cannot be written) rather than with the
    // network or the hub.
    bool failedLocally() const { return failedLocally_; }

signals:
    // For network progress events: the overall fraction (0 to 1) and the
    // detail text "name — x of y", followed after a few seconds by the speed
    // and the time left ("· 8.4 MB/s · 2 min left"), or by a note while
    // waiting to try again.
    void progress(double fraction, const QString& detail);
    // Exactly once. For `failed`, `description` is the error's description
    // (for example "Server returned HTTP 404 for vocab.json."); empty otherwise.
    void finished(dravelin::ModelDownload::Outcome outcome, const QString& description);

private:
    class Procedure;
    QPointer<QNetworkAccessManager> network_;
    QString partialDirectory_;
    QString modelDirectory_;
    DownloadTimings timings_;
    QList<Source> sources_;
    bool failedLocally_ = false;
    Procedure* procedure_ = nullptr;
};

} // namespace dravelin
