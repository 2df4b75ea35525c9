#pragma once

#include <QFile>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

namespace dravelin {

// Fetches one URL into one destination file. The body is streamed into a
// temporary file beside the destination and renamed over it only when the
// reply succeeded with the expected number of bytes, so the destination
// never holds a partial file.
//
// Reports finished() exactly once, always from the event loop, unless abort()
// comes first; after abort() it reports nothing. The temporary file is gone
// after every failure and abort.
class FileTransfer : public QObject {
    Q_OBJECT
public:
    // An `expectedSize` of 0 or less means the size is not known and not checked.
    FileTransfer(QNetworkAccessManager* network, QUrl source, QString destination,
                 qint64 expectedSize, QObject* parent = nullptr);
    ~FileTransfer() override;

    // The temporary file that fills while `destination` is fetched.
    static QString temporaryPath(const QString& destination);

    void start();
    void abort();

signals:
    // The bytes of the body received so far.
    void received(qint64 bytes);
    // `failure` is empty on success.
    void finished(const QString& failure);

private:
    QString fileName() const;
    bool replyIsSuccessful() const;
    bool writeAvailable();
    void writeAndReport();
    void replyFinished();
    void succeed();
    void fail(const QString& failure);
    void stop();

    QNetworkAccessManager* network_;
    QUrl source_;
    QString destination_;
    qint64 expectedSize_;
    QFile temporary_;
    QPointer<QNetworkReply> reply_;
    qint64 written_ = 0;
    qint64 reportedBytes_ = 0;
    bool done_ = false;
};

} // namespace dravelin
