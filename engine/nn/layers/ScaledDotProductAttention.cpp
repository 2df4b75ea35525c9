#include "nn/layers/ScaledDotProductAttention.h"

#include "nn/compute/AlignedBuffer.h"
#include "nn/compute/Bfloat16.h"
#include "nn/compute/ComputeContext.h"
#include "nn/compute/ParallelFailure.h"
#include "nn/compute/Profiler.h"
#include "nn/layers/AttentionKernels.h"
#include "nn/layers/AttentionTiles.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace dravelin {

namespace {

using dnnl::memory;

// Queries per block, and scores per block of queries and keys: 256 × 512
// float scores (512 KiB) and their bfloat16 weights stay in a core's L2
// cache, and each product is large enough to outweigh its call (measured
// against 64–1024 queries by 256–4096 keys on the matrix engine).
constexpr int64_t kQueryBlock = 256;
constexpr int64_t kScoresPerBlock = 256 * 512;
// Stands for −∞ in a masked score without making 2^(x − max) a NaN.
constexpr float kHidden = -1e30f;

// Causal attention: a query sees the keys up to its own position, so the
// scores of later keys in this block of `count` keys are hidden.
void hideLaterKeys(float* scores, int64_t rows, int64_t count, int64_t stride,
                   int64_t firstQuery, int64_t firstKey) {
    for (int64_t i = 0; i < rows; ++i) {
        const int64_t visible = firstQuery + i + 1 - firstKey;
        if (visible < count) {
            std::fill(scores + i * stride + std::max<int64_t>(visible, 0),
                      scores + i * stride + count, kHidden);
        }
    }
}
constexpr int64_t kAlignment = 64;
// Keys per step on the tiles: two passes' 32 × 128 scores, their weights and
// the step's keys and values (about 90 KiB at head size 40) stay close to
// the first-level cache (measured against 64, 256 and 512 keys per step;
// 512, the L2-sized step, took a fifth longer at 4096 keys).
constexpr int64_t kTileKeyBlock = 128;

bool productsAsked() {
    const char* choice = std::getenv("DRAVELIN_ATTENTION");
    return choice != nullptr && std::strcmp(choice, "products") == 0;
}

int64_t ceilDivide(int64_t a, int64_t b) {
    return (a + b - 1) / b;
}

size_t aligned(size_t bytes) {
    return (bytes + kAlignment - 1) / kAlignment * kAlignment;
}

memory::desc stridedDesc(int64_t rows, int64_t columns, memory::data_type type, int64_t rowStride,
                         int64_t columnStride) {
    return memory::desc({rows, columns}, type, {rowStride, columnStride});
}

// The tiles' packed keys and values, kept by the calling thread from call
// to call: a fresh buffer of several megabytes faults in and zeroes its
// pages on every call (a tenth of the attention's time at 4096 keys).
float* packingScratch(size_t floats) {
    thread_local AlignedBuffer scratch;
    if (scratch.size() < floats) {
        scratch = AlignedBuffer();
        scratch = AlignedBuffer(floats);
    }
    return scratch.data();
}

} // namespace

