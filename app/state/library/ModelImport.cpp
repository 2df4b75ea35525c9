#include "state/library/ModelImport.h"

#include "core/Sha256.h"
#include "state/download/ByteCountText.h"
#include "state/download/DownloadFileSystem.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QUuid>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <span>
#include <cerrno>
#include <exception>
#include <vector>

namespace dravelin {

namespace {

constexpr qint64 kPiece = 4 * 1024 * 1024;
const QString kUnfinishedPrefix = QStringLiteral(".importing-");

std::span<const uint8_t> bytesOf(const char* data, qint64 size) {
    return {reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size)};
}

// Raised inside the procedure to end it; the caller turns it into a result.
struct Stop {
    QString failure; // empty when cancelled
};

// One file to bring in, relative to the source (empty for a single file).
struct SourceFile {
    QString relative;
    QString path;
    qint64 size = 0;
};

class Procedure {
public:
    Procedure(const ImportHooks& hooks, qint64 total) : hooks_(hooks), total_(total) {}

    void checkCancel() const {
        if (hooks_.cancelled && hooks_.cancelled()) {
            throw Stop{};
        }
    }

    void report(const QString& verb) const {
        if (hooks_.progress) {
            hooks_.progress(done_, total_,
                            QStringLiteral("%1 \u2014 %2 of %3")
                                .arg(verb, byteCountText(done_), byteCountText(total_)));
        }
    }

    // Links `file` to `target` when possible, then reads it into the hash;
    // else copies it, hashing the same bytes. Returns whether it linked.
    bool bring(const SourceFile& file, const QString& target, Sha256& hash,
               bool tryLink) {
        if (tryLink && ::link(QFile::encodeName(file.path).constData(),
                              QFile::encodeName(target).constData()) == 0) {
            readInto(target, hash, QStringLiteral("Checking"));
            return true;
        }
        requireRoom(target);
        copyInto(file.path, target, hash);
        return false;
    }

private:
    // A copy needs room; say so before the disk fills, not after.
    void requireRoom(const QString& target) const {
        const QStorageInfo storage(QFileInfo(target).path());
        const qint64 needed = total_ - done_;
        if (storage.isValid() && storage.bytesAvailable() >= 0 &&
            storage.bytesAvailable() < needed) {
            throw Stop{QStringLiteral("There is not enough free space for a copy of the model: it "
                                      "needs %1 and %2 are free.")
                           .arg(byteCountText(needed), byteCountText(storage.bytesAvailable()))};
        }
    }

    void readInto(const QString& path, Sha256& hash, const QString& verb) {
        QFile in(path);
        if (!in.open(QIODevice::ReadOnly)) {
            throw Stop{QStringLiteral("Could not read %1: %2.").arg(path, in.errorString())};
        }
        QByteArray piece(kPiece, Qt::Uninitialized);
        for (;;) {
            checkCancel();
            const qint64 read = in.read(piece.data(), kPiece);
            if (read < 0) {
                throw Stop{QStringLiteral("Could not read %1: %2.").arg(path, in.errorString())};
            }
            if (read == 0) {
                return;
            }
            hash.update(bytesOf(piece.constData(), read));
            done_ += read;
            report(verb);
        }
    }

    void copyInto(const QString& source, const QString& target, Sha256& hash) {
        QFile in(source);
        if (!in.open(QIODevice::ReadOnly)) {
            throw Stop{QStringLiteral("Could not read %1: %2.").arg(source, in.errorString())};
        }
        QFile out(target);
        if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            throw Stop{QStringLiteral("Could not create %1: %2.").arg(target, out.errorString())};
        }
        QByteArray piece(kPiece, Qt::Uninitialized);
        for (;;) {
            checkCancel();
            const qint64 read = in.read(piece.data(), kPiece);
            if (read < 0) {
                throw Stop{QStringLiteral("Could not read %1: %2.").arg(source, in.errorString())};
            }
            if (read == 0) {
                break;
            }
            const QByteArray bytes = QByteArray::fromRawData(piece.constData(), read);
            if (const int error = writeWhole(out, bytes); error != 0) {
                throw Stop{QStringLiteral("Could not write %1: %2.")
                               .arg(target, systemReason(error))};
            }
            hash.update(bytesOf(bytes.constData(), bytes.size()));
            done_ += read;
            report(QStringLiteral("Copying"));
        }
        if (const std::optional<QString> failure = flushToDisk(out)) {
            throw Stop{*failure};
        }
    }

    const ImportHooks& hooks_;
    qint64 done_ = 0;
    qint64 total_ = 0;
};

std::vector<SourceFile> sourceFiles(const QFileInfo& source) {
    if (source.isFile()) {
        return {{QString(), source.filePath(), source.size()}};
    }
    std::vector<SourceFile> files;
    const QDir root(source.filePath());
    QDirIterator walk(source.filePath(), QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                      QDirIterator::Subdirectories);
    while (walk.hasNext()) {
        walk.next();
        files.push_back({root.relativeFilePath(walk.filePath()), walk.filePath(),
                         walk.fileInfo().size()});
    }
    // A fixed order, so the same folder always hashes the same.
    std::sort(files.begin(), files.end(),
              [](const SourceFile& a, const SourceFile& b) { return a.relative < b.relative; });
    return files;
}

