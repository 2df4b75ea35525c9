#include "nn/networks/unet/UNetConfig.h"
#include "nn/support/NetworkFixtures.h"
#include "runtime/Model.h"
#include "runtime/RuntimeErrors.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

// Float32 throughout, as the reference; the deepest path runs through some
// twenty layers with sums over a few hundred products each.
constexpr float kTolerance = 1e-4f;

const std::string kCrossKey = "down_blocks.0.attentions.0.transformer_blocks.0.attn2.to_k.weight";

// Runs the fixture's bundle (or `bundle`) on the fixture's inputs and
// compares with diffusers' output, reporting the error measured.
::testing::AssertionResult matchesReference(const std::string& name,
                                            const std::filesystem::path& bundle) {
    const auto expected = loadFixture(name);
    FeatureValueDictionary inputs;
    for (const char* input :
         {"sample", "timestep", "encoder_hidden_states", "text_embeds", "time_ids"}) {
        if (expected.contains(input)) {
            inputs.emplace(input, expected.at(input));
        }
    }
    const FeatureProvider outputs = Model::load(bundle, {})->prediction(FeatureProvider(inputs));
    const ShapedArray& actual = outputs.featureValue("noise_pred");
    const ShapedArray& reference = expected.at("noise_pred");
    if (actual.shape() == reference.shape()) {
        std::cout << name << ": max |error| " << largestDifference(actual, reference)
                  << " of max |reference| " << largestMagnitude(reference) << "\n";
    }
    return closeTo(actual, reference, kTolerance);
}

} // namespace

TEST(UNetTest, OneLayerPerBlockMatchesDiffusers) {
    // 1×1 convolution projections; the config has only the keys SD 1.5's
    // file has, less act_fn, flip_sin_to_cos, freq_shift and norm_eps.
    EXPECT_TRUE(matchesReference("UNet", fixturesDirectory() / "UNet.model"));
}

TEST(UNetTest, TwoLayersPerBlockAndLinearProjectionsMatchDiffusers) {
    // Three blocks, heads per block, linear projections, and a batch of one
    // with nine text positions given by bundle.json.
    EXPECT_TRUE(matchesReference("UNet2", fixturesDirectory() / "UNet2.model"));
}

TEST(UNetTest, XLNetworksMatchDiffusers) {
    // The "text_time" addition embedding with 6 time ids, the first block
    // without attention, one to three transformer layers per block, cosines
    // second and a frequency shift in the sinusoids.
    EXPECT_TRUE(matchesReference("UNetXL", fixturesDirectory() / "UNetXL.model"));
    // The refiner's shape: 5 time ids, two layers in every transformer.
    EXPECT_TRUE(matchesReference("UNetXLRefiner", fixturesDirectory() / "UNetXLRefiner.model"));

    // Without a bundle.json entry the time id count comes from the config: 5
    // where the pooled embedding is as wide as the text states.
    const auto base = Model::load(fixturesDirectory() / "UNetXL.model", {});
    EXPECT_EQ(base->modelDescription().input("text_embeds")->shape, (Shape{2, 10}));
    EXPECT_EQ(base->modelDescription().input("time_ids")->shape, (Shape{2, 6}));
    const auto refiner = Model::load(fixturesDirectory() / "UNetXLRefiner.model", {});
    EXPECT_EQ(refiner->modelDescription().input("text_embeds")->shape, (Shape{2, 12}));
    EXPECT_EQ(refiner->modelDescription().input("time_ids")->shape, (Shape{2, 5}));

    // Rows handed over flattened give the same prediction.
    TemporaryDirectory directory;
    const auto flat = copyBundle("UNetXL", directory.path());
    std::ofstream(flat / "bundle.json")
        << R"({"inputs": {"encoder_hidden_states": [2, 12, 1, 9], "time_ids": [12]}})";
    auto expected = loadFixture("UNetXL");
    const std::span<const float> ids = expected.at("time_ids").values();
    expected.at("time_ids") = ShapedArray(std::vector<float>(ids.begin(), ids.end()), Shape{12});
    const FeatureProvider outputs = Model::load(flat, {})->prediction(
        FeatureProvider({{"sample", expected.at("sample")},
                         {"timestep", expected.at("timestep")},
                         {"encoder_hidden_states", expected.at("encoder_hidden_states")},
                         {"text_embeds", expected.at("text_embeds")},
                         {"time_ids", expected.at("time_ids")}}));
    EXPECT_TRUE(closeTo(outputs.featureValue("noise_pred"), expected.at("noise_pred"), kTolerance));

    // A time id count that leaves no room for the text embedding is refused.
    std::ofstream(flat / "bundle.json")
        << R"({"inputs": {"encoder_hidden_states": [2, 12, 1, 9], "time_ids": [2, 8]}})";
    EXPECT_TRUE(loadFails(flat, {"\"time_ids\""}));
}