ScaledDotProductAttention::ScaledDotProductAttention(int64_t heads, int64_t headDim,
                                                     int64_t queryLength, int64_t keyLength,
                                                     bool causal, AttentionLayout layout,
                                                     ComputePrecision precision)
    : heads_(heads), headDim_(headDim), queryLength_(queryLength), keyLength_(keyLength),
      causal_(causal), layout_(layout), precision_(precision),
      narrow_(precision == ComputePrecision::bfloat16) {
    if (heads < 1 || headDim < 1 || queryLength < 1 || keyLength < 1 ||
        (causal && keyLength != queryLength)) {
        throw std::invalid_argument("An attention needs heads, a head size and positions; a "
                                    "causal one as many keys as queries.");
    }
    if (narrow_ && !productsAsked() && kernels::matrixTilesAvailable() &&
        kernels::laggingSoftmaxAvailable()) {
        tiles_ = true;
        rows_ = kernels::kTileQueries;
        keyBlock_ = std::min(keyLength_, kTileKeyBlock);
        keyBlocks_ = ceilDivide(keyLength_, keyBlock_);
        packedHeadBytes_[0] = kernels::tileKeysSize(keyLength_, headDim_) * sizeof(uint16_t);
        packedHeadBytes_[1] = kernels::tileValuesSize(keyLength_, headDim_) * sizeof(uint16_t);
        return;
    }
    rows_ = std::min(kQueryBlock, queryLength_);
    keyBlock_ = std::min(keyLength_, std::max<int64_t>(64, kScoresPerBlock / rows_));
    keyBlocks_ = ceilDivide(keyLength_, keyBlock_);
    try {
        whole_ = makeProducts(keyBlock_);
        if (keyLength_ % keyBlock_ != 0) {
            last_ = makeProducts(keyLength_ % keyBlock_);
        }
    } catch (const dnnl::error&) {
        // oneDNN without bfloat16 products on this processor (or limited
        // below them by ONEDNN_MAX_CPU_ISA): the float32 ones, which are
        // exact where bfloat16 rounds.
        if (!narrow_) {
            throw;
        }
        narrow_ = false;
        scratchpadBytes_ = 0;
        whole_ = makeProducts(keyBlock_);
        if (keyLength_ % keyBlock_ != 0) {
            last_ = makeProducts(keyLength_ % keyBlock_);
        }
    }
    for (const Products* products : {&whole_, last_ ? &*last_ : nullptr}) {
        if (products == nullptr) {
            continue;
        }
        const int64_t blocks = products == &whole_ ? keyLength_ / keyBlock_ : 1;
        packedHeadBytes_[0] += static_cast<size_t>(blocks) * aligned(products->packedKeyBytes);
        packedHeadBytes_[1] += static_cast<size_t>(blocks) * aligned(products->packedValueBytes);
    }
}

ScaledDotProductAttention::Products ScaledDotProductAttention::makeProducts(int64_t count) {
    const auto operands = narrow_ ? memory::data_type::bf16 : memory::data_type::f32;
    constexpr auto f32 = memory::data_type::f32;
    const int64_t d = headDim_;
    const dnnl::engine& engine = ComputeContext::engine();
    dnnl::primitive_attr plain;
    plain.set_scratchpad_mode(dnnl::scratchpad_mode::user);
    // Block queries [rows, d] by a head's keys, transposed [d, count], into
    // scores [rows, count]; the keys in whichever layout the product likes.
    const dnnl::matmul::primitive_desc scores(
        dnnl::matmul::desc(stridedDesc(rows_, d, operands, d, 1),
                           memory::desc({d, count}, operands, memory::format_tag::any),
                           stridedDesc(rows_, count, f32, count, 1)),
        plain, engine);
    // Softmax weights [rows, count] by values [count, d], added to the
    // weighted values [rows, d].
    dnnl::post_ops sum;
    sum.append_sum(1.0f);
    dnnl::primitive_attr accumulate;
    accumulate.set_post_ops(sum);
    accumulate.set_scratchpad_mode(dnnl::scratchpad_mode::user);
    const dnnl::matmul::primitive_desc weigh(
        dnnl::matmul::desc(stridedDesc(rows_, count, operands, count, 1),
                           memory::desc({count, d}, operands, memory::format_tag::any),
                           stridedDesc(rows_, d, f32, d, 1)),
        accumulate, engine);
    // oneDNN's reference kernels are orders of magnitude slower than float32.
    if (narrow_ && (std::string(scores.impl_info_str()).rfind("ref", 0) == 0 ||
                    std::string(weigh.impl_info_str()).rfind("ref", 0) == 0)) {
        throw dnnl::error(dnnl_unimplemented, "no bfloat16 matrix products");
    }
    // The caller's float32 keys and values, read in place, packed per head.
    const dnnl::reorder::primitive_desc packKeys(
        engine, stridedDesc(d, count, f32, 1, layout_.keyStride), engine, scores.weights_desc(),
        plain);
    const dnnl::reorder::primitive_desc packValues(
        engine, stridedDesc(count, d, f32, layout_.valueStride, 1), engine, weigh.weights_desc(),
        plain);
    Products made;
    made.count = count;
    made.scores = dnnl::matmul(scores);
    made.weigh = dnnl::matmul(weigh);
    made.packKeys = dnnl::reorder(packKeys);
    made.packValues = dnnl::reorder(packValues);
    made.packedKeys = scores.weights_desc();
    made.packedValues = weigh.weights_desc();
    made.packedKeyBytes = made.packedKeys.get_size();
    made.packedValueBytes = made.packedValues.get_size();
    for (const size_t bytes :
         {scores.scratchpad_desc().get_size(), weigh.scratchpad_desc().get_size(),
          packKeys.scratchpad_desc().get_size(), packValues.scratchpad_desc().get_size()}) {
        scratchpadBytes_ = std::max(scratchpadBytes_, bytes);
    }
    return made;
}

