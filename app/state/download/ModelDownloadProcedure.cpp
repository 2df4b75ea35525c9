#include "state/download/ModelDownloadProcedure.h"

#include "state/download/ByteCountText.h"
#include "state/download/DownloadFileSystem.h"
#include "state/download/FileTransfer.h"
#include "state/download/HubAddresses.h"
#include "state/download/HubListing.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QNetworkAccessManager>

#include <algorithm>

namespace dravelin {

namespace {

QString installedPath(const QString& hubPath) {
    for (const auto& [from, to] : ModelDownload::installMap()) {
        if (from == hubPath) {
            return to;
        }
    }
    return hubPath;
}

// The network object belongs to the caller and may be gone before a transfer.
QString noNetwork() {
    return QStringLiteral("No network access is available.");
}

} // namespace

ModelDownload::Procedure::Procedure(ModelDownload& owner) : QObject(&owner), owner_(owner) {}

void ModelDownload::Procedure::start() {
    if (stage_ != Stage::notStarted) {
        return;
    }
    if (cancelledBeforeStart_) {
        conclude(Outcome::cancelled);
        return;
    }
    if (owner_.network_ == nullptr) {
        conclude(Outcome::failed, noNetwork());
        return;
    }
    stage_ = Stage::listing;
    hubBase_ = hubBaseUrl();
    listing_ =
        new HubListing(owner_.network_, hubListingUrl(hubBase_, repository()), installMap(), this);
    connect(listing_, &HubListing::listed, this, &Procedure::filesListed);
    connect(listing_, &HubListing::failed, this,
            [this](const QString& description) { conclude(Outcome::failed, description); });
    listing_->start();
}

void ModelDownload::Procedure::cancel() {
    if (stage_ == Stage::notStarted) {
        cancelledBeforeStart_ = true;
        return;
    }
    conclude(Outcome::cancelled);
}

void ModelDownload::Procedure::filesListed(const QList<RemoteFile>& files) {
    if (stage_ != Stage::listing || listing_ == nullptr) {
        return;
    }
    listing_->deleteLater();
    listing_ = nullptr;
    files_ = files;
    qint64 total = 0;
    for (const RemoteFile& file : files_) {
        total += file.size;
    }
    totalBytes_ = std::max<qint64>(total, 1);
    if (const auto failure = createDirectories(owner_.partialDirectory_)) {
        conclude(Outcome::failed, *failure);
        return;
    }
    stage_ = Stage::transferring;
    fetchRemainingFiles();
}

void ModelDownload::Procedure::fetchRemainingFiles() {
    const QDir partial(owner_.partialDirectory_);
    for (; nextFile_ < files_.size(); ++nextFile_) {
        const RemoteFile& file = files_[nextFile_];
        const QString destination = partial.filePath(installedPath(file.path));
        const QFileInfo present(destination);
        if (present.isFile() && present.size() == file.size) {
            // A leftover from a run that was killed mid-transfer.
            QFile::remove(FileTransfer::temporaryPath(destination));
            accountedBytes_ += file.size;
            continue;
        }
        if (const auto failure = createDirectories(present.absolutePath())) {
            conclude(Outcome::failed, *failure);
            return;
        }
        if (owner_.network_ == nullptr) {
            conclude(Outcome::failed, noNetwork());
            return;
        }
        currentFileName_ = present.fileName();
        transfer_ = new FileTransfer(owner_.network_, hubFileUrl(hubBase_, repository(), file.path),
                                     destination, file.size, this);
        connect(transfer_, &FileTransfer::received, this, &Procedure::reportProgress);
        connect(transfer_, &FileTransfer::finished, this, &Procedure::fileFinished);
        transfer_->start();
        return;
    }
    install();
}

void ModelDownload::Procedure::fileFinished(const QString& failure) {
    if (stage_ != Stage::transferring || transfer_ == nullptr) {
        return;
    }
    transfer_->deleteLater();
    transfer_ = nullptr;
    if (!failure.isEmpty()) {
        conclude(Outcome::failed, failure);
        return;
    }
    accountedBytes_ += files_[nextFile_].size;
    ++nextFile_;
    fetchRemainingFiles();
}

void ModelDownload::Procedure::reportProgress(qint64 receivedOfCurrentFile) {
    if (stage_ != Stage::transferring) {
        return;
    }
    const qint64 done = accountedBytes_ + receivedOfCurrentFile;
    const double fraction =
        std::clamp(static_cast<double>(done) / static_cast<double>(totalBytes_), 0.0, 1.0);
    emit owner_.progress(fraction, currentFileName_ + QStringLiteral(" \u2014 ") +
                                       byteCountText(done) + QStringLiteral(" of ") +
                                       byteCountText(totalBytes_));
}

void ModelDownload::Procedure::install() {
    if (const auto failure = replaceDirectory(owner_.partialDirectory_, owner_.modelDirectory_)) {
        conclude(Outcome::failed, *failure);
        return;
    }
    // Written last: its presence means everything before it is complete.
    QFile marker(QDir(owner_.modelDirectory_).filePath(QStringLiteral(".complete")));
    if (marker.open(QIODevice::WriteOnly)) {
        marker.close();
    }
    conclude(Outcome::installed);
}

void ModelDownload::Procedure::conclude(Outcome outcome, const QString& description) {
    if (stage_ == Stage::concluded) {
        return;
    }
    stage_ = Stage::concluded;
    if (listing_ != nullptr) {
        listing_->abort();
        listing_->deleteLater();
        listing_ = nullptr;
    }
    if (transfer_ != nullptr) {
        transfer_->abort();
        transfer_->deleteLater();
        transfer_ = nullptr;
    }
    // Queued, so whoever called start() or cancel() is never re-entered.
    ModelDownload* owner = &owner_;
    QMetaObject::invokeMethod(
        owner, [owner, outcome, description] { emit owner->finished(outcome, description); },
        Qt::QueuedConnection);
}

} // namespace dravelin
