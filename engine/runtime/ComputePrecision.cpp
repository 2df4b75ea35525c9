#include "runtime/ComputePrecision.h"

#include <oneapi/dnnl/dnnl.hpp>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace dravelin {

std::string_view precisionName(ComputePrecision precision) {
    switch (precision) {
    case ComputePrecision::float32:
        return "float32";
    case ComputePrecision::bfloat16:
        return "bfloat16";
    case ComputePrecision::automatic:
        break;
    }
    return "automatic";
}

std::optional<ComputePrecision> parsePrecision(std::string_view name) {
    for (ComputePrecision precision :
         {ComputePrecision::automatic, ComputePrecision::float32, ComputePrecision::bfloat16}) {
        if (name == precisionName(precision)) {
            return precision;
        }
    }
    return std::nullopt;
}

namespace {

#if defined(__x86_64__)
bool detectBfloat16() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_max(0, nullptr) < 7) {
        return false;
    }
    __cpuid(1, eax, ebx, ecx, edx);
    const bool osSavesRegisters = (ecx & (1u << 27)) != 0; // OSXSAVE
    if (!osSavesRegisters) {
        return false;
    }
    uint32_t low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    const uint64_t enabled = (static_cast<uint64_t>(high) << 32) | low;
    // SSE, AVX and the three AVX-512 state components; AMX tile config and data.
    const bool avx512State = (enabled & 0xE6) == 0xE6;
    const bool amxState = (enabled & (3ull << 17)) == (3ull << 17);

    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    const bool avx512f = (ebx & (1u << 16)) != 0;
    const bool avx512bw = (ebx & (1u << 30)) != 0;
    const bool amxBf16 = (edx & (1u << 22)) != 0;
    const unsigned subleaves = eax;
    bool avx512Bf16 = false;
    if (subleaves >= 1) {
        __cpuid_count(7, 1, eax, ebx, ecx, edx);
        avx512Bf16 = (eax & (1u << 5)) != 0;
    }
    // oneDNN's bfloat16 kernels stand on AVX-512 (BW) in either case.
    return avx512State && avx512f && avx512bw && (avx512Bf16 || (amxBf16 && amxState));
}
#else
bool detectBfloat16() {
    return false;
}
#endif

// Whether oneDNN may use its bfloat16 kernels here: ONEDNN_MAX_CPU_ISA can
// hold it below AVX-512 BF16 on a processor that has it, and its bfloat16
// products are then refused.
bool oneDnnServesBfloat16() {
    const auto needed = static_cast<unsigned>(dnnl_cpu_isa_avx512_core_bf16);
    return (static_cast<unsigned>(dnnl::get_effective_cpu_isa()) & needed) == needed;
}

} // namespace

bool processorHasBfloat16() {
    static const bool has = detectBfloat16() && oneDnnServesBfloat16();
    return has;
}

ComputePrecision resolvePrecision(ComputePrecision requested) {
    return resolvePrecision(requested, std::getenv("DRAVELIN_PRECISION"), processorHasBfloat16());
}

ComputePrecision resolvePrecision(ComputePrecision requested, const char* environmentValue,
                                  bool hasBfloat16) {
    ComputePrecision chosen = requested;
    if (chosen == ComputePrecision::automatic && environmentValue != nullptr &&
        *environmentValue != '\0') {
        const std::optional<ComputePrecision> named = parsePrecision(environmentValue);
        if (!named) {
            throw std::invalid_argument("DRAVELIN_PRECISION is \"" + std::string(environmentValue) +
                                        "\"; it must be float32, bfloat16 or automatic.");
        }
        chosen = *named;
    }
    if (chosen == ComputePrecision::automatic) {
        return hasBfloat16 ? ComputePrecision::bfloat16 : ComputePrecision::float32;
    }
    if (chosen == ComputePrecision::bfloat16 && !hasBfloat16) {
        throw std::invalid_argument(
            "bfloat16 compute needs a processor with bfloat16 dot products (AVX-512 BF16 or "
            "AMX), which this one lacks; choose float32 or automatic.");
    }
    return chosen;
}

} // namespace dravelin
