#pragma once

#include <cstdint>

namespace dravelin {

// C = A·B (or A·Bᵀ with transposeB 'T') + beta·C in float32, row-major, with
// leading dimensions in floats: the one place the layers call oneDNN's GEMM.
// Inside a parallel region it runs on the calling thread only. Throws
// std::runtime_error if oneDNN refuses the product.
void multiplyMatrices(char transposeB, int64_t rows, int64_t columns, int64_t depth,
                      const float* a, int64_t aStride, const float* b, int64_t bStride, float beta,
                      float* c, int64_t cStride);

} // namespace dravelin
