#include "state/ResidencyPolicy.h"

#include "state/MemoryPlan.h"

namespace dravelin {

namespace {

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

} // namespace

bool keepNetworksResident(uint64_t weightFileBytes, uint64_t physicalMemoryBytes,
                          ComputePrecision precision) {
    return planMemory(weightFileBytes, weightFileBytes, /*xl=*/false, physicalMemoryBytes, precision)
        .resident;
}

bool keepNetworksResident(const std::filesystem::path& modelDirectory) {
    return keepNetworksResident(weightBytes(modelDirectory), physicalMemoryBytes(),
                                applicationPrecision());
}

} // namespace dravelin
