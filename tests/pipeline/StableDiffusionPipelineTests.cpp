#include "pipeline/PipelineError.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "runtime/BundleWriter.h"
#include "runtime/RuntimeErrors.h"
#include "support/TestNetworks.h"
#include "support/TestPipelineKinds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

class Pipeline : public ::testing::Test {
protected:
    PipelineKinds kinds;
    TemporaryDirectory directory;
    std::filesystem::path model = directory.path() / "model";

    void SetUp() override { ModelEventLog::clear(); }

    StableDiffusionPipeline build(const TinyModelOptions& options = {},
                                  std::vector<std::string> controlNets = {},
                                  bool disableSafety = false, bool reduceMemory = false) {
        writeTinyModel(model, options);
        return StableDiffusionPipeline(model, controlNets, {}, disableSafety, reduceMemory);
    }

    static PipelineConfiguration configuration(int64_t steps = 4) {
        PipelineConfiguration c("a photo of a cat");
        c.negativePrompt = "dog";
        c.stepCount = steps;
        c.seed = 42;
        return c;
    }

    static bool keepGoing(const PipelineProgress&) { return true; }
};

int64_t count(const std::vector<std::string>& events, const std::string& name) {
    return std::count(events.begin(), events.end(), name);
}

} // namespace

TEST_F(Pipeline, FindsItsModelsInTheResourceDirectory) {
    StableDiffusionPipeline plain =
        build({.chunked = true, .encoder = true, .safetyChecker = true});
    EXPECT_EQ(plain.unet.models().size(), 2u); // both chunks win over Unet.model
    EXPECT_TRUE(plain.encoder.has_value());
    EXPECT_TRUE(plain.canSafetyCheck());

    std::filesystem::remove_all(model / "UnetChunk2.model");
    StableDiffusionPipeline oneChunk(model, {}, {}, /*disableSafety=*/true, false);
    ASSERT_EQ(oneChunk.unet.models().size(), 1u);
    EXPECT_EQ(oneChunk.unet.models()[0]->modelURL(), model / "Unet.model");
    EXPECT_FALSE(oneChunk.canSafetyCheck());

    writeTinyModel(model, {.controlNets = {"edges"}});
    StableDiffusionPipeline controlled(model, {"edges"}, {}, false, false);
    ASSERT_TRUE(controlled.controlNet.has_value());
    EXPECT_EQ(controlled.controlNet->models()[0]->modelURL(), model / "controlnet" / "edges.model");
    EXPECT_EQ(controlled.unet.models()[0]->modelURL(), model / "ControlledUnet.model");

    std::filesystem::remove(model / "vocab.json");
    EXPECT_THROW(StableDiffusionPipeline(model, {}, {}, false, false), std::runtime_error);
}

TEST_F(Pipeline, GeneratesReportsEveryStepAndStopsWhenAsked) {
    StableDiffusionPipeline pipeline = build();
    std::vector<int64_t> steps;
    const GeneratedImages images =
        pipeline.generateImages(configuration(), [&](const PipelineProgress& progress) {
            steps.push_back(progress.step);
            EXPECT_EQ(progress.stepCount, 5); // PNDM visits one timestep twice
            EXPECT_EQ(progress.prompt, "a photo of a cat");
            EXPECT_EQ(progress.currentLatentSamples.size(), 1u);
            return true;
        });
    ASSERT_EQ(images.size(), 1u);
    ASSERT_TRUE(images[0].has_value());
    EXPECT_EQ(images[0]->width(), 16);
    EXPECT_EQ(steps, (std::vector<int64_t>{0, 1, 2, 3, 4}));

    ModelEventLog::clear();
    const GeneratedImages stopped =
        pipeline.generateImages(configuration(), [](const PipelineProgress&) { return false; });
    EXPECT_TRUE(stopped.empty());
    EXPECT_EQ(count(ModelEventLog::events("predict"), "unet"), 1);
    EXPECT_EQ(count(ModelEventLog::events("predict"), "decoder"), 0);
}

