#include "random/MersenneTwister.h"

namespace dravelin {

MersenneTwisterState MersenneTwisterState::seeded(uint32_t seed) {
    MersenneTwisterState state;
    state.key[0] = seed;
    for (uint32_t i = 1; i < kWords; ++i) {
        const uint32_t previous = state.key[i - 1];
        state.key[i] = 1812433253u * (previous ^ (previous >> 30)) + i;
    }
    state.pos = kWords;
    return state;
}

void MersenneTwisterState::regenerate() {
    constexpr int kMiddle = 397;
    constexpr uint32_t kUpper = 0x80000000u;
    constexpr uint32_t kLower = 0x7fffffffu;
    constexpr uint32_t kMatrix = 0x9908b0dfu;
    for (int i = 0; i < kWords; ++i) {
        const uint32_t y = (key[i] & kUpper) | (key[(i + 1) % kWords] & kLower);
        key[i] = key[(i + kMiddle) % kWords] ^ (y >> 1) ^ ((y & 1u) ? kMatrix : 0u);
    }
    pos = 0;
}

uint32_t MersenneTwisterState::nextUInt32() {
    if (pos >= kWords) {
        regenerate();
    }
    uint32_t y = key[pos++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9d2c5680u;
    y ^= (y << 15) & 0xefc60000u;
    y ^= y >> 18;
    return y;
}

} // namespace dravelin
