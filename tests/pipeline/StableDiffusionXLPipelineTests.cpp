#include "pipeline/PipelineError.h"
#include "pipeline/StableDiffusionXLPipeline.h"
#include "runtime/RuntimeErrors.h"
#include "support/TestNetworks.h"
#include "support/TestPipelineKinds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

class XLPipeline : public ::testing::Test {
protected:
    PipelineKinds kinds;
    TemporaryDirectory directory;
    std::filesystem::path model = directory.path() / "model";

    void SetUp() override { ModelEventLog::clear(); }

    StableDiffusionXLPipeline build(const TinyXLModelOptions& options = {},
                                    bool reduceMemory = false) {
        writeTinyXLModel(model, options);
        return StableDiffusionXLPipeline(model, {}, reduceMemory);
    }

    static PipelineConfiguration configuration(int64_t steps = 4) {
        PipelineConfiguration c("a photo of a cat");
        c.negativePrompt = "dog";
        c.stepCount = steps;
        c.seed = 42;
        // The stand-in networks add the mean of "time_ids" to their output:
        // small values keep the images off saturation.
        c.originalSize = c.targetSize = 0.0f;
        c.aestheticScore = 0.2f;
        c.negativeAestheticScore = 0.1f;
        return c;
    }

    static bool keepGoing(const PipelineProgress&) { return true; }
};

int64_t count(const std::vector<std::string>& events, const std::string& name) {
    return std::count(events.begin(), events.end(), name);
}

int64_t position(const std::vector<std::string>& events, const std::string& event) {
    return std::find(events.begin(), events.end(), event) - events.begin();
}

} // namespace

TEST_F(XLPipeline, LoadsPrewarmsAndUnloadsInOrderAndReportsBrokenOptionalModels) {
    StableDiffusionXLPipeline pipeline = build({.refiner = true, .encoder = true});
    pipeline.loadResources();
    EXPECT_EQ(ModelEventLog::events("load"),
              (std::vector<std::string>{"text_encoder_2", "unet", "decoder", "text_encoder",
                                        "unet_refiner", "encoder"}));
    // The refiner is loaded once but not kept.
    EXPECT_EQ(ModelEventLog::events("unload"), std::vector<std::string>{"unet_refiner"});
    ModelEventLog::clear();
    pipeline.unloadResources();
    EXPECT_EQ(
        ModelEventLog::events("unload"),
        (std::vector<std::string>{"text_encoder", "text_encoder_2", "unet", "decoder", "encoder"}));

    // Broken optional models are named on standard output and passed over.
    std::ofstream(model / "TextEncoder.model" / "config.json") << "{";
    std::ofstream(model / "UnetRefiner.model" / "config.json") << "{";
    StableDiffusionXLPipeline broken(model, {}, false);
    ModelEventLog::clear();
    ::testing::internal::CaptureStdout();
    broken.loadResources();
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("Error loading resources for textEncoder: "), std::string::npos);
    EXPECT_NE(printed.find("Error loading resources for unetRefiner: "), std::string::npos);
    EXPECT_EQ(ModelEventLog::events("load"),
              (std::vector<std::string>{"text_encoder_2", "unet", "decoder", "encoder"}));

    StableDiffusionXLPipeline reduced(model, {}, true);
    ModelEventLog::clear();
    ::testing::internal::CaptureStdout();
    reduced.loadResources(); // only prewarms
    EXPECT_NE(::testing::internal::GetCapturedStdout().find(
                  "Error prewarming resources for unetRefiner: "),
              std::string::npos);
    EXPECT_EQ(ModelEventLog::events("load"), ModelEventLog::events("unload"));

    // A missing second encoder is not optional.
    std::filesystem::remove_all(model / "TextEncoder2.model");
    StableDiffusionXLPipeline withoutSecond(model, {}, false);
    EXPECT_THROW(withoutSecond.loadResources(), ModelLoadError);
}

