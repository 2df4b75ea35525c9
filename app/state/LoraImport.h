#pragma once

#include <QString>

#include <functional>

namespace dravelin {

// How one LoRA import ended: the entry's name, or a sentence, or neither
// (cancelled).
struct LoraImportResult {
    QString name;
    QString failure;
    bool cancelled = false;
};

struct LoraImportHooks {
    // Bytes copied of the total; called from the importing thread.
    std::function<void(qint64 done, qint64 total)> progress;
    // Polled between pieces; true ends the import with nothing left behind.
    std::function<bool()> cancelled;
};

// Copies the LoRA file at `source` into `folder` as "<name>.safetensors",
// with its description "<name>.json" (the hash of its tensor data and where
// it came from). The copy is written under a hidden temporary name (one the
// model library's leftovers check knows) and renamed into place once it is
// on the disk, the description last, so a cancelled or failed import leaves
// nothing behind. Blocking: run it on a worker thread.
LoraImportResult importLoraFile(const QString& source, const QString& folder,
                                const QString& name, const LoraImportHooks& hooks);

// Hashed as image tools hash LoRA files: the first 12 hexadecimal digits of
// the SHA-256 of the tensor data after the header, so that editing the
// header's metadata keeps the hash. Empty when the file cannot be read.
QString loraTensorDataHash(const QString& path);

} // namespace dravelin
