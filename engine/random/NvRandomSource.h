#pragma once

#include "random/RandomSource.h"

#include <array>

namespace dravelin {

// The counter-based Philox-4x32-10 generator as NVIDIA's cuRAND-style noise
// uses it: one request fills a whole array, counter (offset, 0, index, 0).
class NvRandomSource : public RandomSource {
public:
    explicit NvRandomSource(uint64_t seed, uint32_t offset = 0) : seed(seed), offset(offset) {}

    using Block = std::array<uint32_t, 4>;
    // Ten Philox-4x32 rounds on one counter with the key (k0, k1).
    static Block philox(Block counter, uint32_t key0, uint32_t key1);

    // One value, consuming one request.
    double nextNormal(double mean = 0.0, double stdev = 1.0) override;
    // One request whatever the count (also 0). Throws std::overflow_error once
    // 2^32 − 1 requests have been served.
    std::vector<double> normalArray(int64_t count, double mean = 0.0, double stdev = 1.0) override;

    uint64_t seed;
    uint32_t offset;
};

} // namespace dravelin
