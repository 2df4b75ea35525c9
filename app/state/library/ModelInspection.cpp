#include "state/library/ModelInspection.h"

#include "runtime/Checkpoint.h"

#include <QDir>
#include <QFileInfo>

#include <stdexcept>

namespace dravelin {

namespace {

bool has(const QDir& directory, const char* name) {
    return QFileInfo::exists(directory.filePath(QString::fromLatin1(name)));
}

InspectedModel inspectDirectory(const QString& path) {
    const QDir directory(path);
    const QString shown = QFileInfo(path).fileName();
    const bool unet = has(directory, "Unet.model") ||
                      (has(directory, "UnetChunk1.model") && has(directory, "UnetChunk2.model"));
    const bool tokenizer = has(directory, "vocab.json") && has(directory, "merges.txt");
    if (has(directory, "TextEncoder2.model") && tokenizer) {
        if (unet) {
            return {ModelKind::sdxlBase, QStringLiteral("SDXL model folder.")};
        }
        if (has(directory, "UnetRefiner.model")) {
            return {ModelKind::sdxlRefiner, QStringLiteral("SDXL refiner folder.")};
        }
    } else if (unet && tokenizer && has(directory, "TextEncoder.model") &&
               has(directory, "VAEDecoder.model")) {
        return {ModelKind::sd1, QStringLiteral("SD 1.5 model folder.")};
    }
    throw std::runtime_error(
        QStringLiteral("\u201c%1\u201d is not a model folder Dravelin can use: it needs vocab.json, "
                       "merges.txt and the model's bundles (Unet.model, TextEncoder.model, "
                       "VAEDecoder.model, and TextEncoder2.model for SDXL).")
            .arg(shown)
            .toStdString());
}

ModelKind libraryKind(CheckpointKind kind) {
    switch (kind) {
    case CheckpointKind::sd1:
        return ModelKind::sd1;
    case CheckpointKind::sdxlBase:
        return ModelKind::sdxlBase;
    case CheckpointKind::sdxlRefiner:
        return ModelKind::sdxlRefiner;
    case CheckpointKind::vae:
        return ModelKind::vae;
    }
    return ModelKind::sd1;
}

// The checkpoint reader tells the kind from the tensors (and refuses pickles
// and hostile headers) without loading anything.
InspectedModel inspectFile(const QString& path) {
    const CheckpointDescription description =
        inspectCheckpoint(std::filesystem::path(QFile::encodeName(path).toStdString()));
    return {libraryKind(description.kind), QString::fromStdString(description.summary)};
}

} // namespace

InspectedModel inspectModel(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists()) {
        throw std::runtime_error(
            QStringLiteral("\u201c%1\u201d does not exist.").arg(info.fileName()).toStdString());
    }
    return info.isDir() ? inspectDirectory(path) : inspectFile(path);
}

} // namespace dravelin
