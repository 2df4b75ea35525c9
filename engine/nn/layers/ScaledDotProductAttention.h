#pragma once

#include <oneapi/dnnl/dnnl.hpp>

#include <cstdint>
#include <vector>

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
// there are. Queries run in chunks so that the score matrix stays small, by
// oneDNN's matrix multiply and softmax.
class ScaledDotProductAttention {
public:
    ScaledDotProductAttention(int64_t heads, int64_t headDim, int64_t queryLength,
                              int64_t keyLength, bool causal, AttentionLayout layout);

    void forward(const float* queries, const float* keys, const float* values, float* output) const;
    double flops() const;

private:
    // The primitives for a run of `rows` queries.
    struct Chunk {
        int64_t rows;
        dnnl::memory::desc queries, keys, scores, values, output, scoreRows;
        dnnl::matmul score;
        dnnl::softmax_forward softmax;
        dnnl::matmul weigh;
    };
    Chunk makeChunk(int64_t rows) const;
    void maskFuture(float* scores, const Chunk& chunk, int64_t firstQuery) const;

    int64_t heads_;
    int64_t headDim_;
    int64_t queryLength_;
    int64_t keyLength_;
    bool causal_;
    AttentionLayout layout_;
    int64_t chunkRows_;
    std::vector<Chunk> chunks_; // the full chunk, then the remainder if any
};

} // namespace dravelin
