#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dravelin {

// The number format a network computes in. `bfloat16` keeps the weights and
// the inputs of every matrix product and convolution in bfloat16 and
// accumulates in float32; normalisation statistics, softmax and residual sums
// stay in float32. `automatic` is bfloat16 where the processor has bfloat16
// dot products and float32 elsewhere.
enum class ComputePrecision { automatic, float32, bfloat16 };

// "automatic", "float32", "bfloat16".
std::string_view precisionName(ComputePrecision precision);
// The precision of that name; nothing for any other text.
std::optional<ComputePrecision> parsePrecision(std::string_view name);

// Whether this processor computes bfloat16 dot products natively (AVX-512
// BF16 or AMX-BF16, with the operating system saving their registers), read
// from cpuid once.
bool processorHasBfloat16();

// The precision a model runs in: `requested` unless it is automatic, in which
// case DRAVELIN_PRECISION when set, else what the processor serves best.
// Throws std::invalid_argument with a message for the user when
// DRAVELIN_PRECISION names no precision, or bfloat16 is asked for on a
// processor without it.
ComputePrecision resolvePrecision(ComputePrecision requested);
// The same with the environment value and the processor given.
ComputePrecision resolvePrecision(ComputePrecision requested, const char* environmentValue,
                                  bool hasBfloat16);

} // namespace dravelin
