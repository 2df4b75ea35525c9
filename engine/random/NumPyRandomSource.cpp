#include "random/NumPyRandomSource.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace dravelin {

uint64_t NumPyRandomSource::next() {
    const uint64_t low = nextUInt32();
    const uint64_t high = nextUInt32();
    return (high << 32) | low;
}

double NumPyRandomSource::nextDouble() {
    const double a = static_cast<double>(nextUInt32() >> 5);
    const double b = static_cast<double>(nextUInt32() >> 6);
    return (a * 67108864.0 + b) * 0x1p-53;
}

double NumPyRandomSource::nextGauss() {
    if (state.nextGauss) {
        const double cached = *state.nextGauss;
        state.nextGauss.reset();
        return cached;
    }
    double x1 = 0.0;
    double x2 = 0.0;
    double r2 = 0.0;
    do {
        x1 = 2.0 * nextDouble() - 1.0;
        x2 = 2.0 * nextDouble() - 1.0;
        r2 = x1 * x1 + x2 * x2;
    } while (r2 >= 1.0 || r2 == 0.0);
    const double f = std::sqrt(std::log(r2) * -2.0 / r2);
    state.nextGauss = f * x1;
    return f * x2;
}

double NumPyRandomSource::nextNormal(double mean, double stdev) {
    return nextGauss() * stdev + mean;
}

std::vector<double> NumPyRandomSource::normalArray(int64_t count, double mean, double stdev) {
    if (count < 0) {
        throw std::invalid_argument("Cannot draw " + std::to_string(count) + " values.");
    }
    std::vector<double> values(static_cast<size_t>(count));
    for (double& value : values) {
        value = nextGauss() * stdev + mean;
    }
    return values;
}

} // namespace dravelin
