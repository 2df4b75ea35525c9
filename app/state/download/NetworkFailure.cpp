#include "state/download/NetworkFailure.h"

#include <QNetworkReply>
#include <QNetworkRequest>

namespace dravelin {

namespace {

bool isTransientStatus(int status) {
    return status >= 500 || status == 429 || status == 408;
}

DownloadFailure transportFailure(const QNetworkReply& reply, int stallSeconds) {
    using Error = QNetworkReply::NetworkError;
    switch (reply.error()) {
    case Error::NoError:
        return {};
    case Error::RemoteHostClosedError:
        return DownloadFailure::transient(
            QStringLiteral("The connection was closed by the server."));
    case Error::ConnectionRefusedError:
        return DownloadFailure::transient(QStringLiteral("The server refused the connection."));
    // The transfer timeout aborts the request as a cancellation; cancelling
    // the download itself never gets here.
    case Error::TimeoutError:
    case Error::OperationCanceledError:
        return DownloadFailure::transient(stallMessage(stallSeconds));
    case Error::TemporaryNetworkFailureError:
    case Error::NetworkSessionFailedError:
    case Error::UnknownNetworkError:
        return DownloadFailure::transient(QStringLiteral("The network connection was lost."));
    case Error::HostNotFoundError:
        return DownloadFailure::lasting(
            QStringLiteral("The server %1 could not be found.").arg(reply.url().host()));
    case Error::SslHandshakeFailedError:
    case Error::UnknownProxyError:
    case Error::ProxyNotFoundError:
        return DownloadFailure::lasting(
            QStringLiteral("A secure connection to the server could not be established."));
    case Error::ProxyConnectionRefusedError:
    case Error::ProxyConnectionClosedError:
    case Error::ProxyTimeoutError:
        return DownloadFailure::transient(
            QStringLiteral("The connection through the proxy server failed."));
    case Error::AuthenticationRequiredError:
    case Error::ProxyAuthenticationRequiredError:
        return DownloadFailure::lasting(
            QStringLiteral("The server asked for credentials, which are not needed for the "
                           "model; the address may be wrong."));
    case Error::TooManyRedirectsError:
    case Error::InsecureRedirectError:
        return DownloadFailure::lasting(
            QStringLiteral("The server redirected the request too often or to an insecure "
                           "address."));
    default:
        return DownloadFailure::transient(QStringLiteral("The server's reply could not be read."));
    }
}

} // namespace

QString stallMessage(int seconds) {
    if (seconds == 1) {
        return QStringLiteral("The connection timed out: no data arrived for 1 second.");
    }
    return QStringLiteral("The connection timed out: no data arrived for %1 seconds.").arg(seconds);
}

DownloadFailure replyFailure(const QNetworkReply& reply, const QString& statusSentence,
                             int stallSeconds, bool acceptPartialContent) {
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid()) {
        const int code = status.toInt();
        if (code != 200 && !(acceptPartialContent && code == 206)) {
            const QString message = statusSentence.arg(code);
            return isTransientStatus(code) ? DownloadFailure::transient(message)
                                           : DownloadFailure::lasting(message);
        }
    }
    return transportFailure(reply, stallSeconds);
}

} // namespace dravelin
