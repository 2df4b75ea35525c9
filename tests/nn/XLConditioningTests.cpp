#include "nn/support/NetworkFixtures.h"
#include "pipeline/PipelineError.h"
#include "pipeline/StableDiffusionXLPipeline.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

std::vector<float> valuesOf(const ShapedArray& array) {
    return {array.values().begin(), array.values().end()};
}

} // namespace

// The conditioning the XL pipeline builds from a resource directory with two
// tiny text encoders against what diffusers' StableDiffusionXLPipeline builds
// for the same prompts: hidden states entering each encoder's last layer,
// joined on the channel axis, the pooled embedding of the second encoder
// (whose tokenizer pads with "!"), and for the refiner the second encoder
// alone. Float32 throughout; two layers of width 32.
TEST(XLConditioning, MatchesTheReferencePipeline) {
    TemporaryDirectory directory;
    const std::filesystem::path model = directory.path() / "model";
    std::filesystem::copy(fixturesDirectory() / "XLConditioning", model,
                          std::filesystem::copy_options::recursive);
    copyBundle("UNetXL", model, "Unet");
    StableDiffusionXLPipeline pipeline(model, {}, false);

    PipelineConfiguration c("a cat");
    c.negativePrompt = "dog";
    c.originalSize = 768.0f;
    c.cropsCoordsTopLeft = 16.0f;
    c.targetSize = 1024.0f;
    const auto expected = loadFixture("XLConditioning");
    const auto base = pipeline.generateConditioning(c, false);
    EXPECT_TRUE(closeTo(base.hiddenStates, toHiddenStates(expected.at("hidden_states")), 1e-4f));
    EXPECT_TRUE(closeTo(base.pooledStates, expected.at("pooled_states"), 1e-4f));
    EXPECT_EQ(base.geometryConditioning.shape(), (Shape{2, 6}));
    EXPECT_EQ(valuesOf(base.geometryConditioning),
              (std::vector<float>{768, 768, 16, 16, 1024, 1024, 768, 768, 16, 16, 1024, 1024}));

    c.aestheticScore = 7.0f;
    const auto refiner = pipeline.generateConditioning(c, true);
    EXPECT_TRUE(
        closeTo(refiner.hiddenStates, toHiddenStates(expected.at("refiner_hidden_states")), 1e-4f));
    EXPECT_TRUE(closeTo(refiner.pooledStates, expected.at("refiner_pooled_states"), 1e-4f));
    EXPECT_EQ(valuesOf(refiner.geometryConditioning),
              (std::vector<float>{768, 768, 16, 16, 2.5f, 768, 768, 16, 16, 7.0f}));
    EXPECT_EQ(refiner.geometryConditioning.shape(), (Shape{2, 5}));

    // Sizes are (height, width) pairs, as diffusers writes them.
    c.originalWidth = 640.0f;
    c.targetWidth = 896.0f;
    EXPECT_EQ(valuesOf(pipeline.generateConditioning(c, false).geometryConditioning),
              (std::vector<float>{768, 640, 16, 16, 1024, 896, 768, 640, 16, 16, 1024, 896}));
    EXPECT_EQ(valuesOf(pipeline.generateConditioning(c, true).geometryConditioning),
              (std::vector<float>{768, 640, 16, 16, 2.5f, 768, 640, 16, 16, 7.0f}));
    c.originalWidth.reset();
    c.targetWidth.reset();

    // Without the first encoder only the refiner can be conditioned.
    std::filesystem::remove_all(model / "TextEncoder.model");
    StableDiffusionXLPipeline secondOnly(model, {}, false);
    EXPECT_FALSE(secondOnly.textEncoder);
    try {
        secondOnly.generateConditioning(c, false);
        ADD_FAILURE() << "conditioned the base network without its first text encoder";
    } catch (const PipelineError& error) {
        EXPECT_EQ(error.errorCase(), PipelineError::Case::startingText2ImgWithoutTextEncoder);
    }
    EXPECT_TRUE(
        closeTo(secondOnly.generateConditioning(c, true).hiddenStates, refiner.hiddenStates, 0.0f));
}
