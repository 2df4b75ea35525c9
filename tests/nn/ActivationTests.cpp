#include "nn/blocks/GegluFeedForward.h"
#include "nn/compute/Bfloat16.h"
#include "nn/compute/ConfigReader.h"
#include "nn/compute/WeightReader.h"
#include "nn/layers/Activation.h"
#include "nn/layers/GegluProjection.h"
#include "nn/layers/Linear.h"
#include "nn/support/NetworkFixtures.h"
#include "nn/support/ReferenceLoops.h"
#include "runtime/ComputePrecision.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

double gaussianErf(double x) {
    return 0.5 * x * (1.0 + std::erf(x / std::sqrt(2.0)));
}

double gaussianTanh(double x) {
    return 0.5 * x * (1.0 + std::tanh(std::sqrt(2.0 / M_PI) * (x + 0.044715 * x * x * x)));
}

const std::vector<std::pair<Activation, std::function<double(double)>>>& formulas() {
    static const std::vector<std::pair<Activation, std::function<double(double)>>> all{
        {Activation::silu, [](double x) { return x / (1.0 + std::exp(-x)); }},
        {Activation::quickGelu, [](double x) { return x / (1.0 + std::exp(-1.702 * x)); }},
        {Activation::geluErf, gaussianErf},
        {Activation::geluTanh, gaussianTanh},
        {Activation::relu, [](double x) { return x < 0.0 ? 0.0 : x; }},
        {Activation::mish, [](double x) { return x * std::tanh(std::log1p(std::exp(x))); }},
    };
    return all;
}

} // namespace

TEST(ActivationTest, KernelsFollowTheirFormulas) {
    // From deep in the saturated tails through zero, with an odd count so the
    // vector loops' remainders run too.
    std::vector<float> inputs;
    for (float x = -90.0f; x <= 90.0f; x += 0.0137f) {
        inputs.push_back(x);
    }
    for (const auto& [activation, formula] : formulas()) {
        std::vector<float> values = inputs;
        applyActivation(activation, values.data(), static_cast<int64_t>(values.size()));
        double worst = 0.0;
        for (size_t i = 0; i < inputs.size(); ++i) {
            const double expected = formula(inputs[i]);
            const double error =
                std::fabs(values[i] - expected) / std::max(1.0, std::fabs(expected));
            worst = std::max(worst, std::isnan(error) ? INFINITY : error);
        }
        EXPECT_LT(worst, 1e-6) << activationName(activation);
    }
}

TEST(ActivationTest, FusedIntoALinearLayerItMatchesTheKernel) {
    // The same activation as a oneDNN post-op and as our own loop.
    std::mt19937 generator(12);
    const ShapedArray weight = randomArray({24, 16}, generator, -1.0f, 1.0f);
    const ShapedArray bias = randomArray({24}, generator);
    const ShapedArray x = randomArray({5, 16}, generator, -3.0f, 3.0f);
    const Linear plain(weight, bias, 5);
    ShapedArray linear(Shape{5, 24});
    plain.forward(x.data(), linear.data());
    for (const auto& [activation, formula] : formulas()) {
        const Linear fused(weight, bias, 5, {activation});
        ShapedArray output(Shape{5, 24});
        fused.forward(x.data(), output.data());
        ShapedArray expected = linear;
        applyActivation(activation, expected.data(), expected.count());
        EXPECT_TRUE(closeTo(output, expected, 1e-5f)) << activationName(activation);
    }
}

