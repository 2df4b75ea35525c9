#include "nn/layers/ScaledDotProductAttention.h"

#include "nn/compute/AlignedBuffer.h"
#include "nn/compute/Bfloat16.h"
#include "nn/compute/ComputeContext.h"
#include "nn/compute/ParallelFailure.h"
#include "runtime/MatrixProduct.h"
#include "nn/compute/Profiler.h"
#include "nn/layers/AttentionKernels.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace dravelin {

namespace {

// Queries per block and keys per step: a 64 × 512 block of scores (128 KiB)
// and the block's queries and weighted values stay in a core's L2 cache, and
// each product is large enough to outweigh its call.
constexpr int64_t kQueryBlock = 64;
constexpr int64_t kKeyBlock = 512;
// Stands for −∞ in a masked score without making e^(x − max) a NaN.
constexpr float kHidden = -1e30f;

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
    if (precision_ == ComputePrecision::bfloat16) {
        products_ = std::make_shared<ProductCache>();
        // The sizes every block but the last meets, made before the first run.
        productsFor(std::min(kQueryBlock, queryLength_), std::min(kKeyBlock, keyLength_));
    }
}

ScaledDotProductAttention::Products ScaledDotProductAttention::productsFor(int64_t rows,
                                                                          int64_t count) const {
    std::lock_guard lock(products_->mutex);
    const auto found = products_->made.find({rows, count});
    if (found != products_->made.end()) {
        return found->second;
    }
    using dnnl::memory;
    constexpr auto bf16 = memory::data_type::bf16;
    constexpr auto f32 = memory::data_type::f32;
    const int64_t d = headDim_;
    const dnnl::engine& engine = ComputeContext::engine();
    dnnl::primitive_attr plain;
    plain.set_scratchpad_mode(dnnl::scratchpad_mode::user);
    // Block queries [rows, d] by keys [d, count] (the head's key copy,
    // transposed) into scores [rows, count], one key block apart. The
    // matrix-engine kernels take only dense keys and values, hence one copy
    // per head.
    const dnnl::matmul::primitive_desc scores(
        dnnl::matmul::desc(memory::desc({rows, d}, bf16, {d, 1}),
                           memory::desc({d, count}, bf16, {1, d}),
                           memory::desc({rows, count}, f32, {count, 1})),
        plain, engine);
    // Softmax weights [rows, count] by values [count, d], added to the
    // weighted values [rows, d].
    dnnl::post_ops sum;
    sum.append_sum(1.0f);
    dnnl::primitive_attr accumulate;
    accumulate.set_post_ops(sum);
    accumulate.set_scratchpad_mode(dnnl::scratchpad_mode::user);
    const dnnl::matmul::primitive_desc weigh(
        dnnl::matmul::desc(memory::desc({rows, count}, bf16, {count, 1}),
                           memory::desc({count, d}, bf16, {d, 1}),
                           memory::desc({rows, d}, f32, {d, 1})),
        accumulate, engine);
    Products made{dnnl::matmul(scores), dnnl::matmul(weigh),
                  std::max(scores.scratchpad_desc().get_size(),
                           weigh.scratchpad_desc().get_size())};
    products_->made.emplace(std::make_pair(rows, count), made);
    return made;
}

double ScaledDotProductAttention::flops() const {
    return 4.0 * static_cast<double>(heads_ * queryLength_ * keyLength_ * headDim_);
}

size_t ScaledDotProductAttention::workspaceFloats() const {
    // Queries and weighted values of a block, a block of scores, three
    // values per query, and in bfloat16 the block's queries and weights.
    const int64_t queries = kQueryBlock * headDim_;
    const int64_t scores = kQueryBlock * kKeyBlock;
    return static_cast<size_t>(2 * queries + scores + 3 * kQueryBlock + queries / 2 + scores / 2 +
                               2);
}

