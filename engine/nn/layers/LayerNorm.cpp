#include "nn/layers/LayerNorm.h"

#include "nn/compute/Bfloat16.h"
#include "nn/compute/ComputeContext.h"
#include "nn/compute/Profiler.h"
#include "nn/compute/Scratchpad.h"
#include "nn/compute/VectorClones.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace dravelin {

using dnnl::memory;

namespace {

DRAVELIN_WIDE_VECTOR_CLONES
float sum(const float* values, int64_t count) {
    float total = 0.0f;
#pragma omp simd reduction(+ : total)
    for (int64_t i = 0; i < count; ++i) {
        total += values[i];
    }
    return total;
}

DRAVELIN_WIDE_VECTOR_CLONES
float squaredDeviations(const float* values, int64_t count, float mean) {
    float total = 0.0f;
#pragma omp simd reduction(+ : total)
    for (int64_t i = 0; i < count; ++i) {
        const float d = values[i] - mean;
        total += d * d;
    }
    return total;
}

DRAVELIN_WIDE_VECTOR_CLONES
void scaleRow(const float* in, int64_t count, float mean, float inverse, const float* scale,
              const float* shift, float* out) {
    for (int64_t i = 0; i < count; ++i) {
        out[i] = (in[i] - mean) * inverse * scale[i] + shift[i];
    }
}

// One row's mean, then its variance around the mean (two passes over a row
// in cache, like oneDNN's), then the normalised row in bfloat16.
void normalizeRow(const float* in, int64_t count, float epsilon, const float* scale,
                  const float* shift, float* scratch, uint16_t* out) {
    const float mean = sum(in, count) / static_cast<float>(count);
    const float variance = squaredDeviations(in, count, mean) / static_cast<float>(count);
    scaleRow(in, count, mean, 1.0f / std::sqrt(variance + epsilon), scale, shift, scratch);
    kernels::toBfloat16(scratch, out, count);
}

} // namespace

LayerNorm::LayerNorm(const WeightReader& weights, const std::string& prefix, int64_t features,
                     int64_t rows, float epsilon)
    : LayerNorm(weights.read(prefix + ".weight", {features}),
                weights.read(prefix + ".bias", {features}), rows, epsilon) {}

LayerNorm::LayerNorm(const ShapedArray& scale, const ShapedArray& shift, int64_t rows,
                     float epsilon)
    : features_(scale.count()), rows_(rows), epsilon_(epsilon) {
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

void LayerNorm::forward(const float* input, Values output) const {
    ProfileScope profile("layer norm", 0);
    if (output.type == ValueType::bfloat16) {
        const auto* scale = static_cast<const float*>(scale_.get_data_handle());
        const auto* shift = static_cast<const float*>(shift_.get_data_handle());
        const int64_t features = features_;
        // A row of scratch per thread: a few kilobytes.
        std::vector<float> scratch(static_cast<size_t>(omp_get_max_threads() * features));
#pragma omp parallel for schedule(static)
        for (int64_t r = 0; r < rows_; ++r) {
            normalizeRow(input + r * features, features, epsilon_, scale, shift,
                         scratch.data() + omp_get_thread_num() * features,
                         output.halves() + r * features);
        }
        return;
    }
    const dnnl::engine& engine = ComputeContext::engine();
    memory source(desc_, engine, const_cast<float*>(input));
    memory target(desc_, engine, output.floats());
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
