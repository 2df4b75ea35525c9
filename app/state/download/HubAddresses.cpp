#include "state/download/HubAddresses.h"

#include <QByteArrayList>
#include <QUrlQuery>

namespace dravelin {

namespace {

// The base may carry a path of its own (a mirror under a prefix); hub paths
// go below it.
QUrl withHubPath(const QUrl& base, const QString& hubPath) {
    QUrl url = base;
    QString prefix = base.path();
    while (prefix.endsWith(QLatin1Char('/'))) {
        prefix.chop(1);
    }
    url.setPath(prefix + hubPath);
    url.setQuery(QString());
    url.setFragment(QString());
    return url;
}

bool namesNextPage(const QByteArray& parameters) {
    for (const QByteArray& parameter : parameters.split(';')) {
        const qsizetype equals = parameter.indexOf('=');
        if (equals < 0 || parameter.left(equals).trimmed().toLower() != "rel") {
            continue;
        }
        QByteArray relations = parameter.mid(equals + 1).trimmed();
        // Drop the separator before a following entry, then the quotes.
        while (relations.endsWith(',')) {
            relations.chop(1);
        }
        relations = relations.trimmed();
        if (relations.startsWith('"') && relations.endsWith('"') && relations.size() >= 2) {
            relations = relations.mid(1, relations.size() - 2);
        }
        // A rel value may list several relations separated by spaces.
        for (const QByteArray& relation : relations.simplified().split(' ')) {
            if (relation.toLower() == "next") {
                return true;
            }
        }
    }
    return false;
}

} // namespace

QUrl hubListingUrl(const QUrl& base, const QString& repository) {
    QUrl url = withHubPath(base, QStringLiteral("/api/models/") + repository +
                                     QStringLiteral("/tree/main"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("recursive"), QStringLiteral("true"));
    url.setQuery(query);
    return url;
}

QUrl hubFileUrl(const QUrl& base, const QString& repository, const QString& path) {
    return withHubPath(base,
                       QLatin1Char('/') + repository + QStringLiteral("/resolve/main/") + path);
}

std::optional<QUrl> nextPageUrl(const QByteArray& linkHeader, const QUrl& currentPage) {
    qsizetype position = 0;
    while (true) {
        const qsizetype open = linkHeader.indexOf('<', position);
        if (open < 0) {
            return std::nullopt;
        }
        const qsizetype close = linkHeader.indexOf('>', open + 1);
        if (close < 0) {
            return std::nullopt;
        }
        const QByteArray target = linkHeader.mid(open + 1, close - open - 1).trimmed();
        const qsizetype following = linkHeader.indexOf('<', close + 1);
        const QByteArray parameters =
            linkHeader.mid(close + 1, following < 0 ? -1 : following - close - 1);
        if (namesNextPage(parameters)) {
            const QUrl next = QUrl::fromEncoded(target);
            if (!next.isValid()) {
                return std::nullopt;
            }
            return currentPage.resolved(next);
        }
        position = close + 1;
    }
}

} // namespace dravelin