const ScaledDotProductAttention::Products&
ScaledDotProductAttention::productsOfBlock(int64_t block) const {
    return last_ && block == keyBlocks_ - 1 ? *last_ : whole_;
}

size_t ScaledDotProductAttention::packedOffset(int64_t head, int64_t block, bool values) const {
    const size_t perBlock =
        aligned(values ? whole_.packedValueBytes : whole_.packedKeyBytes);
    return static_cast<size_t>(head) * packedHeadBytes_[values ? 1 : 0] +
           static_cast<size_t>(block) * perBlock;
}

double ScaledDotProductAttention::flops() const {
    return 4.0 * static_cast<double>(heads_ * queryLength_ * keyLength_ * headDim_);
}

void ScaledDotProductAttention::attendBlock(int64_t head, int64_t firstQuery,
                                            const float* queries, const uint8_t* packedKeys,
                                            const uint8_t* packedValues, float* output,
                                            float* workspace, uint8_t* scratchpad) const {
    const int64_t d = headDim_;
    const int64_t rows = rows_;
    const int64_t valid = std::min(rows, queryLength_ - firstQuery);
    float* blockQueries = workspace;
    float* weighted = blockQueries + rows * d;
    float* scores = weighted + rows * d;
    float* maxima = scores + rows * keyBlock_;
    float* sums = maxima + rows;
    float* rescale = sums + rows;
    auto* queries16 = reinterpret_cast<uint16_t*>(rescale + rows);
    uint16_t* weights16 = queries16 + rows * d + 32;

    // The queries, scaled once by log2 e / √d: the scores come out in base 2.
    const float scale = 1.4426950408889634f / std::sqrt(static_cast<float>(d));
    for (int64_t i = 0; i < valid; ++i) {
        const float* source = queries + (firstQuery + i) * layout_.queryStride + head * d;
        float* target = blockQueries + i * d;
        std::copy_n(source, d, target);
        kernels::scaleValues(target, d, scale);
    }
    // The last block's missing queries are zeros; their rows are dropped.
    std::fill(blockQueries + valid * d, blockQueries + rows * d, 0.0f);
    if (narrow_) {
        kernels::toBfloat16(blockQueries, queries16, rows * d);
    }
    std::fill_n(weighted, rows * d, 0.0f);
    std::fill_n(maxima, rows, kHidden);
    std::fill_n(sums, rows, 0.0f);

    const dnnl::engine& engine = ComputeContext::engine();
    dnnl::stream& stream = ComputeContext::stream();
    const auto operands = narrow_ ? memory::data_type::bf16 : memory::data_type::f32;
    memory pad(memory::desc({static_cast<memory::dim>(std::max<size_t>(scratchpadBytes_, 1))},
                            memory::data_type::u8, memory::format_tag::a),
               engine, scratchpad);
    memory blockQueriesMemory(stridedDesc(rows, d, operands, d, 1), engine,
                              narrow_ ? static_cast<void*>(queries16) : blockQueries);
    memory weightedMemory(stridedDesc(rows, d, memory::data_type::f32, d, 1), engine, weighted);

    // A causal query sees the keys up to its own position.
    const int64_t visibleKeys = causal_ ? std::min(keyLength_, firstQuery + valid) : keyLength_;
    const int64_t blocks = ceilDivide(visibleKeys, keyBlock_);
    for (int64_t block = 0; block < blocks; ++block) {
        const Products& products = productsOfBlock(block);
        const int64_t count = products.count;
        const int64_t firstKey = block * keyBlock_;
        memory keysMemory(products.packedKeys, engine,
                          const_cast<uint8_t*>(packedKeys + packedOffset(head, block, false)));
        memory valuesMemory(products.packedValues, engine,
                            const_cast<uint8_t*>(packedValues + packedOffset(head, block, true)));
        memory scoresMemory(stridedDesc(rows, count, memory::data_type::f32, count, 1), engine,
                            scores);
        products.scores.execute(stream, {{DNNL_ARG_SRC, blockQueriesMemory},
                                         {DNNL_ARG_WEIGHTS, keysMemory},
                                         {DNNL_ARG_DST, scoresMemory},
                                         {DNNL_ARG_SCRATCHPAD, pad}});
        if (causal_) {
            hideLaterKeys(scores, valid, count, count, firstQuery, firstKey);
        }
        kernels::runningSoftmaxStep(
            {scores, rows, count, count, maxima, sums, rescale, narrow_ ? weights16 : nullptr});
        if (block > 0) {
            for (int64_t i = 0; i < rows; ++i) {
                kernels::scaleValues(weighted + i * d, d, rescale[i]);
            }
        }
        memory weightsMemory(stridedDesc(rows, count, operands, count, 1), engine,
                             narrow_ ? static_cast<void*>(weights16) : scores);
        products.weigh.execute(stream, {{DNNL_ARG_SRC, weightsMemory},
                                        {DNNL_ARG_WEIGHTS, valuesMemory},
                                        {DNNL_ARG_DST, weightedMemory},
                                        {DNNL_ARG_SCRATCHPAD, pad}});
    }
    stream.wait();
    for (int64_t i = 0; i < valid; ++i) {
        float* target = output + (firstQuery + i) * layout_.outputStride + head * d;
        std::copy_n(weighted + i * d, d, target);
        kernels::scaleValues(target, d, 1.0f / sums[i]);
    }
}

