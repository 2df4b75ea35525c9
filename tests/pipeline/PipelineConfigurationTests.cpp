#include "pipeline/PipelineConfiguration.h"
#include "pipeline/PipelineError.h"
#include "pipeline/PipelineProgress.h"
#include "pipeline/Script.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace dravelin;

namespace {

Image tinyImage(uint8_t value = 0) {
    return Image(1, 1, 3, AlphaKind::none, {value, value, value});
}

} // namespace

TEST(PipelineConfiguration, StartsFromTheDocumentedDefaults) {
    const PipelineConfiguration c("a cat");
    EXPECT_EQ(c.prompt, "a cat");
    EXPECT_EQ(c.negativePrompt, "");
    EXPECT_FALSE(c.startingImage.has_value());
    EXPECT_EQ(c.strength, 1.0f);
    EXPECT_EQ(c.refinerStart, 0.8f);
    EXPECT_EQ(c.imageCount, 1);
    EXPECT_EQ(c.stepCount, 50);
    EXPECT_EQ(c.seed, 0u);
    EXPECT_EQ(c.guidanceScale, 7.5f);
    EXPECT_TRUE(c.controlNetInputs.empty());
    EXPECT_FALSE(c.disableSafety);
    EXPECT_FALSE(c.useDenoisedIntermediates);
    EXPECT_EQ(c.schedulerType, StableDiffusionScheduler::pndmScheduler);
    EXPECT_EQ(c.schedulerTimestepSpacing, TimeStepSpacing::linspace);
    EXPECT_EQ(c.rngType, StableDiffusionRNG::numpyRNG);
    EXPECT_EQ(c.encoderScaleFactor, 0.18215f);
    EXPECT_EQ(c.decoderScaleFactor, 0.18215f);
    EXPECT_EQ(c.originalSize, 1024.0f);
    EXPECT_EQ(c.cropsCoordsTopLeft, 0.0f);
    EXPECT_EQ(c.targetSize, 1024.0f);
    EXPECT_EQ(c.aestheticScore, 6.0f);
    EXPECT_EQ(c.negativeAestheticScore, 2.5f);
}

TEST(PipelineConfiguration, EqualityAndHashCoverEveryField) {
    const std::hash<PipelineConfiguration> hash;
    const PipelineConfiguration base("a cat");
    EXPECT_EQ(base, PipelineConfiguration("a cat"));
    EXPECT_EQ(hash(base), hash(PipelineConfiguration("a cat")));

    std::vector<std::function<void(PipelineConfiguration&)>> changes{
        [](auto& c) { c.negativePrompt = "blurry"; },
        [](auto& c) { c.startingImage = tinyImage(); },
        [](auto& c) { c.strength = 0.5f; },
        [](auto& c) { c.imageCount = 2; },
        [](auto& c) { c.stepCount = 20; },
        [](auto& c) { c.seed = 7; },
        [](auto& c) { c.guidanceScale = 1.0f; },
        [](auto& c) { c.controlNetInputs.push_back(tinyImage()); },
        [](auto& c) { c.disableSafety = true; },
        [](auto& c) { c.useDenoisedIntermediates = true; },
        [](auto& c) { c.schedulerType = StableDiffusionScheduler::dpmSolverMultistepScheduler; },
        [](auto& c) { c.schedulerTimestepSpacing = TimeStepSpacing::karras; },
        [](auto& c) { c.rngType = StableDiffusionRNG::nvidiaRNG; },
        [](auto& c) { c.decoderScaleFactor = 0.13025f; },
        [](auto& c) { c.negativeAestheticScore = 3.0f; },
        [](auto& c) { c.targetWidth = 768.0f; },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        PipelineConfiguration changed = base;
        changes[i](changed);
        EXPECT_NE(changed, base) << "change " << i;
        EXPECT_NE(hash(changed), hash(base)) << "change " << i;
    }

    // Images compare by content; negative and positive zero hash alike.
    PipelineConfiguration a = base;
    PipelineConfiguration b = base;
    a.startingImage = tinyImage(3);
    b.startingImage = tinyImage(3);
    a.cropsCoordsTopLeft = -0.0f;
    EXPECT_EQ(a, b);
    EXPECT_EQ(hash(a), hash(b));
    b.startingImage = tinyImage(4);
    EXPECT_NE(a, b);
}

