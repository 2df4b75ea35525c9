#include "model/ModelTool.h"
#include "nn/compute/Bfloat16.h"
#include "nn/compute/FeatureMap.h"
#include "nn/layers/LayerNorm.h"
#include "nn/layers/Linear.h"
#include "nn/layers/PixelTokens.h"
#include "nn/layers/ScaledDotProductAttention.h"
#include "nn/support/NetworkFixtures.h"
#include "nn/support/ReferenceLoops.h"
#include "runtime/Bundle.h"
#include "runtime/ComputePrecision.h"
#include "runtime/Model.h"
#include "runtime/Network.h"
#include "runtime/NetworkRegistry.h"
#include "runtime/RuntimeErrors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <sstream>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

// bfloat16 keeps 8 significant bits: each rounding of a product's input is
// off by up to 2^-9 (0.2 %) of the value, and a sum of products with errors
// of random sign by about that share of its own size. Through a network's
// chain of layers the output moves by what the network makes of such
// perturbations, which differs from network to network: merely rounding the
// weights to bfloat16 moves these small random networks' outputs by 0.4 % to
// 8 % of their scale (normalisations over tiny groups amplify). So the bound
// is relative to that: bfloat16 compute, which also rounds the activations,
// stays within twice the change that rounding the weights alone makes in
// float32, and within 2^-7 of the scale where that change is tiny. A wrong
// layout or a lost tap is off by the order of the output itself.
constexpr float kBeyondWeightRounding = 2.0f;
constexpr float kToleranceFloor = 1.0f / 128;

ModelConfiguration inPrecision(ComputePrecision precision) {
    ModelConfiguration configuration;
    configuration.computePrecision = precision;
    return configuration;
}

struct FixtureCase {
    std::string bundle;
    std::vector<std::string> inputs;
    std::string output;
};

// The bundle's network in float32, built as a model load builds it but with
// every weight rounded to bfloat16 as it is loaded (through the weight
// files' adjustment, where a low-rank adaptation is merged too).
ShapedArray runWithRoundedWeights(const std::filesystem::path& directory,
                                  const FeatureProvider& inputs, const std::string& output) {
    const Bundle bundle = Bundle::read(directory);
    const auto kind = NetworkRegistry::shared().find(bundle.kind.value_or(
        NetworkRegistry::inferKindName(bundle.config, bundle.directoryName())));
    ModelDescription description = kind->describe(bundle.config);
    for (const FeatureDescription& given : bundle.inputShapes) {
        for (FeatureDescription& input : description.inputs) {
            if (input.name == given.name) {
                input.shape = given.shape;
            }
        }
    }
    WeightFiles files(bundle.weightFiles);
    int64_t adjusted = 0;
    files.setAdjustment([&](const std::string&, ShapedArray& values) {
        kernels::roundToBfloat16(values.data(), values.count());
        ++adjusted;
    });
    const auto network = kind->build(bundle.config, description, files);
    EXPECT_EQ(adjusted, static_cast<int64_t>(kind->expectedWeights(bundle.config).size()));
    return network->predict(inputs).at(output);
}

} // namespace

TEST(ComputePrecisionTest, AutomaticFollowsTheEnvironmentThenTheProcessor) {
    using enum ComputePrecision;
    EXPECT_EQ(resolvePrecision(automatic, nullptr, true), bfloat16);
    EXPECT_EQ(resolvePrecision(automatic, nullptr, false), float32);
    EXPECT_EQ(resolvePrecision(automatic, "", true), bfloat16);
    EXPECT_EQ(resolvePrecision(automatic, "float32", true), float32);
    EXPECT_EQ(resolvePrecision(automatic, "automatic", false), float32);
    // A precision the configuration names wins over the environment.
    EXPECT_EQ(resolvePrecision(float32, "bfloat16", true), float32);
    EXPECT_EQ(resolvePrecision(bfloat16, "float32", true), bfloat16);
    for (ComputePrecision precision : {automatic, float32, bfloat16}) {
        EXPECT_EQ(parsePrecision(precisionName(precision)), precision);
    }
    EXPECT_EQ(parsePrecision("fp16"), std::nullopt);

    // bfloat16 on a processor without it is refused in words, not run badly.
    try {
        resolvePrecision(automatic, "bfloat16", false);
        ADD_FAILURE() << "bfloat16 without bfloat16 dot products was accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find("choose float32"), std::string::npos);
    }
    EXPECT_THROW(resolvePrecision(automatic, "half", true), std::invalid_argument);
}

