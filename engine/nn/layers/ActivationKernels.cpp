#include "nn/layers/ActivationKernels.h"

#include "nn/compute/VectorClones.h"

#include <bit>

namespace dravelin::kernels {

namespace {

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

inline float sigmoid(float x) {
    return 1.0f / (1.0f + clampedExp(-x));
}

} // namespace

DRAVELIN_VECTOR_CLONES
void silu(float* values, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        values[i] = values[i] * sigmoid(values[i]);
    }
}

DRAVELIN_VECTOR_CLONES
void quickGelu(float* values, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        values[i] = values[i] * sigmoid(1.702f * values[i]);
    }
}

DRAVELIN_VECTOR_CLONES
void geluErf(float* values, int64_t count) {
    // 0.5·x·(1 + erf(x/√2)), erf by Abramowitz and Stegun 7.1.26.
    for (int64_t i = 0; i < count; ++i) {
        const float x = values[i];
        const float z = x * 0.70710678118654752f;
        const float a = z < 0.0f ? -z : z;
        const float t = 1.0f / (1.0f + 0.3275911f * a);
        float poly = 1.061405429f;
        poly = poly * t - 1.453152027f;
        poly = poly * t + 1.421413741f;
        poly = poly * t - 0.284496736f;
        poly = poly * t + 0.254829592f;
        const float erfAbs = 1.0f - poly * t * clampedExp(-a * a);
        const float erf = z < 0.0f ? -erfAbs : erfAbs;
        values[i] = 0.5f * x * (1.0f + erf);
    }
}

DRAVELIN_VECTOR_CLONES
void geluTanh(float* values, int64_t count) {
    // 0.5·x·(1 + tanh(u)), u = √(2/π)·(x + 0.044715·x³), tanh(u) = 1 − 2/(e^{2u} + 1).
    for (int64_t i = 0; i < count; ++i) {
        const float x = values[i];
        const float u = 0.79788456080286536f * (x + 0.044715f * x * x * x);
        const float tanh = 1.0f - 2.0f / (clampedExp(2.0f * u) + 1.0f);
        values[i] = 0.5f * x * (1.0f + tanh);
    }
}

DRAVELIN_VECTOR_CLONES
void relu(float* values, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        values[i] = values[i] < 0.0f ? 0.0f : values[i];
    }
}

DRAVELIN_VECTOR_CLONES
void mish(float* values, int64_t count) {
    // x·tanh(softplus(x)) = x·n/(n + 2) with n = e^x·(e^x + 2); past x = 20 the
    // ratio is 1 in single precision.
    for (int64_t i = 0; i < count; ++i) {
        const float x = values[i];
        const float e = clampedExp(x < 20.0f ? x : 20.0f);
        const float n = e * (e + 2.0f);
        values[i] = x * (n / (n + 2.0f));
    }
}

} // namespace dravelin::kernels
