#pragma once

#include "state/download/DownloadFailure.h"

#include <QString>

class QNetworkReply;

namespace dravelin {

// What went wrong with a finished reply, in sentences of our own: an HTTP
// status other than 200 (or 206 when `acceptPartialContent`), told with
// `statusSentence` whose %1 is the status code, or else the transport's
// error. `stallSeconds` is the time without data after which the request was
// given up. Returns a failure of kind none when the reply succeeded.
DownloadFailure replyFailure(const QNetworkReply& reply, const QString& statusSentence,
                             int stallSeconds, bool acceptPartialContent = false);

// The sentence for a request given up after `seconds` without data.
QString stallMessage(int seconds);

} // namespace dravelin
