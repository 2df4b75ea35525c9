#pragma once

#include <bit>
#include <cstdint>

namespace dravelin::kernels {

// e^x for x clamped to [-87, 88]: x = k·ln 2 + r with |r| ≤ ln 2 / 2, e^r by a
// degree-6 polynomial, 2^k by building the exponent bits. Written without
// branches so that the loops around it vectorise.
inline float clampedExp(float x) {
    x = x < -87.0f ? -87.0f : x;
    x = x > 88.0f ? 88.0f : x;
    // Adding and subtracting 1.5·2^23 rounds to the nearest integer.
    const float k = (x * 1.44269504088896341f + 12582912.0f) - 12582912.0f;
    const float r = (x - k * 0.693359375f) + k * 2.12194440e-4f;
    float p = 1.9875691500e-4f;
    p = p * r + 1.3981999507e-3f;
    p = p * r + 8.3334519073e-3f;
    p = p * r + 4.1665795894e-2f;
    p = p * r + 1.6666665459e-1f;
    p = p * r + 5.0000001201e-1f;
    p = p * r * r + r + 1.0f;
    const auto bits =
        static_cast<int32_t>(static_cast<uint32_t>(static_cast<int32_t>(k) + 127) << 23);
    return p * std::bit_cast<float>(bits);
}

} // namespace dravelin::kernels
