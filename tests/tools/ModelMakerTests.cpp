#include "cli/GenerateCommand.h"
#include "core/PngWriting.h"
#include "make-model/ModelMaker.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>

using namespace dravelin;
using dravelin::testing::TemporaryDirectory;

namespace {

std::string contents(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

int generate(const std::filesystem::path& model, const std::filesystem::path& output,
             const std::string& seed, std::vector<std::string> extra = {},
             std::string* errors = nullptr) {
    std::ostringstream out;
    std::ostringstream err;
    std::vector<std::string> arguments{
        "--model", model.string(), "--prompt", "a red cat", "--steps",
        "3",       "--seed",       seed,       "--output",  output.string()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    const int status = runGenerateCommand(arguments, out, err);
    if (errors != nullptr) {
        *errors = err.str();
    }
    return status;
}

} // namespace

// The real networks, at tiny sizes, from model directory to PNG.
TEST(ModelMaker, WritesACompleteTinyModelThatGeneratesImages) {
    TemporaryDirectory directory;
    const auto model = directory.path() / "Model";
    std::vector<std::string> lines;
    writeRandomModel(model, {.imageEncoder = true, .safetyChecker = true, .previewDecoder = true},
                     [&](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(lines.size(), 6u);
    EXPECT_TRUE(std::filesystem::exists(model / ".complete"));

    // The random safety checker runs on every image and withholds none.
    StableDiffusionPipeline pipeline(model, {}, {}, /*disableSafety=*/false, false);
    ASSERT_TRUE(pipeline.encoder.has_value());
    ASSERT_TRUE(pipeline.canSafetyCheck());
    PipelineConfiguration c("a cat");
    c.stepCount = 2;
    const GeneratedImages images =
        pipeline.generateImages(c, [](const PipelineProgress&) { return true; });
    ASSERT_EQ(images.size(), 1u);
    ASSERT_TRUE(images[0].has_value());
    EXPECT_EQ(images[0]->width(), 16);
    // Previews come from the preview decoder, at the image's size.
    ASSERT_TRUE(pipeline.previewDecoder.hasTinyAutoencoder());
    const GeneratedImages previews =
        pipeline.decodeToPreviewImages(std::vector<ShapedArray>{ShapedArray(Shape{1, 4, 8, 8})}, c);
    ASSERT_EQ(previews.size(), 1u);
    EXPECT_EQ(previews[0]->width(), 16);

    // Image-to-image through the real encoder.
    c.startingImage = *images[0];
    c.strength = 0.5f;
    EXPECT_EQ(pipeline.generateImages(c, [](const PipelineProgress&) { return true; }).size(), 1u);

    // Through the command line: the same seed gives the same file, byte for byte.
    ASSERT_EQ(generate(model, directory.path() / "a.png", "7"), 0);
    ASSERT_EQ(generate(model, directory.path() / "b.png", "7"), 0);
    ASSERT_EQ(generate(model, directory.path() / "c.png", "8"), 0);
    EXPECT_EQ(contents(directory.path() / "a.png"), contents(directory.path() / "b.png"));
    EXPECT_NE(contents(directory.path() / "a.png"), contents(directory.path() / "c.png"));
}

// ControlNets and the controlled network they need, through the command line.
TEST(ModelMaker, WritesControlNetsThatGuideTheCommandLine) {
    TemporaryDirectory directory;
    const auto model = directory.path() / "Model";
    writeRandomModel(model, {.controlNets = {"edges", "depth"}});
    EXPECT_EQ(contents(model / "ControlledUnet.model" / "diffusion_pytorch_model.safetensors"),
              contents(model / "Unet.model" / "diffusion_pytorch_model.safetensors"));

    // A 40×24 image for a network that takes 16×16 ones.
    std::vector<uint8_t> pixels(40 * 24 * 3);
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<uint8_t>(i * 13 % 256);
    }
    const auto image = directory.path() / "edges.png";
    writePng(image, Image(40, 24, 3, AlphaKind::none, pixels));
    const auto run = [&](std::vector<std::string> controlNets, const std::string& output) {
        std::vector<std::string> arguments{"--model",  model.string(),
                                           "--prompt", "a red cat",
                                           "--steps",  "2",
                                           "--output", (directory.path() / output).string()};
        for (const std::string& controlNet : controlNets) {
            arguments.push_back("--controlnet");
            arguments.push_back(controlNet + "=" + image.string());
        }
        std::ostringstream out;
        std::ostringstream err;
        const int status = runGenerateCommand(arguments, out, err);
        EXPECT_EQ(err.str().find("dravelin-cli:"), std::string::npos) << err.str();
        return status;
    };
    ASSERT_EQ(run({}, "plain.png"), 0);
    ASSERT_EQ(run({"edges"}, "edges.png"), 0);
    ASSERT_EQ(run({"edges", "depth"}, "both.png"), 0);
    EXPECT_NE(contents(directory.path() / "plain.png"), contents(directory.path() / "edges.png"));
    EXPECT_NE(contents(directory.path() / "edges.png"), contents(directory.path() / "both.png"));

    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(runGenerateCommand({"--model", model.string(), "--prompt", "a cat", "--controlnet",
                                  "pose=" + image.string(), "--output",
                                  (directory.path() / "pose.png").string()},
                                 out, err),
              1);
    EXPECT_NE(err.str().find("\"pose\""), std::string::npos) << err.str();
}

TEST(ModelMaker, LoraFilesOfEitherLayoutChangeTheFewStepImageReproducibly) {
    TemporaryDirectory directory;
    const auto model = directory.path() / "Model";
    writeRandomModel(model, {});
    const auto style = directory.path() / "style.safetensors";
    const auto fast = directory.path() / "lcm.safetensors";
    writeRandomLora(style, {.layout = LoraLayout::kohya});
    writeRandomLora(fast, {.layout = LoraLayout::peft, .rank = 2, .seed = 5});

    // Latent consistency: 4 steps at guidance 1 unless told otherwise.
    const auto run = [&](const std::string& name, std::vector<std::string> loras) {
        std::vector<std::string> arguments{
            "--model", model.string(), "--prompt", "a red cat", "--scheduler",
            "lcm",     "--seed",       "7",        "--output",  (directory.path() / name).string()};
        for (const std::string& lora : loras) {
            arguments.insert(arguments.end(), {"--lora", lora});
        }
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(runGenerateCommand(arguments, out, err), 0) << err.str();
        EXPECT_NE(err.str().find("step 4 of 4"), std::string::npos) << err.str();
        EXPECT_NE(err.str().find("decoding"), std::string::npos) << err.str();
        return contents(directory.path() / name);
    };
    const std::string base = run("base.png", {});
    const std::string styled = run("styled.png", {style.string() + ":0.7", fast.string()});
    EXPECT_EQ(run("again.png", {style.string() + ":0.7", fast.string()}), styled);
    EXPECT_NE(styled, base);
    EXPECT_NE(run("weaker.png", {style.string() + ":0.2", fast.string()}), styled);
    const std::string parameters = "a red cat <lora:style:0.7> <lora:lcm:1>\nSteps: 4, Sampler: "
                                   "LCM, CFG scale: 1, Seed: 7";
    EXPECT_NE(styled.find(parameters), std::string::npos);

    // A LoRA written for the full-size networks names layers these lack.
    std::ostringstream out;
    std::ostringstream err;
    const auto big = directory.path() / "big.safetensors";
    writeRandomLora(big, {.fullSize = true, .rank = 1});
    EXPECT_EQ(
        runGenerateCommand({"--model", model.string(), "--prompt", "a", "--lora", big.string(),
                            "--output", (directory.path() / "big.png").string()},
                           out, err),
        1);
    EXPECT_NE(err.str().find("big.safetensors"), std::string::npos) << err.str();
    EXPECT_FALSE(std::filesystem::exists(directory.path() / "big.png"));
}

TEST(ModelMaker, GuidanceOfOneRunsThePromptsHalfAlone) {
    // At scale 1 the network sees the prompt alone; the result must be what
    // the guidance batch gives at a scale next to 1 (where both halves run).
    TemporaryDirectory directory;
    writeRandomModel(directory.path() / "Model", {});
    StableDiffusionPipeline pipeline(directory.path() / "Model", {}, {}, true, false);
    EXPECT_TRUE(pipeline.unet.takesSingleImageBatch());
    PipelineConfiguration c("a red cat");
    c.negativePrompt = "a dog";
    c.stepCount = 3;
    c.schedulerType = StableDiffusionScheduler::dpmSolverMultistepScheduler;
    const auto finalLatent = [&](float guidance) {
        c.guidanceScale = guidance;
        ShapedArray latent;
        pipeline.generateImages(c, [&](const PipelineProgress& progress) {
            latent = progress.currentLatentSamples.front();
            return progress.step + 1 < progress.stepCount;
        });
        return latent;
    };
    const ShapedArray alone = finalLatent(1.0f);
    const ShapedArray both = finalLatent(std::nextafter(1.0f, 2.0f));
    const ShapedArray unconditional = finalLatent(0.0f);
    float largest = 0.0f;
    float apart = 0.0f;
    for (int64_t i = 0; i < alone.count(); ++i) {
        largest = std::max(largest, std::fabs(alone.data()[i] - both.data()[i]));
        apart = std::max(apart, std::fabs(alone.data()[i] - unconditional.data()[i]));
    }
    EXPECT_LT(largest, 1e-4f);
    EXPECT_GT(apart, 1e-2f);
}

// An SDXL directory of the real networks at tiny sizes, base and refiner,
// through the command line.
TEST(ModelMaker, WritesATinySDXLModelThatTheCommandLineRuns) {
    TemporaryDirectory directory;
    const auto model = directory.path() / "XL";
    std::vector<std::string> lines;
    writeRandomModel(model, {.sdxl = true, .refiner = true},
                     [&](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(lines.size(), 5u);
    EXPECT_TRUE(std::filesystem::exists(model / "TextEncoder2.model"));
    EXPECT_TRUE(std::filesystem::exists(model / "UnetRefiner.model"));

    std::string errors;
    const auto a = directory.path() / "a.png";
    ASSERT_EQ(generate(model, a, "7", {"--refiner-start", "0.5"}, &errors), 0) << errors;
    ASSERT_EQ(generate(model, directory.path() / "b.png", "7", {"--refiner-start", "0.5"}), 0);
    EXPECT_EQ(contents(a), contents(directory.path() / "b.png"));
    const std::string bytes = contents(a);
    // A name holding commas is quoted, so that readers split the pairs right.
    EXPECT_NE(bytes.find("Size: 16x16, Model: \"XL (SDXL base, refiner from 0.5 of the steps, "
                         "aesthetic score 6/2.5)\""),
              std::string::npos);

    // Without the refiner's part the base alone runs, and says so.
    const auto base = directory.path() / "base.png";
    ASSERT_EQ(generate(model, base, "7", {"--refiner-start", "1", "--reduce-memory"}), 0);
    EXPECT_NE(contents(base), bytes);
    EXPECT_NE(contents(base).find("Model: XL (SDXL base)"), std::string::npos);

    // A refiner start without a refiner, and XL options on an SD directory,
    // are refused.
    std::filesystem::remove_all(model / "UnetRefiner.model");
    EXPECT_EQ(generate(model, base, "7", {"--refiner-start", "0.5"}, &errors), 1);
    EXPECT_NE(errors.find("UnetRefiner.model"), std::string::npos) << errors;
    const auto plain = directory.path() / "Plain";
    writeRandomModel(plain, {});
    EXPECT_EQ(generate(plain, base, "7", {"--aesthetic-score", "7"}, &errors), 1);
    EXPECT_NE(errors.find("SDXL"), std::string::npos) << errors;
}

TEST(ModelMaker, AFailedWriteLeavesNoCompletionMarker) {
    TemporaryDirectory directory;
    const auto model = directory.path() / "Model";
    std::filesystem::create_directories(model);
    std::ofstream(model / ".complete") << "";
    EXPECT_THROW(writeRandomModel(model, {.tokenizer = directory.path() / "nowhere"}),
                 std::runtime_error);
    EXPECT_FALSE(std::filesystem::exists(model / ".complete"));
}
