#include "nn/support/NetworkFixtures.h"
#include "pipeline/SafetyChecker.h"
#include "runtime/Model.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

// Float32 throughout, as the reference ran. Thresholds keep every score at
// least 1e-3 from its decision, so the verdicts must agree exactly.
constexpr float kTolerance = 1e-4f;
constexpr int64_t kImages = 7;
constexpr int64_t kSize = 32;

// Rows [first, first + count) of an array, as an array of that many rows.
ShapedArray rows(const ShapedArray& array, int64_t first, int64_t count) {
    Shape shape = array.shape();
    const int64_t width = array.count() / shape[0];
    shape[0] = count;
    return ShapedArray(
        std::vector<float>(array.data() + first * width, array.data() + (first + count) * width),
        shape);
}

std::vector<float> valuesOf(const ShapedArray& array) {
    return {array.values().begin(), array.values().end()};
}

FeatureProvider inputs(const ShapedArray& clipInput, const ShapedArray& adjustment) {
    return FeatureProvider({{"clip_input", clipInput},
                            {"adjustment", adjustment},
                            {"images", ShapedArray(Shape{1, 512, 512, 3})}});
}

// The fixture's 8-bit image `index` ([7, 32, 32, 3] values 0 to 255).
Image fixtureImage(const ShapedArray& pixels, int64_t index) {
    const int64_t count = kSize * kSize * 3;
    std::vector<uint8_t> bytes(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i) {
        bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(pixels.data()[index * count + i]);
    }
    return Image(kSize, kSize, 3, AlphaKind::none, bytes);
}

} // namespace

// Seven images through diffusers' StableDiffusionSafetyChecker with thresholds
// chosen so they take every path of the verdict: safe; unsafe with no
// special-care match; unsafe only through the 0.01 a special-care match adds;
// a special-care match and still safe; and one image twice, the second time
// with an "adjustment" of 0.05 that makes a special-care match and so flips
// the verdict. The config holds a stale layer count in "vision_config" that
// "vision_config_dict" overrides, a patch grid with a remainder, and an
// unused position-id tensor beside F16 weights.
TEST(SafetyCheckerNetwork, MatchesDiffusersOnEveryPathOfTheVerdict) {
    const auto expected = loadFixture("SafetyChecker");
    TemporaryDirectory directory;
    const auto bundle = copyBundle("SafetyChecker", directory.path());
    writeFileAtomically(bundle / "bundle.json",
                        R"({"inputs": {"clip_input": [7, 3, 32, 32], "adjustment": [7]}})");
    const FeatureProvider outputs =
        Model::load(bundle, {})
            ->prediction(inputs(expected.at("clip_input"), expected.at("adjustment")));
    EXPECT_EQ(valuesOf(outputs.featureValue("has_nsfw_concepts")),
              valuesOf(expected.at("has_nsfw_concepts")));
    EXPECT_EQ(expected.at("has_nsfw_concepts").values()[5], 0.0f);
    EXPECT_EQ(expected.at("has_nsfw_concepts").values()[6], 1.0f);
    for (const char* name : {"concept_scores", "special_scores"}) {
        EXPECT_TRUE(closeTo(outputs.featureValue(name), expected.at(name), kTolerance)) << name;
    }
}