TEST(PipelineConfiguration, ModeNeedsAStartingImageAndAStrengthBelowOne) {
    PipelineConfiguration c("a cat");
    for (float strength : {0.0f, 0.99f, 1.0f, NAN}) {
        c.strength = strength;
        EXPECT_EQ(c.mode(), PipelineMode::textToImage) << strength;
    }
    c.startingImage = tinyImage();
    c.strength = 1.0f;
    EXPECT_EQ(c.mode(), PipelineMode::textToImage);
    c.strength = NAN;
    EXPECT_EQ(c.mode(), PipelineMode::textToImage);
    c.strength = 0.99f;
    EXPECT_EQ(c.mode(), PipelineMode::imageToImage);
}

TEST(PipelineError, RawValuesRoundTripCaseSensitively) {
    using Case = PipelineError::Case;
    for (Case errorCase : {Case::missingUnetInputs, Case::startingImageProvidedWithoutEncoder,
                           Case::startingText2ImgWithoutTextEncoder, Case::unsupportedOSVersion}) {
        const PipelineError error(errorCase);
        EXPECT_EQ(PipelineError::caseFromRawValue(error.rawValue()), errorCase);
        EXPECT_NE(std::string(error.what()).find(error.rawValue()), std::string::npos);
    }
    EXPECT_EQ(PipelineError::rawValue(Case::startingImageProvidedWithoutEncoder),
              "startingImageProvidedWithoutEncoder");
    EXPECT_FALSE(PipelineError::caseFromRawValue("StartingImageProvidedWithoutEncoder"));
    EXPECT_FALSE(PipelineError::caseFromRawValue(""));
}

TEST(Script, RawValuesMatchWholeTextExactly) {
    EXPECT_EQ(scriptFromRawValue("latin"), Script::latin);
    EXPECT_EQ(scriptFromRawValue("cyrillic"), Script::cyrillic);
    EXPECT_EQ(scriptFromRawValue("cjk"), Script::cjk);
    EXPECT_EQ(rawValue(Script::cjk), "cjk");
    for (const char* text : {"Latin", "latin ", "", "CJK"}) {
        EXPECT_FALSE(scriptFromRawValue(text)) << '"' << text << '"';
    }
}

namespace {

// Records what the default operations call, and can be told to fail.
class FakePipeline : public StableDiffusionPipelineProtocol {
public:
    bool safety = false;
    bool failLoad = false;
    bool failDecode = false;
    std::vector<std::string> calls;

    void loadResources() override {
        calls.push_back("load");
        if (failLoad) {
            throw std::runtime_error("no model");
        }
    }
    void unloadResources() noexcept override { calls.push_back("unload"); }
    bool canSafetyCheck() const override { return safety; }
    GeneratedImages generateImages(const PipelineConfiguration&, const ProgressHandler&) override {
        return {};
    }
    GeneratedImages decodeToImages(std::span<const ShapedArray> latents,
                                   const PipelineConfiguration&) override {
        calls.push_back("decode");
        if (failDecode) {
            throw std::runtime_error("decoder failed");
        }
        return GeneratedImages(latents.size(), tinyImage());
    }
};

} // namespace

TEST(ResourceManaging, PrewarmLoadsThenUnloadsAndPassesOnALoadFailure) {
    FakePipeline pipeline;
    pipeline.prewarmResources();
    EXPECT_EQ(pipeline.calls, (std::vector<std::string>{"load", "unload"}));

    pipeline.calls.clear();
    pipeline.failLoad = true;
    EXPECT_THROW(pipeline.prewarmResources(), std::runtime_error);
    EXPECT_EQ(pipeline.calls, (std::vector<std::string>{"load"}));
}

TEST(PipelineProgress, SafetyFollowsPipelineAndConfiguration) {
    auto pipeline = std::make_shared<FakePipeline>();
    PipelineProgress progress{pipeline, "a cat", 0, 1, {}, PipelineConfiguration("a cat")};
    EXPECT_FALSE(progress.isSafetyEnabled());
    pipeline->safety = true;
    EXPECT_TRUE(progress.isSafetyEnabled());
    progress.configuration.disableSafety = true;
    EXPECT_FALSE(progress.isSafetyEnabled());
}

TEST(PipelineProgress, CurrentImagesDecodesNowAndSwallowsDecodeFailures) {
    auto pipeline = std::make_shared<FakePipeline>();
    PipelineProgress progress{pipeline,
                              "a cat",
                              3,
                              10,
                              {ShapedArray(Shape{1, 4, 2, 2}), ShapedArray(Shape{1, 4, 2, 2})},
                              PipelineConfiguration("a cat")};
    EXPECT_EQ(progress.currentImages().size(), 2u);
    EXPECT_EQ(progress.currentImages().size(), 2u);
    EXPECT_EQ(pipeline->calls, (std::vector<std::string>{"decode", "decode"}));

    pipeline->failDecode = true;
    EXPECT_TRUE(progress.currentImages().empty());
}
