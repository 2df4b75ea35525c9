#pragma once

#include <oneapi/dnnl/dnnl.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace dravelin {

// The activation functions the networks use.
enum class Activation {
    identity,
    silu,      // x·sigmoid(x), also called swish
    quickGelu, // x·sigmoid(1.702·x)
    geluErf,   // 0.5·x·(1 + erf(x/√2))
    geluTanh,  // the tanh approximation of GELU
    relu,
    mish, // x·tanh(softplus(x))
};

// The activation a configuration names under `key` (diffusers' "act_fn",
// transformers' "hidden_act"); throws ConfigurationError naming the key for a
// function this runtime does not implement.
Activation activationNamed(const std::string& name, const std::string& key);
std::string_view activationName(Activation activation);

// Applies the activation in place.
void applyActivation(Activation activation, float* values, int64_t count);

// Appends the activation as a oneDNN post-op, so a layer's output is
// activated while it is still in registers. Nothing for identity.
void appendActivation(dnnl::post_ops& postOps, Activation activation);

} // namespace dravelin
