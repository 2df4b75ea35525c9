#include "state/download/ModelManifest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace dravelin {

namespace {

// The repair removes files the manifest names: a name must not reach outside
// the model directory.
bool isPlainRelativePath(const QString& path) {
    if (path.isEmpty() || QDir::isAbsolutePath(path) || path.contains(QLatin1Char('\\'))) {
        return false;
    }
    for (const QString& part : path.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..")) {
            return false;
        }
    }
    return true;
}

} // namespace

QString manifestPath(const QString& modelDirectory) {
    return QDir(modelDirectory).filePath(QStringLiteral(".manifest.json"));
}

std::optional<QString> writeManifest(const QString& modelDirectory,
                                     const QList<ManifestEntry>& entries) {
    QJsonArray files;
    for (const ManifestEntry& entry : entries) {
        files.append(QJsonObject{{QStringLiteral("path"), entry.path},
                                 {QStringLiteral("size"), entry.size},
                                 {QStringLiteral("sha256"), QString::fromLatin1(entry.sha256)}});
    }
    const QByteArray bytes = QJsonDocument(QJsonObject{{QStringLiteral("files"), files}}).toJson();
    QSaveFile file(manifestPath(modelDirectory));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        return QStringLiteral("Could not write %1: %2.").arg(file.fileName(), file.errorString());
    }
    return std::nullopt;
}

std::optional<QList<ManifestEntry>> readManifest(const QString& modelDirectory) {
    QFile file(manifestPath(modelDirectory));
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    const QJsonValue files = document.object().value(QLatin1String("files"));
    if (!files.isArray()) {
        return std::nullopt;
    }
    QList<ManifestEntry> entries;
    for (const QJsonValue& value : files.toArray()) {
        const QJsonObject object = value.toObject();
        ManifestEntry entry{object.value(QLatin1String("path")).toString(),
                            object.value(QLatin1String("size")).toInteger(-1),
                            object.value(QLatin1String("sha256")).toString().toLatin1()};
        if (!isPlainRelativePath(entry.path) || entry.size < 0) {
            return std::nullopt;
        }
        entries.append(entry);
    }
    return entries;
}

QByteArray fileSha256(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file)) {
        return {};
    }
    return hash.result().toHex();
}

QList<ManifestEntry> differingFiles(const QString& modelDirectory,
                                    const QList<ManifestEntry>& entries) {
    const QDir directory(modelDirectory);
    QList<ManifestEntry> differing;
    for (const ManifestEntry& entry : entries) {
        const QString path = directory.filePath(entry.path);
        const QFileInfo info(path);
        const bool same = info.isFile() && info.size() == entry.size &&
                          (entry.sha256.isEmpty() || fileSha256(path) == entry.sha256);
        if (!same) {
            differing.append(entry);
        }
    }
    return differing;
}

} // namespace dravelin
