#include "nn/support/NetworkFixtures.h"
#include "runtime/FeatureNames.h"
#include "runtime/Model.h"
#include "runtime/RuntimeErrors.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

#include <iostream>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

// As the denoising network's: float32 throughout, as the reference.
constexpr float kTolerance = 1e-4f;

FeatureValueDictionary denoisingInputs(const std::map<std::string, ShapedArray>& fixture) {
    return {{feature::sample, fixture.at(feature::sample)},
            {feature::timestep, fixture.at(feature::timestep)},
            {feature::encoderHiddenStates, fixture.at(feature::encoderHiddenStates)}};
}

::testing::AssertionResult matches(const std::string& what, const ShapedArray& actual,
                                   const ShapedArray& reference) {
    if (actual.shape() == reference.shape()) {
        std::cout << what << ": max |error| " << largestDifference(actual, reference)
                  << " of max |reference| " << largestMagnitude(reference) << "\n";
    }
    return closeTo(actual, reference, kTolerance);
}

} // namespace

// The fixture's ControlNet has every parameter random (its zero-initialised
// output convolutions included), a three-stage conditioning embedding,
// two layers per block, and time and norm settings away from their defaults.
TEST(ControlNetTest, ResidualsMatchDiffusersAndDriveTheControlledNetwork) {
    const auto fixture = loadFixture("ControlNet");
    const auto controlNet = Model::load(fixturesDirectory() / "ControlNet.model", {});
    EXPECT_EQ(controlNet->kindName(), "ControlNetModel");
    EXPECT_EQ(controlNet->modelDescription().input(feature::controlNetCondition)->shape,
              (Shape{2, 3, 32, 32}));

    FeatureValueDictionary inputs = denoisingInputs(fixture);
    inputs.emplace(feature::controlNetCondition, fixture.at(feature::controlNetCondition));
    const FeatureProvider residuals = controlNet->prediction(FeatureProvider(inputs));
    // Three blocks of two layers: conv_in's output, 2 + 1 + 2 + 1 + 2 skips,
    // and the mid block's.
    ASSERT_EQ(controlNet->modelDescription().outputs.size(), 10u);
    for (const std::string& name : controlNet->modelDescription().outputs) {
        ASSERT_TRUE(fixture.count(name)) << name;
        EXPECT_TRUE(matches(name, residuals.featureValue(name), fixture.at(name))) << name;
    }

    // Its outputs go into the controlled network under their own names.
    const auto unet = Model::load(fixturesDirectory() / "ControlledUnet.model", {});
    EXPECT_EQ(unet->kindName(), "UNet2DConditionModel.controlled");
    FeatureValueDictionary controlled = denoisingInputs(fixture);
    for (const auto& [name, value] : residuals.featureValueDictionary) {
        controlled.emplace(name, value);
    }
    const auto expected = loadFixture("ControlledUnet");
    EXPECT_TRUE(matches(
        "controlled noise",
        unet->prediction(FeatureProvider(controlled)).featureValue(feature::noisePrediction),
        expected.at(feature::noisePrediction)));
}

TEST(ControlNetTest, TheSameWeightsUnderAnotherNameAreThePlainNetwork) {
    const auto fixture = loadFixture("ControlledUnet");
    TemporaryDirectory directory;
    const auto plain = Model::load(copyBundle("ControlledUnet", directory.path(), "Unet"), {});
    EXPECT_EQ(plain->kindName(), "UNet2DConditionModel");
    EXPECT_EQ(plain->modelDescription().inputs.size(), 3u);

    // Given residuals anyway, it refuses rather than ignore them.
    FeatureValueDictionary inputs = denoisingInputs(fixture);
    inputs.emplace(feature::midBlockResidual, fixture.at(feature::midBlockResidual));
    try {
        plain->prediction(FeatureProvider(inputs));
        ADD_FAILURE() << "a residual was ignored";
    } catch (const PredictionError& error) {
        EXPECT_NE(std::string(error.what()).find("\"mid_block_residual\""), std::string::npos)
            << error.what();
    }

    // The controlled one needs every residual.
    const auto controlled = Model::load(fixturesDirectory() / "ControlledUnet.model", {});
    EXPECT_THROW(controlled->prediction(FeatureProvider(inputs)), PredictionError);
}

TEST(ControlNetTest, RefusesUnsupportedOptionsByKey) {
    TemporaryDirectory directory;
    const auto bundle = copyBundle("ControlNet", directory.path());
    const std::vector<std::pair<std::string, nlohmann::json>> options{
        {"global_pool_conditions", true},
        {"controlnet_conditioning_channel_order", "grb"},
        {"class_embed_type", "timestep"},
        {"mid_block_type", "UNetMidBlock2D"},
    };
    for (const auto& [key, value] : options) {
        editConfig(bundle, [&](nlohmann::json& config) { config[key] = value; });
        EXPECT_TRUE(loadFails(bundle, {"\"" + key + "\""})) << key;
        editConfig(bundle, [&](nlohmann::json& config) { config.erase(key); });
    }
    // An XL ControlNet would need the "text_time" embedding it does not add.
    editConfig(bundle, [](nlohmann::json& config) {
        config.update({{"addition_embed_type", "text_time"},
                       {"addition_time_embed_dim", 8},
                       {"projection_class_embeddings_input_dim", 16 + 6 * 8}});
    });
    EXPECT_TRUE(loadFails(bundle, {"\"addition_embed_type\""}));
    editConfig(bundle, [](nlohmann::json& config) {
        for (const char* key : {"addition_embed_type", "addition_time_embed_dim",
                                "projection_class_embeddings_input_dim"}) {
            config.erase(key);
        }
    });
    editWeights(bundle, [](std::vector<TensorToWrite>& tensors) {
        std::erase_if(tensors, [](const TensorToWrite& tensor) {
            return tensor.name == "controlnet_down_blocks.8.weight";
        });
    });
    EXPECT_TRUE(loadFails(bundle, {"controlnet_down_blocks.8.weight"}));
}
