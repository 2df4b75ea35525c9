#include "nn/layers/Linear.h"

#include "nn/compute/AlignedBuffer.h"
#include "nn/compute/Bfloat16.h"
#include "nn/compute/ComputeContext.h"
#include "nn/compute/Profiler.h"
#include "nn/compute/Scratchpad.h"

#include <algorithm>
#include <stdexcept>

namespace dravelin {

namespace {

using dnnl::memory;
using Tag = memory::format_tag;
constexpr auto f32 = memory::data_type::f32;
constexpr auto bf16 = memory::data_type::bf16;

std::optional<ShapedArray> readBias(const WeightReader& weights, const std::string& prefix,
                                    int64_t outFeatures, bool hasBias) {
    if (!hasBias) {
        return std::nullopt;
    }
    return weights.read(prefix + ".bias", {outFeatures});
}

} // namespace

Linear::Linear(const WeightReader& weights, const std::string& prefix, int64_t inFeatures,
               int64_t outFeatures, bool hasBias, int64_t rows, LinearOptions options)
    : Linear(weights.read(prefix + ".weight", {outFeatures, inFeatures}),
             readBias(weights, prefix, outFeatures, hasBias), rows,
             LinearOptions{options.activation, options.accumulate,
                           options.precision.value_or(weights.precision()), options.multiplied,
                           options.output}) {}

Linear::Linear(const ShapedArray& weight, const std::optional<ShapedArray>& bias, int64_t rows,
               LinearOptions options)
    : rows_(rows), precision_(options.precision.value_or(ComputePrecision::float32)),
      multiplied_(options.multiplied), outputType_(options.output) {
    if (weight.rank() != 2 || rows < 1 || (bias && bias->shape() != Shape{weight.shape()[0]})) {
        throw std::invalid_argument("A linear layer takes an [out, in] weight and an [out] bias, "
                                    "not " +
                                    describe(weight.shape()) + ".");
    }
    if (outputType_ == ValueType::bfloat16 && precision_ != ComputePrecision::bfloat16) {
        throw std::invalid_argument("A float32 linear layer cannot write bfloat16 values.");
    }
    outFeatures_ = weight.shape()[0];
    inFeatures_ = weight.shape()[1];
    const dnnl::engine& engine = ComputeContext::engine();

    const auto operands = precision_ == ComputePrecision::bfloat16 ? bf16 : f32;
    sourceDesc_ = memory::desc({rows_, inFeatures_}, operands, Tag::ab);
    targetDesc_ = memory::desc({rows_, outFeatures_},
                               outputType_ == ValueType::bfloat16 ? bf16 : f32, Tag::ab);
    const memory::desc anyWeights({inFeatures_, outFeatures_}, operands, Tag::any);
    const memory::desc biasDesc({1, outFeatures_}, f32, Tag::ab);

    dnnl::post_ops postOps;
    appendActivation(postOps, options.activation);
    if (multiplied_) {
        multiplierDesc_ = memory::desc({rows_, outFeatures_}, f32, Tag::ab);
        multiplierIndex_ = postOps.len();
        postOps.append_binary(dnnl::algorithm::binary_mul, multiplierDesc_);
    }
    if (options.accumulate) {
        postOps.append_sum(1.0f);
    }
    dnnl::primitive_attr attributes;
    attributes.set_post_ops(postOps);
    Scratchpad::useShared(attributes);
    const auto description =
        bias ? dnnl::matmul::desc(sourceDesc_, anyWeights, biasDesc, targetDesc_)
             : dnnl::matmul::desc(sourceDesc_, anyWeights, targetDesc_);
    const dnnl::matmul::primitive_desc primitive(description, attributes, engine);
    multiply_ = dnnl::matmul(primitive);
    scratchpadDesc_ = primitive.scratchpad_desc();

    ProfileScope profile("load: linear weights packed", 0);
    // The stored [out, in] rows are the columns of the [in, out] operand.
    dnnl::stream& stream = ComputeContext::stream();
    const memory::desc given({inFeatures_, outFeatures_}, f32, Tag::ba);
    memory givenWeights(given, engine, const_cast<float*>(weight.data()));
    weights_ = memory(primitive.weights_desc(), engine);
    dnnl::reorder(givenWeights, weights_).execute(stream, givenWeights, weights_);
    if (bias) {
        bias_ = memory(biasDesc, engine);
        std::copy_n(bias->data(), outFeatures_, static_cast<float*>(bias_->get_data_handle()));
    }
    stream.wait();
}

void Linear::declare(WeightList& list, const std::string& prefix, int64_t inFeatures,
                     int64_t outFeatures, bool hasBias) {
    list.push_back({prefix + ".weight", {outFeatures, inFeatures}});
    if (hasBias) {
        list.push_back({prefix + ".bias", {outFeatures}});
    }
}

void Linear::forward(ConstValues input, Values output) const {
    if (multiplied_) {
        throw std::logic_error("A gated linear layer was run without its multiplier.");
    }
    run(input, output, nullptr);
}

void Linear::forward(ConstValues input, Values output, const float* multiplier) const {
    if (!multiplied_ || multiplier == nullptr) {
        throw std::logic_error(multiplied_ ? "A gated linear layer was run without its multiplier."
                                           : "A linear layer was given a multiplier it has no "
                                             "place for.");
    }
    run(input, output, multiplier);
}

void Linear::run(ConstValues input, Values output, const float* multiplier) const {
    if (output.type != outputType_ ||
        (input.type == ValueType::bfloat16 && precision_ != ComputePrecision::bfloat16)) {
        throw std::logic_error(std::string("A linear layer reading ") + describe(inputType()) +
                               " and writing " + describe(outputType_) + " was given " +
                               describe(input.type) + " in and " + describe(output.type) + " out.");
    }
    ProfileScope profile("linear", flops());
    const dnnl::engine& engine = ComputeContext::engine();
    AlignedBuffer converted;
    void* sourceData = const_cast<void*>(input.data);
    if (precision_ == ComputePrecision::bfloat16 && input.type == ValueType::float32) {
        const int64_t count = rows_ * inFeatures_;
        converted = AlignedBuffer(floatsFor(count, ValueType::bfloat16));
        auto* values = reinterpret_cast<uint16_t*>(converted.data());
        constexpr int64_t kBlock = int64_t{1} << 15;
#pragma omp parallel for schedule(static) if (count > kBlock)
        for (int64_t first = 0; first < count; first += kBlock) {
            kernels::toBfloat16(input.floats() + first, values + first,
                                std::min(kBlock, count - first));
        }
        sourceData = values;
    }
    memory source(sourceDesc_, engine, sourceData);
    memory target(targetDesc_, engine, output.data);
    std::unordered_map<int, memory> arguments{
        {DNNL_ARG_SRC, source}, {DNNL_ARG_WEIGHTS, weights_}, {DNNL_ARG_DST, target}};
    if (bias_) {
        arguments.emplace(DNNL_ARG_BIAS, *bias_);
    }
    if (multiplied_) {
        arguments.emplace(DNNL_ARG_ATTR_MULTIPLE_POST_OP(multiplierIndex_) | DNNL_ARG_SRC_1,
                          memory(multiplierDesc_, engine, const_cast<float*>(multiplier)));
    }
    Scratchpad::addTo(arguments, scratchpadDesc_);
    dnnl::stream& stream = ComputeContext::stream();
    multiply_.execute(stream, arguments);
    stream.wait();
}

} // namespace dravelin
