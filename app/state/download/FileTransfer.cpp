#include "state/download/FileTransfer.h"

#include "state/download/DownloadFileSystem.h"
#include "state/download/HubRequest.h"
#include "state/download/NetworkFailure.h"

#include <QFileInfo>
#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTimer>

#include <cerrno>

namespace dravelin {

namespace {

// Enough to keep the disk busy, small enough to keep the window responsive
// while a resumed part is hashed again.
constexpr qint64 prefixChunkBytes = 4 * 1024 * 1024;

struct ContentRange {
    qint64 first = -1;
    qint64 last = -1;
    qint64 total = -1; // -1: "*", not known
};

// "bytes 100-999/1000".
std::optional<ContentRange> parseContentRange(const QByteArray& header) {
    static const QRegularExpression pattern(
        QStringLiteral(R"(^\s*bytes\s+(\d+)-(\d+)/(\d+|\*)\s*$)"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(header));
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    ContentRange range;
    bool ok = true;
    range.first = match.captured(1).toLongLong(&ok);
    if (ok) {
        range.last = match.captured(2).toLongLong(&ok);
    }
    if (ok && match.captured(3) != QLatin1String("*")) {
        range.total = match.captured(3).toLongLong(&ok);
    }
    if (!ok || range.last < range.first) {
        return std::nullopt;
    }
    return range;
}

int secondsOf(int milliseconds) {
    return (milliseconds + 999) / 1000;
}

} // namespace

FileTransfer::FileTransfer(QNetworkAccessManager* network, Request request, QObject* parent)
    : QObject(parent), network_(network), request_(std::move(request)),
      temporary_(temporaryPath(request_.destination)) {}

FileTransfer::~FileTransfer() {
    if (!done_) {
        abort();
    }
}

QString FileTransfer::temporaryPath(const QString& destination) {
    return destination + QStringLiteral(".part");
}

QString FileTransfer::fileName() const {
    return QFileInfo(request_.destination).fileName();
}

void FileTransfer::start() {
    const QFileInfo part(temporary_.fileName());
    // Only a plain file is resumed; anything else is opened and truncated
    // (or refuses to open) like a new one.
    qint64 kept = part.isFile() && !part.isSymLink() ? part.size() : 0;
    if (request_.expectedSize > 0 && kept > request_.expectedSize) {
        QFile::remove(temporary_.fileName());
        kept = 0;
    }
    // Unbuffered, so a full disk shows up at the write that hits it.
    const QIODevice::OpenMode mode =
        (kept > 0 ? QIODevice::Append : QIODevice::WriteOnly | QIODevice::Truncate) |
        QIODevice::Unbuffered;
    if (!temporary_.open(mode)) {
        failLater(
            DownloadFailure::local(QStringLiteral("Could not write %1: %2.")
                                       .arg(temporary_.fileName(), temporary_.errorString())));
        return;
    }
    resumedFrom_ = kept;
    written_ = kept;
    if (kept == 0) {
        sendRequest();
        return;
    }
    prefix_.setFileName(temporary_.fileName());
    if (!prefix_.open(QIODevice::ReadOnly)) {
        // Unreadable: start over rather than trust it.
        temporary_.resize(0);
        resumedFrom_ = 0;
        written_ = 0;
        sendRequest();
        return;
    }
    QTimer::singleShot(0, this, &FileTransfer::hashNextPrefixChunk);
}

void FileTransfer::hashNextPrefixChunk() {
    if (done_) {
        return;
    }
    const QByteArray chunk = prefix_.read(std::min(prefixChunkBytes, resumedFrom_ - hashedPrefix_));
    if (chunk.isEmpty() && hashedPrefix_ < resumedFrom_) {
        // The part shrank or could not be read: start over from byte 0.
        prefix_.close();
        temporary_.resize(0);
        hash_.reset();
        resumedFrom_ = 0;
        hashedPrefix_ = 0;
        written_ = 0;
        sendRequest();
        return;
    }
    hash_.addData(chunk);
    hashedPrefix_ += chunk.size();
    if (hashedPrefix_ < resumedFrom_) {
        QTimer::singleShot(0, this, &FileTransfer::hashNextPrefixChunk);
        return;
    }
    prefix_.close();
    report();
    if (done_) {
        return;
    }
    // Complete already: a run ended between the last byte and the rename.
    if (request_.expectedSize > 0 && written_ == request_.expectedSize) {
        complete();
        return;
    }
    sendRequest();
}

void FileTransfer::sendRequest() {
    QNetworkRequest request = hubRequest(request_.source, request_.stallMilliseconds);
    // Ranges count bytes of the file itself, never of a compressed form.
    request.setRawHeader("Accept-Encoding", "identity");
    if (written_ > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(written_) + '-');
    }
    reply_ = network_->get(request);
    // Progress follows the data as it is written: the reply's own progress
    // signal is rate-limited and may skip a short burst entirely.
    connect(reply_, &QNetworkReply::readyRead, this, &FileTransfer::writeAndReport);
    connect(reply_, &QNetworkReply::finished, this, &FileTransfer::replyFinished);
}

// Decides, once the status is known, whether the body belongs in the part
// file. False when the transfer has failed meanwhile.
bool FileTransfer::acceptBody() {
    if (body_ != Body::undecided) {
        return true;
    }
    const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 200 || status == 0) {
        body_ = Body::accepted;
        if (written_ > 0) {
            // The server ignored the range and sends the whole file.
            temporary_.resize(0);
            hash_.reset();
            written_ = 0;
        }
        return true;
    }
    if (status == 416 && written_ > 0) {
        // The server has no bytes past the part: its file is not the one the
        // part was taken from. Start over.
        fail(DownloadFailure::transient(
                 QStringLiteral("The server has less of %1 than was already downloaded.")
                     .arg(fileName())),
             /*keepPart=*/false);
        return false;
    }
    if (status != 206) {
        // An error page is not the file; its status is reported at the end.
        body_ = Body::ignored;
        return true;
    }
    const std::optional<ContentRange> range = parseContentRange(reply_->rawHeader("Content-Range"));
    const bool continues =
        range && written_ > 0 && range->first == written_ &&
        (range->total < 0 || request_.expectedSize <= 0 || range->total == request_.expectedSize) &&
        (range->total < 0 || range->last == range->total - 1);
    if (!continues) {
        fail(DownloadFailure::transient(
                 QStringLiteral("The server sent a piece of %1 that does not continue the part "
                                "already downloaded.")
                     .arg(fileName())),
             /*keepPart=*/false);
        return false;
    }
    body_ = Body::accepted;
    return true;
}

