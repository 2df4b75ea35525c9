// A model written as one single-file checkpoint generates what the same
// weights generate as bundles, through the pipelines and through the command
// line.
#include "cli/GenerateCommand.h"
#include "core/PngReading.h"
#include "core/Sha256.h"
#include "make-model/ModelMaker.h"
#include "pipeline/CheckpointPipeline.h"
#include "pipeline/ImageSize.h"
#include "pipeline/LoraFit.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "pipeline/StableDiffusionXLPipeline.h"
#include "runtime/CheckpointWriter.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

const ModelConfiguration kFloat32{ComputeUnits::cpuOnly, ComputePrecision::float32};

// The largest difference of two images, in levels of 8 bits.
int largestDifference(const Image& a, const Image& b) {
    EXPECT_EQ(a.width(), b.width());
    EXPECT_EQ(a.height(), b.height());
    if (a.pixels().size() != b.pixels().size()) {
        return 256;
    }
    int largest = 0;
    for (size_t i = 0; i < a.pixels().size(); ++i) {
        largest = std::max(largest, std::abs(int(a.pixels()[i]) - int(b.pixels()[i])));
    }
    return largest;
}

Image only(const GeneratedImages& images) {
    EXPECT_EQ(images.size(), 1u);
    EXPECT_TRUE(images.front().has_value());
    return *images.front();
}

const auto kNoProgress = [](const PipelineProgress&) { return true; };

struct CliRun {
    int status;
    std::string err;
};

CliRun generate(const std::vector<std::string>& arguments) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = runGenerateCommand(arguments, out, err);
    return {status, err.str()};
}

std::string parametersOf(const std::filesystem::path& png) {
    std::ifstream stream(png, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
    const size_t start = bytes.find(std::string("parameters\0", 11));
    return start == std::string::npos ? std::string() : bytes.substr(start + 11, 200);
}

// A tiny model directory that a single file can express, and that file.
class CheckpointGeneration : public ::testing::Test {
protected:
    TemporaryDirectory directory;
    std::filesystem::path model = directory.path() / "Model";
    std::filesystem::path file = directory.path() / "tiny-model.safetensors";

    void make(bool sdxl) {
        writeRandomModel(model, {.imageEncoder = true, .sdxl = sdxl, .refiner = sdxl,
                                 .checkpointRules = true});
        writeCheckpoint(model, file, CheckpointContents::model);
    }
};

} // namespace

