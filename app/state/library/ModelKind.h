#pragma once

#include <QString>

#include <optional>

namespace dravelin {

// What a library entry is, as read from its weights (never from its name).
enum class ModelKind { sd1, sdxlBase, sdxlRefiner, vae };

// The word stored in an entry's description ("sd1", "sdxl-base", …).
QString storedName(ModelKind kind);
std::optional<ModelKind> kindFromStoredName(const QString& name);
// What the picker shows: "SD 1.5", "SDXL", "SDXL refiner", "VAE".
QString displayName(ModelKind kind);
// The side of the square images the kind's networks were trained for (512 or
// 1024); 0 for a VAE, which has no size of its own.
int nativeImageSize(ModelKind kind);
bool isXL(ModelKind kind);

} // namespace dravelin
