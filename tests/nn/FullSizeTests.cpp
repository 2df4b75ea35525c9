// The Stable Diffusion 1.5 text encoder, VAE, denoising network, safety checker
// and ControlNet at full size: they load, run and give outputs of the right shapes with no NaN or
// infinity. Random weights are written here; with DRAVELIN_FULL_SIZE_MODELS
// naming a directory written by `tools/reference/nn_reference.py full-size
// --outputs`, its models are used instead and compared with the reference's
// outputs.

#include "nn/support/FullSizeModels.h"
#include "nn/support/NetworkFixtures.h"
#include "nn/support/ReferenceLoops.h"
#include "runtime/Model.h"
#include "runtime/Safetensors.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <optional>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

// Deep float32 networks on random weights: sums over thousands of products
// per layer, through 30-odd layers.
constexpr float kTolerance = 1e-4f;

class FullSizeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (const char* given = std::getenv("DRAVELIN_FULL_SIZE_MODELS")) {
            models = new std::filesystem::path(given);
        } else {
            scratch = new TemporaryDirectory();
            writeFullSizeModels(scratch->path());
            models = new std::filesystem::path(scratch->path());
        }
    }
    static void TearDownTestSuite() {
        delete models;
        delete scratch;
    }

    // The reference's inputs and outputs for a model, when the directory has them.
    static std::optional<std::map<std::string, ShapedArray>> reference(const std::string& name) {
        const auto path = *models / (name + ".fixture.safetensors");
        if (!std::filesystem::exists(path)) {
            return std::nullopt;
        }
        std::map<std::string, ShapedArray> arrays;
        const SafetensorsFile file(path);
        for (const auto& [tensorName, view] : file.tensors()) {
            arrays.emplace(tensorName, toShapedArray(view));
        }
        return arrays;
    }

    static bool allFinite(const ShapedArray& array) {
        for (float value : array.values()) {
            if (!std::isfinite(value)) {
                return false;
            }
        }
        return true;
    }

    static inline TemporaryDirectory* scratch = nullptr;
    static inline std::filesystem::path* models = nullptr;
};

ShapedArray randomLike(Shape shape, float low, float high) {
    std::mt19937 generator(99);
    return randomArray(std::move(shape), generator, low, high);
}

} // namespace

TEST_F(FullSizeTest, TextEncoder) {
    const auto model = Model::load(*models / "TextEncoder.model", {});
    ASSERT_EQ(model->modelDescription().inputs[0].shape, (Shape{1, 77}));
    const auto fixture = reference("TextEncoder");
    ShapedArray ids(Shape{1, 77}, 49407.0f);
    for (int i = 0; i < 7; ++i) {
        ids.data()[i] =
            static_cast<float>(std::vector<int>{49406, 320, 1125, 539, 320, 2368, 49407}[i]);
    }
    const FeatureProvider outputs = model->prediction(
        FeatureProvider({{"input_ids", fixture ? fixture->at("input_ids") : ids}}));
    EXPECT_EQ(outputs.featureValue("last_hidden_state").shape(), (Shape{1, 77, 768}));
    EXPECT_EQ(outputs.featureValue("hidden_embeds").shape(), (Shape{1, 77, 768}));
    EXPECT_EQ(outputs.featureValue("pooled_outputs").shape(), (Shape{1, 768}));
    for (const char* name : {"last_hidden_state", "hidden_embeds", "pooled_outputs"}) {
        EXPECT_TRUE(allFinite(outputs.featureValue(name))) << name;
        if (fixture) {
            EXPECT_TRUE(closeTo(outputs.featureValue(name), fixture->at(name), kTolerance)) << name;
        }
    }
}

