#include "random/NvRandomSource.h"

#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace dravelin {

namespace {

constexpr uint32_t kMultiplier0 = 0xD2511F53u;
constexpr uint32_t kMultiplier1 = 0xCD9E8D57u;
constexpr uint32_t kWeyl0 = 0x9E3779B9u;
constexpr uint32_t kWeyl1 = 0xBB67AE85u;
constexpr int kRounds = 10;

// 2π / 2^32 and π / 2^32, given by their bit patterns so no rounding of a
// decimal literal can creep in.
const double kAngleScale = std::bit_cast<double>(uint64_t{0x3E1921FB54442D18});
const double kAngleOffset = std::bit_cast<double>(uint64_t{0x3E0921FB54442D18});

} // namespace

NvRandomSource::Block NvRandomSource::philox(Block c, uint32_t k0, uint32_t k1) {
    for (int round = 0; round < kRounds; ++round) {
        if (round > 0) {
            k0 += kWeyl0;
            k1 += kWeyl1;
        }
        const uint64_t p0 = uint64_t{kMultiplier0} * c[0];
        const uint64_t p1 = uint64_t{kMultiplier1} * c[2];
        c = Block{static_cast<uint32_t>(p1 >> 32) ^ c[1] ^ k0, static_cast<uint32_t>(p1),
                  static_cast<uint32_t>(p0 >> 32) ^ c[3] ^ k1, static_cast<uint32_t>(p0)};
    }
    return c;
}

double NvRandomSource::nextNormal(double mean, double stdev) {
    return normalArray(1, mean, stdev).front();
}

std::vector<double> NvRandomSource::normalArray(int64_t count, double mean, double stdev) {
    if (count < 0) {
        throw std::invalid_argument("Cannot draw " + std::to_string(count) + " values.");
    }
    if (count > int64_t{std::numeric_limits<uint32_t>::max()} + 1) {
        throw std::invalid_argument("One request of the Philox source can fill at most 2^32 "
                                    "values, not " +
                                    std::to_string(count) + ".");
    }
    if (offset == std::numeric_limits<uint32_t>::max()) {
        throw std::overflow_error("This Philox random source has served all the requests its "
                                  "32-bit offset can count.");
    }
    const uint32_t key0 = static_cast<uint32_t>(seed);
    const uint32_t key1 = static_cast<uint32_t>(seed >> 32);
    std::vector<double> values(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i) {
        const Block words = philox({offset, 0u, static_cast<uint32_t>(i), 0u}, key0, key1);
        const double u = static_cast<double>(words[0]) * 0x1p-32 + 0x1p-33;
        const double v = static_cast<double>(words[1]) * kAngleScale + kAngleOffset;
        values[static_cast<size_t>(i)] =
            (std::sqrt(std::log(u) * -2.0) * stdev) * std::sin(v) + mean;
    }
    offset += 1;
    return values;
}

} // namespace dravelin
