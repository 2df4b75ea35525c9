#include "OneDnnRates.h"

#include "nn/compute/ComputeContext.h"

#include <oneapi/dnnl/dnnl.hpp>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <unordered_map>

namespace {

using dnnl::memory;
using Tag = memory::format_tag;
using Clock = std::chrono::steady_clock;

// Runs `primitive` on freshly allocated (zero) operands of its own layouts,
// best of `runs` after a warm-up, in GFLOP/s.
template <typename Descriptor>
double bestRate(const Descriptor& descriptor, const dnnl::primitive& primitive,
                std::unordered_map<int, memory::desc> arguments, double flops, int runs) {
    const dnnl::engine& engine = dravelin::ComputeContext::engine();
    dnnl::stream& stream = dravelin::ComputeContext::stream();
    std::unordered_map<int, memory> operands;
    for (const auto& [argument, layout] : arguments) {
        memory operand(layout, engine);
        std::memset(operand.get_data_handle(), 0, layout.get_size());
        operands.emplace(argument, operand);
    }
    (void)descriptor;
    double best = 1e30;
    for (int run = 0; run <= runs; ++run) {
        const auto start = Clock::now();
        primitive.execute(stream, operands);
        stream.wait();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (run > 0) {
            best = std::min(best, seconds);
        }
    }
    return flops / best / 1e9;
}

} // namespace

OneDnnRate measureOneDnnConvolution(bool bfloat16, long channels, long size) {
    dravelin::ComputeThreadsScope threads;
    const auto operands = bfloat16 ? memory::data_type::bf16 : memory::data_type::f32;
    const memory::dim n = 2;
    const memory::dim c = channels;
    const memory::dim s = size;
    OneDnnRate rate;
    try {
        const dnnl::convolution_forward::primitive_desc descriptor(
            dnnl::convolution_forward::desc(
                dnnl::prop_kind::forward_inference, dnnl::algorithm::convolution_direct,
                memory::desc({n, c, s, s}, operands, Tag::any),
                memory::desc({c, c, 3, 3}, operands, Tag::any),
                memory::desc({c}, memory::data_type::f32, Tag::a),
                memory::desc({n, c, s, s}, memory::data_type::f32, Tag::any), {1, 1}, {1, 1},
                {1, 1}),
            dravelin::ComputeContext::engine());
        rate.kernel = descriptor.impl_info_str();
        const double flops = 2.0 * n * s * s * static_cast<double>(c * c) * 9;
        rate.gflops = bestRate(descriptor, dnnl::convolution_forward(descriptor),
                               {{DNNL_ARG_SRC, descriptor.src_desc()},
                                {DNNL_ARG_WEIGHTS, descriptor.weights_desc()},
                                {DNNL_ARG_BIAS, descriptor.bias_desc()},
                                {DNNL_ARG_DST, descriptor.dst_desc()}},
                               flops, 5);
    } catch (const dnnl::error&) {
        rate.kernel = "none";
    }
    return rate;
}

OneDnnRates measureOneDnnRates(bool bfloat16) {
    OneDnnRates rates;
    rates.convolution = measureOneDnnConvolution(bfloat16, 320, 64);
    dravelin::ComputeThreadsScope threads;
    const auto operands = bfloat16 ? memory::data_type::bf16 : memory::data_type::f32;
    const memory::dim m = 8192, k = 320, n = 1280;
    try {
        const dnnl::matmul::primitive_desc descriptor(
            dnnl::matmul::desc(memory::desc({m, k}, operands, Tag::ab),
                               memory::desc({k, n}, operands, Tag::any),
                               memory::desc({m, n}, memory::data_type::f32, Tag::ab)),
            dravelin::ComputeContext::engine());
        rates.matmul.kernel = descriptor.impl_info_str();
        rates.matmul.gflops = bestRate(descriptor, dnnl::matmul(descriptor),
                                       {{DNNL_ARG_SRC, descriptor.src_desc()},
                                        {DNNL_ARG_WEIGHTS, descriptor.weights_desc()},
                                        {DNNL_ARG_DST, descriptor.dst_desc()}},
                                       2.0 * m * k * n, 5);
    } catch (const dnnl::error&) {
        rates.matmul.kernel = "none";
    }
    return rates;
}
