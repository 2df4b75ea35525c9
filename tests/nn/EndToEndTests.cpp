// A model directory whose text encoder and VAE are tiny networks of the real
// architectures (the reference fixtures) goes through the text-to-image and
// image-to-image pipelines to a PNG, past the safety checker where it has
// one. The denoising network is still a stand-in kind.

#include "cli/GenerateCommand.h"
#include "core/PngReading.h"
#include "core/PngWriting.h"
#include "nn/support/NetworkFixtures.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "support/TestNetworks.h"
#include "support/TestPipelineKinds.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

class EndToEnd : public ::testing::Test {
protected:
    PipelineKinds kinds;
    TemporaryDirectory directory;
    std::filesystem::path model = directory.path() / "model";

    // The stand-ins sized to the fixtures: 32-wide, 16-token text states and
    // 16×16 latents decoded to 32×32 pixels.
    void SetUp() override {
        writeTinyModel(model,
                       {.encoder = true, .latentSize = 16, .hiddenSize = 32, .sequenceLength = 16});
        for (const char* name : {"TextEncoder", "VAEDecoder", "VAEEncoder"}) {
            std::filesystem::remove_all(model / (std::string(name) + ".model"));
            copyBundle(name, model);
        }
        // The fixture's encoder has three blocks: 64×64 images give 16×16 latents.
        writeFileAtomically(model / "VAEEncoder.model" / "bundle.json",
                            R"({"inputs": {"x": [1, 3, 64, 64]}})");
    }

    static PipelineConfiguration configuration() {
        PipelineConfiguration c("a photo of a cat");
        c.negativePrompt = "dog";
        c.stepCount = 3;
        c.seed = 42;
        return c;
    }

    // Writes the image as a PNG, reads it back and checks it is the same
    // image with more than a few distinct values.
    void expectPng(const Image& image, const std::string& name) {
        EXPECT_EQ(image.width(), 32);
        EXPECT_EQ(image.height(), 32);
        const auto path = directory.path() / name;
        writePng(path, image);
        const Image read = readPng(path);
        EXPECT_EQ(read.pixels(), image.pixels());
        const std::set<uint8_t> values(image.pixels().begin(), image.pixels().end());
        EXPECT_GT(values.size(), 16u);
    }
};

bool keepGoing(const PipelineProgress&) {
    return true;
}

} // namespace

TEST_F(EndToEnd, TextToImageWritesAPng) {
    StableDiffusionPipeline pipeline(model, {}, {}, /*disableSafety=*/true, false);
    const GeneratedImages images = pipeline.generateImages(configuration(), keepGoing);
    ASSERT_EQ(images.size(), 1u);
    ASSERT_TRUE(images[0].has_value());
    expectPng(*images[0], "text.png");
    // Same seed, same image.
    EXPECT_EQ(pipeline.generateImages(configuration(), keepGoing), images);
}

TEST_F(EndToEnd, ImageToImageWritesAPng) {
    StableDiffusionPipeline pipeline(model, {}, {}, /*disableSafety=*/true, false);
    PipelineConfiguration c = configuration();
    std::vector<uint8_t> pixels(64 * 64 * 3);
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<uint8_t>(i * 7 % 251);
    }
    c.startingImage = Image(64, 64, 3, AlphaKind::none, pixels);
    c.strength = 0.6f;
    const GeneratedImages images = pipeline.generateImages(c, keepGoing);
    ASSERT_EQ(images.size(), 1u);
    ASSERT_TRUE(images[0].has_value());
    expectPng(*images[0], "image.png");
}

// With the reference's safety checker in the model directory, the pipeline
// withholds exactly the images the checker flags, and the command line writes
// only the others, saying so, unless told --no-safety.
TEST_F(EndToEnd, SafetyCheckerWithholdsFlaggedImages) {
    const auto checker = copyBundle("SafetyChecker", model);
    PipelineConfiguration c = configuration();
    c.imageCount = 4;
    StableDiffusionPipeline unchecked(model, {}, {}, /*disableSafety=*/true, false);
    const GeneratedImages all = unchecked.generateImages(c, keepGoing);
    SafetyChecker judge(checker, {});
    StableDiffusionPipeline pipeline(model, {}, {}, /*disableSafety=*/false, false);
    ASSERT_TRUE(pipeline.canSafetyCheck());
    const GeneratedImages checked = pipeline.generateImages(c, keepGoing);
    ASSERT_EQ(checked.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(checked[i], judge.isSafe(*all[i]) ? all[i] : std::optional<Image>())
            << "image " << i;
    }

    // Thresholds below every similarity: every image is flagged.
    editWeights(checker, [](std::vector<TensorToWrite>& tensors) {
        for (TensorToWrite& tensor : tensors) {
            if (tensor.name == "concept_embeds_weights") {
                tensor = TensorToWrite::fromFloats(tensor.name, ShapedArray(tensor.shape, -2.0f));
            }
        }
    });
    c.imageCount = 1;
    EXPECT_EQ(StableDiffusionPipeline(model, {}, {}, false, false).generateImages(c, keepGoing),
              GeneratedImages{std::nullopt});
    const auto output = directory.path() / "checked.png";
    const std::vector<std::string> arguments{"--model",  model.string(), "--prompt",
                                             "a cat",    "--steps",      "2",
                                             "--output", output.string()};
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(runGenerateCommand(arguments, out, err), 0);
    EXPECT_FALSE(std::filesystem::exists(output));
    EXPECT_NE(err.str().find("Image 1 was withheld by the safety checker."), std::string::npos)
        << err.str();
    std::vector<std::string> uncheckedArguments = arguments;
    uncheckedArguments.push_back("--no-safety");
    EXPECT_EQ(runGenerateCommand(uncheckedArguments, out, err), 0) << err.str();
    EXPECT_TRUE(std::filesystem::exists(output));
}
