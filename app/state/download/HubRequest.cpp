#include "state/download/HubRequest.h"

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

} // namespace dravelin