TEST_F(FullSizeTest, Decoder) {
    const auto model = Model::load(*models / "VAEDecoder.model", {});
    ASSERT_EQ(model->modelDescription().inputs[0].shape, (Shape{1, 4, 64, 64}));
    const auto fixture = reference("VAEDecoder");
    const FeatureProvider outputs = model->prediction(FeatureProvider(
        {{"z", fixture ? fixture->at("z") : randomLike({1, 4, 64, 64}, -3.0f, 3.0f)}}));
    const ShapedArray& image = outputs.featureValue("image");
    EXPECT_EQ(image.shape(), (Shape{1, 3, 512, 512}));
    EXPECT_TRUE(allFinite(image));
    if (fixture) {
        EXPECT_TRUE(closeTo(image, fixture->at("image"), kTolerance));
    }
}

TEST_F(FullSizeTest, Encoder) {
    const auto model = Model::load(*models / "VAEEncoder.model", {});
    ASSERT_EQ(model->modelDescription().inputs[0].shape, (Shape{1, 3, 512, 512}));
    const auto fixture = reference("VAEEncoder");
    const FeatureProvider outputs = model->prediction(FeatureProvider(
        {{"x", fixture ? fixture->at("x") : randomLike({1, 3, 512, 512}, -1.0f, 1.0f)}}));
    const ShapedArray& moments = outputs.featureValue("moments");
    EXPECT_EQ(moments.shape(), (Shape{1, 8, 64, 64}));
    EXPECT_TRUE(allFinite(moments));
    if (fixture) {
        EXPECT_TRUE(closeTo(moments, fixture->at("moments"), kTolerance));
    }
}

TEST_F(FullSizeTest, DenoisingNetwork) {
    // The directory given may predate the denoising network.
    std::optional<TemporaryDirectory> own;
    std::filesystem::path bundle = *models / "Unet.model";
    if (!std::filesystem::exists(bundle)) {
        own.emplace();
        writeFullSizeUNet(own->path());
        bundle = own->path() / "Unet.model";
    }
    const auto model = Model::load(bundle, {});
    EXPECT_EQ(model->modelDescription().inputs,
              (std::vector<FeatureDescription>{{"sample", {2, 4, 64, 64}},
                                               {"timestep", {2}},
                                               {"encoder_hidden_states", {2, 768, 1, 77}}}));
    std::optional<std::map<std::string, ShapedArray>> fixture;
    if (!own) {
        fixture = reference("Unet");
    }
    ShapedArray timestep(Shape{2});
    timestep.data()[0] = 999.0f;
    timestep.data()[1] = 1.0f;
    const auto input = [&](const std::string& name, const ShapedArray& fallback) {
        return fixture ? fixture->at(name) : fallback;
    };
    const auto started = std::chrono::steady_clock::now();
    const FeatureProvider outputs = model->prediction(FeatureProvider(
        {{"sample", input("sample", randomLike({2, 4, 64, 64}, -3.0f, 3.0f))},
         {"timestep", input("timestep", timestep)},
         {"encoder_hidden_states",
          input("encoder_hidden_states", randomLike({2, 768, 1, 77}, -1.0f, 1.0f))}}));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cout << "denoising network, batch 2 at 64x64: " << seconds << " s\n";
    const ShapedArray& noise = outputs.featureValue("noise_pred");
    EXPECT_EQ(noise.shape(), (Shape{2, 4, 64, 64}));
    EXPECT_TRUE(allFinite(noise));
    if (fixture) {
        const ShapedArray& expected = fixture->at("noise_pred");
        std::cout << "max |error| " << largestDifference(noise, expected) << " of max |reference| "
                  << largestMagnitude(expected) << "\n";
        EXPECT_TRUE(closeTo(noise, expected, kTolerance));
    }
}

