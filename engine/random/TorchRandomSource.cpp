#include "random/TorchRandomSource.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace dravelin {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr int64_t kBlock = 16;

// Box–Muller on one block: entries j and j + 8 become the cosine and sine
// halves of one pair.
void transformBlock(double* block, double mean, double stdev) {
    for (int j = 0; j < kBlock / 2; ++j) {
        const double a = block[j];
        const double b = block[j + kBlock / 2];
        const double r = std::sqrt(std::log(1.0 - a) * -2.0);
        const double theta = b * kTwoPi;
        block[j] = (r * std::cos(theta)) * stdev + mean;
        block[j + kBlock / 2] = (r * std::sin(theta)) * stdev + mean;
    }
}

} // namespace

uint64_t TorchRandomSource::next() {
    const uint64_t high = nextUInt32();
    const uint64_t low = nextUInt32();
    return (high << 32) | low;
}

double TorchRandomSource::nextUniform53() {
    return static_cast<double>(next() & ((uint64_t{1} << 53) - 1)) * 0x1p-53;
}

double TorchRandomSource::nextUniform24() {
    const float uniform = static_cast<float>(nextUInt32() & 0xffffffu) * 0x1p-24f;
    return static_cast<double>(uniform);
}

double TorchRandomSource::nextNormal(double mean, double stdev) {
    if (state.nextGauss) {
        const double cached = *state.nextGauss;
        state.nextGauss.reset();
        return cached * stdev + mean;
    }
    const double u1 = nextUniform53();
    const double u2 = nextUniform53();
    const double r = std::sqrt(std::log(1.0 - u2) * -2.0);
    const double theta = u1 * kTwoPi;
    state.nextGauss = r * std::sin(theta);
    return (r * std::cos(theta)) * stdev + mean;
}

std::vector<double> TorchRandomSource::normalArray(int64_t count, double mean, double stdev) {
    if (count < 0) {
        throw std::invalid_argument("Cannot draw " + std::to_string(count) + " values.");
    }
    std::vector<double> data(static_cast<size_t>(count));
    if (count < kBlock) {
        for (double& value : data) {
            value = nextNormal(mean, stdev);
        }
        return data;
    }

    for (double& value : data) {
        value = nextUniform24();
    }
    for (int64_t start = 0; start + kBlock <= count; start += kBlock) {
        transformBlock(data.data() + start, mean, stdev);
    }
    if (count % kBlock != 0) {
        // The tail is covered by redrawing the last 16 entries as one more
        // block, this time from 53-bit uniforms.
        double* window = data.data() + (count - kBlock);
        for (int64_t j = 0; j < kBlock; ++j) {
            window[j] = nextUniform53();
        }
        transformBlock(window, mean, stdev);
    }
    return data;
}

} // namespace dravelin
