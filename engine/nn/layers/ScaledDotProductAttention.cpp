#include "nn/layers/ScaledDotProductAttention.h"

#include "nn/compute/AlignedBuffer.h"
#include "nn/compute/ComputeContext.h"
#include "nn/compute/Profiler.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace dravelin {

namespace {

using dnnl::memory;
constexpr auto f32 = memory::data_type::f32;

// Scores held at once: 2 Mi floats (8 MiB) bound the chunk of queries.
constexpr int64_t kScoreFloats = int64_t{2} << 20;

} // namespace

ScaledDotProductAttention::ScaledDotProductAttention(int64_t heads, int64_t headDim,
                                                     int64_t queryLength, int64_t keyLength,
                                                     bool causal, AttentionLayout layout)
    : heads_(heads), headDim_(headDim), queryLength_(queryLength), keyLength_(keyLength),
      causal_(causal), layout_(layout) {
    if (heads < 1 || headDim < 1 || queryLength < 1 || keyLength < 1 ||
        (causal && keyLength != queryLength)) {
        throw std::invalid_argument("An attention needs heads, a head size and positions; a "
                                    "causal one as many keys as queries.");
    }
    chunkRows_ = std::clamp<int64_t>(kScoreFloats / (heads * keyLength), 1, queryLength);
    chunks_.push_back(makeChunk(chunkRows_));
    if (queryLength % chunkRows_ != 0) {
        chunks_.push_back(makeChunk(queryLength % chunkRows_));
    }
}

ScaledDotProductAttention::Chunk ScaledDotProductAttention::makeChunk(int64_t rows) const {
    const dnnl::engine& engine = ComputeContext::engine();
    Chunk chunk;
    chunk.rows = rows;
    chunk.queries = memory::desc({heads_, rows, headDim_}, f32, {headDim_, layout_.queryStride, 1});
    chunk.keys =
        memory::desc({heads_, headDim_, keyLength_}, f32, {headDim_, 1, layout_.keyStride});
    chunk.scores = memory::desc({heads_, rows, keyLength_}, f32, memory::format_tag::abc);
    chunk.values =
        memory::desc({heads_, keyLength_, headDim_}, f32, {headDim_, layout_.valueStride, 1});
    chunk.output = memory::desc({heads_, rows, headDim_}, f32, {headDim_, layout_.outputStride, 1});
    chunk.scoreRows = memory::desc({heads_ * rows, keyLength_}, f32, memory::format_tag::ab);

    dnnl::primitive_attr scaled;
    scaled.set_output_scales(0, {1.0f / std::sqrt(static_cast<float>(headDim_))});
    chunk.score = dnnl::matmul(dnnl::matmul::primitive_desc(
        dnnl::matmul::desc(chunk.queries, chunk.keys, chunk.scores), scaled, engine));
    chunk.softmax = dnnl::softmax_forward(dnnl::softmax_forward::primitive_desc(
        dnnl::softmax_forward::desc(dnnl::prop_kind::forward_inference, chunk.scoreRows, 1),
        engine));
    chunk.weigh = dnnl::matmul(dnnl::matmul::primitive_desc(
        dnnl::matmul::desc(chunk.scores, chunk.values, chunk.output), engine));
    return chunk;
}

double ScaledDotProductAttention::flops() const {
    return 4.0 * static_cast<double>(heads_ * queryLength_ * keyLength_ * headDim_);
}

void ScaledDotProductAttention::maskFuture(float* scores, const Chunk& chunk,
                                           int64_t firstQuery) const {
    const float hidden = -std::numeric_limits<float>::infinity();
    for (int64_t h = 0; h < heads_; ++h) {
        for (int64_t i = 0; i < chunk.rows; ++i) {
            float* row = scores + (h * chunk.rows + i) * keyLength_;
            const int64_t visible = firstQuery + i + 1;
            std::fill(row + std::min(visible, keyLength_), row + keyLength_, hidden);
        }
    }
}

void ScaledDotProductAttention::forward(const float* queries, const float* keys,
                                        const float* values, float* output) const {
    ProfileScope profile("attention", flops());
    const dnnl::engine& engine = ComputeContext::engine();
    dnnl::stream& stream = ComputeContext::stream();
    AlignedBuffer scores(static_cast<size_t>(heads_ * chunkRows_ * keyLength_));
    memory keyMemory(chunks_[0].keys, engine, const_cast<float*>(keys));
    memory valueMemory(chunks_[0].values, engine, const_cast<float*>(values));
    for (int64_t first = 0; first < queryLength_; first += chunkRows_) {
        const Chunk& chunk = first + chunkRows_ <= queryLength_ ? chunks_[0] : chunks_.back();
        memory queryMemory(chunk.queries, engine,
                           const_cast<float*>(queries + first * layout_.queryStride));
        memory scoreMemory(chunk.scores, engine, scores.data());
        memory scoreRows(chunk.scoreRows, engine, scores.data());
        memory outputMemory(chunk.output, engine, output + first * layout_.outputStride);
        chunk.score.execute(stream, {{DNNL_ARG_SRC, queryMemory},
                                     {DNNL_ARG_WEIGHTS, keyMemory},
                                     {DNNL_ARG_DST, scoreMemory}});
        stream.wait();
        if (causal_) {
            maskFuture(scores.data(), chunk, first);
        }
        chunk.softmax.execute(stream, {{DNNL_ARG_SRC, scoreRows}, {DNNL_ARG_DST, scoreRows}});
        chunk.weigh.execute(stream, {{DNNL_ARG_SRC, scoreMemory},
                                     {DNNL_ARG_WEIGHTS, valueMemory},
                                     {DNNL_ARG_DST, outputMemory}});
        stream.wait();
    }
}

} // namespace dravelin