// The entry's name and file stem: the source's name without ".safetensors",
// with what a file name must not hold replaced.
QString plainName(const QFileInfo& source) {
    QString name = source.isDir() ? source.fileName() : source.completeBaseName();
    for (QChar& c : name) {
        if (c.category() == QChar::Other_Control || c == QLatin1Char('/')) {
            c = QLatin1Char('_');
        }
    }
    while (name.startsWith(QLatin1Char('.'))) {
        name.remove(0, 1);
    }
    name = name.trimmed();
    return name.isEmpty() ? QStringLiteral("model") : name.left(120);
}

QString freeStem(const QDir& folder, const QString& name, const QString& extension) {
    QString stem = name;
    for (int n = 2; QFileInfo::exists(folder.filePath(stem + QStringLiteral(".json"))) ||
                    QFileInfo::exists(folder.filePath(stem + extension));
         ++n) {
        stem = name + QStringLiteral("-") + QString::number(n);
    }
    return stem;
}

void removeAll(const QString& path) {
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink()) {
        QDir(path).removeRecursively();
    } else {
        QFile::remove(path);
    }
}

} // namespace

QString libraryFolder(const QString& applicationFolder, ModelKind kind) {
    return applicationFolder +
           (kind == ModelKind::vae ? QStringLiteral("/VAE") : QStringLiteral("/Models"));
}

bool isUnfinishedImport(const QString& fileName) {
    return fileName.startsWith(kUnfinishedPrefix);
}

ImportResult importIntoLibrary(const QString& sourcePath, const QString& applicationFolder,
                               const QHash<QString, QString>& knownHashes,
                               const ImportHooks& hooks) {
    const QFileInfo source(sourcePath);
    QString staging;
    try {
        InspectedModel inspected;
        try {
            inspected = hooks.inspect(sourcePath);
        } catch (const std::exception& error) {
            throw Stop{QString::fromUtf8(error.what())};
        }
        const std::vector<SourceFile> files = sourceFiles(source);
        qint64 total = 0;
        for (const SourceFile& file : files) {
            total += file.size;
        }
        Procedure procedure(hooks, total);
        procedure.checkCancel();

        const QString folderPath = libraryFolder(applicationFolder, inspected.kind);
        if (const std::optional<QString> failure = createDirectories(folderPath)) {
            throw Stop{*failure};
        }
        const QDir folder(folderPath);
        const QString extension = source.isDir() ? QString() : QStringLiteral(".safetensors");
        staging = folder.filePath(kUnfinishedPrefix +
                                  QUuid::createUuid().toString(QUuid::WithoutBraces) + extension);

        Sha256 hash;
        bool linking = true;
        if (source.isFile()) {
            linking = procedure.bring(files.front(), staging, hash, true);
        } else {
            if (!QDir().mkdir(staging)) {
                throw Stop{QStringLiteral("Could not create the folder %1.").arg(staging)};
            }
            for (const SourceFile& file : files) {
                // Names and sizes count, so a renamed or moved file is a change.
                const QByteArray name = file.relative.toUtf8() + '\0';
                hash.update(bytesOf(name.constData(), name.size()));
                const QString target = QDir(staging).filePath(file.relative);
                if (const auto failure = createDirectories(QFileInfo(target).path())) {
                    throw Stop{*failure};
                }
                linking = procedure.bring(file, target, hash, linking);
            }
        }
        const std::array<uint8_t, 32> digest = hash.finish();
        const QString sha256 = QString::fromStdString(toHex(digest));
        if (const auto known = knownHashes.constFind(sha256); known != knownHashes.constEnd()) {
            throw Stop{QStringLiteral("This model is already in the library as \u201c%1\u201d.")
                           .arg(known.value())};
        }
        procedure.checkCancel();

        const QString name = plainName(source);
        const QString stem = freeStem(folder, name, extension);
        LibraryEntry entry;
        entry.id = folder.dirName() + QLatin1Char('/') + stem;
        entry.name = name;
        entry.kind = inspected.kind;
        entry.size = total;
        entry.sha256 = sha256;
        entry.path = folder.filePath(stem + extension);
        if (const auto failure = moveFileReplacing(staging, entry.path)) {
            throw Stop{*failure};
        }
        staging.clear();
        // The description last: until it exists the file is no entry.
        if (const auto failure = writeDescription(folder.filePath(stem + QStringLiteral(".json")),
                                                  entry)) {
            removeAll(entry.path);
            throw Stop{*failure};
        }
        return {entry, {}, false};
    } catch (const Stop& stop) {
        if (!staging.isEmpty()) {
            removeAll(staging);
        }
        return {std::nullopt, stop.failure, stop.failure.isEmpty()};
    }
}

} // namespace dravelin
