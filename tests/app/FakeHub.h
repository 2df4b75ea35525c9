#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

namespace dravelin::testing {

// A small HTTP/1.1 server on 127.0.0.1 (an ephemeral port) that answers GET
// requests from a table of canned replies, one request per connection, and
// counts what was asked for and how many body bytes went out. Unknown
// targets get 404.
//
// A 200 reply honours "Range: bytes=N-" as the hub does (206 with a
// Content-Range, or 416 past the end) unless it says it ignores ranges.
class FakeHub : public QObject {
    Q_OBJECT
public:
    struct Reply {
        enum class Ending {
            // The whole body (or the range asked for), then the connection closes.
            complete,
            // The body up to byte `bodyBytesSent` of the whole body, with the
            // full length announced, then the connection closes.
            dropMidBody,
            // The body up to byte `bodyBytesSent`, then nothing more until
            // the client goes.
            stall,
        };
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        Ending ending = Ending::complete;
        qint64 bodyBytesSent = 0;
        // Answers a range request with the whole body and status 200.
        bool ignoresRanges = false;
    };

    FakeHub();
    ~FakeHub() override;

    // http://127.0.0.1:<port>
    QUrl baseUrl() const;
    // `target` is the request target as sent: percent-encoded path and query.
    void serve(const QByteArray& target, Reply reply);
    // One reply per request in turn; the last one then answers every request.
    void serveInTurn(const QByteArray& target, QList<Reply> replies);
    void serveFile(const QByteArray& target, const QByteArray& body);
    void redirect(const QByteArray& target, const QByteArray& location);
    int requestCount(const QByteArray& target) const { return requests_.count(target); }
    const QList<QByteArray>& requests() const { return requests_; }
    // The Range header of each request to `target`, in order ("" for none).
    QList<QByteArray> ranges(const QByteArray& target) const;
    // Body bytes of replies to `target` that went out on their connections.
    qint64 bytesServed(const QByteArray& target) const;
    // The same, per request to `target`, in order.
    QList<qint64> bytesServedPerRequest(const QByteArray& target) const;

private:
    void acceptConnections();
    void readRequest(QTcpSocket* socket);
    void answer(QTcpSocket* socket, qsizetype request, const QByteArray& range);

    QTcpServer server_;
    QHash<QByteArray, QList<Reply>> replies_;
    QHash<QTcpSocket*, QByteArray> pendingRequests_;
    QList<QByteArray> requests_;
    QList<QByteArray> requestRanges_;
    QList<qint64> requestBytesServed_;
};

} // namespace dravelin::testing