bool FileTransfer::writeAvailable() {
    if (!acceptBody()) {
        return false;
    }
    const QByteArray data = reply_->readAll();
    if (body_ == Body::ignored || data.isEmpty()) {
        return true;
    }
    // A server that sends more than the listed size is not sending this file;
    // stopping early also keeps an endless body from filling the disk.
    if (request_.expectedSize > 0 && written_ + data.size() > request_.expectedSize) {
        fail(DownloadFailure::lasting(
                 QStringLiteral("The download of %1 is larger than the listed %2 bytes.")
                     .arg(fileName(), QString::number(request_.expectedSize))),
             /*keepPart=*/false);
        return false;
    }
    if (const int error = writeWhole(temporary_, data); error != 0) {
        if (error == ENOSPC) {
            fail({DownloadFailure::Kind::diskFull, QStringLiteral("The disk is full.")});
        } else {
            fail(DownloadFailure::local(QStringLiteral("Could not write %1: %2.")
                                            .arg(temporary_.fileName(), systemReason(error))));
        }
        return false;
    }
    hash_.addData(data);
    written_ += data.size();
    return true;
}

void FileTransfer::writeAndReport() {
    if (done_ || reply_ == nullptr) {
        return;
    }
    if (writeAvailable()) {
        report();
    }
}

void FileTransfer::report() {
    if (written_ != reportedBytes_) {
        reportedBytes_ = written_;
        emit received(written_);
    }
}

void FileTransfer::replyFinished() {
    if (done_ || reply_ == nullptr) {
        return;
    }
    // A 416 without a body may come without any readyRead before this.
    if (!acceptBody()) {
        return;
    }
    const DownloadFailure failure =
        replyFailure(*reply_, QStringLiteral("Server returned HTTP %1 for ") + fileName() + '.',
                     secondsOf(request_.stallMilliseconds), /*acceptPartialContent=*/true);
    if (failure.failed()) {
        fail(failure);
        return;
    }
    if (!writeAvailable()) {
        return;
    }
    // A connection closed early can look like the end of the body; the listed
    // size, or else the announced length, tells the difference.
    qint64 requiredSize = request_.expectedSize;
    const QVariant announced = reply_->header(QNetworkRequest::ContentLengthHeader);
    if (requiredSize <= 0 && announced.isValid() && !reply_->hasRawHeader("Content-Encoding")) {
        const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        requiredSize = announced.toLongLong() + (status == 206 ? resumedFrom_ : 0);
    }
    if (requiredSize > 0 && written_ != requiredSize) {
        fail(DownloadFailure::transient(
            QStringLiteral("The download of %1 ended after %2 of %3 bytes.")
                .arg(fileName(), QString::number(written_), QString::number(requiredSize))));
        return;
    }
    complete();
}

void FileTransfer::complete() {
    // Bytes read only at the end still show, so the last report is exact.
    report();
    // The receiver may have aborted this transfer.
    if (done_) {
        return;
    }
    const QByteArray digest = hash_.result().toHex();
    if (!request_.expectedSha256.isEmpty() && digest != request_.expectedSha256) {
        const QString message = QStringLiteral("%1 arrived damaged: its content does not match "
                                               "the checksum the hub lists for it.")
                                    .arg(fileName());
        // A part kept from earlier may be of another version of the file: a
        // fresh start can still succeed. A fresh copy that is damaged will
        // not get better by asking again.
        fail(resumedFrom_ > 0 ? DownloadFailure::transient(message)
                              : DownloadFailure::lasting(message),
             /*keepPart=*/false);
        return;
    }
    if (const auto failure = flushToDisk(temporary_)) {
        fail(DownloadFailure::local(*failure));
        return;
    }
    temporary_.close();
    if (const auto failure = moveFileReplacing(temporary_.fileName(), request_.destination)) {
        fail(DownloadFailure::local(*failure));
        return;
    }
    sha256_ = digest;
    done_ = true;
    stop(/*keepPart=*/true);
    emit finished(DownloadFailure());
}

void FileTransfer::fail(const DownloadFailure& failure, bool keepPart) {
    done_ = true;
    stop(keepPart);
    emit finished(failure);
}

// Reported from the event loop, like every other outcome.
void FileTransfer::failLater(const DownloadFailure& failure) {
    done_ = true;
    QMetaObject::invokeMethod(
        this, [this, failure] { emit finished(failure); }, Qt::QueuedConnection);
}

void FileTransfer::abort() {
    if (done_) {
        return;
    }
    done_ = true;
    stop(/*keepPart=*/true);
}

void FileTransfer::stop(bool keepPart) {
    discardReply(reply_, this);
    prefix_.close();
    temporary_.close();
    // An empty part (a request refused before any data) is no use to keep.
    if (!keepPart || QFileInfo(temporary_.fileName()).size() == 0) {
        QFile::remove(temporary_.fileName());
    }
}

} // namespace dravelin
