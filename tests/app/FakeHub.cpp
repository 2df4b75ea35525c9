#include "app/FakeHub.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <stdexcept>

namespace dravelin::testing {

namespace {

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

// Requests carry no body, so a request ends with its blank line; anything
// longer than this is not one of ours.
constexpr qsizetype largestRequest = 64 * 1024;

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
    replies_.insert(target, reply);
}

void FakeHub::serveFile(const QByteArray& target, const QByteArray& body) {
    serve(target, Reply{.body = body});
}

void FakeHub::redirect(const QByteArray& target, const QByteArray& location) {
    serve(target, Reply{.status = 302, .headers = {{"Location", location}}});
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
    pendingRequests_.remove(socket);
    // One request per connection: whatever follows is not read.
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    requests_.append(target);
    answer(socket, target);
}

void FakeHub::answer(QTcpSocket* socket, const QByteArray& target) {
    const Reply reply = replies_.value(target, Reply{.status = 404, .body = "Not found"});
    QByteArray head =
        "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonPhrase(reply.status) + "\r\n";
    head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    head += "Connection: close\r\n";
    for (const auto& [name, value] : reply.headers) {
        head += name + ": " + value + "\r\n";
    }
    head += "\r\n";
    // One write without Nagle's delay: small replies would otherwise wait for
    // the client's delayed acknowledgement.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    switch (reply.ending) {
    case Reply::Ending::complete:
        socket->write(head + reply.body);
        socket->disconnectFromHost();
        break;
    case Reply::Ending::dropMidBody:
        socket->write(head + reply.body.left(reply.bodyBytesSent));
        socket->disconnectFromHost();
        break;
    case Reply::Ending::stall:
        socket->write(head + reply.body.left(reply.bodyBytesSent));
        break;
    }
}

} // namespace dravelin::testing
