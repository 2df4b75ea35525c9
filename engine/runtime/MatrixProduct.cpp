#include "runtime/MatrixProduct.h"

#include <oneapi/dnnl/dnnl.h>

#include <stdexcept>
#include <string>

namespace dravelin {

void multiplyMatrices(char transposeB, int64_t rows, int64_t columns, int64_t depth, const float* a,
                      int64_t aStride, const float* b, int64_t bStride, float beta, float* c,
                      int64_t cStride, float alpha) {
    const dnnl_status_t status = dnnl_sgemm('N', transposeB, rows, columns, depth, alpha, a,
                                            aStride, b, bStride, beta, c, cStride);
    if (status != dnnl_success) {
        throw std::runtime_error("oneDNN's matrix product failed (status " +
                                 std::to_string(static_cast<int>(status)) + ").");
    }
}

} // namespace dravelin