void ScaledDotProductAttention::attendOnTiles(int64_t head, int64_t firstQuery,
                                              const uint16_t* queries16, const uint16_t* packedKeys,
                                              const uint16_t* packedValues, float* output,
                                              float* workspace) const {
    using kernels::roundUp;
    const int64_t d = headDim_;
    const int64_t depth = roundUp(d, 32);
    const int64_t width = roundUp(d, 16);
    const int64_t rows = kernels::kTileQueries;
    const int64_t valid = std::min(rows, queryLength_ - firstQuery);
    const int64_t stride = roundUp(keyBlock_, 32);
    float* scores = workspace;
    float* weighted = scores + rows * stride;
    float* maxima = weighted + rows * width;
    float* laneSums = maxima + rows;
    float* rescale = laneSums + 16 * rows;
    auto* weights16 = reinterpret_cast<uint16_t*>(rescale + rows);

    std::fill_n(weighted, rows * width, 0.0f);
    std::fill_n(maxima, rows, kernels::kUnsetMaximum);
    std::fill_n(laneSums, 16 * rows, 0.0f);

    const int64_t visibleKeys = causal_ ? std::min(keyLength_, firstQuery + valid) : keyLength_;
    const int64_t keyBlocks = ceilDivide(visibleKeys, keyBlock_);
    // Passes of 32 queries (two strips of 16: the products share each tile
    // they load between them), key block by key block. The scores of the
    // next pass go to the tiles before this pass's softmax, so that the
    // matrix engine can work while the vector units take the exponentials
    // (each pass has its own rows of weights; the passes take turns between
    // two sets of rows of scores).
    constexpr int64_t kPassRows = 32;
    const int64_t pairs = ceilDivide(valid, kPassRows);
    const int64_t passes = keyBlocks * pairs;
    const auto scoreRows = [&](int64_t pass) { return (pass % 2) * kPassRows * stride; };
    const kernels::TileSession tiles;
    const auto scoresOf = [&](int64_t pass) {
        const int64_t firstKey = (pass / pairs) * keyBlock_;
        const int64_t first = (pass % pairs) * kPassRows;
        const int64_t count = std::min(keyBlock_, visibleKeys - firstKey);
        kernels::tileScores(tiles, queries16 + first * depth, 2, d, packedKeys, firstKey / 16,
                            ceilDivide(count, 16), scores + scoreRows(pass), stride);
    };
    scoresOf(0);
    for (int64_t pass = 0; pass < passes; ++pass) {
        if (pass + 1 < passes) {
            scoresOf(pass + 1);
        }
        const int64_t firstKey = (pass / pairs) * keyBlock_;
        const int64_t first = (pass % pairs) * kPassRows;
        const int64_t count = std::min(keyBlock_, visibleKeys - firstKey);
        float* passScores = scores + scoreRows(pass);
        uint16_t* passWeights = weights16 + first * stride;
        if (causal_) {
            hideLaterKeys(passScores, std::min(kPassRows, valid - first), count, stride,
                          firstQuery + first, firstKey);
        }
        // The weights come out zero past the last key up to a whole 32, as
        // the products need (their packed values are zeros there too).
        const bool moved = kernels::laggingSoftmaxStep({passScores, kPassRows, count, stride,
                                                        maxima + first, laneSums + 16 * first,
                                                        rescale + first, passWeights});
        if (moved && firstKey > 0) {
            for (int64_t i = first; i < first + kPassRows; ++i) {
                if (rescale[i] != 1.0f) {
                    kernels::scaleValues(weighted + i * width, width, rescale[i]);
                }
            }
        }
        kernels::tileWeigh(tiles, passWeights, stride, 2, d, packedValues, firstKey / 32,
                           roundUp(count, 32) / 32, weighted + first * width);
    }
    for (int64_t i = 0; i < valid; ++i) {
        float* target = output + (firstQuery + i) * layout_.outputStride + head * d;
        std::copy_n(weighted + i * width, d, target);
        kernels::scaleValues(target, d, 1.0f / kernels::laneTotal(laneSums + 16 * i));
    }
}

