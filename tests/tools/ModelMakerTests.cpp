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
             const std::string& seed) {
    std::ostringstream out;
    std::ostringstream err;
    return runGenerateCommand({"--model", model.string(), "--prompt", "a red cat", "--steps", "3",
                               "--seed", seed, "--output", output.string()},
                              out, err);
}

} // namespace

// The real networks, at tiny sizes, from model directory to PNG.
TEST(ModelMaker, WritesACompleteTinyModelThatGeneratesImages) {
    TemporaryDirectory directory;
    const auto model = directory.path() / "Model";
    std::vector<std::string> lines;
    writeRandomModel(model, {.imageEncoder = true, .previewDecoder = true},
                     [&](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(lines.size(), 5u);
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

TEST(ModelMaker, AFailedWriteLeavesNoCompletionMarker) {
    TemporaryDirectory directory;
    const auto model = directory.path() / "Model";
    std::filesystem::create_directories(model);
    std::ofstream(model / ".complete") << "";
    EXPECT_THROW(writeRandomModel(model, {.tokenizer = directory.path() / "nowhere"}),
                 std::runtime_error);
    EXPECT_FALSE(std::filesystem::exists(model / ".complete"));
}
