#include "state/download/HubListing.h"

#include "state/download/HubAddresses.h"
#include "state/download/HubListingFormat.h"
#include "state/download/HubRequest.h"
#include "state/download/NetworkFailure.h"

#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace dravelin {

namespace {
// Far more pages than the repository has files; a server that keeps handing
// out new ones is not answering the question.
constexpr qsizetype largestPageCount = 1000;
} // namespace

HubListing::HubListing(QNetworkAccessManager* network, QUrl firstPage,
                       QList<QPair<QString, QString>> installMap, int stallMilliseconds,
                       QObject* parent)
    : QObject(parent), network_(network), firstPage_(std::move(firstPage)),
      installMap_(std::move(installMap)), stallMilliseconds_(stallMilliseconds) {}

HubListing::~HubListing() {
    dropReply();
}

void HubListing::start() {
    fetch(firstPage_);
}

void HubListing::abort() {
    done_ = true;
    dropReply();
}

void HubListing::fetch(const QUrl& page) {
    fetchedPages_.insert(page);
    reply_ = network_->get(hubRequest(page, stallMilliseconds_));
    connect(reply_, &QNetworkReply::finished, this, &HubListing::pageFinished);
}

void HubListing::pageFinished() {
    QNetworkReply* reply = reply_;
    if (done_ || reply == nullptr || sender() != reply) {
        return;
    }
    const DownloadFailure failure = replyFailure(
        *reply, QStringLiteral("Hugging Face returned HTTP %1 when listing model files."),
        (stallMilliseconds_ + 999) / 1000);
    if (failure.failed()) {
        finishWithFailure(failure);
        return;
    }
    if (const auto unreadable = appendListingPage(reply->readAll(), entries_)) {
        finishWithFailure(DownloadFailure::lasting(*unreadable));
        return;
    }
    const std::optional<QUrl> next = nextPageUrl(reply->rawHeader("Link"), reply->url());
    dropReply();
    if (next) {
        if (fetchedPages_.contains(*next) || fetchedPages_.size() >= largestPageCount) {
            finishWithFailure(
                DownloadFailure::lasting(QStringLiteral("Unexpected response from Hugging Face.")));
            return;
        }
        fetch(*next);
        return;
    }
    done_ = true;
    const QList<RemoteFile> files = selectInstallFiles(entries_, installMap_);
    if (!coversInstallMap(files, installMap_)) {
        emit failed(DownloadFailure::lasting(
            QStringLiteral("The model files were not found in the Hugging Face repository.")));
        return;
    }
    emit listed(files);
}

void HubListing::finishWithFailure(const DownloadFailure& failure) {
    done_ = true;
    dropReply();
    emit failed(failure);
}

void HubListing::dropReply() {
    discardReply(reply_, this);
}

} // namespace dravelin
