#include "state/download/FileTransfer.h"

#include "state/download/DownloadFileSystem.h"
#include "state/download/HubRequest.h"

#include <QFileInfo>
#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace dravelin {

FileTransfer::FileTransfer(QNetworkAccessManager* network, QUrl source, QString destination,
                           qint64 expectedSize, QObject* parent)
    : QObject(parent), network_(network), source_(std::move(source)),
      destination_(std::move(destination)), expectedSize_(expectedSize),
      temporary_(temporaryPath(destination_)) {}

FileTransfer::~FileTransfer() {
    if (!done_) {
        abort();
    }
}

QString FileTransfer::temporaryPath(const QString& destination) {
    return destination + QStringLiteral(".part");
}

QString FileTransfer::fileName() const {
    return QFileInfo(destination_).fileName();
}

void FileTransfer::start() {
    // Unbuffered, so a full disk shows up at the write that hits it.
    if (!temporary_.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        const QString failure = QStringLiteral("Could not write %1: %2.")
                                    .arg(temporary_.fileName(), temporary_.errorString());
        done_ = true;
        // Reported from the event loop, like every other outcome.
        QMetaObject::invokeMethod(
            this, [this, failure] { emit finished(failure); }, Qt::QueuedConnection);
        return;
    }
    reply_ = network_->get(hubRequest(source_));
    // Progress follows the data as it is written: the reply's own progress
    // signal is rate-limited and may skip a short burst entirely.
    connect(reply_, &QNetworkReply::readyRead, this, &FileTransfer::writeAndReport);
    connect(reply_, &QNetworkReply::finished, this, &FileTransfer::replyFinished);
}

void FileTransfer::abort() {
    if (done_) {
        return;
    }
    done_ = true;
    stop();
}

bool FileTransfer::replyIsSuccessful() const {
    const QVariant status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return !status.isValid() || status.toInt() == 200;
}

bool FileTransfer::writeAvailable() {
    if (!replyIsSuccessful()) {
        // An error page is not the file; its status is reported at the end.
        reply_->readAll();
        return true;
    }
    const QByteArray data = reply_->readAll();
    if (data.isEmpty()) {
        return true;
    }
    // A server that sends more than the listed size is not sending this file;
    // stopping early also keeps an endless body from filling the disk.
    if (expectedSize_ > 0 && written_ + data.size() > expectedSize_) {
        fail(QStringLiteral("The download of %1 is larger than the listed %2 bytes.")
                 .arg(fileName(), QString::number(expectedSize_)));
        return false;
    }
    if (temporary_.write(data) != data.size()) {
        fail(QStringLiteral("Could not write %1: %2.")
                 .arg(temporary_.fileName(), temporary_.errorString()));
        return false;
    }
    written_ += data.size();
    return true;
}

void FileTransfer::writeAndReport() {
    if (done_ || reply_ == nullptr) {
        return;
    }
    if (writeAvailable() && written_ != reportedBytes_) {
        reportedBytes_ = written_;
        emit received(written_);
    }
}

void FileTransfer::replyFinished() {
    if (done_ || reply_ == nullptr) {
        return;
    }
    const QVariant status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() != 200) {
        fail(QStringLiteral("Server returned HTTP %1 for %2.")
                 .arg(QString::number(status.toInt()), fileName()));
        return;
    }
    if (reply_->error() != QNetworkReply::NoError) {
        fail(reply_->errorString());
        return;
    }
    if (!writeAvailable()) {
        return;
    }
    // A connection closed early can look like the end of the body; the listed
    // size, or else the announced length, tells the difference.
    qint64 requiredSize = expectedSize_;
    const QVariant announced = reply_->header(QNetworkRequest::ContentLengthHeader);
    if (requiredSize <= 0 && announced.isValid() && !reply_->hasRawHeader("Content-Encoding")) {
        requiredSize = announced.toLongLong();
    }
    if (requiredSize > 0 && written_ != requiredSize) {
        fail(QStringLiteral("The download of %1 ended after %2 of %3 bytes.")
                 .arg(fileName(), QString::number(written_), QString::number(requiredSize)));
        return;
    }
    succeed();
}

void FileTransfer::succeed() {
    // Bytes read only at the end still show, so the last report is exact.
    if (written_ != reportedBytes_) {
        reportedBytes_ = written_;
        emit received(written_);
        // The receiver may have aborted this transfer.
        if (done_) {
            return;
        }
    }
    if (const auto failure = flushToDisk(temporary_)) {
        fail(*failure);
        return;
    }
    temporary_.close();
    if (const auto failure = moveFileReplacing(temporary_.fileName(), destination_)) {
        fail(*failure);
        return;
    }
    done_ = true;
    stop();
    emit finished(QString());
}

void FileTransfer::fail(const QString& failure) {
    done_ = true;
    stop();
    emit finished(failure);
}

void FileTransfer::stop() {
    discardReply(reply_, this);
    temporary_.close();
    // After a success the file has been renamed and this finds nothing.
    QFile::remove(temporary_.fileName());
}

} // namespace dravelin
