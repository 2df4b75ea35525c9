#pragma once

#include "runtime/ComputePrecision.h"

namespace dravelin {

// Which processors a model may run on. Only the CPU backend exists today, so
// every choice runs on the CPU.
enum class ComputeUnits { cpuOnly, cpuAndGPU, all };

// Settings shared by every model a pipeline loads.
struct ModelConfiguration {
    ComputeUnits computeUnits = ComputeUnits::all;
    // DRAVELIN_PRECISION overrides `automatic`; see resolvePrecision().
    ComputePrecision computePrecision = ComputePrecision::automatic;

    bool operator==(const ModelConfiguration&) const = default;
};

} // namespace dravelin
