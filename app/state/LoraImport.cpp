#include "state/LoraImport.h"

#include "state/download/DownloadFileSystem.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QUuid>

namespace dravelin {

namespace {

constexpr qint64 kPiece = 4 * 1024 * 1024;

// Raised inside the import to end it; empty when cancelled.
struct Stop {
    QString failure;
};

void copyInto(const QString& source, const QString& target, const LoraImportHooks& hooks) {
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        throw Stop{QStringLiteral("Could not read %1: %2.").arg(source, in.errorString())};
    }
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        throw Stop{QStringLiteral("Could not create %1: %2.").arg(target, out.errorString())};
    }
    const qint64 total = in.size();
    qint64 done = 0;
    QByteArray piece(kPiece, Qt::Uninitialized);
    for (;;) {
        if (hooks.cancelled && hooks.cancelled()) {
            throw Stop{};
        }
        const qint64 read = in.read(piece.data(), kPiece);
        if (read < 0) {
            throw Stop{QStringLiteral("Could not read %1: %2.").arg(source, in.errorString())};
        }
        if (read == 0) {
            break;
        }
        if (const int error = writeWhole(out, QByteArray::fromRawData(piece.constData(), read));
            error != 0) {
            throw Stop{QStringLiteral("Could not write %1: %2.").arg(target, systemReason(error))};
        }
        done += read;
        if (hooks.progress) {
            hooks.progress(done, total);
        }
    }
    if (const std::optional<QString> failure = flushToDisk(out)) {
        throw Stop{*failure};
    }
}

} // namespace

QString loraTensorDataHash(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() < 8) {
        return {};
    }
    const QByteArray lengthBytes = file.read(8);
    quint64 headerLength = 0;
    for (int i = 7; i >= 0; --i) {
        headerLength = (headerLength << 8) | static_cast<unsigned char>(lengthBytes[i]);
    }
    if (headerLength > static_cast<quint64>(file.size()) - 8 || !file.seek(8 + headerLength)) {
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file)) {
        return {};
    }
    return QString::fromLatin1(hash.result().toHex().left(12));
}

LoraImportResult importLoraFile(const QString& source, const QString& folder,
                                const QString& name, const LoraImportHooks& hooks) {
    QString staging;
    try {
        if (const std::optional<QString> failure = createDirectories(folder)) {
            throw Stop{*failure};
        }
        const QDir directory(folder);
        // The model library's hidden prefix: leftovers of a crash are known.
        staging = directory.filePath(QStringLiteral(".importing-") +
                                     QUuid::createUuid().toString(QUuid::WithoutBraces) +
                                     QStringLiteral(".safetensors"));
        copyInto(source, staging, hooks);
        const QString hash = loraTensorDataHash(staging);
        if (hooks.cancelled && hooks.cancelled()) {
            throw Stop{};
        }
        const QString destination = directory.filePath(name + QStringLiteral(".safetensors"));
        if (QFile::exists(destination)) {
            throw Stop{QStringLiteral("The library already has a LoRA named \"%1\"; rename the "
                                      "file to import it beside that one.")
                           .arg(name)};
        }
        if (const std::optional<QString> failure = moveFileReplacing(staging, destination)) {
            throw Stop{*failure};
        }
        staging.clear();
        const QJsonObject description{{QStringLiteral("hash"), hash},
                                      {QStringLiteral("importedFrom"), source}};
        QSaveFile file(directory.filePath(name + QStringLiteral(".json")));
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(QJsonDocument(description).toJson()) < 0 || !file.commit()) {
            QFile::remove(destination);
            throw Stop{QStringLiteral("Could not write the description of \"%1\": %2.")
                           .arg(name, file.errorString())};
        }
        return {name, {}, false};
    } catch (const Stop& stop) {
        if (!staging.isEmpty()) {
            QFile::remove(staging);
        }
        return {{}, stop.failure, stop.failure.isEmpty()};
    }
}

} // namespace dravelin
