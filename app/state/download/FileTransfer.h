#pragma once

#include "state/download/DownloadFailure.h"

#include <QCryptographicHash>
#include <QFile>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

namespace dravelin {

// Fetches one URL into one destination file. The body is streamed into a
// ".part" file beside the destination and renamed over it only when the
// reply ended with the expected number of bytes and, when a checksum is
// given, with the expected SHA-256, so the destination never holds a partial
// or damaged file.
//
// A ".part" file left by an earlier attempt is resumed: its bytes are hashed
// again (in small steps on the event loop) and the rest is asked for with a
// Range request. A 206 reply whose Content-Range continues the part is
// appended; a 200 reply (a server that ignores ranges) starts the file over.
// The part file stays after an interruption, a stall, a full disk and
// abort(); it is removed when its content is known to be wrong (a checksum
// mismatch, more bytes than listed, a range that does not fit). A mismatch
// after resuming counts as a passing failure, since the kept part may have
// been the wrong one.
//
// Reports finished() exactly once, always from the event loop, unless abort()
// comes first; after abort() it reports nothing.
class FileTransfer : public QObject {
    Q_OBJECT
public:
    struct Request {
        QUrl source;
        QString destination;
        // 0 or less: not known, and then not checked.
        qint64 expectedSize = 0;
        // Lower-case hexadecimal; empty: not checked.
        QByteArray expectedSha256;
        int stallMilliseconds = 30'000;
    };

    FileTransfer(QNetworkAccessManager* network, Request request, QObject* parent = nullptr);
    ~FileTransfer() override;

    // The temporary file that fills while `destination` is fetched.
    static QString temporaryPath(const QString& destination);

    void start();
    void abort();

    // The bytes an earlier attempt left that this one kept.
    qint64 resumedFrom() const { return resumedFrom_; }
    // The SHA-256 of the file, in lower-case hexadecimal, once it succeeded.
    const QByteArray& sha256() const { return sha256_; }

signals:
    // The bytes of the file on disk so far, kept ones included.
    void received(qint64 bytes);
    // `failure.kind` is none on success.
    void finished(const dravelin::DownloadFailure& failure);

private:
    QString fileName() const;
    void hashNextPrefixChunk();
    void sendRequest();
    bool acceptBody();
    bool writeAvailable();
    void writeAndReport();
    void replyFinished();
    void complete();
    void report();
    void fail(const DownloadFailure& failure, bool keepPart = true);
    void failLater(const DownloadFailure& failure);
    void stop(bool keepPart);

    QNetworkAccessManager* network_;
    Request request_;
    QFile temporary_;
    QFile prefix_;
    QCryptographicHash hash_{QCryptographicHash::Sha256};
    QPointer<QNetworkReply> reply_;
    enum class Body { undecided, accepted, ignored };
    Body body_ = Body::undecided;
    qint64 resumedFrom_ = 0;
    qint64 hashedPrefix_ = 0;
    qint64 written_ = 0;
    qint64 reportedBytes_ = -1;
    QByteArray sha256_;
    bool done_ = false;
};

} // namespace dravelin
