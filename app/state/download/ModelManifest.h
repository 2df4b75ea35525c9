#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace dravelin {

// What a completed download installed: each file's path inside the model
// directory, its size and its SHA-256. Written before the completion marker,
// it lets a model that fails to load be checked and only its damaged files
// fetched again.
struct ManifestEntry {
    QString path;
    qint64 size = 0;
    QByteArray sha256; // lower-case hexadecimal

    bool operator==(const ManifestEntry&) const = default;
};

// ".manifest.json" inside the model directory.
QString manifestPath(const QString& modelDirectory);

// Nothing on success, else a description naming the file.
std::optional<QString> writeManifest(const QString& modelDirectory,
                                     const QList<ManifestEntry>& entries);

// Nothing when there is no manifest or it cannot be read, or when an entry
// is not a plain relative path inside the directory.
std::optional<QList<ManifestEntry>> readManifest(const QString& modelDirectory);

// The entries whose file is missing or differs in size or SHA-256. Reads
// every file whole: call it away from the GUI thread.
QList<ManifestEntry> differingFiles(const QString& modelDirectory,
                                    const QList<ManifestEntry>& entries);

// The SHA-256 of a file in lower-case hexadecimal; empty when unreadable.
QByteArray fileSha256(const QString& path);

} // namespace dravelin
