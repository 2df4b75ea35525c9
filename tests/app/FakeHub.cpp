#include "app/FakeHub.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <memory>
#include <stdexcept>

namespace dravelin::testing {

namespace {

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    case 416:
        return "Range Not Satisfiable";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

// Requests carry no body, so a request ends with its blank line; anything
// longer than this is not one of ours.
constexpr qsizetype largestRequest = 64 * 1024;

// The value of header `name` in a request head, or "".
QByteArray headerValue(const QByteArray& head, const QByteArray& name) {
    for (const QByteArray& line : head.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower()) {
            return line.mid(colon + 1).trimmed();
        }
    }
    return {};
}

// N of "bytes=N-", or -1.
qint64 rangeStart(const QByteArray& range) {
    if (!range.startsWith("bytes=") || !range.endsWith('-')) {
        return -1;
    }
    bool ok = false;
    const qint64 start = range.mid(6, range.size() - 7).toLongLong(&ok);
    return ok ? start : -1;
}

} // namespace

FakeHub::FakeHub() {
    if (!server_.listen(QHostAddress::LocalHost, 0)) {
        throw std::runtime_error("the fake hub could not listen on 127.0.0.1");
    }
    connect(&server_, &QTcpServer::newConnection, this, &FakeHub::acceptConnections);
}

FakeHub::~FakeHub() {
    server_.close();
}

QUrl FakeHub::baseUrl() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort()));
}

void FakeHub::serve(const QByteArray& target, Reply reply) {
    replies_.insert(target, {reply});
}

void FakeHub::serveInTurn(const QByteArray& target, QList<Reply> replies) {
    replies_.insert(target, replies);
}

void FakeHub::serveFile(const QByteArray& target, const QByteArray& body) {
    serve(target, Reply{.body = body});
}

void FakeHub::redirect(const QByteArray& target, const QByteArray& location) {
    serve(target, Reply{.status = 302, .headers = {{"Location", location}}});
}

QList<QByteArray> FakeHub::ranges(const QByteArray& target) const {
    QList<QByteArray> result;
    for (qsizetype index = 0; index < requests_.size(); ++index) {
        if (requests_[index] == target) {
            result.append(requestRanges_[index]);
        }
    }
    return result;
}

QList<qint64> FakeHub::bytesServedPerRequest(const QByteArray& target) const {
    QList<qint64> result;
    for (qsizetype index = 0; index < requests_.size(); ++index) {
        if (requests_[index] == target) {
            result.append(requestBytesServed_[index]);
        }
    }
    return result;
}

qint64 FakeHub::bytesServed(const QByteArray& target) const {
    qint64 total = 0;
    for (const qint64 bytes : bytesServedPerRequest(target)) {
        total += bytes;
    }
    return total;
}

void FakeHub::acceptConnections() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            pendingRequests_.remove(socket);
            socket->deleteLater();
        });
    }
}

void FakeHub::readRequest(QTcpSocket* socket) {
    QByteArray& request = pendingRequests_[socket];
    request += socket->readAll();
    if (request.size() > largestRequest) {
        socket->abort();
        return;
    }
    if (!request.contains("\r\n\r\n")) {
        return;
    }
    // "GET <target> HTTP/1.1"
    const QList<QByteArray> requestLine = request.left(request.indexOf("\r\n")).split(' ');
    const QByteArray target = requestLine.size() == 3 ? requestLine[1] : QByteArray();
    const QByteArray range = headerValue(request.left(request.indexOf("\r\n\r\n")), "Range");
    pendingRequests_.remove(socket);
    // One request per connection: whatever follows is not read.
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    requests_.append(target);
    requestRanges_.append(range);
    requestBytesServed_.append(0);
    answer(socket, requests_.size() - 1, range);
}

void FakeHub::answer(QTcpSocket* socket, qsizetype request, const QByteArray& range) {
    const QByteArray target = requests_[request];
    Reply reply{.status = 404, .body = "Not found"};
    if (auto found = replies_.find(target); found != replies_.end() && !found->isEmpty()) {
        reply = found->size() > 1 ? found->takeFirst() : found->first();
    }
    QList<QPair<QByteArray, QByteArray>> headers = reply.headers;
    const qint64 size = reply.body.size();
    qint64 start = 0;
    const qint64 asked = rangeStart(range);
    if (reply.status == 200 && !reply.ignoresRanges && asked >= 0) {
        if (asked >= size) {
            reply.status = 416;
            headers.append({"Content-Range", "bytes */" + QByteArray::number(size)});
            reply.body.clear();
            reply.ending = Reply::Ending::complete;
        } else {
            reply.status = 206;
            start = asked;
            headers.append({"Content-Range", "bytes " + QByteArray::number(start) + '-' +
                                                 QByteArray::number(size - 1) + '/' +
                                                 QByteArray::number(size)});
        }
    }
    const QByteArray announcedBody = reply.body.mid(start);
    QByteArray head =
        "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonPhrase(reply.status) + "\r\n";
    head += "Content-Length: " + QByteArray::number(announcedBody.size()) + "\r\n";
    head += "Connection: close\r\n";
    for (const auto& [name, value] : headers) {
        head += name + ": " + value + "\r\n";
    }
    head += "\r\n";
    const QByteArray sent =
        reply.ending == Reply::Ending::complete
            ? announcedBody
            : reply.body.mid(start, std::max<qint64>(reply.bodyBytesSent - start, 0));
    // Counts what reaches the connection, not what waits in its buffer when
    // the client goes away.
    auto headLeft = std::make_shared<qint64>(head.size());
    connect(socket, &QTcpSocket::bytesWritten, this, [this, request, headLeft](qint64 written) {
        const qint64 ofHead = std::min(written, *headLeft);
        *headLeft -= ofHead;
        requestBytesServed_[request] += written - ofHead;
    });
    // One write without Nagle's delay: small replies would otherwise wait for
    // the client's delayed acknowledgement.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->write(head + sent);
    if (reply.ending != Reply::Ending::stall) {
        socket->disconnectFromHost();
    }
}

} // namespace dravelin::testing