TEST_F(Pipeline, SameSeedSameImageAndSecondImageContinuesTheStream) {
    StableDiffusionPipeline pipeline = build();
    PipelineConfiguration c = configuration();
    const GeneratedImages once = pipeline.generateImages(c, keepGoing);
    EXPECT_EQ(pipeline.generateImages(c, keepGoing), once);

    c.imageCount = 2;
    const GeneratedImages twice = pipeline.generateImages(c, keepGoing);
    ASSERT_EQ(twice.size(), 2u);
    EXPECT_EQ(twice[0], once[0]);
    EXPECT_NE(twice[1], once[0]);

    c.imageCount = 1;
    c.seed = 43;
    EXPECT_NE(pipeline.generateImages(c, keepGoing), once);
    for (StableDiffusionRNG rng : {StableDiffusionRNG::torchRNG, StableDiffusionRNG::nvidiaRNG}) {
        c.rngType = rng;
        EXPECT_EQ(pipeline.generateImages(c, keepGoing).size(), 1u);
    }
    c.schedulerType = StableDiffusionScheduler::dpmSolverMultistepScheduler;
    c.schedulerTimestepSpacing = TimeStepSpacing::karras;
    EXPECT_EQ(pipeline.generateImages(c, keepGoing).size(), 1u);
}

TEST_F(Pipeline, ReportsNoisyLatentsButDecodesTheDenoisedEstimates) {
    StableDiffusionPipeline pipeline = build();
    PipelineConfiguration c = configuration();
    std::vector<ShapedArray> lastNoisy;
    std::vector<ShapedArray> lastDenoised;
    const GeneratedImages images = pipeline.generateImages(c, [&](const PipelineProgress& p) {
        lastNoisy = p.currentLatentSamples;
        return true;
    });
    c.useDenoisedIntermediates = true;
    pipeline.generateImages(c, [&](const PipelineProgress& p) {
        lastDenoised = p.currentLatentSamples;
        return true;
    });
    EXPECT_NE(lastNoisy, lastDenoised);
    EXPECT_EQ(pipeline.decodeToImages(lastDenoised, c), images);
    EXPECT_NE(pipeline.decodeToImages(lastNoisy, c), images);
}

TEST_F(Pipeline, ProgressCanDecodeAPreview) {
    StableDiffusionPipeline pipeline = build();
    size_t previews = 0;
    pipeline.generateImages(configuration(), [&](const PipelineProgress& progress) {
        previews += progress.currentImages().size();
        return true;
    });
    EXPECT_EQ(previews, 5u);
}

namespace {

// A two-stage tiny autoencoder whose weights are all zero but the last
// bias, so every pixel it decodes is 2 · bias − 1: RGB (1, 0.5, −1).
void writeConstantPreviewDecoder(const std::filesystem::path& bundle, int latentSize) {
    const nlohmann::json config{
        {"_class_name", "AutoencoderTiny"},     {"decoder_block_out_channels", {4, 4}},
        {"encoder_block_out_channels", {4, 4}}, {"num_decoder_blocks", {1, 1}},
        {"num_encoder_blocks", {1, 1}},         {"scaling_factor", 1.0}};
    std::vector<TensorToWrite> tensors;
    for (const WeightSpec& spec :
         NetworkRegistry::shared().find("AutoencoderTiny.decoder")->expectedWeights(config)) {
        ShapedArray values(spec.shape);
        if (spec.name == "decoder.layers.6.bias") {
            values = ShapedArray({1.0f, 0.75f, 0.0f}, Shape{3});
        }
        tensors.push_back(TensorToWrite::fromFloats(spec.name, values));
    }
    writeBundle(bundle, config, tensors,
                nlohmann::json{{"inputs", {{"z", {1, 4, latentSize, latentSize}}}}});
}

} // namespace

