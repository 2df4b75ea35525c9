#include "nn/compute/Bfloat16.h"

#include "nn/compute/VectorClones.h"

#include <bit>

namespace dravelin::kernels {

namespace {

// Adds half a unit of the last kept place, plus one when the kept part is odd
// (ties to even), then drops the low 16 bits. A NaN keeps a set quiet bit.
inline uint32_t roundedBits(float value) {
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    const uint32_t rounded = bits + 0x7FFFu + ((bits >> 16) & 1u);
    const bool nan = (bits & 0x7FFFFFFFu) > 0x7F800000u;
    return nan ? (bits | 0x00400000u) : rounded;
}

} // namespace

DRAVELIN_WIDE_VECTOR_CLONES
void toBfloat16(const float* values, uint16_t* out, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        out[i] = static_cast<uint16_t>(roundedBits(values[i]) >> 16);
    }
}

void rowsToBfloat16(const float* values, int64_t rows, int64_t columns, int64_t stride,
                    uint16_t* out, int64_t outStride) {
    for (int64_t r = 0; r < rows; ++r) {
        toBfloat16(values + r * stride, out + r * outStride, columns);
    }
}

DRAVELIN_VECTOR_CLONES
void roundToBfloat16(float* values, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        values[i] = std::bit_cast<float>(roundedBits(values[i]) & 0xFFFF0000u);
    }
}

} // namespace dravelin::kernels