TEST_F(XLPipeline, TheRefinerTakesOverAtRefinerStart) {
    StableDiffusionXLPipeline pipeline = build({.refiner = true});
    // DPM-Solver runs exactly stepCount timesteps: 0.8 of 10 switches at
    // step 8.
    PipelineConfiguration c = configuration(10);
    c.schedulerType = StableDiffusionScheduler::dpmSolverMultistepScheduler;
    std::vector<int64_t> steps;
    // The final latents: the stand-in decoder's images saturate.
    std::vector<ShapedArray> latents;
    const auto record = [&](const PipelineProgress& p) {
        steps.push_back(p.step);
        latents = p.currentLatentSamples;
        return true;
    };
    const GeneratedImages images = pipeline.generateImages(c, record);
    EXPECT_EQ(images.size(), 1u);
    EXPECT_EQ(steps.size(), 10u);
    const std::vector<ShapedArray> refined = latents;
    std::vector<std::string> events = ModelEventLog::events();
    EXPECT_EQ(count(events, "predict:unet"), 8);
    EXPECT_EQ(count(events, "predict:unet_refiner"), 2);
    // The base network goes before the refiner comes; the refiner goes
    // before decoding.
    EXPECT_LT(position(events, "unload:unet"), position(events, "load:unet_refiner"));
    EXPECT_LT(position(events, "unload:unet_refiner"), position(events, "predict:decoder"));

    // 1 never switches, 0 switches before the first prediction.
    c.refinerStart = 1.0f;
    ModelEventLog::clear();
    pipeline.generateImages(c, record);
    EXPECT_EQ(count(ModelEventLog::events("predict"), "unet_refiner"), 0);
    EXPECT_NE(latents, refined);
    c.refinerStart = 0.0f;
    ModelEventLog::clear();
    pipeline.generateImages(c, keepGoing);
    EXPECT_EQ(count(ModelEventLog::events("predict"), "unet"), 0);
    EXPECT_EQ(count(ModelEventLog::events("predict"), "unet_refiner"), 10);

    // Same seed, same result.
    c.refinerStart = 0.8f;
    EXPECT_EQ(pipeline.generateImages(c, record), images);
    EXPECT_EQ(latents, refined);

    for (float bad : {std::nanf(""), INFINITY, 1e30f}) {
        c.refinerStart = bad;
        ModelEventLog::clear();
        EXPECT_THROW(pipeline.generateImages(c, keepGoing), std::invalid_argument);
        EXPECT_TRUE(ModelEventLog::events("predict").empty());
    }
}

TEST_F(XLPipeline, WithoutTheFirstEncoderOnlyARefinerCanBeConditioned) {
    // The refiner conditioning serves the base network until the switch.
    StableDiffusionXLPipeline pipeline = build({.textEncoder = false, .refiner = true});
    EXPECT_FALSE(pipeline.textEncoder);
    PipelineConfiguration c = configuration(4); // PNDM: 5 timesteps, switch at 4
    EXPECT_EQ(pipeline.generateImages(c, keepGoing).size(), 1u);
    EXPECT_EQ(count(ModelEventLog::events("predict"), "unet"), 4);
    EXPECT_EQ(count(ModelEventLog::events("predict"), "unet_refiner"), 1);

    // A refiner alone: the base network is itself refiner-shaped.
    std::filesystem::remove_all(model / "UnetRefiner.model");
    StableDiffusionXLPipeline refinerOnly(model, {}, false);
    ModelEventLog::clear();
    EXPECT_EQ(refinerOnly.generateImages(c, keepGoing).size(), 1u);
    EXPECT_EQ(count(ModelEventLog::events("predict"), "unet"), 5);

    // A base network without its first encoder and no refiner: nothing to
    // condition it with.
    writeTinyXLModel(model);
    std::filesystem::remove_all(model / "TextEncoder.model");
    StableDiffusionXLPipeline alone(model, {}, false);
    ModelEventLog::clear();
    try {
        alone.generateImages(c, keepGoing);
        ADD_FAILURE() << "generated without any conditioning";
    } catch (const PipelineError& error) {
        EXPECT_EQ(error.errorCase(), PipelineError::Case::missingUnetInputs);
    }
    EXPECT_EQ(count(ModelEventLog::events("predict"), "unet"), 0);
}

TEST_F(XLPipeline, ReducedMemoryLetsEachModelGoAfterItsStageAndAStopKeepsThemLoaded) {
    StableDiffusionXLPipeline pipeline = build({.refiner = true}, /*reduceMemory=*/true);
    pipeline.generateImages(configuration(), keepGoing);
    const std::vector<std::string> events = ModelEventLog::events();
    EXPECT_LT(position(events, "unload:text_encoder"), position(events, "predict:unet"));
    EXPECT_LT(position(events, "unload:text_encoder_2"), position(events, "predict:unet"));
    EXPECT_LT(position(events, "unload:unet"), position(events, "load:unet_refiner"));
    EXPECT_NE(position(events, "unload:decoder"), static_cast<int64_t>(events.size()));
    EXPECT_EQ(ModelEventLog::events("load").size(), ModelEventLog::events("unload").size());

    StableDiffusionXLPipeline kept = build({.refiner = true});
    ModelEventLog::clear();
    int64_t calls = 0;
    EXPECT_TRUE(
        kept.generateImages(configuration(), [&](const PipelineProgress&) { return ++calls < 1; })
            .empty());
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(ModelEventLog::events("unload").empty());
}

