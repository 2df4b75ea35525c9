#include "pipeline/ControlNet.h"
#include "pipeline/Decoder.h"
#include "pipeline/Encoder.h"
#include "random/NumPyRandomSource.h"
#include "pipeline/SafetyChecker.h"
#include "pipeline/TextEncoder.h"
#include "pipeline/Unet.h"
#include "runtime/RuntimeErrors.h"
#include "support/TestNetworks.h"
#include "support/TestPipelineKinds.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <sstream>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

class Wrappers : public ::testing::Test {
protected:
    PipelineKinds kinds;
    TemporaryDirectory directory;
    std::filesystem::path model = directory.path() / "model";

    void SetUp() override { ModelEventLog::clear(); }

    std::shared_ptr<const BPETokenizer> tokenizer() const {
        return std::make_shared<const BPETokenizer>(model / "merges.txt", model / "vocab.json",
                                                    "<|endoftext|>");
    }
};

// Captures standard output for the lifetime of this object.
class CapturedOutput {
public:
    CapturedOutput() : previous_(std::cout.rdbuf(buffer_.rdbuf())) {}
    ~CapturedOutput() { std::cout.rdbuf(previous_); }
    std::string text() const { return buffer_.str(); }

private:
    std::ostringstream buffer_;
    std::streambuf* previous_;
};

std::vector<float> firstChannelPerToken(const ShapedArray& embedding) {
    std::vector<float> values;
    for (int64_t s = 0; s < embedding.shape()[1]; ++s) {
        values.push_back(embedding.at({0, s, 0}));
    }
    return values;
}

// The stand-in text encoder's value for token id at position s.
float embedded(int id, int s) {
    return 0.1f * static_cast<float>(id) + 0.001f * static_cast<float>(s);
}

} // namespace

TEST_F(Wrappers, TextEncoderPadsAndTruncatesToTheModelLength) {
    writeTinyModel(model);
    TextEncoder encoder(tokenizer(), model / "TextEncoder.model", {});
    EXPECT_EQ(encoder.inputShape(), (Shape{1, 8}));

    // Start, "a", "cat", end, then four pads (the end token).
    const ShapedArray short_ = encoder.encode("A  cat");
    EXPECT_EQ(short_.shape(), (Shape{1, 8, 4}));
    const std::vector<float> ids = firstChannelPerToken(short_);
    const int expected[8] = {22, 1, 6, 23, 23, 23, 23, 23};
    for (int s = 0; s < 8; ++s) {
        EXPECT_FLOAT_EQ(ids[static_cast<size_t>(s)], embedded(expected[s], s)) << s;
    }

    // Six words fit exactly; seven are cut to the start token and seven words.
    {
        CapturedOutput output;
        encoder.encode("a cat a dog of photo");
        EXPECT_EQ(output.text(), "");
    }
    CapturedOutput output;
    const ShapedArray cut = encoder.encode("a cat a dog of photo a");
    EXPECT_EQ(output.text(), "Needed to truncate input 'a cat a dog of photo a' to "
                             "'a cat a dog of photo a '\n");
    EXPECT_FLOAT_EQ(cut.at({0, 7, 0}), embedded(1, 7)); // "a", not the end token
}

