#pragma once

#include "runtime/ComputePrecision.h"

#include <oneapi/dnnl/dnnl.hpp>

#include <cstdint>
#include <optional>

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
// and walks the keys a (large) block at a time, keeping a running maximum and
// sum per query and the weighted values rescaled as the maximum rises. Every
// head's keys and values are packed once per call into the layout oneDNN's
// products read best (the matrix engine's, in bfloat16), so each block costs
// two products of sizes fixed at construction and one pass of the softmax.
// Where the processor has the matrix engine's tiles (AMX), bfloat16 runs its
// own tile kernels instead: blocks of 64 queries in passes of 32 by 128 keys,
// whose scores and weights stay in the core's first-level cache, with a
// softmax whose maximum may lag (the weighted values are rescaled only when
// it moves); queries, keys and values are packed once per call into a
// buffer the calling thread keeps (DRAVELIN_ATTENTION=products keeps
// oneDNN's products for comparison).
// In bfloat16 the queries, keys, values and softmax weights enter the
// products as bfloat16; the scores, the running softmax and the weighted sums
// stay float32.
class ScaledDotProductAttention {
public:
    ScaledDotProductAttention(int64_t heads, int64_t headDim, int64_t queryLength,
                              int64_t keyLength, bool causal, AttentionLayout layout,
                              ComputePrecision precision = ComputePrecision::float32);

    void forward(const float* queries, const float* keys, const float* values, float* output) const;
    double flops() const;

private:
    // The products for a block of queries against `count` keys, and the
    // reorders that pack one head's keys (transposed) and values for them.
    struct Products {
        int64_t count = 0;
        dnnl::matmul scores;
        dnnl::matmul weigh;
        dnnl::reorder packKeys;
        dnnl::reorder packValues;
        dnnl::memory::desc packedKeys;
        dnnl::memory::desc packedValues;
        size_t packedKeyBytes = 0;
        size_t packedValueBytes = 0;
    };
    Products makeProducts(int64_t count);
    const Products& productsOfBlock(int64_t block) const;
    // Offset in bytes of one head's key block in the packed keys (or values).
    size_t packedOffset(int64_t head, int64_t block, bool values) const;
    void forwardOnTiles(const float* queries, const float* keys, const float* values,
                        float* output) const;
    // One block of 64 queries of one head, packed for the tiles (padded
    // with zero rows), against every key the block sees.
    void attendOnTiles(int64_t head, int64_t firstQuery, const uint16_t* queries16,
                       const uint16_t* packedKeys, const uint16_t* packedValues, float* output,
                       float* workspace) const;
    void attendBlock(int64_t head, int64_t firstQuery, const float* queries,
                     const uint8_t* packedKeys, const uint8_t* packedValues, float* output,
                     float* workspace, uint8_t* scratchpad) const;

    int64_t heads_;
    int64_t headDim_;
    int64_t queryLength_;
    int64_t keyLength_;
    bool causal_;
    AttentionLayout layout_;
    ComputePrecision precision_;
    bool narrow_;         // bfloat16 operands
    bool tiles_ = false;  // bfloat16 on the matrix engine's tiles
    int64_t rows_;        // queries per block
    int64_t keyBlock_;    // keys per step
    int64_t keyBlocks_;
    Products whole_;                // blocks of keyBlock_ keys
    std::optional<Products> last_;  // a shorter last block
    size_t scratchpadBytes_ = 0;
    size_t packedHeadBytes_[2] = {0, 0}; // keys, values of one head, every block
};

} // namespace dravelin
