#include "nn/layers/Activation.h"

#include "nn/compute/ConfigReader.h"
#include "nn/layers/ActivationKernels.h"

#include <map>

namespace dravelin {

Activation activationNamed(const std::string& name, const std::string& key) {
    static const std::map<std::string, Activation> known{
        {"silu", Activation::silu},
        {"swish", Activation::silu},
        {"quick_gelu", Activation::quickGelu},
        {"gelu", Activation::geluErf},
        {"gelu_new", Activation::geluTanh},
        {"gelu_fast", Activation::geluTanh},
        {"gelu_pytorch_tanh", Activation::geluTanh},
        {"relu", Activation::relu},
        {"mish", Activation::mish},
    };
    auto found = known.find(name);
    if (found == known.end()) {
        throw ConfigurationError(ConfigReader::about(key) + " is " + ConfigReader::excerpt(name) +
                                 ", an activation this runtime does not implement (it has "
                                 "silu, swish, quick_gelu, gelu, gelu_new, gelu_fast, "
                                 "gelu_pytorch_tanh, relu and mish).");
    }
    return found->second;
}

std::string_view activationName(Activation activation) {
    switch (activation) {
    case Activation::identity:
        return "identity";
    case Activation::silu:
        return "silu";
    case Activation::quickGelu:
        return "quick_gelu";
    case Activation::geluErf:
        return "gelu";
    case Activation::geluTanh:
        return "gelu_tanh";
    case Activation::relu:
        return "relu";
    case Activation::mish:
        return "mish";
    }
    return "unknown";
}

void applyActivation(Activation activation, float* values, int64_t count) {
    switch (activation) {
    case Activation::identity:
        return;
    case Activation::silu:
        return kernels::silu(values, count);
    case Activation::quickGelu:
        return kernels::quickGelu(values, count);
    case Activation::geluErf:
        return kernels::geluErf(values, count);
    case Activation::geluTanh:
        return kernels::geluTanh(values, count);
    case Activation::relu:
        return kernels::relu(values, count);
    case Activation::mish:
        return kernels::mish(values, count);
    }
}

void appendActivation(dnnl::post_ops& postOps, Activation activation) {
    using dnnl::algorithm;
    switch (activation) {
    case Activation::identity:
        return;
    case Activation::silu:
        return postOps.append_eltwise(1.0f, algorithm::eltwise_swish, 1.0f, 0.0f);
    case Activation::quickGelu:
        return postOps.append_eltwise(1.0f, algorithm::eltwise_swish, 1.702f, 0.0f);
    case Activation::geluErf:
        return postOps.append_eltwise(1.0f, algorithm::eltwise_gelu_erf, 0.0f, 0.0f);
    case Activation::geluTanh:
        return postOps.append_eltwise(1.0f, algorithm::eltwise_gelu_tanh, 0.0f, 0.0f);
    case Activation::relu:
        return postOps.append_eltwise(1.0f, algorithm::eltwise_relu, 0.0f, 0.0f);
    case Activation::mish:
        return postOps.append_eltwise(1.0f, algorithm::eltwise_mish, 0.0f, 0.0f);
    }
}

} // namespace dravelin
