#include "nn/layers/ScaledDotProductAttention.h"

#include "nn/compute/AlignedBuffer.h"
#include "nn/compute/Bfloat16.h"
#include "nn/compute/ParallelFailure.h"
#include "nn/compute/Profiler.h"
#include "nn/layers/AttentionKernels.h"

#include <oneapi/dnnl/dnnl.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace dravelin {

namespace {

// Queries per block and keys per step: a 64 × 256 block of scores (64 KiB)
// and the block's queries and weighted values stay in a core's L2 cache.
constexpr int64_t kQueryBlock = 64;
constexpr int64_t kKeyBlock = 256;
// Stands for −∞ in a masked score without making e^(x − max) a NaN.
constexpr float kHidden = -1e30f;

// C = A·B (or A·Bᵀ) + beta·C, row-major, on the calling thread: inside a
// parallel region oneDNN's GEMM runs single-threaded.
void multiply(char transposeB, int64_t rows, int64_t columns, int64_t depth, const float* a,
              int64_t aStride, const float* b, int64_t bStride, float beta, float* c,
              int64_t cStride) {
    const dnnl_status_t status = dnnl_sgemm('N', transposeB, rows, columns, depth, 1.0f, a, aStride,
                                            b, bStride, beta, c, cStride);
    if (status != dnnl_success) {
        throw std::runtime_error("oneDNN's matrix product failed (status " +
                                 std::to_string(static_cast<int>(status)) + ").");
    }
}

int64_t ceilDivide(int64_t a, int64_t b) {
    return (a + b - 1) / b;
}

} // namespace

ScaledDotProductAttention::ScaledDotProductAttention(int64_t heads, int64_t headDim,
                                                     int64_t queryLength, int64_t keyLength,
                                                     bool causal, AttentionLayout layout,
                                                     ComputePrecision precision)
    : heads_(heads), headDim_(headDim), queryLength_(queryLength), keyLength_(keyLength),
      causal_(causal), layout_(layout), precision_(precision) {
    if (heads < 1 || headDim < 1 || queryLength < 1 || keyLength < 1 ||
        (causal && keyLength != queryLength)) {
        throw std::invalid_argument("An attention needs heads, a head size and positions; a "
                                    "causal one as many keys as queries.");
    }
}

double ScaledDotProductAttention::flops() const {
    return 4.0 * static_cast<double>(heads_ * queryLength_ * keyLength_ * headDim_);
}

size_t ScaledDotProductAttention::workspaceFloats() const {
    // Queries and weighted values of a block, a block of scores, and in
    // bfloat16 a block of keys and values, and three values per query.
    const int64_t keys = std::min(kKeyBlock, keyLength_);
    return static_cast<size_t>(2 * kQueryBlock * headDim_ + kQueryBlock * keys +
                               2 * keys * headDim_ + 3 * kQueryBlock);
}

void ScaledDotProductAttention::attendBlock(int64_t head, int64_t firstQuery, int64_t rows,
                                            const float* queries, const float* keys,
                                            const float* values, float* output,
                                            float* workspace) const {
    const int64_t d = headDim_;
    const int64_t keyBlock = std::min(kKeyBlock, keyLength_);
    const bool rounded = precision_ == ComputePrecision::bfloat16;
    float* blockQueries = workspace;
    float* weighted = blockQueries + kQueryBlock * d;
    float* scores = weighted + kQueryBlock * d;
    float* blockKeys = scores + kQueryBlock * keyBlock;
    float* blockValues = blockKeys + keyBlock * d;
    float* maxima = blockValues + keyBlock * d;
    float* sums = maxima + kQueryBlock;
    float* rescale = sums + kQueryBlock;

    // The queries, scaled by 1/√d once rather than every score.
    const float scale = 1.0f / std::sqrt(static_cast<float>(d));
    for (int64_t i = 0; i < rows; ++i) {
        const float* source = queries + (firstQuery + i) * layout_.queryStride + head * d;
        float* target = blockQueries + i * d;
        std::copy_n(source, d, target);
        kernels::scaleValues(target, d, scale);
    }
    if (rounded) {
        kernels::roundToBfloat16(blockQueries, rows * d);
    }
    std::fill_n(weighted, rows * d, 0.0f);
    std::fill_n(maxima, rows, kHidden);
    std::fill_n(sums, rows, 0.0f);

    // A causal query sees the keys up to its own position.
    const int64_t visibleKeys = causal_ ? std::min(keyLength_, firstQuery + rows) : keyLength_;
    for (int64_t firstKey = 0; firstKey < visibleKeys; firstKey += keyBlock) {
        const int64_t count = std::min(keyBlock, visibleKeys - firstKey);
        const float* keyRows = keys + firstKey * layout_.keyStride + head * d;
        const float* valueRows = values + firstKey * layout_.valueStride + head * d;
        int64_t keyStride = layout_.keyStride;
        int64_t valueStride = layout_.valueStride;
        if (rounded) {
            for (int64_t j = 0; j < count; ++j) {
                std::copy_n(keyRows + j * layout_.keyStride, d, blockKeys + j * d);
                std::copy_n(valueRows + j * layout_.valueStride, d, blockValues + j * d);
            }
            kernels::roundToBfloat16(blockKeys, count * d);
            kernels::roundToBfloat16(blockValues, count * d);
            keyRows = blockKeys;
            valueRows = blockValues;
            keyStride = d;
            valueStride = d;
        }
        multiply('T', rows, count, d, blockQueries, d, keyRows, keyStride, 0.0f, scores, keyBlock);
        if (causal_) {
            for (int64_t i = 0; i < rows; ++i) {
                const int64_t visible = firstQuery + i + 1 - firstKey;
                if (visible < count) {
                    std::fill(scores + i * keyBlock + std::max<int64_t>(visible, 0),
                              scores + i * keyBlock + count, kHidden);
                }
            }
        }
        kernels::runningSoftmaxStep(scores, rows, count, keyBlock, maxima, sums, rescale);
        if (rounded) {
            for (int64_t i = 0; i < rows; ++i) {
                kernels::roundToBfloat16(scores + i * keyBlock, count);
            }
        }
        if (firstKey > 0) {
            for (int64_t i = 0; i < rows; ++i) {
                kernels::scaleValues(weighted + i * d, d, rescale[i]);
            }
        }
        multiply('N', rows, d, count, scores, keyBlock, valueRows, valueStride, 1.0f, weighted, d);
    }
    for (int64_t i = 0; i < rows; ++i) {
        float* target = output + (firstQuery + i) * layout_.outputStride + head * d;
        std::copy_n(weighted + i * d, d, target);
        kernels::scaleValues(target, d, 1.0f / sums[i]);
    }
}

void ScaledDotProductAttention::forward(const float* queries, const float* keys,
                                        const float* values, float* output) const {
    ProfileScope profile("attention", flops());
    const int64_t blocks = ceilDivide(queryLength_, kQueryBlock);
    const int64_t tasks = heads_ * blocks;
    ParallelFailure failure;
#pragma omp parallel
    {
        AlignedBuffer workspace;
        failure.run([&] { workspace = AlignedBuffer(workspaceFloats()); });
#pragma omp for schedule(dynamic, 1)
        for (int64_t task = 0; task < tasks; ++task) {
            failure.run([&] {
                const int64_t head = task % heads_;
                const int64_t first = (task / heads_) * kQueryBlock;
                attendBlock(head, first, std::min(kQueryBlock, queryLength_ - first), queries, keys,
                            values, output, workspace.data());
            });
        }
    }
    failure.rethrow();
}

} // namespace dravelin
