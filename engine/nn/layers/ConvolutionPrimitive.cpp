#include "nn/layers/ConvolutionPrimitive.h"

#include "nn/compute/ComputeContext.h"
#include "nn/compute/Profiler.h"
#include "nn/compute/Scratchpad.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace dravelin {

namespace {

using dnnl::memory;
using Tag = memory::format_tag;

// The image size the weights are laid out for at construction: the latent
// size of a 512×512 image, where most of a denoising network's work is.
constexpr int64_t kLayoutSize = 64;

bool isReference(const char* kernel) {
    return std::strncmp(kernel, "ref", 3) == 0;
}

} // namespace

ConvolutionPrimitive::ConvolutionPrimitive(const ShapedArray& weight, const ShapedArray& bias,
                                           int stride, ComputePrecision precision)
    : inChannels_(weight.shape()[1]), outChannels_(weight.shape()[0]),
      kernel_(static_cast<int>(weight.shape()[2])), stride_(stride),
      operands_(precision == ComputePrecision::bfloat16 ? memory::data_type::bf16
                                                        : memory::data_type::f32),
      cache_(std::make_shared<Cache>()) {
    const dnnl::engine& engine = ComputeContext::engine();
    const memory::desc anyWeights({outChannels_, inChannels_, kernel_, kernel_}, operands_,
                                  Tag::any);
    dnnl::convolution_forward::primitive_desc layout;
    try {
        // As the convolution will describe it: a framed image padded by the
        // kernel, or for stride 2 the rows and columns it reads.
        layout = describe(stride_ == 1 ? Key{1, kLayoutSize + 2, kLayoutSize + 2, kernel_ / 2,
                                             kernel_ / 2, false}
                                       : Key{1, kLayoutSize + 1, kLayoutSize + 1, 0, 0, false},
                          anyWeights);
    } catch (const dnnl::error&) {
        return; // no kernel for this precision here
    }
    kernelName_ = layout.impl_info_str();
    if (isReference(kernelName_.c_str())) {
        return;
    }
    ProfileScope profile("load: convolution weights reordered", 0);
    memory given(memory::desc({outChannels_, inChannels_, kernel_, kernel_},
                                    memory::data_type::f32, Tag::oihw),
                       engine, const_cast<float*>(weight.data()));
    cache_->loaded = memory(layout.weights_desc(), engine);
    dnnl::stream& stream = ComputeContext::stream();
    dnnl::reorder(given, cache_->loaded).execute(stream, given, cache_->loaded);
    bias_ = memory(memory::desc({outChannels_}, memory::data_type::f32, Tag::a), engine);
    std::memcpy(bias_.get_data_handle(), bias.data(),
                static_cast<size_t>(outChannels_) * sizeof(float));
    stream.wait();
    available_ = true;
}

int64_t ConvolutionPrimitive::outputSize(int64_t paddedSize) const {
    return (paddedSize - kernel_) / stride_ + 1;
}

dnnl::convolution_forward::primitive_desc
ConvolutionPrimitive::describe(const Key& size, const memory::desc& weights) const {
    const auto [images, rows, columns, padRows, padColumns, accumulate] = size;
    const memory::desc source({images, inChannels_, rows, columns}, operands_, Tag::nhwc);
    const memory::desc output({images, outChannels_, outputSize(rows + 2 * padRows),
                               outputSize(columns + 2 * padColumns)},
                              memory::data_type::f32, Tag::nhwc);
    const memory::desc bias({outChannels_}, memory::data_type::f32, Tag::a);
    dnnl::primitive_attr attributes;
    Scratchpad::useShared(attributes);
    if (accumulate) {
        dnnl::post_ops sum;
        sum.append_sum(1.0f);
        attributes.set_post_ops(sum);
    }
    const memory::dims padding{padRows, padColumns};
    return dnnl::convolution_forward::primitive_desc(
        dnnl::convolution_forward::desc(dnnl::prop_kind::forward_inference,
                                        dnnl::algorithm::convolution_direct, source, weights, bias,
                                        output, {stride_, stride_}, padding, padding),
        attributes, ComputeContext::engine());
}

ConvolutionPrimitive::Made ConvolutionPrimitive::forSize(const Key& key) const {
    std::lock_guard lock(cache_->mutex);
    const auto found = cache_->made.find(key);
    if (found != cache_->made.end()) {
        return found->second;
    }
    const memory::desc anyWeights({outChannels_, inChannels_, kernel_, kernel_}, operands_,
                                  Tag::any);
    dnnl::convolution_forward::primitive_desc chosen = describe(key, anyWeights);
    memory& loaded = cache_->loaded;
    memory weights = loaded;
    if (chosen.weights_desc() != loaded.get_desc()) {
        // This size's kernel prefers another layout: take the loaded one if a
        // real kernel accepts it, else reorder a copy for this size.
        bool kept = false;
        try {
            auto fixed = describe(key, loaded.get_desc());
            if (!isReference(fixed.impl_info_str())) {
                chosen = fixed;
                kept = true;
            }
        } catch (const dnnl::error&) {
        }
        if (!kept) {
            dnnl::stream& stream = ComputeContext::stream();
            weights = memory(chosen.weights_desc(), ComputeContext::engine());
            dnnl::reorder(loaded, weights).execute(stream, loaded, weights);
            stream.wait();
            const bool loadedUsed =
                std::any_of(cache_->made.begin(), cache_->made.end(), [&](const auto& entry) {
                    return entry.second.weights.get_data_handle() == loaded.get_data_handle();
                });
            if (!loadedUsed) {
                loaded = weights;
            }
        }
    }
    Made made{dnnl::convolution_forward(chosen), chosen.src_desc(), chosen.dst_desc(),
              chosen.scratchpad_desc(), weights};
    cache_->made.emplace(key, made);
    return made;
}

void ConvolutionPrimitive::run(const void* source, int64_t images, int64_t rows, int64_t columns,
                               int padRows, int padColumns, float* output, bool accumulate) const {
    if (!available_) {
        throw std::logic_error("This convolution has no oneDNN kernel on this processor.");
    }
    const Made made = forSize(Key{images, rows, columns, padRows, padColumns, accumulate});
    const dnnl::engine& engine = ComputeContext::engine();
    memory sourceMemory(made.source, engine, const_cast<void*>(source));
    memory outputMemory(made.output, engine, output);
    dnnl::stream& stream = ComputeContext::stream();
    std::unordered_map<int, memory> arguments{{DNNL_ARG_SRC, sourceMemory},
                                              {DNNL_ARG_WEIGHTS, made.weights},
                                              {DNNL_ARG_BIAS, bias_},
                                              {DNNL_ARG_DST, outputMemory}};
    Scratchpad::addTo(arguments, made.scratchpad);
    made.primitive.execute(stream, arguments);
    stream.wait();
}

} // namespace dravelin
