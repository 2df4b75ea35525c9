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

// The same for bfloat16 dot products (VDPBF16PS: 16 lanes, each two products
// summed into float32); "none" without AVX-512 BF16.
FmaCeiling measureBfloat16Ceiling(int threads);
