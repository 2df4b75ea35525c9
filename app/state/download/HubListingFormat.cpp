#include "state/download/HubListingFormat.h"

#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QRegularExpression>
#include <QSet>

#include <cmath>
#include <optional>

namespace dravelin {

namespace {

std::optional<qint64> sizeValue(const QJsonValue& value) {
    if (!value.isDouble()) {
        return std::nullopt;
    }
    const double number = value.toDouble();
    // Anything outside the 64-bit range (or not finite) is no size at all.
    if (!std::isfinite(number) || std::abs(number) >= 9.2e18) {
        return std::nullopt;
    }
    return value.toInteger(static_cast<qint64>(number));
}

qint64 listedSize(const QJsonObject& entry) {
    const QJsonValue lfs = entry.value(QLatin1String("lfs"));
    if (lfs.isObject()) {
        if (const auto size = sizeValue(lfs.toObject().value(QLatin1String("size")))) {
            return *size;
        }
    }
    return sizeValue(entry.value(QLatin1String("size"))).value_or(0);
}

// The hub names an LFS file by its SHA-256; anything else is no checksum.
QByteArray listedSha256(const QJsonObject& entry) {
    const QJsonValue lfs = entry.value(QLatin1String("lfs"));
    if (!lfs.isObject()) {
        return {};
    }
    const QJsonValue oid = lfs.toObject().value(QLatin1String("oid"));
    if (!oid.isString()) {
        return {};
    }
    const QByteArray text = oid.toString().toLatin1().toLower();
    static const QRegularExpression sha256(QStringLiteral("^[0-9a-f]{64}$"));
    return sha256.match(QString::fromLatin1(text)).hasMatch() ? text : QByteArray();
}

} // namespace

std::optional<QString> appendListingPage(const QByteArray& body, QJsonArray& entries) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return QStringLiteral("The hub sent a file list that could not be read.");
    }
    const QString unexpected = QStringLiteral("Unexpected response from Hugging Face.");
    if (!document.isArray()) {
        return unexpected;
    }
    const QJsonArray page = document.array();
    for (const QJsonValue& entry : page) {
        if (!entry.isObject()) {
            return unexpected;
        }
    }
    for (const QJsonValue& entry : page) {
        entries.append(entry);
    }
    return std::nullopt;
}

QList<RemoteFile> selectInstallFiles(const QJsonArray& entries,
                                     const QList<QPair<QString, QString>>& installMap) {
    QHash<QString, QString> wanted;
    for (const auto& [hubPath, installedPath] : installMap) {
        wanted.insert(hubPath, installedPath);
    }
    QList<RemoteFile> files;
    for (const QJsonValue& value : entries) {
        const QJsonObject entry = value.toObject();
        const QJsonValue type = entry.value(QLatin1String("type"));
        if (!type.isString() || type.toString() != QLatin1String("file")) {
            continue;
        }
        const QJsonValue path = entry.value(QLatin1String("path"));
        if (!path.isString() || !wanted.contains(path.toString())) {
            continue;
        }
        files.append(RemoteFile{.repository = QString(),
                                .path = path.toString(),
                                .installedPath = wanted.value(path.toString()),
                                .size = listedSize(entry),
                                .sha256 = listedSha256(entry)});
    }
    return files;
}

bool coversInstallMap(const QList<RemoteFile>& files,
                      const QList<QPair<QString, QString>>& installMap) {
    QSet<QString> listed;
    for (const RemoteFile& file : files) {
        listed.insert(file.path);
    }
    for (const auto& mapping : installMap) {
        if (!listed.contains(mapping.first)) {
            return false;
        }
    }
    return true;
}

} // namespace dravelin