// The bundle as the pipeline uses it (one image, the three inputs), through
// the pipeline's wrapper: its 8-bit images give the reference's verdicts.
TEST(SafetyCheckerNetwork, JudgesThePipelinesImagesAsTheReference) {
    const auto expected = loadFixture("SafetyChecker");
    const auto model = Model::load(fixturesDirectory() / "SafetyChecker.model", {});
    EXPECT_EQ(model->kindName(), "StableDiffusionSafetyChecker");
    EXPECT_EQ(model->modelDescription().inputs,
              (std::vector<FeatureDescription>{{"clip_input", {1, 3, kSize, kSize}},
                                               {"images", {1, 512, 512, 3}},
                                               {"adjustment", {1}}}));
    EXPECT_TRUE(model->modelDescription().hasOutput("has_nsfw_concepts"));

    SafetyChecker checker(fixturesDirectory() / "SafetyChecker.model", {});
    const ShapedArray& pixels = expected.at("pixels");
    for (int64_t i = 0; i < kImages; ++i) {
        if (expected.at("adjustment").values()[i] != 0.0f) {
            continue; // the wrapper always passes 0
        }
        const Image image = fixtureImage(pixels, i);
        const Image resized = SafetyChecker::resizeToRGBA(image, kSize, kSize);
        EXPECT_EQ(SafetyChecker::normalizeToFloatShapedArray(SafetyChecker::getRGBPlanes(resized),
                                                             kSize, kSize),
                  rows(expected.at("clip_input"), i, 1))
            << "image " << i;
        EXPECT_EQ(checker.isSafe(image), expected.at("has_nsfw_concepts").values()[i] == 0.0f)
            << "image " << i;
    }
}

TEST(SafetyCheckerNetwork, RefusesWhatItCannotComputeAndNeverPassesNaN) {
    TemporaryDirectory directory;
    const auto bundle = copyBundle("SafetyChecker", directory.path());
    // The position embeddings fix the patch grid: 40 pixels give 6 patches of 6.
    writeFileAtomically(bundle / "bundle.json", R"({"inputs": {"clip_input": [1, 3, 40, 40]}})");
    EXPECT_TRUE(loadFails(bundle, {"\"clip_input\"", "[batch, 3, 32, 32]"}));
    // 35 pixels still give 5 patches: the remainder is dropped.
    writeFileAtomically(bundle / "bundle.json", R"({"inputs": {"clip_input": [1, 3, 35, 35]}})");
    EXPECT_NO_THROW(Model::load(bundle, {}));
    std::filesystem::remove(bundle / "bundle.json");

    editConfig(bundle, [](nlohmann::json& config) {
        config["vision_config_dict"]["num_hidden_layers"] = 3;
    });
    EXPECT_TRUE(loadFails(bundle, {"vision_model.vision_model.encoder.layers.2"}));
    editConfig(bundle, [](nlohmann::json& config) {
        config["vision_config_dict"]["num_hidden_layers"] = 2;
        config["vision_config_dict"]["num_attention_heads"] = 5;
    });
    EXPECT_TRUE(loadFails(bundle, {"\"num_attention_heads\""}));
    editConfig(bundle, [](nlohmann::json& config) {
        config["vision_config_dict"]["num_attention_heads"] = 4;
        config["projection_dim"] = 8;
    });
    EXPECT_TRUE(loadFails(bundle, {"visual_projection.weight"}));
    editConfig(bundle, [](nlohmann::json& config) { config["projection_dim"] = 16; });

    const auto expected = loadFixture("SafetyChecker");
    const ShapedArray image = rows(expected.at("clip_input"), 0, 1);
    const auto model = Model::load(bundle, {});
    EXPECT_THROW(model->prediction(inputs(image, ShapedArray(Shape{2}))), std::exception);

    // A network that gives no number (a damaged weight) flags the image
    // rather than letting it through.
    editWeights(bundle, [](std::vector<TensorToWrite>& tensors) {
        for (TensorToWrite& tensor : tensors) {
            if (tensor.name == "visual_projection.weight") {
                ShapedArray values(tensor.shape, 0.0f);
                values.values()[0] = std::numeric_limits<float>::quiet_NaN();
                tensor = TensorToWrite::fromFloats(tensor.name, values);
            }
        }
    });
    const FeatureProvider outputs =
        Model::load(bundle, {})->prediction(inputs(image, ShapedArray(Shape{1})));
    EXPECT_EQ(outputs.featureValue("has_nsfw_concepts").values()[0], 1.0f);
}
