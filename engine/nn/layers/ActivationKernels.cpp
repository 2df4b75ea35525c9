#include "nn/layers/ActivationKernels.h"

#include "nn/compute/FastExp.h"
#include "nn/compute/FlushDenormals.h"
#include "nn/compute/VectorClones.h"

#include <bit>

namespace dravelin::kernels {

namespace {

inline float sigmoid(float x) {
    return 1.0f / (1.0f + clampedExp(-x));
}

} // namespace

DRAVELIN_WIDE_VECTOR_CLONES
void silu(float* values, int64_t count) {
    const FlushDenormals flush;
    for (int64_t i = 0; i < count; ++i) {
        values[i] = values[i] * sigmoid(values[i]);
    }
}

DRAVELIN_VECTOR_CLONES
void quickGelu(float* values, int64_t count) {
    const FlushDenormals flush;
    for (int64_t i = 0; i < count; ++i) {
        values[i] = values[i] * sigmoid(1.702f * values[i]);
    }
}

DRAVELIN_VECTOR_CLONES
void geluErf(float* values, int64_t count) {
    const FlushDenormals flush;
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
    const FlushDenormals flush;
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
    const FlushDenormals flush;
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
