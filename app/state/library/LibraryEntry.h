#pragma once

#include "state/library/ModelKind.h"

#include <QMetaType>
#include <QString>

#include <optional>

namespace dravelin {

// One model of the library: an imported file (or model directory) under the
// application folder, or the downloaded hub model.
struct LibraryEntry {
    // "hub" for the downloaded model, else "<folder>/<stem>" (e.g.
    // "Models/dreamshaper"): stable while the entry exists.
    QString id;
    QString name;
    ModelKind kind = ModelKind::sd1;
    qint64 size = 0;    // bytes of weights
    QString sha256;     // lower-case hex; empty for the hub model
    QString path;       // the imported file or model directory
    bool isHub = false;

    bool isFile() const;
    // The "Model hash" of a PNG's parameters: the first 10 hex digits of a
    // single file's SHA-256; empty for a model directory.
    QString shortHash() const;

    bool operator==(const LibraryEntry& other) const = default;
};

// The small description kept beside each imported file, "<stem>.json":
// {"name", "kind", "size", "sha256", "file"}. Written whole or not at all.
// Returns a failure sentence, or nothing on success.
std::optional<QString> writeDescription(const QString& descriptionPath, const LibraryEntry& entry);
// The entry a description names, when the description is readable and its
// file is there with the size it records; `id` is given by the caller.
std::optional<LibraryEntry> readDescription(const QString& descriptionPath, const QString& id);

} // namespace dravelin

Q_DECLARE_METATYPE(dravelin::LibraryEntry)