TEST(ActivationTest, GegluGateFusedIntoTheProductMatchesTheUnfusedFormula) {
    // A denoising network's first feed-forward: the stored projection's first
    // half times the erf GELU of its second half, against one plain product
    // over the whole weight and the gate applied in double precision. 7 rows
    // run as one block, 24576 as several (the value half of a block stays in
    // cache): every block must land on its own rows.
    const std::string prefix = "down_blocks.0.attentions.0.transformer_blocks.0.ff.net.0.proj";
    WeightFiles files({fixturesDirectory() / "UNet.model" / "model.safetensors"});
    const ShapedArray bias = files.load(prefix + ".bias");
    const int64_t inner = bias.count() / 2;
    const ShapedArray weight = files.load(prefix + ".weight");
    const int64_t dim = weight.shape()[1];
    std::mt19937 generator(21);
    for (const int64_t rows : {int64_t{7}, int64_t{24576}}) {
        const ShapedArray x = randomArray({rows, dim}, generator, -2.0f, 2.0f);
        // In bfloat16 both ways round the same inputs and weights.
        // (A bfloat16 result may round the other way where the two differ in
        // float32: one unit of bfloat16, 2^-8 of the largest value.)
        for (const auto& [precision, tolerance] :
             {std::pair{ComputePrecision::float32, 1e-5f},
              std::pair{ComputePrecision::bfloat16, 1.0f / 256}}) {
            if (precision == ComputePrecision::bfloat16 && !processorHasBfloat16()) {
                continue; // refused on this processor
            }
            files.setComputePrecision(precision);
            ShapedArray both(Shape{rows, 2 * inner});
            Linear(weight, bias, rows, {Activation::identity, false, precision})
                .forward(x.data(), both.data());
            ShapedArray expected(Shape{rows, inner});
            for (int64_t r = 0; r < rows; ++r) {
                for (int64_t i = 0; i < inner; ++i) {
                    const float* row = both.data() + r * 2 * inner;
                    expected.data()[r * inner + i] =
                        static_cast<float>(row[i] * gaussianErf(row[inner + i]));
                }
            }
            const GegluProjection geglu(WeightReader(files), prefix, dim, inner, rows);
            EXPECT_EQ(geglu.blockRows() < rows,
                      rows > 7 && precision == ComputePrecision::bfloat16);
            ShapedArray output(Shape{rows, inner});
            if (precision == ComputePrecision::bfloat16) {
                // Written in bfloat16, for the output product to read as it is:
                // the same values, rounded.
                ASSERT_EQ(geglu.outputType(), ValueType::bfloat16);
                std::vector<uint16_t> narrow(static_cast<size_t>(output.count()));
                geglu.forward(x.data(), narrow.data());
                output = widened(narrow, output.shape());
                kernels::roundToBfloat16(expected.data(), expected.count());
            } else {
                geglu.forward(x.data(), output.data());
            }
            EXPECT_TRUE(closeTo(output, expected, tolerance))
                << precisionName(precision) << ", " << rows << " rows";
        }
    }

    // The whole feed-forward, block by block (in bfloat16, where it runs in
    // blocks), adds what the projection and the output product give over
    // all rows at once.
    files.setComputePrecision(processorHasBfloat16() ? ComputePrecision::bfloat16
                                                     : ComputePrecision::float32);
    const int64_t rows = 24576;
    const std::string ff = "down_blocks.0.attentions.0.transformer_blocks.0.ff";
    const ShapedArray x = randomArray({rows, dim}, generator, -2.0f, 2.0f);
    const ShapedArray start = randomArray({rows, dim}, generator);
    const GegluProjection whole(WeightReader(files), prefix, dim, inner, rows);
    AlignedBuffer gated(static_cast<size_t>(rows * inner));
    whole.forward(x.data(), Values(gated, whole.outputType()));
    ShapedArray expected = start;
    Linear(WeightReader(files), ff + ".net.2", inner, dim, true, rows, {Activation::identity, true})
        .forward(Values(gated, whole.outputType()), expected.data());
    ShapedArray output = start;
    GegluFeedForward(WeightReader(files), ff, dim, inner, rows).forward(x.data(), output.data());
    EXPECT_TRUE(closeTo(output, expected, 1e-5f));

    // The gated product needs its multiplier, and only it takes one.
    output = ShapedArray(Shape{rows, 2 * inner});
    const Linear gatedLayer(weight, bias, rows, {Activation::geluErf, false, std::nullopt, true});
    EXPECT_THROW(gatedLayer.forward(x.data(), output.data()), std::logic_error);
    EXPECT_THROW(Linear(weight, bias, rows).forward(x.data(), output.data(), output.data()),
                 std::logic_error);
}

TEST(ActivationTest, ConfigurationNamesMapAndUnknownOnesAreRefusedByKey) {
    EXPECT_EQ(activationNamed("swish", "act_fn"), Activation::silu);
    EXPECT_EQ(activationNamed("quick_gelu", "hidden_act"), Activation::quickGelu);
    EXPECT_EQ(activationNamed("gelu", "hidden_act"), Activation::geluErf);
    EXPECT_EQ(activationNamed("gelu_pytorch_tanh", "hidden_act"), Activation::geluTanh);
    try {
        activationNamed("relu6", "hidden_act");
        FAIL() << "relu6 was accepted";
    } catch (const ConfigurationError& error) {
        EXPECT_NE(std::string(error.what()).find("\"hidden_act\""), std::string::npos);
        EXPECT_NE(std::string(error.what()).find("relu6"), std::string::npos);
    }
}

TEST(ActivationTest, KernelsLeaveTheCallersFloatingPointModeAsItWas) {
    // The kernels flush subnormal numbers while they run; the caller's own
    // arithmetic must still produce them afterwards.
    std::vector<float> values{-100.0f, -1.0f, 0.0f, 1e-39f, 2.0f};
    for (const auto& [activation, formula] : formulas()) {
        applyActivation(activation, values.data(), static_cast<int64_t>(values.size()));
        volatile float smallest = 1.17549435e-38f;
        const float half = smallest * 0.5f;
        EXPECT_EQ(std::fpclassify(half), FP_SUBNORMAL) << activationName(activation);
        volatile float subnormal = 1e-39f;
        EXPECT_GT(subnormal * 2.0f, 0.0f) << activationName(activation);
    }
}