TEST(UNetTest, InputsComeFromTheConfigOrTheBundle) {
    const auto unet = Model::load(fixturesDirectory() / "UNet.model", {});
    EXPECT_EQ(unet->kindName(), "UNet2DConditionModel");
    EXPECT_EQ(unet->modelDescription().inputs,
              (std::vector<FeatureDescription>{{"sample", {2, 4, 8, 8}},
                                               {"timestep", {2}},
                                               {"encoder_hidden_states", {2, 8, 1, 77}}}));
    EXPECT_EQ(unet->modelDescription().outputs, std::vector<std::string>{"noise_pred"});
    const auto other = Model::load(fixturesDirectory() / "UNet2.model", {});
    EXPECT_EQ(other->modelDescription().inputs,
              (std::vector<FeatureDescription>{{"sample", {1, 4, 16, 16}},
                                               {"timestep", {1}},
                                               {"encoder_hidden_states", {1, 12, 1, 9}}}));
}

TEST(UNetTest, TakesThePromptHalfOfTheGuidanceBatchAlone) {
    // Guidance at scale 1 runs the second row alone: it must come out as in
    // the batch of two, and a batch larger than the bundle's is refused.
    const auto expected = loadFixture("UNet");
    const auto secondRow = [](const ShapedArray& array) {
        Shape shape = array.shape();
        const int64_t size = array.count() / shape[0];
        shape[0] = 1;
        return ShapedArray(std::vector<float>(array.data() + size, array.data() + 2 * size), shape);
    };
    const auto unet = Model::load(fixturesDirectory() / "UNet.model", {});
    const FeatureProvider alone = unet->prediction(FeatureProvider(
        {{"sample", secondRow(expected.at("sample"))},
         {"timestep", secondRow(expected.at("timestep"))},
         {"encoder_hidden_states", secondRow(expected.at("encoder_hidden_states"))}}));
    EXPECT_TRUE(
        closeTo(alone.featureValue("noise_pred"), secondRow(expected.at("noise_pred")), 1e-5f));

    const auto threeRows = [](const ShapedArray& array) {
        return ShapedArray::concatenate(std::vector{array, array, array}, 0);
    };
    EXPECT_THROW(unet->prediction(FeatureProvider(
                     {{"sample", threeRows(secondRow(expected.at("sample")))},
                      {"timestep", threeRows(secondRow(expected.at("timestep")))},
                      {"encoder_hidden_states",
                       threeRows(secondRow(expected.at("encoder_hidden_states")))}})),
                 PredictionError);
    // Rows of one input and two of another do not make a batch.
    EXPECT_THROW(unet->prediction(FeatureProvider(
                     {{"sample", secondRow(expected.at("sample"))},
                      {"timestep", expected.at("timestep")},
                      {"encoder_hidden_states", expected.at("encoder_hidden_states")}})),
                 PredictionError);
}

