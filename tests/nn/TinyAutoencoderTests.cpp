#include "nn/support/NetworkFixtures.h"
#include "runtime/BundleWriter.h"
#include "runtime/Model.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

constexpr float kTolerance = 1e-4f;

FeatureProvider run(const std::filesystem::path& bundle, const std::string& input,
                    const ShapedArray& value) {
    return Model::load(bundle, {})->prediction(FeatureProvider({{input, value}}));
}

} // namespace

TEST(TinyAutoencoderTest, DecoderMatchesDiffusers) {
    // Latents wide enough for the tanh clamp to matter, three stages of
    // uneven depth, a 6×10 latent fixed by bundle.json.
    const auto expected = loadFixture("PreviewDecoder");
    const auto model = Model::load(fixturesDirectory() / "PreviewDecoder.model", {});
    EXPECT_EQ(model->kindName(), "AutoencoderTiny.decoder");
    const FeatureProvider outputs = model->prediction(FeatureProvider({{"z", expected.at("z")}}));
    EXPECT_EQ(outputs.featureValue("image").shape(), (Shape{1, 3, 24, 40}));
    EXPECT_TRUE(closeTo(outputs.featureValue("image"), expected.at("image"), kTolerance));
}

TEST(TinyAutoencoderTest, EncoderMatchesDiffusers) {
    // Stride-2 stages on an odd-sized image (22×36 → 11×18 → 6×9).
    const auto expected = loadFixture("PreviewEncoder");
    const FeatureProvider outputs =
        run(fixturesDirectory() / "PreviewEncoder.model", "x", expected.at("x"));
    EXPECT_TRUE(closeTo(outputs.featureValue("latents"), expected.at("latents"), kTolerance));
}

TEST(TinyAutoencoderTest, RefusesWhatTheLibraryCannotBuildByKey) {
    TemporaryDirectory directory;
    const auto bundle = copyBundle("PreviewDecoder", directory.path());
    // diffusers' blocks keep one width per half; a change of width breaks them.
    editConfig(bundle, [](nlohmann::json& config) {
        config["decoder_block_out_channels"] = {8, 16, 8};
    });
    EXPECT_TRUE(loadFails(bundle, {"\"decoder_block_out_channels\""}));
    editConfig(bundle, [](nlohmann::json& config) {
        config["decoder_block_out_channels"] = {8, 8, 8};
        config["upsampling_scaling_factor"] = 3;
    });
    EXPECT_TRUE(loadFails(bundle, {"\"upsampling_scaling_factor\""}));
    editConfig(bundle, [](nlohmann::json& config) {
        config.erase("upsampling_scaling_factor");
        config["num_decoder_blocks"] = {2, 1, 2};
    });
    EXPECT_TRUE(loadFails(bundle, {"decoder.layers.10.conv.0.weight"}));

    // Latents a bundle.json asks for are bounded before anything is sized
    // by them: no generation makes images above 2048 pixels a side.
    TemporaryDirectory other;
    const auto huge = copyBundle("PreviewDecoder", other.path());
    writeFileAtomically(huge / "bundle.json", R"({"inputs": {"z": [1, 4, 4, 100000]}})");
    EXPECT_TRUE(loadFails(huge, {"\"z\"", "sides at most"}));
}
