#include "nn/layers/LayerNorm.h"

#include "nn/compute/ComputeContext.h"
#include "nn/compute/Profiler.h"
#include "nn/compute/Scratchpad.h"

#include <algorithm>
#include <stdexcept>

namespace dravelin {

using dnnl::memory;

LayerNorm::LayerNorm(const WeightReader& weights, const std::string& prefix, int64_t features,
                     int64_t rows, float epsilon)
    : LayerNorm(weights.read(prefix + ".weight", {features}),
                weights.read(prefix + ".bias", {features}), rows, epsilon) {}

LayerNorm::LayerNorm(const ShapedArray& scale, const ShapedArray& shift, int64_t rows,
                     float epsilon)
    : features_(scale.count()) {
    if (scale.rank() != 1 || shift.shape() != scale.shape() || rows < 1) {
        throw std::invalid_argument("A layer norm takes a scale and a shift of one shape.");
    }
    const dnnl::engine& engine = ComputeContext::engine();
    desc_ = memory::desc({rows, features_}, memory::data_type::f32, memory::format_tag::ab);
    dnnl::primitive_attr attributes;
    Scratchpad::useShared(attributes);
    const dnnl::layer_normalization_forward::primitive_desc primitive(
        dnnl::layer_normalization_forward::desc(dnnl::prop_kind::forward_inference, desc_, epsilon,
                                                dnnl::normalization_flags::use_scale |
                                                    dnnl::normalization_flags::use_shift),
        attributes, engine);
    normalize_ = dnnl::layer_normalization_forward(primitive);
    scratchpadDesc_ = primitive.scratchpad_desc();
    const memory::desc factors({features_}, memory::data_type::f32, memory::format_tag::x);
    scale_ = memory(factors, engine);
    shift_ = memory(factors, engine);
    std::copy_n(scale.data(), features_, static_cast<float*>(scale_.get_data_handle()));
    std::copy_n(shift.data(), features_, static_cast<float*>(shift_.get_data_handle()));
}

void LayerNorm::declare(WeightList& list, const std::string& prefix, int64_t features) {
    list.push_back({prefix + ".weight", {features}});
    list.push_back({prefix + ".bias", {features}});
}

void LayerNorm::forward(const float* input, float* output) const {
    ProfileScope profile("layer norm", 0);
    const dnnl::engine& engine = ComputeContext::engine();
    memory source(desc_, engine, const_cast<float*>(input));
    memory target(desc_, engine, output);
    dnnl::stream& stream = ComputeContext::stream();
    std::unordered_map<int, memory> arguments{{DNNL_ARG_SRC, source},
                                              {DNNL_ARG_DST, target},
                                              {DNNL_ARG_SCALE, scale_},
                                              {DNNL_ARG_SHIFT, shift_}};
    Scratchpad::addTo(arguments, scratchpadDesc_);
    normalize_.execute(stream, arguments);
    stream.wait();
}

} // namespace dravelin
