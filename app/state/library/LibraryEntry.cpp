#include "state/library/LibraryEntry.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace dravelin {

namespace {

constexpr qint64 kLargestDescription = 64 * 1024;

qint64 sizeOnDisk(const QFileInfo& info) {
    if (info.isFile()) {
        return info.size();
    }
    qint64 total = 0;
    QDirIterator files(info.filePath(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        files.next();
        total += files.fileInfo().size();
    }
    return total;
}

bool isHexDigest(const QString& text) {
    if (text.size() != 64) {
        return false;
    }
    for (const QChar c : text) {
        if (!(c.isDigit() || (c >= QLatin1Char('a') && c <= QLatin1Char('f')))) {
            return false;
        }
    }
    return true;
}

} // namespace

bool LibraryEntry::isFile() const {
    return !isHub && QFileInfo(path).isFile();
}

QString LibraryEntry::shortHash() const {
    return isFile() ? sha256.left(10) : QString();
}

std::optional<QString> writeDescription(const QString& descriptionPath, const LibraryEntry& entry) {
    const QJsonObject object{{QStringLiteral("name"), entry.name},
                             {QStringLiteral("kind"), storedName(entry.kind)},
                             {QStringLiteral("size"), entry.size},
                             {QStringLiteral("sha256"), entry.sha256},
                             {QStringLiteral("file"), QFileInfo(entry.path).fileName()}};
    QSaveFile file(descriptionPath);
    const QByteArray bytes = QJsonDocument(object).toJson();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        return QStringLiteral("Could not write %1: %2.").arg(descriptionPath, file.errorString());
    }
    return std::nullopt;
}

std::optional<LibraryEntry> readDescription(const QString& descriptionPath, const QString& id) {
    QFile file(descriptionPath);
    if (file.size() > kLargestDescription || !file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject()) {
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    const QString fileName = object.value(QStringLiteral("file")).toString();
    const std::optional<ModelKind> kind =
        kindFromStoredName(object.value(QStringLiteral("kind")).toString());
    const QString name = object.value(QStringLiteral("name")).toString().trimmed();
    const QString sha256 = object.value(QStringLiteral("sha256")).toString();
    // The payload must sit beside the description, under a plain name.
    if (!kind || name.isEmpty() || !isHexDigest(sha256) || fileName.isEmpty() ||
        fileName.contains(QLatin1Char('/')) || fileName.startsWith(QLatin1Char('.'))) {
        return std::nullopt;
    }
    const QFileInfo payload(QFileInfo(descriptionPath).dir().filePath(fileName));
    const auto size = static_cast<qint64>(object.value(QStringLiteral("size")).toDouble(-1));
    if (!payload.exists() || payload.isSymLink() || sizeOnDisk(payload) != size) {
        return std::nullopt;
    }
    LibraryEntry entry;
    entry.id = id;
    entry.name = name;
    entry.kind = *kind;
    entry.size = size;
    entry.sha256 = sha256;
    entry.path = payload.filePath();
    return entry;
}

} // namespace dravelin
