#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>

namespace dravelin {

// The recursive tree listing of `repository` at revision main.
QUrl hubListingUrl(const QUrl& base, const QString& repository);

// Where the file at `path` inside `repository` is fetched from; the path is
// percent-encoded where needed.
QUrl hubFileUrl(const QUrl& base, const QString& repository, const QString& path);

// The target of the `rel="next"` entry of a Link header, resolved against the
// page it came with; nothing when the header names no next page.
std::optional<QUrl> nextPageUrl(const QByteArray& linkHeader, const QUrl& currentPage);

} // namespace dravelin