TEST_F(Pipeline, PreviewsNeverRunTheFullDecoder) {
    StableDiffusionPipeline pipeline = build();
    EXPECT_FALSE(pipeline.previewDecoder.hasTinyAutoencoder());
    // Without a preview decoder: the projection, enlarged 8 times.
    std::vector<Image> previews;
    pipeline.generateImages(configuration(), [&](const PipelineProgress& progress) {
        for (const auto& image : progress.previewImages()) {
            previews.push_back(*image);
        }
        return true;
    });
    ASSERT_EQ(previews.size(), 5u);
    EXPECT_EQ(previews.front().width(), 64);
    EXPECT_EQ(count(ModelEventLog::events("predict"), "decoder"), 1); // the final image only

    // With one, its images; one that cannot take these latents falls back.
    writeConstantPreviewDecoder(model / "PreviewDecoder.model", 8);
    StableDiffusionPipeline tiny(model, {}, {}, true, false);
    ASSERT_TRUE(tiny.previewDecoder.hasTinyAutoencoder());
    const std::vector<ShapedArray> latents{ShapedArray(Shape{1, 4, 8, 8}, 0.3f)};
    const GeneratedImages decoded = tiny.decodeToPreviewImages(latents, configuration());
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(decoded[0]->width(), 16);
    EXPECT_EQ(std::vector<uint8_t>(decoded[0]->pixels().begin(), decoded[0]->pixels().begin() + 3),
              (std::vector<uint8_t>{255, 191, 0}));
    // Latents that are not numbers fail that preview alone.
    const std::vector<ShapedArray> broken{ShapedArray(Shape{1, 4, 8, 8}, std::nanf(""))};
    EXPECT_THROW(tiny.decodeToPreviewImages(broken, configuration()), std::domain_error);
    EXPECT_EQ(tiny.decodeToPreviewImages(latents, configuration())[0]->width(), 16);
    writeConstantPreviewDecoder(model / "PreviewDecoder.model", 6);
    StableDiffusionPipeline mismatched(model, {}, {}, true, false);
    EXPECT_EQ(mismatched.decodeToPreviewImages(latents, configuration())[0]->width(), 64);
}

TEST(PreviewProjection, MapsLatentChannelsToColoursAndEnlarges) {
    // c0 = 1 alone gives (0.298, 0.207, 0.208) in [−1, 1]; a uniform latent
    // stays uniform however it is enlarged.
    ShapedArray latent(Shape{1, 4, 2, 3});
    std::fill(latent.data(), latent.data() + 6, 1.0f);
    const Image image = PreviewDecoder::project(latent, 8);
    ASSERT_EQ(image.width(), 24);
    ASSERT_EQ(image.height(), 16);
    for (size_t i = 0; i < image.pixels().size(); i += 3) {
        ASSERT_EQ(image.pixels()[i], 165);
        ASSERT_EQ(image.pixels()[i + 1], 154);
        ASSERT_EQ(image.pixels()[i + 2], 154);
    }
    EXPECT_THROW(PreviewDecoder::project(ShapedArray(Shape{1, 3, 2, 2}), 8), std::invalid_argument);
}

TEST_F(Pipeline, ReducedMemoryUnloadsEachModelAfterItsStage) {
    StableDiffusionPipeline pipeline = build({.safetyChecker = true}, {}, false, true);
    pipeline.loadResources(); // only prewarms
    EXPECT_EQ(ModelEventLog::events("load"),
              (std::vector<std::string>{"text_encoder", "unet", "decoder", "safety_checker"}));
    EXPECT_EQ(ModelEventLog::events("load"), ModelEventLog::events("unload"));

    ModelEventLog::clear();
    pipeline.generateImages(configuration(2), keepGoing);
    const std::vector<std::string> events = ModelEventLog::events();
    auto position = [&](const std::string& event) {
        return std::find(events.begin(), events.end(), event) - events.begin();
    };
    EXPECT_LT(position("unload:text_encoder"), position("load:unet"));
    EXPECT_LT(position("unload:unet"), position("load:decoder"));
    EXPECT_LT(position("unload:decoder"), position("load:safety_checker"));
    EXPECT_NE(position("unload:safety_checker"), static_cast<long>(events.size()));
    EXPECT_EQ(ModelEventLog::events("load").size(), ModelEventLog::events("unload").size());
}

