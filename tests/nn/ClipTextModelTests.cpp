#include "nn/networks/clip/ClipTextConfig.h"
#include "nn/networks/clip/ClipTextModel.h"
#include "nn/support/NetworkFixtures.h"
#include "runtime/Model.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

// Float32 throughout, as the reference ran: a few units in the last place per
// operation, far inside a ten-thousandth of each output's scale.
constexpr float kTolerance = 1e-4f;

void expectMatchesFixture(const std::filesystem::path& bundle, const std::string& fixture) {
    const auto expected = loadFixture(fixture);
    const auto model = Model::load(bundle, {});
    const FeatureProvider outputs =
        model->prediction(FeatureProvider({{"input_ids", expected.at("input_ids")}}));
    for (const char* name : {"last_hidden_state", "hidden_embeds", "pooled_outputs"}) {
        EXPECT_TRUE(closeTo(outputs.featureValue(name), expected.at(name), kTolerance))
            << fixture << " " << name;
    }
}

} // namespace

TEST(ClipTextModelTest, MatchesTransformersCLIPTextModel) {
    // quick_gelu and layer_norm_eps from the defaults (the config lacks them);
    // eos_token_id 2 pools at the highest id; F16 weights.
    expectMatchesFixture(fixturesDirectory() / "TextEncoder.model", "TextEncoder");
}

TEST(ClipTextModelTest, MatchesTransformersCLIPTextModelWithProjection) {
    // erf GELU, pooling at the first end token before id-0 padding, the text
    // projection, BF16 weights.
    expectMatchesFixture(fixturesDirectory() / "TextEncoder2.model", "TextEncoder2");
}

TEST(ClipTextModelTest, DescribesItsInputAndOutputs) {
    const auto model = Model::load(fixturesDirectory() / "TextEncoder2.model", {});
    EXPECT_EQ(model->kindName(), "CLIPTextModelWithProjection");
    EXPECT_EQ(model->modelDescription().inputs,
              (std::vector<FeatureDescription>{{"input_ids", {1, 16}}}));
    for (const char* name : {"last_hidden_state", "hidden_embeds", "pooled_outputs"}) {
        EXPECT_TRUE(model->modelDescription().hasOutput(name)) << name;
    }
}

TEST(ClipTextModelTest, EncodesEachSequenceOfABatch) {
    TemporaryDirectory directory;
    const auto bundle = copyBundle("TextEncoder2", directory.path());
    writeFileAtomically(bundle / "bundle.json", R"({"inputs": {"input_ids": [2, 16]}})");
    const auto expected = loadFixture("TextEncoder2");
    const ShapedArray& ids = expected.at("input_ids");
    const ShapedArray twice = ShapedArray::concatenate(std::vector<ShapedArray>{ids, ids}, 0);
    const FeatureProvider outputs =
        Model::load(bundle, {})->prediction(FeatureProvider({{"input_ids", twice}}));
    const ShapedArray& pooled = expected.at("pooled_outputs");
    EXPECT_TRUE(closeTo(outputs.featureValue("pooled_outputs"),
                        ShapedArray::concatenate(std::vector<ShapedArray>{pooled, pooled}, 0),
                        kTolerance));
}

TEST(ClipTextModelTest, RefusesIdsOutsideTheVocabulary) {
    const auto model = Model::load(fixturesDirectory() / "TextEncoder.model", {});
    for (const float bad : {128.0f, -1.0f, 2.5f}) {
        ShapedArray ids(Shape{1, 16}, 3.0f);
        ids.data()[4] = bad;
        EXPECT_THROW(model->prediction(FeatureProvider({{"input_ids", ids}})),
                     std::invalid_argument)
            << bad;
    }
}

TEST(ClipTextModelTest, RefusesUnsupportedOptionsAndMismatchedWeightsByName) {
    TemporaryDirectory directory;
    const auto bundle = copyBundle("TextEncoder", directory.path());
    editConfig(bundle, [](nlohmann::json& config) { config["hidden_act"] = "relu6"; });
    EXPECT_TRUE(loadFails(bundle, {"TextEncoder.model", "\"hidden_act\"", "relu6"}));

    editConfig(bundle, [](nlohmann::json& config) {
        config.erase("hidden_act");
        config["num_attention_heads"] = 5;
    });
    EXPECT_TRUE(loadFails(bundle, {"\"num_attention_heads\""}));

    // A config that does not describe the weights.
    editConfig(bundle, [](nlohmann::json& config) {
        config["num_attention_heads"] = 4;
        config["intermediate_size"] = 48;
    });
    EXPECT_TRUE(loadFails(bundle, {"text_model.encoder.layers.0.mlp.fc1.weight", "[64, 32]"}));

    editConfig(bundle, [](nlohmann::json& config) { config["vocab_size"] = "many"; });
    EXPECT_TRUE(loadFails(bundle, {"\"vocab_size\""}));
}

TEST(ClipTextModelTest, PoolsWhereTransformersDoes) {
    const auto build = [](const std::string& name) {
        nlohmann::json config;
        std::ifstream(fixturesDirectory() / (name + ".model") / "config.json") >> config;
        const WeightFiles files({fixturesDirectory() / (name + ".model") / "model.safetensors"});
        return std::make_unique<ClipTextModel>(ClipTextConfig::read(config), WeightReader(files),
                                               16, name == "TextEncoder2");
    };
    std::vector<float> ids(16, 0.0f);
    ids[0] = 126;
    ids[3] = 127;
    ids[5] = 127;
    // eos_token_id 127: its first occurrence, or position 0 without one.
    const auto modern = build("TextEncoder2");
    EXPECT_EQ(modern->pooledPosition(ids.data()), 3);
    ids[3] = ids[5] = 9;
    EXPECT_EQ(modern->pooledPosition(ids.data()), 0);
    // eos_token_id 2: the first highest id, end token or not.
    const auto legacy = build("TextEncoder");
    ids[7] = 126;
    EXPECT_EQ(legacy->pooledPosition(ids.data()), 0);
    ids[4] = 127;
    EXPECT_EQ(legacy->pooledPosition(ids.data()), 4);
}

TEST(ClipTextConfigTest, MissingKeysTakeTransformersDefaults) {
    const ClipTextConfig config = ClipTextConfig::read(nlohmann::json::object());
    EXPECT_EQ(config.vocabSize, 49408);
    EXPECT_EQ(config.hiddenSize, 512);
    EXPECT_EQ(config.intermediateSize, 2048);
    EXPECT_EQ(config.projectionDim, 512);
    EXPECT_EQ(config.layers, 12);
    EXPECT_EQ(config.heads, 8);
    EXPECT_EQ(config.maxPositions, 77);
    EXPECT_EQ(config.activation, Activation::quickGelu);
    EXPECT_FLOAT_EQ(config.layerNormEpsilon, 1e-5f);
    EXPECT_EQ(config.endTokenId, 49407);
}
