#include "state/download/HubRequest.h"

#include <QNetworkReply>

namespace dravelin {

namespace {
constexpr int inactivityTimeoutMilliseconds = 60'000;
}

QNetworkRequest hubRequest(const QUrl& url) {
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(inactivityTimeoutMilliseconds);
    return request;
}

void discardReply(QPointer<QNetworkReply>& reply, QObject* owner) {
    if (reply == nullptr) {
        return;
    }
    QNetworkReply* discarded = reply;
    reply.clear();
    discarded->disconnect(owner);
    if (discarded->isRunning()) {
        discarded->abort();
    }
    discarded->deleteLater();
}

} // namespace dravelin