TEST_F(Pipeline, ReleasedTextEncoderLoadsAgainOnlyForOtherPrompts) {
    StableDiffusionPipeline pipeline = build();
    pipeline.releaseTextEncoders = true;
    pipeline.loadResources(); // the encoder is left to the first prompt
    EXPECT_EQ(ModelEventLog::events("load"), (std::vector<std::string>{"unet", "decoder"}));
    PipelineConfiguration c = configuration(2);
    const GeneratedImages cat = pipeline.generateImages(c, keepGoing);
    std::vector<std::string> events = ModelEventLog::events();
    EXPECT_LT(std::find(events.begin(), events.end(), "unload:text_encoder"),
              std::find(events.begin(), events.end(), "predict:unet"));
    EXPECT_EQ(pipeline.loadedModels(),
              (std::vector<std::string>{"Unet.model", "VAEDecoder.model"}));

    // The same prompts again: nothing to encode.
    ModelEventLog::clear();
    EXPECT_EQ(pipeline.generateImages(c, keepGoing), cat);
    EXPECT_EQ(count(ModelEventLog::events("predict"), "text_encoder"), 0);
    // Read with emphasis the same text weighs otherwise.
    c.prompt = "a (photo) of a cat";
    pipeline.generateImages(c, keepGoing);
    c.promptSyntax = PromptSyntax::emphasis;
    ModelEventLog::clear();
    pipeline.generateImages(c, keepGoing);
    EXPECT_EQ(count(ModelEventLog::events("load"), "text_encoder"), 1);
    c.prompt = "a photo of a cat";
    c.promptSyntax = PromptSyntax::plain;

    // A changed negative prompt is encoded again, as a pipeline that never
    // let its encoder go would.
    c.negativePrompt = "a cat";
    ModelEventLog::clear();
    const GeneratedImages changed = pipeline.generateImages(c, keepGoing);
    EXPECT_EQ(count(ModelEventLog::events("load"), "text_encoder"), 1);
    EXPECT_NE(changed, cat);
    StableDiffusionPipeline kept(model, {}, {}, false, false);
    EXPECT_EQ(kept.generateImages(c, keepGoing), changed);
}

TEST_F(Pipeline, LoadOrderWithoutReducedMemory) {
    StableDiffusionPipeline pipeline = build({.encoder = true, .safetyChecker = true});
    pipeline.loadResources();
    EXPECT_EQ(
        ModelEventLog::events("load"),
        (std::vector<std::string>{"unet", "text_encoder", "decoder", "encoder", "safety_checker"}));
    EXPECT_TRUE(ModelEventLog::events("unload").empty());
    pipeline.unloadResources();
    EXPECT_EQ(
        ModelEventLog::events("unload"),
        (std::vector<std::string>{"text_encoder", "unet", "decoder", "encoder", "safety_checker"}));
}

TEST_F(Pipeline, SafetyCheckerBlanksFlaggedImagesUnlessDisabled) {
    StableDiffusionPipeline pipeline = build({.safetyChecker = true, .safetyThreshold = -10.0f});
    PipelineConfiguration c = configuration(2);
    c.imageCount = 2;
    const GeneratedImages flagged = pipeline.generateImages(c, keepGoing);
    ASSERT_EQ(flagged.size(), 2u);
    EXPECT_FALSE(flagged[0].has_value());
    EXPECT_FALSE(flagged[1].has_value());
    c.disableSafety = true;
    const GeneratedImages shown = pipeline.generateImages(c, keepGoing);
    EXPECT_TRUE(shown[0].has_value() && shown[1].has_value());
}

