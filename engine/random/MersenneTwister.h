#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace dravelin {

// State of the MT19937 generator, plus the cached second Gaussian of a pair
// that the NumPy- and PyTorch-compatible sources keep beside it.
struct MersenneTwisterState {
    static constexpr int kWords = 624;

    std::array<uint32_t, kWords> key{};
    int pos = kWords; // next word to temper; kWords means regenerate first
    std::optional<double> nextGauss;

    // The classic init_genrand seeding.
    static MersenneTwisterState seeded(uint32_t seed);

    // Next tempered 32-bit word.
    uint32_t nextUInt32();

private:
    void regenerate();
};

} // namespace dravelin
