#include "state/library/ModelKind.h"

#include <array>

namespace dravelin {

namespace {

struct KindRow {
    ModelKind kind;
    const char* stored;
    const char* shown;
    int imageSize;
};

constexpr std::array<KindRow, 4> kKinds{{
    {ModelKind::sd1, "sd1", "SD 1.5", 512},
    {ModelKind::sdxlBase, "sdxl-base", "SDXL", 1024},
    {ModelKind::sdxlRefiner, "sdxl-refiner", "SDXL refiner", 1024},
    {ModelKind::vae, "vae", "VAE", 0},
}};

const KindRow& row(ModelKind kind) {
    for (const KindRow& candidate : kKinds) {
        if (candidate.kind == kind) {
            return candidate;
        }
    }
    return kKinds.front();
}

} // namespace

QString storedName(ModelKind kind) {
    return QString::fromLatin1(row(kind).stored);
}

std::optional<ModelKind> kindFromStoredName(const QString& name) {
    for (const KindRow& candidate : kKinds) {
        if (name == QLatin1String(candidate.stored)) {
            return candidate.kind;
        }
    }
    return std::nullopt;
}

QString displayName(ModelKind kind) {
    return QString::fromLatin1(row(kind).shown);
}

int nativeImageSize(ModelKind kind) {
    return row(kind).imageSize;
}

bool isXL(ModelKind kind) {
    return kind == ModelKind::sdxlBase || kind == ModelKind::sdxlRefiner;
}

} // namespace dravelin
