#pragma once

#include <cstdint>

namespace dravelin {

// C = alpha·A·B (or alpha·A·Bᵀ with transposeB 'T') + beta·C in float32,
// row-major, with leading dimensions in floats: the one wrapper of oneDNN's
// GEMM, for the layers and for merging weight updates at load alike. Inside a
// parallel region it runs on the calling thread only. Throws
// std::runtime_error if oneDNN refuses the product (a size out of its range).
void multiplyMatrices(char transposeB, int64_t rows, int64_t columns, int64_t depth, const float* a,
                      int64_t aStride, const float* b, int64_t bStride, float beta, float* c,
                      int64_t cStride, float alpha = 1.0f);

} // namespace dravelin