TEST(ComputePrecisionTest, RoundsToNearestEvenAndKeepsSpecialValues) {
    const float tieDown = std::bit_cast<float>(0x3F808000u); // halfway, even below
    const float tieUp = std::bit_cast<float>(0x3F818000u);   // halfway, odd below
    const float above = std::bit_cast<float>(0x3F808001u);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float largest = std::numeric_limits<float>::max();
    const float values[] = {tieDown, tieUp, above, -tieUp, nan, INFINITY, largest, 1e-40f};
    uint16_t converted[8];
    kernels::toBfloat16(values, converted, 8);
    EXPECT_EQ(converted[0], 0x3F80);
    EXPECT_EQ(converted[1], 0x3F82);
    EXPECT_EQ(converted[2], 0x3F81);
    EXPECT_EQ(converted[3], 0xBF82);
    EXPECT_EQ(converted[4] & 0x7F80, 0x7F80);
    EXPECT_NE(converted[4] & 0x007F, 0); // still a NaN
    EXPECT_EQ(converted[5], 0x7F80);
    EXPECT_EQ(converted[6], 0x7F80); // rounds up to infinity, as it must
    EXPECT_EQ(converted[7], 0x0001); // subnormals round too
    float rounded[8];
    std::copy(std::begin(values), std::end(values), rounded);
    kernels::roundToBfloat16(rounded, 8);
    for (int i = 0; i < 8; ++i) {
        if (i != 4) {
            EXPECT_EQ(std::bit_cast<uint32_t>(rounded[i]), uint32_t{converted[i]} << 16) << i;
        }
    }
    EXPECT_TRUE(std::isnan(rounded[4]));
}

TEST(ComputePrecisionTest, BfloatSixteenStaysNearFloat32OnEveryNetwork) {
    if (!processorHasBfloat16()) {
        GTEST_SKIP() << "this processor has no bfloat16 dot products (AVX-512 BF16 or AMX): "
                        "bfloat16 compute is refused here";
    }
    const std::vector<FixtureCase> cases{
        {"TextEncoder", {"input_ids"}, "last_hidden_state"},
        {"VAEDecoder", {"z"}, "image"},
        {"VAEEncoder", {"x"}, "moments"},
        {"UNet", {"sample", "timestep", "encoder_hidden_states"}, "noise_pred"},
        {"UNet2", {"sample", "timestep", "encoder_hidden_states"}, "noise_pred"},
    };
    for (const FixtureCase& fixture : cases) {
        const auto expected = loadFixture(fixture.bundle);
        FeatureValueDictionary inputs;
        for (const std::string& name : fixture.inputs) {
            inputs.emplace(name, expected.at(name));
        }
        const FeatureProvider features(std::move(inputs));
        const std::filesystem::path bundle = fixturesDirectory() / (fixture.bundle + ".model");
        const auto wide = Model::load(bundle, inPrecision(ComputePrecision::float32));
        const auto narrow = Model::load(bundle, inPrecision(ComputePrecision::bfloat16));
        EXPECT_EQ(narrow->computePrecision(), ComputePrecision::bfloat16);
        const ShapedArray reference = wide->prediction(features).featureValue(fixture.output);
        const ShapedArray actual = narrow->prediction(features).featureValue(fixture.output);
        const ShapedArray rounded = runWithRoundedWeights(bundle, features, fixture.output);
        const float scale = largestMagnitude(reference);
        const float error = largestDifference(actual, reference) / scale;
        const float weightRounding = largestDifference(rounded, reference) / scale;
        std::cout << fixture.bundle << ": bfloat16 against float32 " << error
                  << " of the output's scale; float32 on weights rounded to bfloat16 "
                  << weightRounding << "\n";
        const float tolerance = std::max(kBeyondWeightRounding * weightRounding, kToleranceFloor);
        EXPECT_TRUE(closeTo(actual, reference, tolerance)) << fixture.bundle;
        EXPECT_TRUE(closeTo(actual, expected.at(fixture.output), tolerance)) << fixture.bundle;
        // The bfloat16 layers ran: their rounding shows.
        EXPECT_GT(error, 1e-5f) << fixture.bundle;
    }
}

