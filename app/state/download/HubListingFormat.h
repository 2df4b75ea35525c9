#pragma once

#include "state/download/ModelDownload.h"

#include <QByteArray>
#include <QJsonArray>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

namespace dravelin {

// Reading the hub's tree listing.

// Appends the entries of one listing page to `entries`. Fails when the page
// is not JSON, or with the hub's unexpected-response message when it is not
// an array of objects.
std::optional<QString> appendListingPage(const QByteArray& body, QJsonArray& entries);

// The entries that are files named in `installMap`, in listing order, with
// their sizes (the LFS size when given, else the entry's own size, else 0),
// their SHA-256 (the LFS "oid" when it is one) and where they are installed.
QList<RemoteFile> selectInstallFiles(const QJsonArray& entries,
                                     const QList<QPair<QString, QString>>& installMap);

// True when every hub path of `installMap` is among `files`.
bool coversInstallMap(const QList<RemoteFile>& files,
                      const QList<QPair<QString, QString>>& installMap);

} // namespace dravelin
