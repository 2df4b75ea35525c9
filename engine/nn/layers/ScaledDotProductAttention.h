#pragma once

#include "runtime/ComputePrecision.h"

#include <oneapi/dnnl/dnnl.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace dravelin {

// Where the rows of each operand of an attention lie: floats from one
// position to the next (a fused query-key-value matrix has three heads' worth
// of columns per row, for example).
struct AttentionLayout {
    int64_t queryStride;
    int64_t keyStride;
    int64_t valueStride;
    int64_t outputStride;
};

// Multi-head scaled dot-product attention, softmax(Q·Kᵀ/√d + mask)·V, with
// and without a causal mask. Each operand is a matrix of positions (rows) by
// heads × headDim (columns, head h at columns h·headDim onwards); self- and
// cross-attention differ only in where keys and values come from and how many
// there are.
//
// No score matrix is stored: each thread takes a block of queries of one head
// and walks the keys a block at a time, keeping a running maximum and sum per
// query (the softmax of the scores seen so far) and the weighted values
// rescaled as the maximum rises. A block's scores, queries and values stay in
// the core's caches. In bfloat16 the queries, keys, values and softmax weights
// enter oneDNN's bfloat16 products; the scores, the running softmax and the
// weighted sums stay float32.
class ScaledDotProductAttention {
public:
    ScaledDotProductAttention(int64_t heads, int64_t headDim, int64_t queryLength,
                              int64_t keyLength, bool causal, AttentionLayout layout,
                              ComputePrecision precision = ComputePrecision::float32);

    void forward(const float* queries, const float* keys, const float* values, float* output) const;
    double flops() const;

private:
    // Where one head's products read their keys and values: float32 in the
    // caller's layout, or bfloat16 copies, [heads][positions][headDim].
    struct KeysAndValues {
        const float* keys;
        const float* values;
        const uint16_t* keys16;
        const uint16_t* values16;
    };
    // One head's block of queries against all (visible) keys.
    void attendBlock(int64_t head, int64_t firstQuery, int64_t rows, const float* queries,
                     const KeysAndValues& operands, float* output, float* workspace) const;
    // bfloat16: the two products for a block of `rows` queries and `count`
    // keys, made on first use and kept. oneDNN's matrix-engine kernels need
    // every size fixed when a product is made; a block meets at most two
    // query counts and two key counts (more only with a causal mask).
    struct Products {
        dnnl::matmul scores;
        dnnl::matmul weigh;
        size_t scratchpadBytes = 0;
    };
    struct ProductCache {
        std::mutex mutex;
        std::map<std::pair<int64_t, int64_t>, Products> made;
    };
    Products productsFor(int64_t rows, int64_t count) const;
    size_t workspaceFloats() const;

    int64_t heads_;
    int64_t headDim_;
    int64_t queryLength_;
    int64_t keyLength_;
    bool causal_;
    AttentionLayout layout_;
    ComputePrecision precision_;
    std::shared_ptr<ProductCache> products_;
};

} // namespace dravelin
