#pragma once

#include "random/MersenneTwister.h"
#include "random/RandomSource.h"

namespace dravelin {

// NumPy's legacy RandomState: MT19937 with the polar Gaussian method, keeping
// the second value of each pair for the next draw.
class NumPyRandomSource : public RandomSource {
public:
    using State = MersenneTwisterState;

    explicit NumPyRandomSource(uint32_t seed) : state(State::seeded(seed)) {}

    uint32_t nextUInt32() { return state.nextUInt32(); }
    // 64 bits from two words: the first is the low half.
    uint64_t next();
    // Uniform in [0, 1) with 53 random bits.
    double nextDouble();
    double nextGauss();

    double nextNormal(double mean = 0.0, double stdev = 1.0) override;
    std::vector<double> normalArray(int64_t count, double mean = 0.0, double stdev = 1.0) override;

    State state;
};

} // namespace dravelin