TEST_F(FullSizeTest, SafetyChecker) {
    // The directory given may predate the safety checker.
    std::optional<TemporaryDirectory> own;
    std::filesystem::path bundle = *models / "SafetyChecker.model";
    if (!std::filesystem::exists(bundle)) {
        own.emplace();
        writeFullSizeSafetyChecker(own->path());
        bundle = own->path() / "SafetyChecker.model";
    }
    const auto model = Model::load(bundle, {});
    EXPECT_EQ(model->modelDescription().inputs,
              (std::vector<FeatureDescription>{{"clip_input", {1, 3, 224, 224}},
                                               {"images", {1, 512, 512, 3}},
                                               {"adjustment", {1}}}));
    std::optional<std::map<std::string, ShapedArray>> fixture;
    if (!own) {
        fixture = reference("SafetyChecker");
    }
    const ShapedArray clipInput =
        fixture ? fixture->at("clip_input") : randomLike({1, 3, 224, 224}, -2.0f, 2.5f);
    const auto started = std::chrono::steady_clock::now();
    const FeatureProvider outputs =
        model->prediction(FeatureProvider({{"clip_input", clipInput},
                                           {"adjustment", ShapedArray(Shape{1})},
                                           {"images", ShapedArray(Shape{1, 512, 512, 3})}}));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cout << "safety checker, one 224x224 image: " << seconds << " s\n";
    EXPECT_EQ(outputs.featureValue("concept_scores").shape(), (Shape{1, 17}));
    EXPECT_EQ(outputs.featureValue("special_scores").shape(), (Shape{1, 3}));
    for (const char* name : {"concept_scores", "special_scores"}) {
        EXPECT_TRUE(allFinite(outputs.featureValue(name))) << name;
        if (fixture) {
            EXPECT_TRUE(closeTo(outputs.featureValue(name), fixture->at(name), kTolerance)) << name;
        }
    }
    const float verdict = outputs.featureValue("has_nsfw_concepts").values()[0];
    EXPECT_EQ(verdict, fixture ? fixture->at("has_nsfw_concepts").values()[0] : 0.0f);
}

TEST_F(FullSizeTest, ControlNetAndControlledNetwork) {
    TemporaryDirectory own;
    writeFullSizeControlNet(own.path());
    std::filesystem::path unet = *models / "Unet.model";
    if (!std::filesystem::exists(unet)) {
        writeFullSizeUNet(own.path());
        unet = own.path() / "Unet.model";
    }
    // The controlled network is the same bundle under the name that gives it
    // residual inputs.
    std::filesystem::create_directory_symlink(std::filesystem::absolute(unet),
                                              own.path() / "ControlledUnet.model");

    const auto controlNet = Model::load(own.path() / "ControlNet.model", {});
    ShapedArray timestep(Shape{2}, 500.0f);
    FeatureValueDictionary inputs{
        {"sample", randomLike({2, 4, 64, 64}, -3.0f, 3.0f)},
        {"timestep", timestep},
        {"encoder_hidden_states", randomLike({2, 768, 1, 77}, -1.0f, 1.0f)}};
    FeatureValueDictionary withImage = inputs;
    withImage.emplace("controlnet_cond", randomLike({2, 3, 512, 512}, 0.0f, 1.0f));
    auto started = std::chrono::steady_clock::now();
    const FeatureProvider residuals = controlNet->prediction(FeatureProvider(withImage));
    std::cout << "ControlNet, batch 2 at 64x64: "
              << std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()
              << " s\n";
    // conv_in's output, 3 per block but the last's 2, and the mid block's.
    EXPECT_EQ(residuals.featureValueDictionary.size(), 13u);
    EXPECT_EQ(residuals.featureValue("down_block_residual_11").shape(), (Shape{2, 1280, 8, 8}));
    for (const auto& [name, value] : residuals.featureValueDictionary) {
        EXPECT_TRUE(allFinite(value)) << name;
        inputs.emplace(name, value);
    }

    const auto controlled = Model::load(own.path() / "ControlledUnet.model", {});
    const ShapedArray& noise =
        controlled->prediction(FeatureProvider(inputs)).featureValue("noise_pred");
    EXPECT_EQ(noise.shape(), (Shape{2, 4, 64, 64}));
    EXPECT_TRUE(allFinite(noise));
}