void ScaledDotProductAttention::forwardOnTiles(const float* queries, const float* keys,
                                               const float* values, float* output) const {
    using kernels::roundUp;
    const int64_t d = headDim_;
    const int64_t depth = roundUp(d, 32);
    const int64_t width = roundUp(d, 16);
    const int64_t rows = kernels::kTileQueries;
    const int64_t queryBlocks = ceilDivide(queryLength_, rows);
    const size_t keysPerHead = packedHeadBytes_[0] / sizeof(uint16_t);
    const size_t valuesPerHead = packedHeadBytes_[1] / sizeof(uint16_t);
    const size_t queriesPerHead = static_cast<size_t>(queryBlocks * rows * depth);
    const size_t keyFloats = aligned(heads_ * packedHeadBytes_[0]) / sizeof(float);
    const size_t valueFloats = aligned(heads_ * packedHeadBytes_[1]) / sizeof(float);
    float* packed = packingScratch(keyFloats + valueFloats + ceilDivide(heads_ * queriesPerHead, 2));
    auto* keys16 = reinterpret_cast<uint16_t*>(packed);
    auto* values16 = reinterpret_cast<uint16_t*>(packed + keyFloats);
    auto* queries16 = reinterpret_cast<uint16_t*>(packed + keyFloats + valueFloats);
    const int64_t stride = roundUp(keyBlock_, 32);
    const size_t workspaceFloats =
        static_cast<size_t>(rows * stride + rows * width + 18 * rows + rows * stride / 2 + 16);
    // The queries scaled once by log2 e / √d, so that the scores come out in
    // base 2.
    const float scale = 1.4426950408889634f / std::sqrt(static_cast<float>(d));
    const int64_t keyChunks = ceilDivide(keyLength_, 32);
    const int64_t tasks = heads_ * queryBlocks;
    ParallelFailure failure;
#pragma omp parallel
    {
        AlignedBuffer workspace;
        failure.run([&] { workspace = AlignedBuffer(workspaceFloats); });
        // Every query block of a head reads all its keys and values: packed
        // once, 32 rows of every head at a time.
#pragma omp for schedule(static)
        for (int64_t chunk = 0; chunk < keyChunks; ++chunk) {
            failure.run([&] {
                const int64_t first = chunk * 32;
                const int64_t count = std::min<int64_t>(32, keyLength_ - first);
                kernels::packKeysForTiles(keys + first * layout_.keyStride, layout_.keyStride,
                                          count, heads_, d, keys16 + first * depth, keysPerHead);
                kernels::packValuesForTiles(values + first * layout_.valueStride,
                                            layout_.valueStride, count, heads_, d,
                                            values16 + first * width, valuesPerHead);
            });
        }
#pragma omp for schedule(static)
        for (int64_t block = 0; block < queryBlocks; ++block) {
            failure.run([&] {
                const int64_t first = block * rows;
                const int64_t count = std::min(rows, queryLength_ - first);
                kernels::packQueriesForTiles(queries + first * layout_.queryStride,
                                             layout_.queryStride, count, heads_, d, scale,
                                             queries16 + first * depth, queriesPerHead);
            });
        }
        // Head by head, so that the threads' consecutive blocks read the same
        // keys and values, which then stay in their second-level caches (a
        // head's at 4096 keys is about 1 MB; taking the heads in turn made
        // every block fetch its head's from the shared cache).
#pragma omp for schedule(dynamic, 1)
        for (int64_t task = 0; task < tasks; ++task) {
            failure.run([&] {
                const int64_t head = task / queryBlocks;
                const int64_t first = (task % queryBlocks) * rows;
                attendOnTiles(head, first, queries16 + head * queriesPerHead + first * depth,
                              keys16 + head * keysPerHead, values16 + head * valuesPerHead, output,
                              workspace.data());
            });
        }
    }
    failure.rethrow();
}

