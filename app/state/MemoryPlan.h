#pragma once

#include "runtime/ComputePrecision.h"

#include <QString>

#include <cstdint>

namespace dravelin {

// How a model's networks will sit in memory while it generates, decided
// before anything loads: all kept loaded between generations (the next image
// starts at once), or each loaded only while it runs (the pipeline's
// reduceMemory), or not at all, because even its largest network with the
// working memory of one generation would not fit: then the user gets a
// sentence instead of the system stopping the application partway.
struct MemoryPlan {
    bool resident = false;
    bool fits = true;
    // The least the generation needs (largest network plus working memory).
    uint64_t neededBytes = 0;
};

// Sizes in bytes. `weightFileBytes` and `largestNetworkFileBytes` are the
// stored weights (16-bit files); `xl` selects SDXL's 1024 × 1024 working
// memory over SD 1.x's 512 × 512. Resident when everything plus the working
// memory fits in 70 % of physical memory; fits when the largest network plus
// the working memory fits in 90 %.
MemoryPlan planMemory(uint64_t weightFileBytes, uint64_t largestNetworkFileBytes, bool xl,
                      uint64_t physicalMemoryBytes, ComputePrecision precision);

// This machine's physical memory, and the precision the application's models
// compute in (float32, the larger, when the setting would be refused anyway).
uint64_t physicalMemoryBytes();
ComputePrecision applicationPrecision();

// "This computer has 8.0 GB of memory, and the SDXL model “x” needs about
// 12.4 GB to generate. …"
QString tooLittleMemoryMessage(const QString& modelName, bool xl, uint64_t neededBytes,
                               uint64_t physicalBytes);

} // namespace dravelin
