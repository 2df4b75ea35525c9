#include "state/ResidencyPolicy.h"

#include <exception>

#include <unistd.h>

namespace dravelin {

namespace {

// The model files hold 16-bit weights; the runtime keeps them as 32-bit
// floats, or as bfloat16 (the same size) when it computes in bfloat16.
uint64_t inMemoryPerStoredByte(ComputePrecision precision) {
    return precision == ComputePrecision::bfloat16 ? 1 : 2;
}
// Activations of the denoising network and the full decoder at 512 × 512.
constexpr uint64_t kWorkingMemory = uint64_t{1536} << 20;

uint64_t weightBytes(const std::filesystem::path& modelDirectory) {
    std::error_code error;
    uint64_t total = 0;
    for (auto it = std::filesystem::recursive_directory_iterator(modelDirectory, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (it->path().extension() == ".safetensors") {
            std::error_code sizeError;
            const uint64_t size = it->file_size(sizeError);
            total += sizeError ? 0 : size;
        }
    }
    return total;
}

uint64_t physicalMemory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0
               ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize)
               : 0;
}

} // namespace

bool keepNetworksResident(uint64_t weightFileBytes, uint64_t physicalMemoryBytes,
                          ComputePrecision precision) {
    return weightFileBytes * inMemoryPerStoredByte(precision) + kWorkingMemory <=
           physicalMemoryBytes / 10 * 7;
}

bool keepNetworksResident(const std::filesystem::path& modelDirectory) {
    // The precision the application's models will compute in; a setting the
    // load will refuse anyway counts as float32, the larger.
    ComputePrecision precision = ComputePrecision::float32;
    try {
        precision = resolvePrecision(ComputePrecision::automatic);
    } catch (const std::exception&) {
    }
    return keepNetworksResident(weightBytes(modelDirectory), physicalMemory(), precision);
}

} // namespace dravelin
