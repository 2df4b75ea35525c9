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
// counts what was asked for. Unknown targets get 404.
class FakeHub : public QObject {
    Q_OBJECT
public:
    struct Reply {
        enum class Ending {
            // The whole body, then the connection closes.
            complete,
            // `bodyBytesSent` bytes of a body whose full length was announced,
            // then the connection closes.
            dropMidBody,
            // `bodyBytesSent` bytes, then nothing more until the client goes.
            stall,
        };
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        Ending ending = Ending::complete;
        qint64 bodyBytesSent = 0;
    };

    FakeHub();
    ~FakeHub() override;

    // http://127.0.0.1:<port>
    QUrl baseUrl() const;
    // `target` is the request target as sent: percent-encoded path and query.
    void serve(const QByteArray& target, Reply reply);
    void serveFile(const QByteArray& target, const QByteArray& body);
    void redirect(const QByteArray& target, const QByteArray& location);
    int requestCount(const QByteArray& target) const { return requests_.count(target); }
    const QList<QByteArray>& requests() const { return requests_; }

private:
    void acceptConnections();
    void readRequest(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const QByteArray& target);

    QTcpServer server_;
    QHash<QByteArray, Reply> replies_;
    QHash<QTcpSocket*, QByteArray> pendingRequests_;
    QList<QByteArray> requests_;
};

} // namespace dravelin::testing
