#include "state/download/HubRequest.h"

#include <QNetworkReply>

namespace dravelin {

QNetworkRequest hubRequest(const QUrl& url, int stallMilliseconds) {
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(stallMilliseconds);
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
