#pragma once

#include "runtime/ComputePrecision.h"

#include <cstdint>
#include <filesystem>

namespace dravelin {

// Whether the application keeps every network of a model loaded between
// generations (no reload, so the next image starts at once) or loads each
// only while it runs (the pipeline's reduceMemory). Resident when the
// networks, as the runtime holds them in memory, plus room for a 512 × 512
// generation's working memory fit in 70 % of the machine's physical memory.
bool keepNetworksResident(const std::filesystem::path& modelDirectory);

// The same rule on given sizes, in bytes, for networks computing in
// `precision` (float32 or bfloat16) from 16-bit weight files.
bool keepNetworksResident(uint64_t weightFileBytes, uint64_t physicalMemoryBytes,
                          ComputePrecision precision);

} // namespace dravelin