TEST_F(XLPipeline, ReleasedTextEncodersLoadAgainOnlyForANewPrompt) {
    StableDiffusionXLPipeline pipeline = build({.refiner = true});
    pipeline.releaseTextEncoders = true;
    pipeline.loadResources();
    EXPECT_EQ(ModelEventLog::events("load"),
              (std::vector<std::string>{"unet", "decoder", "unet_refiner"}));
    PipelineConfiguration c = configuration();
    const GeneratedImages cat = pipeline.generateImages(c, keepGoing);
    std::vector<std::string> events = ModelEventLog::events();
    for (const char* encoder : {"unload:text_encoder", "unload:text_encoder_2"}) {
        EXPECT_LT(position(events, encoder), position(events, "predict:unet")) << encoder;
    }
    // The refiner took over and let the base network go, then went itself.
    EXPECT_EQ(pipeline.loadedModels(), std::vector<std::string>{"VAEDecoder.model"});

    // The same prompt: the base and refiner conditioning are both kept.
    ModelEventLog::clear();
    EXPECT_EQ(pipeline.generateImages(c, keepGoing), cat);
    EXPECT_EQ(count(ModelEventLog::events("load"), "text_encoder_2"), 0);
    EXPECT_EQ(count(ModelEventLog::events("predict"), "text_encoder_2"), 0);

    // A changed prompt loads both again and makes the image a pipeline that
    // kept them loaded makes; the first prompt then reads back its own image.
    c.prompt = "a photo of a dog";
    ModelEventLog::clear();
    const GeneratedImages dog = pipeline.generateImages(c, keepGoing);
    EXPECT_EQ(count(ModelEventLog::events("load"), "text_encoder"), 1);
    EXPECT_EQ(count(ModelEventLog::events("load"), "text_encoder_2"), 1);
    EXPECT_NE(dog, cat);
    StableDiffusionXLPipeline kept(model, {}, false);
    EXPECT_EQ(kept.generateImages(c, keepGoing), dog);
    c.prompt = "a photo of a cat";
    EXPECT_EQ(pipeline.generateImages(c, keepGoing), cat);
}

TEST_F(XLPipeline, ImageToImageStartsFromTheEncodedImage) {
    StableDiffusionXLPipeline pipeline = build({.encoder = true});
    PipelineConfiguration c = configuration(10);
    c.schedulerType = StableDiffusionScheduler::dpmSolverMultistepScheduler;
    c.startingImage = Image(16, 16, 3, AlphaKind::none, std::vector<uint8_t>(16 * 16 * 3, 90));
    c.strength = 0.5f;
    int64_t reported = 0;
    const GeneratedImages images = pipeline.generateImages(c, [&](const PipelineProgress& p) {
        reported = p.stepCount;
        return true;
    });
    EXPECT_EQ(images.size(), 1u);
    EXPECT_EQ(reported, 5);
    EXPECT_EQ(count(ModelEventLog::events("predict"), "encoder"), 1);

    std::filesystem::remove_all(model / "VAEEncoder.model");
    StableDiffusionXLPipeline withoutEncoder(model, {}, false);
    try {
        withoutEncoder.generateImages(c, keepGoing);
        ADD_FAILURE();
    } catch (const PipelineError& error) {
        EXPECT_EQ(error.errorCase(), PipelineError::Case::startingImageProvidedWithoutEncoder);
    }
}

TEST_F(XLPipeline, PreviewsUseTheXLProjectionNotTheFullDecoder) {
    StableDiffusionXLPipeline pipeline = build();
    EXPECT_FALSE(pipeline.previewDecoder.hasTinyAutoencoder());
    EXPECT_EQ(pipeline.previewDecoder.latentSpace(), LatentSpace::sdxl);
    int64_t previews = 0;
    pipeline.generateImages(configuration(), [&](const PipelineProgress& progress) {
        previews += static_cast<int64_t>(progress.previewImages().size());
        return true;
    });
    EXPECT_EQ(previews, 5); // PNDM visits one timestep more than its steps
    EXPECT_EQ(count(ModelEventLog::events("predict"), "decoder"), 1); // the final image only

    // c1 = 1 alone gives XL's second row (−0.2634, −0.0196, 0.0653), not SD 1.x's.
    ShapedArray latent(Shape{1, 4, 2, 2});
    std::fill(latent.data() + 4, latent.data() + 8, 1.0f);
    const std::vector<Image> images = pipeline.previewDecoder.decode(std::span(&latent, 1));
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].width(), 16);
    EXPECT_EQ(std::vector<uint8_t>(images[0].pixels().begin(), images[0].pixels().begin() + 3),
              (std::vector<uint8_t>{94, 125, 136}));
}
