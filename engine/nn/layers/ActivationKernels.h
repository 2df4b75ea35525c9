#pragma once

#include <cstdint>

namespace dravelin::kernels {

// Element-wise activations in place, vectorised (AVX2 where the CPU has it).
// exp is a polynomial good to a few units in the last place; erf is good to
// 1.5e-7 absolute.
void silu(float* values, int64_t count);
void quickGelu(float* values, int64_t count);
void geluErf(float* values, int64_t count);
void geluTanh(float* values, int64_t count);
void relu(float* values, int64_t count);
void mish(float* values, int64_t count);

} // namespace dravelin::kernels
