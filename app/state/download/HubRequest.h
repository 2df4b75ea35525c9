#pragma once

#include <QNetworkRequest>
#include <QUrl>

namespace dravelin {

// A plain GET request to the hub: redirects followed (never from https down to
// http), and given up after a minute without any data so a stalled server
// cannot hold the download forever.
QNetworkRequest hubRequest(const QUrl& url);

} // namespace dravelin
