#include "cli/GenerateCommand.h"
#include "pipeline/GenerationParameters.h"
#include "core/PngReading.h"
#include "core/PngWriting.h"
#include "support/TestNetworks.h"
#include "support/TestPipelineKinds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

CliRun generate(std::vector<std::string> arguments) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = runGenerateCommand(arguments, out, err);
    return {status, out.str(), err.str()};
}

std::string contents(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

class Cli : public ::testing::Test {
protected:
    PipelineKinds kinds;
    TemporaryDirectory directory;
    std::filesystem::path model = directory.path() / "Model";

    void SetUp() override { writeTinyModel(model); }

    CliRun generateTo(const std::filesystem::path& output, std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments{"--model",  model.string(), "--prompt",
                                           "a cat",    "--steps",      "3",
                                           "--output", output.string()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return generate(arguments);
    }
};

} // namespace

TEST_F(Cli, WritesAPngWithItsParametersAndIsReproducible) {
    const auto first = directory.path() / "first.png";
    const CliRun run = generateTo(first, {"--seed", "42", "--negative-prompt", "dog"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, first.string() + "\n");
    // PNDM's warm-up timestep is counted in the steps asked for.
    EXPECT_NE(run.err.find("step 3 of 3"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(" of 4"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("left"), std::string::npos);

    const Image image = readPng(first);
    EXPECT_EQ(image.width(), 16);
    EXPECT_EQ(image.height(), 16);
    const std::string bytes = contents(first);
    EXPECT_NE(bytes.find(std::string("parameters\0a cat\nNegative prompt: dog\nSteps: 3, Sampler: "
                                     "PNDM, CFG scale: 7.5, Seed: 42, Size: 16x16, Model: Model",
                                     114)),
              std::string::npos);

    const auto again = directory.path() / "again.png";
    ASSERT_EQ(generateTo(again, {"--seed", "42", "--negative-prompt", "dog"}).status, 0);
    EXPECT_EQ(contents(again), bytes);
    const auto other = directory.path() / "other.png";
    ASSERT_EQ(generateTo(other, {"--seed", "43", "--negative-prompt", "dog"}).status, 0);
    EXPECT_NE(readPng(other).pixels(), image.pixels());

    for (const auto& entry : std::filesystem::directory_iterator(directory.path())) {
        EXPECT_NE(entry.path().extension(), ".partial") << entry.path();
    }
}

TEST_F(Cli, SeveralImagesAreNumberedAndPreviewsWritten) {
    const auto output = directory.path() / "set.png";
    const auto previews = directory.path() / "previews";
    const CliRun run =
        generateTo(output, {"--count", "2", "--preview-dir", previews.string(), "--scheduler",
                            "dpm", "--spacing", "karras", "--rng", "torch", "--reduce-memory"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::filesystem::exists(directory.path() / "set-1.png"));
    EXPECT_TRUE(std::filesystem::exists(directory.path() / "set-2.png"));
    EXPECT_FALSE(std::filesystem::exists(output));
    // Fast previews (this model has no preview decoder: the projection, 8×
    // the latents) unless the full decoder is asked for.
    EXPECT_EQ(readPng(previews / "step-002-1.png").width(), 64);
    EXPECT_TRUE(std::filesystem::exists(previews / "step-002-2.png"));
    ASSERT_EQ(generateTo(output, {"--preview-dir", previews.string(), "--preview", "full"}).status,
              0);
    EXPECT_EQ(readPng(previews / "step-002-1.png").width(), 16);
}

TEST_F(Cli, WidthAndHeightSizeTheNetworksForOtherImageSizes) {
    // The stand-in decoder gives two pixels per latent cell: 96 × 64 pixels
    // of latents (8 per cell) come out as 24 × 16.
    const auto output = directory.path() / "wide.png";
    const CliRun run = generateTo(output, {"--width", "96", "--height", "64", "--scheduler", "heun"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Image image = readPng(output);
    EXPECT_EQ(image.width(), 24);
    EXPECT_EQ(image.height(), 16);
    // One side given: the other stays the network's own (8 cells).
    ASSERT_EQ(generateTo(output, {"--height", "128"}).status, 0);
    EXPECT_EQ(readPng(output).width(), 16);
    EXPECT_EQ(readPng(output).height(), 32);
    for (const char* side : {"60", "2056", "100", "wide"}) {
        EXPECT_EQ(generateTo(output, {"--width", side}).status, 2) << side;
    }
}

TEST_F(Cli, FailuresAreOneLineWithANonZeroStatus) {
    auto oneLine = [](const CliRun& run) {
        return std::count(run.err.begin(), run.err.end(), '\n') == 1;
    };
    const CliRun noModel = generate({"--model", (directory.path() / "none").string(), "--prompt",
                                     "a cat", "--output", (directory.path() / "x.png").string()});
    EXPECT_EQ(noModel.status, 1);
    EXPECT_TRUE(oneLine(noModel)) << noModel.err;

    const CliRun badFolder = generateTo(directory.path() / "missing" / "x.png");
    EXPECT_EQ(badFolder.status, 1);
    EXPECT_NE(badFolder.err.find("does not exist"), std::string::npos) << badFolder.err;

    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"--prompt", "a", "--seed", "-1"},
                                               {"--prompt", "a", "--seed", "4294967296"},
                                               {"--prompt", "a", "--steps", "many"},
                                               {"--prompt", "a", "--scheduler", "euler-ancestral"},
                                               {"--prompt", "a", "--scheduler", "ddim",
                                                "--spacing", "karras"},
                                               {"--prompt", "a", "--spacing", "exponential"},
                                               {"--prompt", "a", "--lora", "style.ckpt"},
                                               {"--prompt", "a", "--lora", "s.safetensors:x"},
                                               {"--prompt", "a", "--lora", "s.safetensors:1e99"},
                                               {"--prompt", "a", "--preview", "quick"},
                                               {"--prompt", "a", "--output", "x.jpg"},
                                               {"--prompt", "a", "--controlnet", "edges"},
                                               {"--prompt", "a", "--controlnet", "=x.png"},
                                               {"--prompt"},
                                               {"--seed", "1"},
                                               {"stray"}}) {
        const CliRun run = generate(arguments);
        EXPECT_EQ(run.status, 2) << arguments.back();
        EXPECT_TRUE(oneLine(run)) << run.err;
    }

    const CliRun noLora =
        generateTo(directory.path() / "x.png",
                   {"--lora", (directory.path() / "none.safetensors:0.5").string()});
    EXPECT_EQ(noLora.status, 1);
    EXPECT_NE(noLora.err.find("none.safetensors\""), std::string::npos) << noLora.err;

    // A step count the scheduler refuses fails before anything runs.
    const CliRun oneStep = generateTo(directory.path() / "one.png", {"--steps", "1"});
    EXPECT_EQ(oneStep.status, 2);
    EXPECT_NE(oneStep.err.find("from 2 to 999"), std::string::npos) << oneStep.err;
    EXPECT_FALSE(std::filesystem::exists(directory.path() / "one.png"));

    // Unusable output locations are found before any model loads.
    std::filesystem::create_directories(directory.path() / "taken.png");
    const CliRun outputIsFolder = generateTo(directory.path() / "taken.png");
    EXPECT_EQ(outputIsFolder.status, 1);
    EXPECT_NE(outputIsFolder.err.find("exists and is not a file"), std::string::npos)
        << outputIsFolder.err;
    const CliRun previewsUnderAFile = generateTo(
        directory.path() / "p.png", {"--preview-dir", (model / "vocab.json" / "p").string()});
    EXPECT_EQ(previewsUnderAFile.status, 1);
    EXPECT_NE(previewsUnderAFile.err.find("The preview folder"), std::string::npos)
        << previewsUnderAFile.err;
    EXPECT_EQ(previewsUnderAFile.err.find("filesystem error"), std::string::npos)
        << previewsUnderAFile.err;
    for (const CliRun& run : {outputIsFolder, previewsUnderAFile}) {
        EXPECT_TRUE(oneLine(run)) << run.err;
        EXPECT_EQ(run.err.find("step 1"), std::string::npos) << run.err;
    }

    EXPECT_EQ(generate({"--help"}).status, 0);
}

TEST(CliNumbers, ReadStrictlyAndAlikeWithinTheRangesTheHelpStates) {
    const auto parse = [](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--prompt", "a"});
        return parseGenerateOptions(arguments).configuration;
    };
    const auto refusal = [&](std::vector<std::string> arguments) {
        try {
            parse(arguments);
        } catch (const std::invalid_argument& error) {
            return std::string(error.what());
        }
        return std::string("accepted");
    };
    for (const std::string text : {" 5", "+5", "5 ", "-5", "0x10", "5e1", "5.0", "", "٥"}) {
        EXPECT_NE(refusal({"--scheduler", "dpm", "--steps", text}).find("from 1 to 1000"),
                  std::string::npos)
            << text;
    }
    for (const std::string text :
         {" 7.5", "+7.5", "7.5 ", "1e38", "nan", "inf", "100.5", "-1", ".", "7,5"}) {
        EXPECT_NE(refusal({"--guidance", text}).find("from 0 to 100"), std::string::npos) << text;
    }
    EXPECT_NE(refusal({"--seed", "18446744073709551615"}).find("0 to 4294967295"),
              std::string::npos);
    EXPECT_LT(refusal({"--steps", std::string(5000, '9')}).size(), 120u);
    EXPECT_EQ(parse({"--guidance", "12"}).guidanceScale, 12.0f);
    EXPECT_EQ(parse({"--guidance", "0.5"}).guidanceScale, 0.5f);

    // Each scheduler's own range, whichever option comes first.
    EXPECT_NE(
        refusal({"--steps", "1000"}).find("pndm scheduler takes a whole number from 2 to 999"),
        std::string::npos);
    EXPECT_EQ(parse({"--steps", "999"}).stepCount, 999);
    EXPECT_EQ(parse({"--steps", "1000", "--scheduler", "dpm"}).stepCount, 1000);
    EXPECT_EQ(parse({"--scheduler", "dpm", "--steps", "1"}).stepCount, 1);
}

TEST(CliOptions, SchedulersSpaceTheirOwnWayUnlessTold) {
    const auto parse = [](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--prompt", "a"});
        return parseGenerateOptions(arguments).configuration;
    };
    EXPECT_EQ(parse({"--scheduler", "ddim"}).schedulerTimestepSpacing, TimeStepSpacing::leading);
    EXPECT_EQ(parse({"--scheduler", "euler"}).schedulerTimestepSpacing, TimeStepSpacing::linspace);
    const PipelineConfiguration heun = parse({"--spacing", "karras", "--scheduler", "heun"});
    EXPECT_EQ(heun.schedulerType, StableDiffusionScheduler::heunDiscreteScheduler);
    EXPECT_EQ(heun.schedulerTimestepSpacing, TimeStepSpacing::karras);
    EXPECT_EQ(parse({"--scheduler", "dpm-sde", "--spacing", "trailing"}).schedulerTimestepSpacing,
              TimeStepSpacing::trailing);
    EXPECT_THROW(parse({"--scheduler", "pndm", "--spacing", "karras"}), std::invalid_argument);
    EXPECT_THROW(parse({"--scheduler", "dpm", "--spacing", "trailing"}), std::invalid_argument);
}

TEST(CliText, ParametersAndOutputNames) {
    PipelineConfiguration c("a cat");
    c.stepCount = 20;
    c.seed = 7;
    c.schedulerType = StableDiffusionScheduler::dpmSolverMultistepScheduler;
    c.schedulerTimestepSpacing = TimeStepSpacing::karras;
    c.guidanceScale = 8.0f;
    EXPECT_EQ(parametersText(c, 512, 512, "Model"),
              "a cat\nSteps: 20, Sampler: DPM++ 2M, Schedule type: Karras, CFG scale: 8, Seed: 7, "
              "Size: 512x512, Model: Model");
    c.schedulerType = StableDiffusionScheduler::eulerAncestralDiscreteScheduler;
    c.schedulerTimestepSpacing = TimeStepSpacing::linspace;
    EXPECT_NE(parametersText(c, 64, 64, "M").find("Sampler: Euler a, CFG"), std::string::npos);
    // A single file's hash before its name; a name holding a comma quoted.
    c.schedulerType = StableDiffusionScheduler::dpmSolverMultistepScheduler;
    c.schedulerTimestepSpacing = TimeStepSpacing::karras;
    EXPECT_EQ(parametersText(c, 512, 512, "dream, v2", {}, "0123456789"),
              "a cat\nSteps: 20, Sampler: DPM++ 2M, Schedule type: Karras, CFG scale: 8, Seed: 7, "
              "Size: 512x512, Model hash: 0123456789, Model: \"dream, v2\"");
    // As the other tools write it, and only when it is not 1.
    c.clipSkip = 2;
    EXPECT_NE(parametersText(c, 512, 512, "Model").find(", Model: Model, Clip skip: 2"),
              std::string::npos);
    EXPECT_EQ(outputPathFor("out/pic.png", 0, 1), std::filesystem::path("out/pic.png"));
    EXPECT_EQ(outputPathFor("out/pic.png", 1, 3), std::filesystem::path("out/pic-2.png"));
}

// Image-to-image, inpainting and the hires fix from the command line: the
// options that do not go together are refused before any model loads, an
// input of another size is fitted, and the PNG records what was done.
TEST(CliImageInputs, RunFromAnyImageSizeAndRecordTheirSettings) {
    PipelineKinds kinds;
    TemporaryDirectory directory;
    const auto model = directory.path() / "Model";
    writeTinyModel(model, {.encoder = true});
    const auto picture = directory.path() / "in.png";
    const auto mask = directory.path() / "mask.png";
    writePng(picture, Image(30, 12, 3, AlphaKind::none, std::vector<uint8_t>(30 * 12 * 3, 200)));
    std::vector<uint8_t> white(30 * 12 * 3, 0);
    std::fill(white.begin(), white.begin() + 30 * 6 * 3, 255);
    writePng(mask, Image(30, 12, 3, AlphaKind::none, white));

    for (const std::vector<std::string>& refused : std::vector<std::vector<std::string>>{
             {"--mask", mask.string()},
             {"--strength", "0.5"},
             {"--init-image", picture.string(), "--strength", "0"},
             {"--init-image", picture.string(), "--strength", "1"},
             {"--hires-steps", "4"},
             {"--hires", "1"},
             {"--hires-upscaler", "latent"},
             {"--hires", "2", "--hires-upscaler", "bicubic"},
             {"--hires", "2", "--hires-strength", "1"}}) {
        std::vector<std::string> arguments{"--model", model.string(), "--prompt", "a"};
        arguments.insert(arguments.end(), refused.begin(), refused.end());
        const CliRun run = generate(arguments);
        EXPECT_EQ(run.status, 2) << refused.front() << ": " << run.err;
    }

    const auto output = directory.path() / "out.png";
    const auto run = [&](std::vector<std::string> extra) {
        std::vector<std::string> arguments{"--model", model.string(), "--prompt", "a cat",
                                           "--steps", "3", "--output", output.string()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return generate(arguments);
    };
    const CliRun changed = run({"--init-image", picture.string(), "--strength", "0.5"});
    ASSERT_EQ(changed.status, 0) << changed.err;
    EXPECT_NE(contents(output).find(", Denoising strength: 0.5"),
              std::string::npos);
    const CliRun inpainted = run({"--init-image", picture.string(), "--mask", mask.string()});
    ASSERT_EQ(inpainted.status, 0) << inpainted.err;
    EXPECT_NE(contents(output).find(", Denoising strength: 0.75"),
              std::string::npos);
    // A regular network keeps the unmasked rows (the mask's lower half is
    // black) whatever the seed; the masked ones change with it.
    const Image first = readPng(output);
    ASSERT_EQ(run({"--init-image", picture.string(), "--mask", mask.string(), "--seed", "9"})
                  .status,
              0);
    const Image second = readPng(output);
    const auto rows = [](const Image& image, int from, int to) {
        const auto row = static_cast<ptrdiff_t>(image.width() * image.channels());
        return std::vector<uint8_t>(image.pixels().begin() + from * row,
                                    image.pixels().begin() + to * row);
    };
    EXPECT_NE(rows(first, 0, 6), rows(second, 0, 6));
    EXPECT_EQ(rows(first, 10, 16), rows(second, 10, 16));

    const CliRun enlarged = run({"--hires", "2", "--hires-steps", "2"});
    ASSERT_EQ(enlarged.status, 0) << enlarged.err;
    const Image image = readPng(output);
    EXPECT_EQ(image.width(), 32);
    EXPECT_EQ(image.height(), 32);
    EXPECT_NE(contents(output)
                  .find("Size: 16x16, Model: Model, Denoising strength: 0.5, Hires upscale: 2, "
                        "Hires steps: 2"),
              std::string::npos)
        << contents(output);
    EXPECT_NE(enlarged.err.find("peak memory"), std::string::npos);

    // Enlarged as latents: the same size from another starting point, and
    // the parameters say so.
    ASSERT_EQ(run({"--hires", "2", "--hires-steps", "2", "--hires-upscaler", "latent"}).status, 0);
    const Image fromLatents = readPng(output);
    EXPECT_EQ(fromLatents.width(), 32);
    EXPECT_EQ(fromLatents.height(), 32);
    EXPECT_NE(fromLatents.pixels(), image.pixels());
    EXPECT_NE(contents(output).find("Hires steps: 2, Hires upscaler: Latent"), std::string::npos)
        << contents(output);

    // --from-png takes the hires fix back (the same text and pixels), and
    // --no-hires after it generates at the first pass's size.
    const auto hires = directory.path() / "hires.png";
    std::filesystem::copy_file(output, hires);
    const CliRun again = run({"--from-png", hires.string()});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(readPngText(output, "parameters"), readPngText(hires, "parameters"));
    EXPECT_EQ(readPng(output).pixels(), fromLatents.pixels());
    ASSERT_EQ(run({"--from-png", hires.string(), "--no-hires"}).status, 0);
    EXPECT_EQ(readPng(output).width(), 16);
    EXPECT_EQ(contents(output).find("Hires"), std::string::npos) << contents(output);

    // Another tool's: steps 0 are the first pass's, any "Latent …" upscaler
    // is ours; a scale beyond ours is refused with the way out, unless an
    // option after it replaces it.
    const auto other = directory.path() / "other.png";
    const auto otherWith = [&](const std::string& hiresText) {
        writePng(other, fromLatents,
                 {{"parameters", "a fox\nSteps: 12, Sampler: Euler a, CFG scale: 7, Seed: 5, "
                                 "Size: 16x16, " + hiresText}});
        return std::vector<std::string>{"--from-png", other.string()};
    };
    const GenerateOptions taken = parseGenerateOptions(
        otherWith("Denoising strength: 0.3, Hires upscale: 1.5, Hires steps: 0, "
                  "Hires upscaler: Latent (bicubic antialiased)"));
    ASSERT_TRUE(taken.hires);
    EXPECT_EQ(taken.hires->scale, 1.5f);
    EXPECT_EQ(taken.hires->strength, 0.3f);
    EXPECT_EQ(taken.hires->stepCount, 12);
    EXPECT_EQ(taken.hires->upscaler, HiresUpscaler::latent);
    std::vector<std::string> arguments =
        otherWith("Hires upscale: 6, Hires steps: 4, Hires upscaler: R-ESRGAN 4x+");
    try {
        parseGenerateOptions(arguments);
        ADD_FAILURE() << "a scale of 6 was taken";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find("--no-hires"), std::string::npos) << error.what();
    }
    arguments.insert(arguments.end(), {"--hires", "2"});
    const GenerateOptions replaced = parseGenerateOptions(arguments);
    ASSERT_TRUE(replaced.hires);
    EXPECT_EQ(replaced.hires->scale, 2.0f);
    EXPECT_EQ(replaced.hires->stepCount, 4);
    EXPECT_EQ(replaced.hires->strength, 0.5f);
    EXPECT_EQ(replaced.hires->upscaler, HiresUpscaler::image);
}

TEST_F(Cli, FromPngTakesAnImagesSettingsAndLaterOptionsWin) {
    const auto first = directory.path() / "first.png";
    ASSERT_EQ(generateTo(first, {"--seed", "42", "--negative-prompt", "dog, \"grey\"",
                                 "--scheduler", "dpm", "--spacing", "karras", "--guidance", "3.25"})
                  .status,
              0);
    const std::optional<std::string> written = readPngText(first, "parameters");
    ASSERT_TRUE(written);

    // Read back whole: the same settings make the same text and pixels.
    const auto again = directory.path() / "again.png";
    CliRun run = generate({"--model", model.string(), "--from-png", first.string(), "--output",
                           again.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readPngText(again, "parameters"), written);
    EXPECT_EQ(readPng(again).pixels(), readPng(first).pixels());

    // Options after --from-png win; those before it do not.
    const auto changed = directory.path() / "changed.png";
    run = generate({"--model", model.string(), "--seed", "1", "--from-png", first.string(),
                    "--steps", "2", "--output", changed.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    const GenerationParameters p = parseGenerationParameters(*readPngText(changed, "parameters"));
    EXPECT_EQ(p.steps, 2);
    EXPECT_EQ(p.seed, 42u);
    EXPECT_EQ(p.negativePrompt, "dog, \"grey\"");
    EXPECT_EQ(p.guidance, 3.25f);
    EXPECT_EQ(p.scheduleType, "Karras");

    // An image without parameters, text that is not parameters, and a
    // sampler we lack are refused with a sentence; --scheduler after it
    // chooses instead of the unknown one.
    writePng(directory.path() / "plain.png", readPng(first));
    run = generate({"--from-png", (directory.path() / "plain.png").string()});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("holds no generation parameters"), std::string::npos) << run.err;
    writePng(directory.path() / "notes.png", readPng(first), {{"parameters", "just a note"}});
    run = generate({"--from-png", (directory.path() / "notes.png").string()});
    EXPECT_NE(run.err.find("does not end in a line of settings"), std::string::npos) << run.err;
    const auto restart = directory.path() / "restart.png";
    writePng(restart, readPng(first), {{"parameters", "a fox\nSteps: 3, Sampler: Restart"}});
    run = generate({"--from-png", restart.string()});
    EXPECT_NE(run.err.find("sampler \"Restart\""), std::string::npos) << run.err;
    EXPECT_EQ(
        parseGenerateOptions({"--from-png", restart.string(), "--scheduler", "dpm"}).configuration.prompt,
        "a fox");
}
