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
#include <cmath>

namespace dravelin {

namespace {

// The network object belongs to the caller and may be gone before a transfer.
DownloadFailure noNetwork() {
    return DownloadFailure::lasting(QStringLiteral("No network access is available."));
}

// An attempt that brought in this much before failing earns a fresh set of
// retries: a flaky connection that keeps making progress is not given up on.
constexpr qint64 progressThatResetsRetries = 1024 * 1024;

} // namespace

ModelDownload::Procedure::Procedure(ModelDownload& owner) : QObject(&owner), owner_(owner) {
    retryTimer_.setSingleShot(true);
    refreshTimer_.setInterval(1000);
    connect(&refreshTimer_, &QTimer::timeout, this, &Procedure::refreshProgress);
}

void ModelDownload::Procedure::start() {
    if (stage_ != Stage::notStarted) {
        return;
    }
    if (cancelledBeforeStart_) {
        conclude(Outcome::cancelled);
        return;
    }
    stage_ = Stage::listing;
    hubBase_ = hubBaseUrl();
    clock_.start();
    sources_ = {{repository(), installMap()}, {previewRepository(), previewInstallMap()}};
    if (!owner_.sources().isEmpty()) {
        sources_.clear();
        for (const ModelDownload::Source& source : owner_.sources()) {
            sources_.push_back({source.repository, source.installMap});
        }
    }
    listNextSource();
}

void ModelDownload::Procedure::cancel() {
    if (stage_ == Stage::notStarted) {
        cancelledBeforeStart_ = true;
        return;
    }
    conclude(Outcome::cancelled);
}

void ModelDownload::Procedure::listNextSource() {
    stage_ = Stage::listing;
    if (owner_.network_ == nullptr) {
        fail(noNetwork());
        return;
    }
    const Source& source = sources_[nextSource_];
    listing_ = new HubListing(owner_.network_, hubListingUrl(hubBase_, source.repository),
                              source.installMap, owner_.timings_.stallMilliseconds, this);
    connect(listing_, &HubListing::listed, this, &Procedure::sourceListed);
    connect(listing_, &HubListing::failed, this, &Procedure::listingFailed);
    listing_->start();
}

void ModelDownload::Procedure::sourceListed(const QList<RemoteFile>& files) {
    if (stage_ != Stage::listing || listing_ == nullptr) {
        return;
    }
    listing_->deleteLater();
    listing_ = nullptr;
    retriesUsed_ = 0;
    for (RemoteFile file : files) {
        file.repository = sources_[nextSource_].repository;
        files_.append(file);
    }
    if (++nextSource_ < sources_.size()) {
        listNextSource();
        return;
    }
    qint64 total = 0;
    for (const RemoteFile& file : files_) {
        total += file.size;
    }
    totalBytes_ = std::max<qint64>(total, 1);
    if (const auto failure = createDirectories(owner_.partialDirectory_)) {
        fail(DownloadFailure::local(*failure));
        return;
    }
    stage_ = Stage::transferring;
    fetchRemainingFiles();
}

void ModelDownload::Procedure::listingFailed(const DownloadFailure& failure) {
    if (stage_ != Stage::listing || listing_ == nullptr) {
        return;
    }
    listing_->deleteLater();
    listing_ = nullptr;
    if (!retryLater(failure, [this] { listNextSource(); })) {
        fail(failure);
    }
}

void ModelDownload::Procedure::fetchRemainingFiles() {
    const QDir partial(owner_.partialDirectory_);
    for (; nextFile_ < files_.size(); ++nextFile_) {
        const RemoteFile& file = files_[nextFile_];
        const QString destination = partial.filePath(file.installedPath);
        const QFileInfo present(destination);
        if (present.isFile() && present.size() == file.size) {
            // A leftover from a run that was killed between its last byte
            // and the rename.
            QFile::remove(FileTransfer::temporaryPath(destination));
            // Only checked files are ever renamed into place, so the listed
            // checksum is theirs; other files are small enough to hash.
            const QByteArray sha256 = file.sha256.isEmpty() ? fileSha256(destination) : file.sha256;
            manifest_.append({file.installedPath, file.size, sha256});
            accountedBytes_ += file.size;
            continue;
        }
        if (const auto failure = createDirectories(present.absolutePath())) {
            fail(DownloadFailure::local(*failure));
            return;
        }
        currentFileName_ = present.fileName();
        retriesUsed_ = 0;
        startTransfer();
        return;
    }
    install();
}

void ModelDownload::Procedure::startTransfer() {
    stage_ = Stage::transferring;
    if (owner_.network_ == nullptr) {
        fail(noNetwork());
        return;
    }
    const RemoteFile& file = files_[nextFile_];
    currentFileBytes_ = 0;
    attemptStartBytes_ = -1;
    networkBytesBeforeAttempt_ = networkBytes_;
    transfer_ = new FileTransfer(
        owner_.network_,
        {.source = hubFileUrl(hubBase_, file.repository, file.path),
         .destination = QDir(owner_.partialDirectory_).filePath(file.installedPath),
         .expectedSize = file.size,
         .expectedSha256 = file.sha256,
         .stallMilliseconds = owner_.timings_.stallMilliseconds},
        this);
    connect(transfer_, &FileTransfer::received, this, &Procedure::fileReceived);
    connect(transfer_, &FileTransfer::finished, this, &Procedure::fileFinished);
    refreshTimer_.start();
    transfer_->start();
}

void ModelDownload::Procedure::fileReceived(qint64 bytesOnDisk) {
    if (stage_ != Stage::transferring || transfer_ == nullptr) {
        return;
    }
    if (attemptStartBytes_ < 0) {
        attemptStartBytes_ = transfer_->resumedFrom();
    }
    currentFileBytes_ = bytesOnDisk;
    // Bytes kept from an earlier attempt did not come over the network now.
    networkBytes_ =
        networkBytesBeforeAttempt_ + std::max<qint64>(bytesOnDisk - transfer_->resumedFrom(), 0);
    rate_.add(clock_.elapsed(), networkBytes_);
    reportProgress();
}

void ModelDownload::Procedure::fileFinished(const DownloadFailure& failure) {
    if (stage_ != Stage::transferring || transfer_ == nullptr) {
        return;
    }
    const qint64 sizeOnDisk = currentFileBytes_;
    const QByteArray sha256 = transfer_->sha256();
    const qint64 attemptStart = attemptStartBytes_ < 0 ? 0 : attemptStartBytes_;
    transfer_->deleteLater();
    transfer_ = nullptr;
    refreshTimer_.stop();
    if (failure.failed()) {
        if (sizeOnDisk - attemptStart >= progressThatResetsRetries) {
            retriesUsed_ = 0;
        }
        if (!retryLater(failure, [this] { startTransfer(); })) {
            fail(failure);
        }
        return;
    }
    const RemoteFile& file = files_[nextFile_];
    manifest_.append({file.installedPath, sizeOnDisk, sha256});
    accountedBytes_ += file.size;
    currentFileBytes_ = 0;
    ++nextFile_;
    fetchRemainingFiles();
}

bool ModelDownload::Procedure::retryLater(const DownloadFailure& failure,
                                          std::function<void()> again) {
    const QList<int>& pauses = owner_.timings_.retryPausesMilliseconds;
    if (failure.kind != DownloadFailure::Kind::transient || retriesUsed_ >= pauses.size()) {
        return false;
    }
    const int pause = std::max(pauses[retriesUsed_++], 0);
    stage_ = Stage::waiting;
    rate_.restart();
    if (!files_.isEmpty() && nextFile_ < files_.size()) {
        reportProgress(QStringLiteral("trying again in %1 s").arg((pause + 999) / 1000));
    }
    retryTimer_.disconnect(this);
    connect(&retryTimer_, &QTimer::timeout, this, [this, again = std::move(again)] {
        if (stage_ == Stage::waiting) {
            again();
        }
    });
    retryTimer_.start(pause);
    return true;
}

void ModelDownload::Procedure::reportProgress(const QString& note) {
    const qint64 done = accountedBytes_ + currentFileBytes_;
    const double fraction =
        std::clamp(static_cast<double>(done) / static_cast<double>(totalBytes_), 0.0, 1.0);
    QString detail = currentFileName_ + QStringLiteral(" \u2014 ") + byteCountText(done) +
                     QStringLiteral(" of ") + byteCountText(totalBytes_);
    if (!note.isEmpty()) {
        detail += QStringLiteral(" \u00b7 ") + note;
    } else if (const std::optional<double> speed = rate_.bytesPerSecond(); speed && *speed > 0) {
        detail += QStringLiteral(" \u00b7 ") + speedText(*speed);
        if (done < totalBytes_) {
            detail += QStringLiteral(" \u00b7 ") +
                      timeLeftText(static_cast<double>(totalBytes_ - done) / *speed);
        }
    }
    emit owner_.progress(fraction, detail);
}

void ModelDownload::Procedure::refreshProgress() {
    if (stage_ != Stage::transferring || transfer_ == nullptr) {
        return;
    }
    rate_.add(clock_.elapsed(), networkBytes_);
    reportProgress();
}

void ModelDownload::Procedure::install() {
    if (const auto failure = writeManifest(owner_.partialDirectory_, manifest_)) {
        fail(DownloadFailure::local(*failure));
        return;
    }
    if (const auto failure = replaceDirectory(owner_.partialDirectory_, owner_.modelDirectory_)) {
        fail(DownloadFailure::local(*failure));
        return;
    }
    // Written last: its presence means everything before it is complete.
    QFile marker(QDir(owner_.modelDirectory_).filePath(QStringLiteral(".complete")));
    if (marker.open(QIODevice::WriteOnly)) {
        marker.close();
    }
    conclude(Outcome::installed);
}

void ModelDownload::Procedure::fail(const DownloadFailure& failure) {
    owner_.failedLocally_ = failure.isLocal();
    QString description = failure.message;
    if (failure.kind == DownloadFailure::Kind::diskFull) {
        const qint64 stillNeeded =
            std::max<qint64>(totalBytes_ - accountedBytes_ - currentFileBytes_, 0);
        description =
            QStringLiteral("The disk is full: the model needs another %1 of free space "
                           "in %2 (%3 in all). Free up some space, then try again.")
                .arg(byteCountText(stillNeeded), QDir::toNativeSeparators(owner_.partialDirectory_),
                     byteCountText(totalBytes_));
    }
    conclude(Outcome::failed, description);
}

void ModelDownload::Procedure::conclude(Outcome outcome, const QString& description) {
    if (stage_ == Stage::concluded) {
        return;
    }
    stage_ = Stage::concluded;
    retryTimer_.stop();
    refreshTimer_.stop();
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
