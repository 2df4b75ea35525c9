#pragma once

#include "state/library/ModelKind.h"

#include <QString>

namespace dravelin {

// What a model file or directory holds, read from its weights.
struct InspectedModel {
    ModelKind kind = ModelKind::sd1;
    // One sentence for people: "SDXL base model, 2.6 billion parameters (F16)."
    QString summary;
};

// Reads what `path` is without loading it: a single-file checkpoint
// (.safetensors) by its tensors, a model directory by its bundles. Throws
// std::runtime_error with one sentence a user can act on for anything that
// is not a model Dravelin runs (pickled files are never opened).
InspectedModel inspectModel(const QString& path);

} // namespace dravelin
