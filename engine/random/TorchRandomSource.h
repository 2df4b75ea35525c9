#pragma once

#include "random/MersenneTwister.h"
#include "random/RandomSource.h"

namespace dravelin {

// PyTorch's CPU generator: MT19937 with the Box–Muller transform, serially for
// fewer than 16 values (caching the sine half) and in blocks of 16 for more.
class TorchRandomSource : public RandomSource {
public:
    using State = MersenneTwisterState;

    explicit TorchRandomSource(uint32_t seed) : state(State::seeded(seed)) {}

    uint32_t nextUInt32() { return state.nextUInt32(); }
    // 64 bits from two words: the first is the high half.
    uint64_t next();

    double nextNormal(double mean = 0.0, double stdev = 1.0) override;
    std::vector<double> normalArray(int64_t count, double mean = 0.0, double stdev = 1.0) override;

    State state;

private:
    double nextUniform53();
    double nextUniform24();
};

} // namespace dravelin
