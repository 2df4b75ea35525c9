#include "nn/layers/TapProduct.h"

#include "nn/compute/AlignedBuffer.h"
#include "nn/compute/ComputeContext.h"

namespace dravelin {

namespace {

using dnnl::memory;
constexpr auto bf16 = memory::data_type::bf16;
constexpr auto f32 = memory::data_type::f32;

} // namespace

TapProduct::TapProduct(int64_t inChannels, int64_t outChannels, int64_t pixelStride)
    : inChannels_(inChannels), outChannels_(outChannels), pixelStride_(pixelStride),
      cache_(std::make_shared<Cache>()) {}

TapProduct::Made TapProduct::forRows(int64_t rows) const {
    std::lock_guard lock(cache_->mutex);
    auto found = cache_->byRows.find(rows);
    if (found != cache_->byRows.end()) {
        return found->second;
    }
    dnnl::post_ops sum;
    sum.append_sum(1.0f);
    dnnl::primitive_attr attributes;
    attributes.set_post_ops(sum);
    attributes.set_scratchpad_mode(dnnl::scratchpad_mode::user);
    const dnnl::matmul::primitive_desc primitive(
        dnnl::matmul::desc(memory::desc({rows, inChannels_}, bf16, {pixelStride_, 1}),
                           memory::desc({inChannels_, outChannels_}, bf16, memory::format_tag::ab),
                           memory::desc({rows, outChannels_}, f32, memory::format_tag::ab)),
        attributes, ComputeContext::engine());
    Made made{dnnl::matmul(primitive), primitive.scratchpad_desc().get_size()};
    cache_->byRows.emplace(rows, made);
    return made;
}

void TapProduct::multiplyAdd(const uint16_t* pixels, int64_t rows, const uint16_t* weights,
                             float* output) const {
    const Made made = forRows(rows);
    thread_local AlignedBuffer scratchpad;
    const size_t floats = (made.scratchpadBytes + sizeof(float) - 1) / sizeof(float);
    if (scratchpad.size() < floats) {
        scratchpad = AlignedBuffer(floats);
    }
    const dnnl::engine& engine = ComputeContext::engine();
    memory a(memory::desc({rows, inChannels_}, bf16, {pixelStride_, 1}), engine,
             const_cast<uint16_t*>(pixels));
    memory b(memory::desc({inChannels_, outChannels_}, bf16, memory::format_tag::ab), engine,
             const_cast<uint16_t*>(weights));
    memory c(memory::desc({rows, outChannels_}, f32, memory::format_tag::ab), engine, output);
    memory pad(memory::desc({static_cast<memory::dim>(made.scratchpadBytes)}, memory::data_type::u8,
                            memory::format_tag::a),
               engine, scratchpad.data());
    dnnl::stream& stream = ComputeContext::stream();
    made.product.execute(
        stream,
        {{DNNL_ARG_SRC, a}, {DNNL_ARG_WEIGHTS, b}, {DNNL_ARG_DST, c}, {DNNL_ARG_SCRATCHPAD, pad}});
    stream.wait();
}

} // namespace dravelin