TEST(UNetTest, RefusesUnsupportedOptionsByKey) {
    TemporaryDirectory directory;
    const auto bundle = copyBundle("UNet", directory.path());
    const std::vector<std::pair<std::string, nlohmann::json>> options{
        {"class_embed_type", "timestep"},
        {"addition_embed_type", "text"},
        {"resnet_time_scale_shift", "scale_shift"},
        {"time_embedding_type", "fourier"},
        {"only_cross_attention", true},
        {"dual_cross_attention", true},
        {"attention_type", "gated"},
        {"num_attention_heads", 2},
        {"mid_block_type", "UNetMidBlock2DSimpleCrossAttn"},
    };
    for (const auto& [key, value] : options) {
        editConfig(bundle, [&](nlohmann::json& config) { config[key] = value; });
        EXPECT_TRUE(loadFails(bundle, {"\"" + key + "\""})) << key;
        editConfig(bundle, [&](nlohmann::json& config) { config.erase(key); });
    }
    editConfig(bundle, [](nlohmann::json& config) {
        config["down_block_types"] = {"AttnDownBlock2D", "DownBlock2D"};
    });
    EXPECT_TRUE(loadFails(bundle, {"\"down_block_types\"", "AttnDownBlock2D"}));
}

TEST(UNetTest, RefusesMissingAndMisshapenWeightsByName) {
    TemporaryDirectory directory;
    const auto bundle = copyBundle("UNet", directory.path());
    editWeights(bundle, [](std::vector<TensorToWrite>& tensors) {
        for (TensorToWrite& tensor : tensors) {
            if (tensor.name == kCrossKey) {
                // The text width where the block width belongs.
                tensor.shape = {4, 16};
            }
        }
    });
    EXPECT_TRUE(loadFails(bundle, {kCrossKey, "[8, 8]"}));

    const auto other = copyBundle("UNet", directory.path(), "Other");
    editWeights(other, [](std::vector<TensorToWrite>& tensors) {
        std::erase_if(tensors, [](const TensorToWrite& tensor) {
            return tensor.name == "up_blocks.0.resnets.1.time_emb_proj.bias";
        });
    });
    EXPECT_TRUE(loadFails(other, {"up_blocks.0.resnets.1.time_emb_proj.bias"}));
}

TEST(UNetConfigTest, MissingKeysTakeDiffusersDefaults) {
    const UNetConfig config = UNetConfig::read({{"_class_name", "UNet2DConditionModel"}});
    EXPECT_EQ(config.inChannels, 4);
    EXPECT_EQ(config.outChannels, 4);
    EXPECT_EQ(config.blockOutChannels, (std::vector<int64_t>{320, 640, 1280, 1280}));
    EXPECT_EQ(config.downCrossAttention, (std::vector<bool>{true, true, true, false}));
    EXPECT_EQ(config.upCrossAttention, (std::vector<bool>{false, true, true, true}));
    EXPECT_EQ(config.layersPerBlock, 2);
    EXPECT_EQ(config.groups, 32);
    EXPECT_FLOAT_EQ(config.epsilon, 1e-5f);
    EXPECT_EQ(config.crossAttentionDim, 1280);
    // attention_head_dim counts heads when num_attention_heads is absent.
    EXPECT_EQ(config.heads, (std::vector<int64_t>{8, 8, 8, 8}));
    EXPECT_EQ(config.transformerLayers, (std::vector<int64_t>{1, 1, 1, 1}));
    EXPECT_TRUE(config.flipSinToCos);
    EXPECT_EQ(config.freqShift, 0.0);
    EXPECT_FALSE(config.linearProjection);
    EXPECT_FALSE(config.centerInputSample);
    EXPECT_EQ(config.timeEmbeddingDim(), 1280);
}

TEST(UNetConfigTest, PerBlockListsExpand) {
    const UNetConfig config = UNetConfig::read({{"attention_head_dim", {5, 10, 20, 20}},
                                                {"transformer_layers_per_block", 2},
                                                {"use_linear_projection", true}});
    EXPECT_EQ(config.heads, (std::vector<int64_t>{5, 10, 20, 20}));
    EXPECT_EQ(config.transformerLayers, (std::vector<int64_t>{2, 2, 2, 2}));
    EXPECT_TRUE(config.linearProjection);
}
