#include "cli/GenerateCommand.h"
#include "make-model/ModelMaker.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

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
    writeRandomModel(model, {.imageEncoder = true},
                     [&](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(lines.size(), 4u);
    EXPECT_TRUE(std::filesystem::exists(model / ".complete"));

    StableDiffusionPipeline pipeline(model, {}, {}, true, false);
    ASSERT_TRUE(pipeline.encoder.has_value());
    PipelineConfiguration c("a cat");
    c.stepCount = 2;
    const GeneratedImages images =
        pipeline.generateImages(c, [](const PipelineProgress&) { return true; });
    ASSERT_EQ(images.size(), 1u);
    ASSERT_TRUE(images[0].has_value());
    EXPECT_EQ(images[0]->width(), 16);

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
    EXPECT_NE(bytes.find("Size: 16x16, Model: XL (SDXL base, refiner from 0.5 of the steps, "
                         "aesthetic score 6/2.5)"),
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
