#pragma once

#include "state/download/DownloadFailure.h"
#include "state/download/ModelDownload.h"

#include <QJsonArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

namespace dravelin {

// Fetches the hub's tree listing of a repository, following the Link header's
// next pages, and keeps the files of the install map.
//
// Reports exactly one of listed() or failed(), always from the event loop,
// unless abort() comes first; after abort() it reports nothing.
class HubListing : public QObject {
    Q_OBJECT
public:
    HubListing(QNetworkAccessManager* network, QUrl firstPage,
               QList<QPair<QString, QString>> installMap, int stallMilliseconds,
               QObject* parent = nullptr);
    ~HubListing() override;

    void start();
    void abort();

signals:
    void listed(const QList<dravelin::RemoteFile>& files);
    void failed(const dravelin::DownloadFailure& failure);

private:
    void fetch(const QUrl& page);
    void pageFinished();
    void finishWithFailure(const DownloadFailure& failure);
    void dropReply();

    QNetworkAccessManager* network_;
    QUrl firstPage_;
    QList<QPair<QString, QString>> installMap_;
    int stallMilliseconds_;
    QPointer<QNetworkReply> reply_;
    QJsonArray entries_;
    // Pages already fetched: a Link header that points back, or one page
    // after another without end, is not followed forever.
    QSet<QUrl> fetchedPages_;
    bool done_ = false;
};

} // namespace dravelin
