#pragma once

#include <cstdint>

namespace dravelin::kernels {

// float32 to bfloat16 bit patterns, rounding to nearest even (NaN stays NaN).
void toBfloat16(const float* values, uint16_t* out, int64_t count);
// `rows` rows of `columns` floats, `stride` floats apart, into dense bfloat16
// rows of `outStride` values.
void rowsToBfloat16(const float* values, int64_t rows, int64_t columns, int64_t stride,
                    uint16_t* out, int64_t outStride);
// Rounds float32 values in place to the nearest bfloat16 (the same rounding
// as toBfloat16), for loops that compute on bfloat16 numbers in float32.
void roundToBfloat16(float* values, int64_t count);

} // namespace dravelin::kernels