TEST_F(Wrappers, UnetChainsChunksAndMergesTheirFeatures) {
    writeTinyModel(model, {.chunked = true});
    Unet chained(
        std::vector<std::filesystem::path>{model / "UnetChunk1.model", model / "UnetChunk2.model"},
        {});
    Unet single(model / "Unet.model", {});
    EXPECT_EQ(chained.latentSampleShape(), (Shape{2, 4, 8, 8}));

    const ShapedArray hidden(Shape{2, 4, 1, 8}, 0.0f);
    const std::vector<ShapedArray> latents{ShapedArray(Shape{2, 4, 8, 8}, 1.0f),
                                           ShapedArray(Shape{2, 4, 8, 8}, 3.0f),
                                           ShapedArray(Shape{2, 4, 8, 8}, 5.0f)};
    const std::vector<ShapedArray> alone = single.predictNoise(latents, 500, hidden);
    const std::vector<ShapedArray> chain = chained.predictNoise(latents, 500, hidden);
    ASSERT_EQ(chain.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        // The second chunk sees the first chunk's "sample" (one more), not the input's.
        EXPECT_FLOAT_EQ(alone[i].at({1, 3, 7, 7}), latents[i].at({0, 0, 0, 0}) * 0.5f + 0.05f);
        EXPECT_FLOAT_EQ(chain[i].at({1, 3, 7, 7}),
                        (latents[i].at({0, 0, 0, 0}) + 1) * 0.5f + 0.05f);
    }

    // Residuals go with the latent at the same position, to a network that
    // takes them; one that does not take them refuses them, chunked or not.
    std::vector<Residuals> residuals(3);
    residuals[1]["down_0"] = ShapedArray(Shape{2, 4, 8, 8}, 2.0f);
    residuals[0]["down_0"] = ShapedArray(Shape{2, 4, 8, 8}, 0.0f);
    residuals[2]["down_0"] = ShapedArray(Shape{2, 4, 8, 8}, 0.0f);
    EXPECT_THROW(single.predictNoise(latents, 500, hidden, residuals), PredictionError);
    EXPECT_THROW(chained.predictNoise(latents, 500, hidden, residuals), PredictionError);
    const auto controlledModel = directory.path() / "controlled";
    writeTinyModel(controlledModel, {.chunked = true, .controlNets = {"edges"}});
    Unet controlled(controlledModel / "ControlledUnet.model", {});
    const std::vector<ShapedArray> withResiduals =
        controlled.predictNoise(latents, 500, hidden, residuals);
    EXPECT_FLOAT_EQ(withResiduals[1].at({0, 0, 0, 0}) - alone[1].at({0, 0, 0, 0}), 2.0f);
    EXPECT_FLOAT_EQ(withResiduals[0].at({0, 0, 0, 0}), alone[0].at({0, 0, 0, 0}));
    Unet controlledChain(
        std::vector<std::filesystem::path>{controlledModel / "ControlledUnetChunk1.model",
                                           controlledModel / "ControlledUnetChunk2.model"},
        {});
    EXPECT_FLOAT_EQ(
        controlledChain.predictNoise(latents, 500, hidden, residuals)[1].at({1, 3, 7, 7}) -
            chain[1].at({1, 3, 7, 7}),
        2.0f);

    chained.prewarmResources();
    EXPECT_EQ(ModelEventLog::events("unload").size(), 2u);
    EXPECT_FALSE(chained.models()[0]->isLoaded());
    EXPECT_FALSE(chained.models()[1]->isLoaded());
}

TEST_F(Wrappers, DecoderScalesLatentsAndKeepsTheirOrder) {
    writeTinyModel(model);
    Decoder decoder(model / "VAEDecoder.model", {});
    EXPECT_EQ(decoder.inputName(), "z");
    // 0.18215 / 0.18215 = 1 → tanh(1) → (0.7616 + 1) / 2 × 255 = 224.6 → 225.
    const std::vector<ShapedArray> latents{ShapedArray(Shape{1, 4, 8, 8}, 0.18215f),
                                           ShapedArray(Shape{1, 4, 8, 8}, -100.0f),
                                           ShapedArray(Shape{1, 4, 8, 8}, 0.0f)};
    const std::vector<Image> images = decoder.decode(latents, 0.18215f);
    ASSERT_EQ(images.size(), 3u);
    EXPECT_EQ(images[0].width(), 16);
    EXPECT_EQ(images[0].pixels()[0], 225);
    EXPECT_EQ(images[1].pixels()[0], 0);
    EXPECT_EQ(images[2].pixels()[0], 128);
    EXPECT_EQ(ModelEventLog::events("predict").size(), 1u); // one batch
}

TEST_F(Wrappers, EncoderDrawsOneValuePerLatentElementAfterPredicting) {
    writeTinyModel(model, {.encoder = true, .encoderLogVariance = -100.0f});
    Encoder encoder(model / "VAEEncoder.model", {});
    const Image grey(16, 16, 3, AlphaKind::none, std::vector<uint8_t>(16 * 16 * 3, 255));

    NumPyRandomSource random(7);
    const ShapedArray latent = encoder.encode(grey, 2.0f, random);
    EXPECT_EQ(latent.shape(), (Shape{1, 4, 8, 8}));
    // Mean 1 (white), stdev exp(-15): essentially 1, times the scale 2.
    EXPECT_NEAR(latent.at({0, 3, 7, 7}), 2.0f, 1e-5f);

    // The source advanced by exactly 4 × 8 × 8 draws.
    NumPyRandomSource expected(7);
    for (int i = 0; i < 256; ++i) {
        expected.nextNormal();
    }
    EXPECT_EQ(random.nextNormal(), expected.nextNormal());

    // A wrong size fails before drawing anything.
    NumPyRandomSource untouched(7);
    const Image narrow(15, 16, 3, AlphaKind::none, std::vector<uint8_t>(15 * 16 * 3, 0));
    try {
        encoder.encode(narrow, 1.0f, untouched);
        ADD_FAILURE();
    } catch (const Encoder::Error& error) {
        EXPECT_EQ(error.rawValue(), "sampleInputShapeNotCorrect");
    }
    EXPECT_EQ(untouched.nextNormal(), NumPyRandomSource(7).nextNormal());
}