TEST_F(CheckpointGeneration, SD1FromOneFileMatchesItsBundlesThroughPipelineAndCommandLine) {
    make(false);
    const std::optional<std::string> before = sha256OfFile(file);
    PipelineConfiguration c("a red cat");
    c.stepCount = 2;
    c.seed = 11;
    StableDiffusionPipeline bundles(model, {}, kFloat32, /*disableSafety=*/true, false);
    const Image expected = only(bundles.generateImages(c, kNoProgress));

    PipelineConfiguration fromFile = c;
    const CheckpointPipeline built =
        makeCheckpointPipeline({.model = file, .tokenizerDirectory = model}, kFloat32, fromFile);
    EXPECT_FALSE(built.isXL);
    EXPECT_EQ(built.model.kind, CheckpointKind::sd1);
    EXPECT_FLOAT_EQ(fromFile.decoderScaleFactor, 0.18215f);
    EXPECT_LE(largestDifference(only(built.pipeline->generateImages(fromFile, kNoProgress)), expected), 1);

    const auto png = directory.path() / "file.png";
    const CliRun run = generate({"--model", file.string(), "--tokenizer", model.string(),
                                 "--prompt", "a red cat", "--steps", "2", "--seed", "11",
                                 "--precision", "float32", "--output", png.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_LE(largestDifference(readPng(png), expected), 1);
    // Read where it lies, never written.
    EXPECT_EQ(sha256OfFile(file), before);
    const std::string hash = shortModelHash(*before);
    EXPECT_NE(parametersOf(png).find("Size: 128x128, Model hash: " + hash + ", Model: tiny-model"),
              std::string::npos)
        << parametersOf(png);
}

// The XL networks run at 128 × 128 latents: one generation each way.
TEST_F(CheckpointGeneration, SDXLFilesWithRefinerAndVaeThroughTheCommandLineMatchBundlesThroughThePipeline) {
    make(true);
    const auto refiner = directory.path() / "tiny-refiner.safetensors";
    const auto vae = directory.path() / "tiny-vae.safetensors";
    writeCheckpoint(model, refiner, CheckpointContents::refiner);
    writeCheckpoint(model, vae, CheckpointContents::vae);
    EXPECT_EQ(inspectCheckpoint(refiner).kind, CheckpointKind::sdxlRefiner);
    EXPECT_EQ(inspectCheckpoint(vae).kind, CheckpointKind::vae);

    PipelineConfiguration c("a red cat");
    c.stepCount = 2;
    c.seed = 5;
    c.refinerStart = 0.5f;
    // What a caller of the directory's pipeline sets from its VAE's config.
    c.decoderScaleFactor = c.encoderScaleFactor = 0.13025f;
    StableDiffusionXLPipeline bundles(model, kFloat32, false);
    ASSERT_TRUE(bundles.unetRefiner.has_value());
    const Image expected = only(bundles.generateImages(c, kNoProgress));

    const auto png = directory.path() / "files.png";
    const CliRun run = generate({"--model", file.string(), "--refiner", refiner.string(), "--vae",
                                 vae.string(), "--tokenizer", model.string(), "--prompt",
                                 "a red cat", "--steps", "2", "--seed", "5", "--refiner-start",
                                 "0.5", "--precision", "float32", "--output", png.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_LE(largestDifference(readPng(png), expected), 1);
    EXPECT_NE(parametersOf(png).find(", Model: tiny-model"), std::string::npos);
}

TEST_F(CheckpointGeneration, FilesInTheWrongRoleAreRefusedWithASentence) {
    make(true);
    const auto refiner = directory.path() / "tiny-refiner.safetensors";
    writeCheckpoint(model, refiner, CheckpointContents::refiner);
    PipelineConfiguration c("a cat");
    const auto refusal = [&](CheckpointFiles files) {
        files.tokenizerDirectory = model;
        try {
            makeCheckpointPipeline(files, kFloat32, c);
        } catch (const CheckpointError& error) {
            return std::string(error.what());
        }
        return std::string("accepted");
    };
    EXPECT_NE(refusal({.model = refiner}).find("is an SDXL refiner"), std::string::npos);
    EXPECT_NE(refusal({.model = file, .refiner = file}).find("not an SDXL refiner"),
              std::string::npos);
    EXPECT_NE(refusal({.model = file, .vae = refiner}).find("not a VAE"), std::string::npos);
    const std::string noTokenizer = [&] {
        try {
            makeCheckpointPipeline({.model = file, .tokenizerDirectory = directory.path()}, kFloat32, c);
        } catch (const CheckpointError& error) {
            return std::string(error.what());
        }
        return std::string("accepted");
    }();
    EXPECT_NE(noTokenizer.find("vocab.json"), std::string::npos) << noTokenizer;
}

// LoRAs merge into the networks read from the file as into the same
// networks' bundles, for SD 1.x (kohya's names) and SDXL (PEFT's, both text
// encoders too); a LoRA of the other family is refused before anything loads.
TEST_F(CheckpointGeneration, LorasMergeIntoNetworksReadFromTheFileAsIntoBundles) {
    for (const bool sdxl : {false, true}) {
        SCOPED_TRACE(sdxl ? "SDXL" : "SD 1.x");
        std::filesystem::remove_all(model);
        writeRandomModel(model, {.sdxl = sdxl, .checkpointRules = true});
        writeCheckpoint(model, file, CheckpointContents::model);
        const auto lora = directory.path() / (sdxl ? "xl-style.safetensors" : "style.safetensors");
        writeRandomLora(lora, {.layout = sdxl ? LoraLayout::peft : LoraLayout::kohya,
                               .model = model});
        EXPECT_NO_THROW(checkLorasFit(file, {{lora, 1.0f}}));
        if (sdxl) {
            const auto sd1 = directory.path() / "sd1.safetensors";
            writeRandomLora(sd1, {});
            EXPECT_THROW(checkLorasFit(file, {{sd1, 1.0f}}), LoraFitError);
        }

        // Small images keep it quick: the networks are sized for them.
        const ModelConfiguration small = sizedForImages(kFloat32, 128, 128);
        ModelConfiguration withLora = small;
        withLora.loras = {{lora, 0.8f}};
        PipelineConfiguration c("a red cat");
        c.stepCount = 2;
        c.seed = 3;
        PipelineConfiguration fromFile = c;
        PipelineConfiguration plain = c;
        const CheckpointPipeline merged =
            makeCheckpointPipeline({.model = file, .tokenizerDirectory = model}, withLora, fromFile);
        const CheckpointPipeline unmerged =
            makeCheckpointPipeline({.model = file, .tokenizerDirectory = model}, small, plain);
        const Image image = only(merged.pipeline->generateImages(fromFile, kNoProgress));
        EXPECT_GT(largestDifference(image, only(unmerged.pipeline->generateImages(plain, kNoProgress))),
                  8);
        Image expected = image;
        if (sdxl) {
            c.decoderScaleFactor = c.encoderScaleFactor = fromFile.decoderScaleFactor;
            c.originalSize = fromFile.originalSize;
            c.targetSize = fromFile.targetSize;
            expected = only(StableDiffusionXLPipeline(model, withLora, false)
                                .generateImages(c, kNoProgress));
        } else {
            expected = only(StableDiffusionPipeline(model, {}, withLora, true, false)
                                .generateImages(c, kNoProgress));
        }
        EXPECT_LE(largestDifference(image, expected), 1);
    }
}

// The command line takes LoRAs with an SDXL file too, at another size.
TEST_F(CheckpointGeneration, TheCommandLineMergesLorasIntoAnSDXLFileAtAnySize) {
    writeRandomModel(model, {.sdxl = true, .checkpointRules = true});
    writeCheckpoint(model, file, CheckpointContents::model);
    const auto lora = directory.path() / "xl-style.safetensors";
    writeRandomLora(lora, {.layout = LoraLayout::kohya, .model = model});
    const auto png = directory.path() / "xl.png";
    const CliRun run = generate({"--model", file.string(), "--tokenizer", model.string(),
                                 "--prompt", "a red cat", "--steps", "2", "--lora",
                                 lora.string() + ":0.5", "--width", "96", "--height", "64",
                                 "--precision", "float32", "--output", png.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    // 12 × 8 latent cells; the tiny decoder enlarges them twofold.
    const Image image = readPng(png);
    EXPECT_EQ(image.width(), 24);
    EXPECT_EQ(image.height(), 16);
    EXPECT_NE(parametersOf(png).find("<lora:xl-style:0.5>"), std::string::npos)
        << parametersOf(png);
}
