#include "state/MemoryPlan.h"

#include "state/download/ByteCountText.h"

#include <exception>

#include <unistd.h>

namespace dravelin {

namespace {

// Model files hold 16-bit weights; the runtime keeps them as 32-bit floats,
// or as bfloat16 (the same size) when it computes in bfloat16.
uint64_t inMemoryPerStoredByte(ComputePrecision precision) {
    return precision == ComputePrecision::bfloat16 ? 1 : 2;
}

// Activations of the denoising network and the full decoder: 512 × 512 for
// SD 1.x, 1024 × 1024 (four times the pixels) for SDXL.
constexpr uint64_t kWorkingMemory = uint64_t{1536} << 20;
constexpr uint64_t kXLWorkingMemory = uint64_t{3584} << 20;

} // namespace

MemoryPlan planMemory(uint64_t weightFileBytes, uint64_t largestNetworkFileBytes, bool xl,
                      uint64_t physicalMemoryBytes, ComputePrecision precision) {
    const uint64_t perByte = inMemoryPerStoredByte(precision);
    const uint64_t working = xl ? kXLWorkingMemory : kWorkingMemory;
    MemoryPlan plan;
    plan.resident = weightFileBytes * perByte + working <= physicalMemoryBytes / 10 * 7;
    plan.neededBytes = largestNetworkFileBytes * perByte + working;
    plan.fits = plan.neededBytes <= physicalMemoryBytes / 10 * 9;
    return plan;
}

uint64_t physicalMemoryBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0
               ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize)
               : 0;
}

ComputePrecision applicationPrecision() {
    try {
        return resolvePrecision(ComputePrecision::automatic);
    } catch (const std::exception&) {
        return ComputePrecision::float32;
    }
}

QString tooLittleMemoryMessage(const QString& modelName, bool xl, uint64_t neededBytes,
                               uint64_t physicalBytes) {
    return QStringLiteral("This computer has %1 of memory, and the %2 model \u201c%3\u201d needs "
                          "about %4 to generate, so the system would stop Dravelin partway. "
                          "Choose %5model, or use a computer with more memory.")
        .arg(byteCountText(static_cast<qint64>(physicalBytes)),
             xl ? QStringLiteral("SDXL") : QStringLiteral("SD 1.5"), modelName,
             byteCountText(static_cast<qint64>(neededBytes)),
             xl ? QStringLiteral("an SD 1.5 ") : QStringLiteral("a smaller "));
}

} // namespace dravelin