TEST_F(Wrappers, EncoderClampsTheLogVariance) {
    writeTinyModel(model, {.encoder = true, .encoderLogVariance = 50.0f});
    Encoder encoder(model / "VAEEncoder.model", {});
    const Image black(16, 16, 3, AlphaKind::none, std::vector<uint8_t>(16 * 16 * 3, 0));
    NumPyRandomSource random(3);
    const ShapedArray latent = encoder.encode(black, 1.0f, random);
    NumPyRandomSource same(3);
    const double draw = same.nextNormal(-1.0, std::exp(10.0)); // clamped to 20
    EXPECT_FLOAT_EQ(latent.at({0, 0, 0, 0}), static_cast<float>(draw));
}

TEST_F(Wrappers, ControlNetSumsResidualsOfItsModels) {
    writeTinyModel(model, {.controlNets = {"edges", "depth"}});
    ControlNet one({model / "controlnet/edges.model"}, {});
    ControlNet two({model / "controlnet/edges.model", model / "controlnet/depth.model"}, {});
    EXPECT_EQ(two.inputImageShapes(), (std::vector<Shape>{{2, 3, 16, 16}, {2, 3, 16, 16}}));

    const std::vector<ShapedArray> latents{ShapedArray(Shape{2, 4, 8, 8}, 0.0f),
                                           ShapedArray(Shape{2, 4, 8, 8}, 0.0f)};
    const ShapedArray hidden(Shape{2, 4, 1, 8});
    const std::vector<ShapedArray> images{ShapedArray(Shape{2, 3, 16, 16}, 0.5f),
                                          ShapedArray(Shape{2, 3, 16, 16}, 0.25f)};
    const std::vector<Residuals> single = one.execute(latents, 10, hidden, images);
    ASSERT_EQ(single.size(), 2u);
    EXPECT_FLOAT_EQ(single[1].at("down_0").at({1, 0, 0, 0}), 0.5f); // gain 1 × 0.5
    const std::vector<Residuals> summed = two.execute(latents, 10, hidden, images);
    EXPECT_FLOAT_EQ(summed[0].at("down_0").at({0, 2, 3, 4}), 0.5f + 2 * 0.25f);

    EXPECT_THROW(two.execute(latents, 10, hidden, {images[0]}), std::invalid_argument);
}

TEST_F(Wrappers, SafetyCheckerNormalisesAndReadsTheVerdict) {
    const SafetyChecker::Planes black{std::vector<uint8_t>{0}, {0}, {0}};
    const SafetyChecker::Planes white{std::vector<uint8_t>{255}, {255}, {255}};
    const ShapedArray low = SafetyChecker::normalizeToFloatShapedArray(black, 1, 1);
    const ShapedArray high = SafetyChecker::normalizeToFloatShapedArray(white, 1, 1);
    EXPECT_FLOAT_EQ(low.at({0, 0, 0, 0}), -0.485f / 0.229f);
    EXPECT_FLOAT_EQ(low.at({0, 2, 0, 0}), -0.406f / 0.225f);
    EXPECT_FLOAT_EQ(high.at({0, 1, 0, 0}), (1 - 0.456f) / 0.224f);

    // Alpha never reaches the planes.
    const Image rgba(1, 1, 4, AlphaKind::straight, {10, 20, 30, 40});
    EXPECT_EQ(SafetyChecker::getRGBPlanes(rgba)[2], std::vector<uint8_t>{30});

    // The stand-in flags images whose normalised mean exceeds 1.
    writeTinyModel(model, {.safetyChecker = true, .safetyThreshold = 1.0f});
    SafetyChecker checker(model / "SafetyChecker.model", {});
    EXPECT_TRUE(checker.isSafe(
        Image(640, 480, 3, AlphaKind::none, std::vector<uint8_t>(640 * 480 * 3, 0))));
    EXPECT_FALSE(checker.isSafe(Image(3, 5, 3, AlphaKind::none, std::vector<uint8_t>(45, 255))));
}