void ScaledDotProductAttention::forward(const float* queries, const float* keys,
                                        const float* values, float* output) const {
    ProfileScope profile("attention", flops());
    if (tiles_) {
        forwardOnTiles(queries, keys, values, output);
        return;
    }
    const int64_t d = headDim_;
    // Every query block of a head reads all its keys and values: pack them
    // once, head by head and block by block.
    AlignedBuffer packedKeys(ceilDivide(heads_ * packedHeadBytes_[0], sizeof(float)));
    AlignedBuffer packedValues(ceilDivide(heads_ * packedHeadBytes_[1], sizeof(float)));
    auto* keyBytes = reinterpret_cast<uint8_t*>(packedKeys.data());
    auto* valueBytes = reinterpret_cast<uint8_t*>(packedValues.data());
    const int64_t packs = heads_ * keyBlocks_;
    const int64_t blocks = ceilDivide(queryLength_, rows_);
    const int64_t tasks = heads_ * blocks;
    const size_t workspaceFloats = static_cast<size_t>(
        2 * rows_ * d + rows_ * keyBlock_ + 3 * rows_ + (rows_ * d + rows_ * keyBlock_) / 2 + 64);
    ParallelFailure failure;
#pragma omp parallel
    {
        AlignedBuffer workspace;
        AlignedBuffer scratchpad;
        failure.run([&] {
            workspace = AlignedBuffer(workspaceFloats);
            scratchpad = AlignedBuffer(ceilDivide(scratchpadBytes_, sizeof(float)) + 1);
        });
        const dnnl::engine& engine = ComputeContext::engine();
#pragma omp for schedule(static)
        for (int64_t pack = 0; pack < packs; ++pack) {
            failure.run([&] {
                const int64_t head = pack / keyBlocks_;
                const int64_t block = pack % keyBlocks_;
                const Products& products = productsOfBlock(block);
                const int64_t firstKey = block * keyBlock_;
                dnnl::stream& stream = ComputeContext::stream();
                memory pad(memory::desc({static_cast<memory::dim>(
                                            std::max<size_t>(scratchpadBytes_, 1))},
                                        memory::data_type::u8, memory::format_tag::a),
                           engine, scratchpad.data());
                memory keySource(stridedDesc(d, products.count, memory::data_type::f32, 1,
                                             layout_.keyStride),
                                 engine,
                                 const_cast<float*>(keys + firstKey * layout_.keyStride + head * d));
                memory keyTarget(products.packedKeys, engine,
                                 keyBytes + packedOffset(head, block, false));
                products.packKeys.execute(stream, {{DNNL_ARG_FROM, keySource},
                                                   {DNNL_ARG_TO, keyTarget},
                                                   {DNNL_ARG_SCRATCHPAD, pad}});
                memory valueSource(stridedDesc(products.count, d, memory::data_type::f32,
                                               layout_.valueStride, 1),
                                   engine,
                                   const_cast<float*>(values + firstKey * layout_.valueStride +
                                                      head * d));
                memory valueTarget(products.packedValues, engine,
                                   valueBytes + packedOffset(head, block, true));
                products.packValues.execute(stream, {{DNNL_ARG_FROM, valueSource},
                                                     {DNNL_ARG_TO, valueTarget},
                                                     {DNNL_ARG_SCRATCHPAD, pad}});
                stream.wait();
            });
        }
        // Head by head, as on the tiles: consecutive blocks share their keys
        // and values.
#pragma omp for schedule(dynamic, 1)
        for (int64_t task = 0; task < tasks; ++task) {
            failure.run([&] {
                const int64_t head = task / blocks;
                const int64_t first = (task % blocks) * rows_;
                attendBlock(head, first, queries, keyBytes, valueBytes, output, workspace.data(),
                            reinterpret_cast<uint8_t*>(scratchpad.data()));
            });
        }
    }
    failure.rethrow();
}

} // namespace dravelin
