#pragma once

#include "state/download/DownloadFailure.h"
#include "state/download/ModelDownload.h"
#include "state/download/ModelManifest.h"
#include "state/download/TransferRate.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>

namespace dravelin {

class FileTransfer;
class HubListing;

// The steps of one download: list each repository, fetch each missing file
// into the partial directory (trying again after passing failures), write
// the manifest, move the directory into place as the model directory, write
// the marker. All of it runs on the owner's thread, driven by network
// signals and timers.
class ModelDownload::Procedure : public QObject {
public:
    explicit Procedure(ModelDownload& owner);

    void start();
    void cancel();

private:
    enum class Stage { notStarted, listing, transferring, waiting, concluded };
    struct Source {
        QString repository;
        QList<QPair<QString, QString>> installMap;
    };

    void listNextSource();
    void sourceListed(const QList<RemoteFile>& files);
    void listingFailed(const DownloadFailure& failure);
    void fetchRemainingFiles();
    void startTransfer();
    void fileReceived(qint64 bytesOnDisk);
    void fileFinished(const DownloadFailure& failure);
    // Runs `again` after the next pause when one is left; false when none is.
    bool retryLater(const DownloadFailure& failure, std::function<void()> again);
    void reportProgress(const QString& note = QString());
    void refreshProgress();
    void install();
    void fail(const DownloadFailure& failure);
    // Stops whatever runs and reports the outcome once, from the event loop.
    void conclude(Outcome outcome, const QString& description = QString());

    ModelDownload& owner_;
    Stage stage_ = Stage::notStarted;
    bool cancelledBeforeStart_ = false;
    QUrl hubBase_;
    QList<Source> sources_;
    qsizetype nextSource_ = 0;
    QList<RemoteFile> files_;
    qsizetype nextFile_ = 0;
    QList<ManifestEntry> manifest_;
    // The listed sizes summed, at least 1 so fractions stay defined.
    qint64 totalBytes_ = 1;
    // Listed sizes of the files already present or fetched.
    qint64 accountedBytes_ = 0;
    // The current file's bytes on disk, and what it had when this attempt began.
    qint64 currentFileBytes_ = 0;
    qint64 attemptStartBytes_ = 0;
    // Bytes that came over the network in this download, for the speed.
    qint64 networkBytes_ = 0;
    qint64 networkBytesBeforeAttempt_ = 0;
    int retriesUsed_ = 0;
    QString currentFileName_;
    QElapsedTimer clock_;
    TransferRate rate_;
    QTimer retryTimer_;
    // Refreshes speed and time left while no data comes, so a stall shows.
    QTimer refreshTimer_;
    HubListing* listing_ = nullptr;
    FileTransfer* transfer_ = nullptr;
};

} // namespace dravelin