void ScaledDotProductAttention::attendBlock(int64_t head, int64_t firstQuery, int64_t rows,
                                            const float* queries, const KeysAndValues& operands,
                                            float* output, float* workspace) const {
    const int64_t d = headDim_;
    const bool narrow = precision_ == ComputePrecision::bfloat16;
    float* blockQueries = workspace;
    float* weighted = blockQueries + kQueryBlock * d;
    float* scores = weighted + kQueryBlock * d;
    float* maxima = scores + kQueryBlock * kKeyBlock;
    float* sums = maxima + kQueryBlock;
    float* rescale = sums + kQueryBlock;
    auto* queries16 = reinterpret_cast<uint16_t*>(rescale + kQueryBlock);
    uint16_t* weights16 = queries16 + kQueryBlock * d + 2;

    // The queries, scaled by 1/√d once rather than every score.
    const float scale = 1.0f / std::sqrt(static_cast<float>(d));
    for (int64_t i = 0; i < rows; ++i) {
        const float* source = queries + (firstQuery + i) * layout_.queryStride + head * d;
        float* target = blockQueries + i * d;
        std::copy_n(source, d, target);
        kernels::scaleValues(target, d, scale);
    }
    if (narrow) {
        kernels::toBfloat16(blockQueries, queries16, rows * d);
    }
    std::fill_n(weighted, rows * d, 0.0f);
    std::fill_n(maxima, rows, kHidden);
    std::fill_n(sums, rows, 0.0f);

    using dnnl::memory;
    const dnnl::engine& engine = ComputeContext::engine();
    dnnl::stream& stream = ComputeContext::stream();

    // A causal query sees the keys up to its own position.
    const int64_t visibleKeys = causal_ ? std::min(keyLength_, firstQuery + rows) : keyLength_;
    for (int64_t firstKey = 0; firstKey < visibleKeys; firstKey += kKeyBlock) {
        const int64_t count = std::min(kKeyBlock, visibleKeys - firstKey);
        // The block's scores and weights are dense rows of `count` values.
        Products products;
        memory pad;
        if (narrow) {
            products = productsFor(rows, count);
            thread_local AlignedBuffer scratchpad;
            const size_t floats = (products.scratchpadBytes + sizeof(float) - 1) / sizeof(float);
            if (scratchpad.size() < floats) {
                scratchpad = AlignedBuffer(floats);
            }
            pad = memory(memory::desc({static_cast<memory::dim>(products.scratchpadBytes)},
                                      memory::data_type::u8, memory::format_tag::a),
                         engine, scratchpad.data());
        }
        if (narrow) {
            memory a(memory::desc({rows, d}, memory::data_type::bf16, {d, 1}), engine, queries16);
            memory b(memory::desc({d, count}, memory::data_type::bf16, {1, d}), engine,
                     const_cast<uint16_t*>(operands.keys16 + (head * keyLength_ + firstKey) * d));
            memory c(memory::desc({rows, count}, memory::data_type::f32, {count, 1}), engine,
                     scores);
            products.scores.execute(stream, {{DNNL_ARG_SRC, a},
                                             {DNNL_ARG_WEIGHTS, b},
                                             {DNNL_ARG_DST, c},
                                             {DNNL_ARG_SCRATCHPAD, pad}});
            stream.wait();
        } else {
            multiplyMatrices('T', rows, count, d, blockQueries, d,
                     operands.keys + firstKey * layout_.keyStride + head * d, layout_.keyStride,
                     0.0f, scores, count);
        }
        if (causal_) {
            for (int64_t i = 0; i < rows; ++i) {
                const int64_t visible = firstQuery + i + 1 - firstKey;
                if (visible < count) {
                    std::fill(scores + i * count + std::max<int64_t>(visible, 0),
                              scores + i * count + count, kHidden);
                }
            }
        }
        kernels::runningSoftmaxStep(scores, rows, count, count, maxima, sums, rescale);
        if (firstKey > 0) {
            for (int64_t i = 0; i < rows; ++i) {
                kernels::scaleValues(weighted + i * d, d, rescale[i]);
            }
        }
        if (narrow) {
            kernels::rowsToBfloat16(scores, rows, count, count, weights16, count);
            memory a(memory::desc({rows, count}, memory::data_type::bf16, {count, 1}), engine,
                     weights16);
            memory b(memory::desc({count, d}, memory::data_type::bf16, {d, 1}), engine,
                     const_cast<uint16_t*>(operands.values16 + (head * keyLength_ + firstKey) * d));
            memory c(memory::desc({rows, d}, memory::data_type::f32, {d, 1}), engine, weighted);
            products.weigh.execute(stream, {{DNNL_ARG_SRC, a},
                                            {DNNL_ARG_WEIGHTS, b},
                                            {DNNL_ARG_DST, c},
                                            {DNNL_ARG_SCRATCHPAD, pad}});
            stream.wait();
        } else {
            multiplyMatrices('N', rows, d, count, scores, count,
                     operands.values + firstKey * layout_.valueStride + head * d,
                     layout_.valueStride, 1.0f, weighted, d);
        }
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
    KeysAndValues operands{keys, values, nullptr, nullptr};
    AlignedBuffer keys16;
    AlignedBuffer values16;
    const int64_t width = heads_ * headDim_;
    if (precision_ == ComputePrecision::bfloat16) {
        // Every query block reads every key: convert them once.
        const auto half = static_cast<size_t>((keyLength_ * width + 1) / 2);
        keys16 = AlignedBuffer(half);
        values16 = AlignedBuffer(half);
        auto* keyValues = reinterpret_cast<uint16_t*>(keys16.data());
        auto* valueValues = reinterpret_cast<uint16_t*>(values16.data());
        // Each head's keys and values together: [heads][positions][headDim].
        const int64_t d = headDim_;
#pragma omp parallel for schedule(static)
        for (int64_t position = 0; position < keyLength_; ++position) {
            for (int64_t head = 0; head < heads_; ++head) {
                kernels::toBfloat16(keys + position * layout_.keyStride + head * d,
                                    keyValues + (head * keyLength_ + position) * d, d);
                kernels::toBfloat16(values + position * layout_.valueStride + head * d,
                                    valueValues + (head * keyLength_ + position) * d, d);
            }
        }
        operands.keys16 = keyValues;
        operands.values16 = valueValues;
    }
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
                attendBlock(head, first, std::min(kQueryBlock, queryLength_ - first), queries,
                            operands, output, workspace.data());
            });
        }
    }
    failure.rethrow();
}

} // namespace dravelin
