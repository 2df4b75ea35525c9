#pragma once

#include "state/download/ModelDownload.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

namespace dravelin {

class FileTransfer;
class HubListing;

// The steps of one download: list, fetch each missing file into the partial
// directory, move it into place as the model directory, write the marker.
// All of it runs on the owner's thread, driven by network signals.
class ModelDownload::Procedure : public QObject {
public:
    explicit Procedure(ModelDownload& owner);

    void start();
    void cancel();

private:
    enum class Stage { notStarted, listing, transferring, concluded };

    void filesListed(const QList<RemoteFile>& files);
    void fetchRemainingFiles();
    void fileFinished(const QString& failure);
    void reportProgress(qint64 receivedOfCurrentFile);
    void install();
    // Stops whatever runs and reports the outcome once, from the event loop.
    void conclude(Outcome outcome, const QString& description = QString());

    ModelDownload& owner_;
    Stage stage_ = Stage::notStarted;
    bool cancelledBeforeStart_ = false;
    QUrl hubBase_;
    QList<RemoteFile> files_;
    qsizetype nextFile_ = 0;
    // The listed sizes summed, at least 1 so fractions stay defined.
    qint64 totalBytes_ = 1;
    // Listed sizes of the files already present or fetched.
    qint64 accountedBytes_ = 0;
    QString currentFileName_;
    HubListing* listing_ = nullptr;
    FileTransfer* transfer_ = nullptr;
};

} // namespace dravelin