TEST_F(Pipeline, ImageToImageRunsTheShortenedSchedule) {
    StableDiffusionPipeline pipeline = build({.encoder = true});
    PipelineConfiguration c = configuration(50);
    c.startingImage = Image(16, 16, 3, AlphaKind::none, std::vector<uint8_t>(16 * 16 * 3, 90));
    c.strength = 0.5f;
    int64_t reported = 0;
    const GeneratedImages images = pipeline.generateImages(c, [&](const PipelineProgress& p) {
        reported = p.stepCount;
        return true;
    });
    EXPECT_EQ(images.size(), 1u);
    EXPECT_EQ(reported, 26); // entries 25 … 50 of PNDM's 51 timesteps

    c.startingImage = Image(15, 16, 3, AlphaKind::none, std::vector<uint8_t>(15 * 16 * 3, 90));
    EXPECT_THROW(pipeline.generateImages(c, keepGoing), Encoder::Error);

    std::filesystem::remove_all(model / "VAEEncoder.model");
    StableDiffusionPipeline withoutEncoder = build();
    ModelEventLog::clear();
    try {
        withoutEncoder.generateImages(c, keepGoing);
        ADD_FAILURE();
    } catch (const PipelineError& error) {
        EXPECT_EQ(error.errorCase(), PipelineError::Case::startingImageProvidedWithoutEncoder);
    }
    EXPECT_EQ(count(ModelEventLog::events("predict"), "unet"), 0);
}

TEST_F(Pipeline, ControlNetConditionsEveryStep) {
    StableDiffusionPipeline pipeline = build({.controlNets = {"edges"}}, {"edges"});
    PipelineConfiguration c = configuration(2);
    c.controlNetInputs.push_back(
        Image(16, 16, 3, AlphaKind::none, std::vector<uint8_t>(16 * 16 * 3, 255)));
    const GeneratedImages conditioned = pipeline.generateImages(c, keepGoing);
    EXPECT_EQ(count(ModelEventLog::events("predict"), "controlnet_edges"), 3);
    c.controlNetInputs[0] = Image(16, 16, 3, AlphaKind::none, std::vector<uint8_t>(16 * 16 * 3));
    EXPECT_NE(pipeline.generateImages(c, keepGoing), conditioned);
}

TEST_F(Pipeline, BadRequestsFailCleanlyAndTheNextRunWorks) {
    StableDiffusionPipeline pipeline = build();
    PipelineConfiguration c = configuration();
    c.imageCount = 0;
    EXPECT_THROW(pipeline.generateImages(c, keepGoing), std::invalid_argument);
    c.imageCount = 1;
    c.stepCount = 1; // PNDM needs two
    EXPECT_THROW(pipeline.generateImages(c, keepGoing), std::invalid_argument);

    c.stepCount = 3;
    EXPECT_THROW(
        pipeline.generateImages(
            c, [](const PipelineProgress&) -> bool { throw std::runtime_error("handler failed"); }),
        std::runtime_error);
    EXPECT_EQ(pipeline.generateImages(c, keepGoing).size(), 1u);

    std::filesystem::remove_all(model / "Unet.model");
    StableDiffusionPipeline missing(model, {}, {}, false, false);
    EXPECT_THROW(missing.generateImages(c, keepGoing), ModelLoadError);
}

TEST_F(Pipeline, MissingOrMismatchedDecoderFailsBeforeTheFirstStep) {
    int64_t steps = 0;
    const auto counting = [&](const PipelineProgress&) { return ++steps > 0; };
    StableDiffusionPipeline pipeline = build();
    std::filesystem::remove_all(model / "VAEDecoder.model");
    EXPECT_THROW(pipeline.generateImages(configuration(), counting), ModelLoadError);

    // A decoder of a model with larger latents (smaller ones decode in tiles).
    const std::filesystem::path other = directory.path() / "other";
    writeTinyModel(other, {.latentSize = 16});
    std::filesystem::copy(other / "VAEDecoder.model", model / "VAEDecoder.model");
    try {
        pipeline.generateImages(configuration(), counting);
        ADD_FAILURE() << "a decoder for other latents was accepted";
    } catch (const ModelLoadError& error) {
        EXPECT_NE(std::string(error.what())
                      .find("takes latents shaped [1, 4, 16, 16], but the "
                            "denoising network makes [1, 4, 8, 8]"),
                  std::string::npos)
            << error.what();
    }
    EXPECT_EQ(steps, 0);
}
