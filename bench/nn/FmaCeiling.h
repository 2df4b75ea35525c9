#pragma once

#include <string>

// The arithmetic ceiling of this machine in single precision: fused
// multiply-adds with enough independent accumulators to hide their latency,
// on every compute thread at once.
struct FmaCeiling {
    std::string instructions; // "AVX-512", "AVX2+FMA" or "none"
    int threads = 0;
    double perThread = 0; // GFLOP/s
    double total = 0;
};

FmaCeiling measureFmaCeiling(int threads);
