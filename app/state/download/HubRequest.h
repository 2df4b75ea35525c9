#pragma once

#include <QNetworkRequest>
#include <QPointer>
#include <QUrl>

class QNetworkReply;
class QObject;

namespace dravelin {

// A plain GET request to the hub: redirects followed (never from https down to
// http), and given up after `stallMilliseconds` without any data so a stalled
// server cannot hold the download forever.
QNetworkRequest hubRequest(const QUrl& url, int stallMilliseconds);

// Lets go of a reply: clears `reply`, cuts its connections to `owner`, aborts
// it if still running and deletes it later (this may run inside one of the
// reply's own signals). Does nothing for a null reply.
void discardReply(QPointer<QNetworkReply>& reply, QObject* owner);

} // namespace dravelin