TEST(ComputePrecisionTest, BfloatSixteenHandedBetweenLayersIsWhatTheProductWouldHaveRounded) {
    if (!processorHasBfloat16()) {
        GTEST_SKIP() << "this processor has no bfloat16 dot products (AVX-512 BF16 or AMX)";
    }
    // A producer that writes bfloat16 for the next product spares that
    // product's own rounding; the product must see the very same numbers,
    // in the same places, as when it rounded a float32 input itself.
    std::mt19937 generator(31);
    const int64_t rows = 37, in = 48, out = 40;
    const ShapedArray x = randomArray({rows, in}, generator, -3.0f, 3.0f);
    const ShapedArray weight = randomArray({out, in}, generator, -0.5f, 0.5f);
    const ShapedArray bias = randomArray({out}, generator);
    const auto narrow = [](const ShapedArray& values) {
        std::vector<uint16_t> result(static_cast<size_t>(values.count()));
        kernels::toBfloat16(values.data(), result.data(), values.count());
        return result;
    };
    const Linear product(weight, bias, rows,
                         {Activation::identity, false, ComputePrecision::bfloat16});
    EXPECT_EQ(product.inputType(), ValueType::bfloat16);
    ShapedArray fromWide(Shape{rows, out});
    ShapedArray fromNarrow(Shape{rows, out});
    product.forward(x.data(), fromWide.data());
    const std::vector<uint16_t> xNarrow = narrow(x);
    product.forward(xNarrow.data(), fromNarrow.data());
    EXPECT_EQ(largestDifference(fromNarrow, fromWide), 0.0f);

    // Written in bfloat16: the float32 result, rounded.
    const Linear rounding(
        weight, bias, rows,
        {Activation::identity, false, ComputePrecision::bfloat16, false, ValueType::bfloat16});
    std::vector<uint16_t> written(static_cast<size_t>(rows * out));
    rounding.forward(x.data(), written.data());
    ShapedArray roundedResult = fromWide;
    kernels::roundToBfloat16(roundedResult.data(), roundedResult.count());
    EXPECT_EQ(largestDifference(widened(written, {rows, out}), roundedResult), 0.0f);

    // A layer norm writing bfloat16: the normalised rows, rounded (to one
    // unit of bfloat16 where its sums round otherwise than oneDNN's).
    const ShapedArray gamma = randomArray({in}, generator, 0.5f, 1.5f);
    const ShapedArray beta = randomArray({in}, generator);
    const LayerNorm norm(gamma, beta, rows, 1e-5f);
    std::vector<uint16_t> normalized(static_cast<size_t>(rows * in));
    norm.forward(x.data(), normalized.data());
    ShapedArray expected = referenceLayerNorm(x, 1e-5f, gamma, beta);
    kernels::roundToBfloat16(expected.data(), expected.count());
    EXPECT_TRUE(closeTo(widened(normalized, {rows, in}), expected, 1.0f / 256));

    // Pixel tokens of a map's second image through a channel transform.
    const ShapedArray planar = randomArray({2, in, 3, 5}, generator, -2.0f, 2.0f);
    const FeatureMap map = FeatureMap::fromPlanar(planar);
    ChannelTransform transform(2, in, Activation::silu);
    for (int64_t c = 0; c < in; ++c) {
        transform.scales(1)[c] = 0.5f + static_cast<float>(c) / in;
        transform.shifts(1)[c] = static_cast<float>(c % 3) - 1.0f;
    }
    ShapedArray tokens(Shape{15, in});
    PixelTokens::gather(map, 1, transform, tokens.data());
    std::vector<uint16_t> tokensNarrow(static_cast<size_t>(tokens.count()));
    PixelTokens::gather(map, 1, transform, tokensNarrow.data());
    kernels::roundToBfloat16(tokens.data(), tokens.count());
    EXPECT_EQ(largestDifference(widened(tokensNarrow, {15, in}), tokens), 0.0f);

    // Types a layer cannot take are refused, not misread.
    const Linear wide(weight, bias, rows);
    EXPECT_THROW(wide.forward(xNarrow.data(), fromWide.data()), std::logic_error);
    EXPECT_THROW(rounding.forward(x.data(), fromWide.data()), std::logic_error);
    EXPECT_THROW(Linear(weight, bias, rows,
                        {Activation::identity, false, ComputePrecision::float32, false,
                         ValueType::bfloat16}),
                 std::invalid_argument);
}

