#pragma once

#include "state/library/LibraryEntry.h"
#include "state/library/ModelInspection.h"

#include <QHash>
#include <QString>

#include <functional>
#include <optional>

namespace dravelin {

// How one import ended: the new entry, or a sentence, or neither (cancelled).
struct ImportResult {
    std::optional<LibraryEntry> entry;
    QString failure;
    bool cancelled = false;
};

struct ImportHooks {
    // Bytes done of the total, with what is happening ("Copying …"); called
    // often, from the importing thread.
    std::function<void(qint64 done, qint64 total, const QString& detail)> progress;
    // Polled between pieces; true ends the import with nothing left behind.
    std::function<bool()> cancelled;
    // What the file or folder is; throws a sentence for what cannot be used.
    std::function<InspectedModel(const QString& path)> inspect = inspectModel;
};

// Brings `source` (a .safetensors file or a model directory) into the
// library under `applicationFolder`: "Models/" for models, "VAE/" for VAE
// weights. The file is hard-linked when it lies on the same file system
// (no second copy of gigabytes), otherwise copied; either way it is hashed
// (SHA-256) on the way. Everything is written under a hidden temporary name
// and renamed into place, the description last, so a cancelled or failed
// import leaves nothing behind and a half-written file is never an entry.
// `knownHashes` maps the SHA-256 of entries already in the library to their
// names: the same weights are not imported twice. Blocking: run it on a
// worker thread.
ImportResult importIntoLibrary(const QString& source, const QString& applicationFolder,
                               const QHash<QString, QString>& knownHashes,
                               const ImportHooks& hooks);

// The library's folder for a kind, under the application folder.
QString libraryFolder(const QString& applicationFolder, ModelKind kind);
// Temporary names of imports that never finished (removed at start-up).
bool isUnfinishedImport(const QString& fileName);

} // namespace dravelin