TEST(ComputePrecisionTest, BfloatSixteenAttentionReadsEveryHeadAndKeyBlock) {
    if (!processorHasBfloat16()) {
        GTEST_SKIP() << "this processor has no bfloat16 dot products (AVX-512 BF16 or AMX)";
    }
    // Keys past one block of 512, three heads side by side in fused rows, a
    // causal mask across blocks: the bfloat16 copies of keys and values must
    // line up with the float32 layout. Scores of a few units, so rounding
    // the operands moves the output by well under 1 %.
    std::mt19937 generator(12);
    const int64_t length = 1100, heads = 3, headDim = 8, width = heads * headDim;
    const ShapedArray fused = randomArray({length, 3 * width}, generator, -1.0f, 1.0f);
    ShapedArray q(Shape{length, width}), k(Shape{length, width}), v(Shape{length, width});
    for (int64_t t = 0; t < length; ++t) {
        for (int64_t i = 0; i < width; ++i) {
            q.set({t, i}, fused.at({t, i}));
            k.set({t, i}, fused.at({t, width + i}));
            v.set({t, i}, fused.at({t, 2 * width + i}));
        }
    }
    for (bool causal : {false, true}) {
        const ScaledDotProductAttention attention(heads, headDim, length, length, causal,
                                                  {3 * width, 3 * width, 3 * width, width},
                                                  ComputePrecision::bfloat16);
        ShapedArray output(Shape{length, width});
        attention.forward(fused.data(), fused.data() + width, fused.data() + 2 * width,
                          output.data());
        EXPECT_TRUE(closeTo(output, referenceAttention(q, k, v, heads, causal), 1e-2f))
            << (causal ? "causal" : "full");
    }
}

TEST(ComputePrecisionTest, BfloatSixteenAttentionOnTilesAndProductsAtTheNetworksHeadSizes) {
    if (!processorHasBfloat16()) {
        GTEST_SKIP() << "this processor has no bfloat16 dot products (AVX-512 BF16 or AMX)";
    }
    // Head sizes 40 and 160 (padded to whole tiles), 77 keys (a text
    // encoder's context: no whole tile) and 600 (a second, short key block),
    // 70 queries (a second, short query block): on the matrix engine's tiles
    // where this processor has them, and through oneDNN's products.
    struct Case {
        int64_t heads, headDim, queries, keys;
    };
    const char* previous = std::getenv("DRAVELIN_ATTENTION");
    const std::string kept = previous != nullptr ? previous : "";
    for (const char* way : {"", "products"}) {
        setenv("DRAVELIN_ATTENTION", way, 1);
        for (const Case c : {Case{2, 40, 70, 77}, Case{2, 40, 70, 600}, Case{1, 160, 70, 600}}) {
            std::mt19937 generator(static_cast<unsigned>(c.headDim + c.keys));
            const int64_t width = c.heads * c.headDim;
            const ShapedArray q = randomArray({c.queries, width}, generator, -1.0f, 1.0f);
            const ShapedArray k = randomArray({c.keys, width}, generator, -1.0f, 1.0f);
            const ShapedArray v = randomArray({c.keys, width}, generator);
            const ScaledDotProductAttention attention(c.heads, c.headDim, c.queries, c.keys, false,
                                                      {width, width, width, width},
                                                      ComputePrecision::bfloat16);
            ShapedArray output(Shape{c.queries, width});
            attention.forward(q.data(), k.data(), v.data(), output.data());
            EXPECT_TRUE(closeTo(output, referenceAttention(q, k, v, c.heads, false), 1e-2f))
                << (*way != 0 ? way : "tiles") << ", head size " << c.headDim << ", " << c.keys
                << " keys";
        }
    }
    if (previous != nullptr) {
        setenv("DRAVELIN_ATTENTION", kept.c_str(), 1);
    } else {
        unsetenv("DRAVELIN_ATTENTION");
    }
}

TEST(ComputePrecisionTest, ModelToolSaysWhichPrecisionRunsAndBenchesTheTextEncoder) {
    // The text encoder takes token ids: the bench must not feed it noise.
    const std::string bundle = (fixturesDirectory() / "TextEncoder.model").string();
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(runModelTool({"bench", bundle, "--runs", "1", "--precision", "float32"}, out, err), 0)
        << err.str();
    EXPECT_NE(out.str().find("(float32)"), std::string::npos) << out.str();

    std::ostringstream described;
    EXPECT_EQ(runModelTool({"describe", bundle, "--precision", "float32"}, described, err), 0);
    EXPECT_NE(described.str().find("Precision: float32"), std::string::npos) << described.str();
    EXPECT_EQ(runModelTool({"describe", bundle, "--precision", "double"}, described, err), 2);
}
