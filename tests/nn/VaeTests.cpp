#include "nn/compute/FeatureMap.h"
#include "nn/networks/vae/VaeConfig.h"
#include "nn/networks/vae/VaeDecoder.h"
#include "nn/networks/vae/VaeEncoder.h"
#include "pipeline/Encoder.h"
#include "random/NumPyRandomSource.h"
#include "nn/support/NetworkFixtures.h"
#include "runtime/Model.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

constexpr float kTolerance = 1e-4f;
// Two ways of computing the same map: they differ by float32 rounding only.
constexpr float kRounding = 1e-5f;

FeatureProvider run(const std::filesystem::path& bundle, const std::string& input,
                    const ShapedArray& value) {
    return Model::load(bundle, {})->prediction(FeatureProvider({{input, value}}));
}

void renameTensor(std::vector<TensorToWrite>& tensors, const std::string& from,
                  const std::string& to) {
    for (TensorToWrite& tensor : tensors) {
        if (tensor.name == from) {
            tensor.name = to;
            return;
        }
    }
    FAIL() << "no tensor " << from;
}

const std::string kMidAttention = "decoder.mid_block.attentions.0.";

} // namespace

TEST(VaeTest, DecoderMatchesDiffusers) {
    // The config leaves out act_fn, layers_per_block, latent_channels and the
    // channel counts: the defaults must apply.
    const auto expected = loadFixture("VAEDecoder");
    const FeatureProvider outputs =
        run(fixturesDirectory() / "VAEDecoder.model", "z", expected.at("z"));
    EXPECT_TRUE(closeTo(outputs.featureValue("image"), expected.at("image"), kTolerance));
}

TEST(VaeTest, EncoderMatchesDiffusers) {
    // Three blocks of two layers, and a 24×40 image fixed by bundle.json.
    const auto expected = loadFixture("VAEEncoder");
    const FeatureProvider outputs =
        run(fixturesDirectory() / "VAEEncoder.model", "x", expected.at("x"));
    EXPECT_TRUE(closeTo(outputs.featureValue("moments"), expected.at("moments"), kTolerance));
}

TEST(VaeTest, ShapesComeFromTheConfigOrTheBundle) {
    const auto decoder = Model::load(fixturesDirectory() / "VAEDecoder.model", {});
    EXPECT_EQ(decoder->kindName(), "AutoencoderKL.decoder");
    EXPECT_EQ(decoder->modelDescription().inputs,
              (std::vector<FeatureDescription>{{"z", {1, 4, 16, 16}}}));
    EXPECT_EQ(decoder->modelDescription().outputs, std::vector<std::string>{"image"});
    const auto encoder = Model::load(fixturesDirectory() / "VAEEncoder.model", {});
    EXPECT_EQ(encoder->kindName(), "AutoencoderKL.encoder");
    EXPECT_EQ(encoder->modelDescription().inputs,
              (std::vector<FeatureDescription>{{"x", {1, 3, 24, 40}}}));
}

TEST(VaeTest, DecodesEachLatentOfABatch) {
    TemporaryDirectory directory;
    const auto bundle = copyBundle("VAEDecoder", directory.path());
    writeFileAtomically(bundle / "bundle.json", R"({"inputs": {"z": [2, 4, 16, 16]}})");
    const auto expected = loadFixture("VAEDecoder");
    const ShapedArray& z = expected.at("z");
    const FeatureProvider outputs =
        run(bundle, "z", ShapedArray::concatenate(std::vector<ShapedArray>{z, z}, 0));
    const ShapedArray& image = expected.at("image");
    EXPECT_TRUE(closeTo(outputs.featureValue("image"),
                        ShapedArray::concatenate(std::vector<ShapedArray>{image, image}, 0),
                        kTolerance));
}

// Large images are decoded in bands of rows; every group norm must still see
// the whole map, or the bands' statistics differ and seams show. Bands of
// two rows, of an uneven height, and as tall as the image all give the
// reference image.
TEST(VaeTest, DecodingInBandsGivesTheWholeMapResult) {
    const std::filesystem::path bundle = fixturesDirectory() / "VAEDecoder.model";
    const VaeConfig config = VaeConfig::read(
        nlohmann::json::parse(std::ifstream(bundle / "config.json")), VaeConfig::Half::decoder);
    const WeightFiles files({bundle / "model.safetensors"});
    const auto expected = loadFixture("VAEDecoder");
    const ShapedArray& z = expected.at("z");
    const VaeDecoder decoder(config, WeightReader(files), z.shape()[2], z.shape()[3]);
    for (const int64_t rows : {2, 5, 32}) {
        const ShapedArray image =
            decoder.decode(FeatureMap::fromPlanar(z), VaeBands{rows, 0}).toPlanar();
        EXPECT_TRUE(closeTo(image, expected.at("image"), kTolerance)) << rows << " rows a band";
    }

    // Through the runtime, a batch in bands: each image into its place.
    TemporaryDirectory directory;
    const auto batched = copyBundle("VAEDecoder", directory.path());
    writeFileAtomically(batched / "bundle.json", R"({"inputs": {"z": [2, 4, 16, 16]}})");
    ::setenv("DRAVELIN_DECODE", "bands", 1);
    const FeatureProvider outputs =
        run(batched, "z", ShapedArray::concatenate(std::vector<ShapedArray>{z, z}, 0));
    ::unsetenv("DRAVELIN_DECODE");
    const ShapedArray& image = expected.at("image");
    EXPECT_TRUE(closeTo(outputs.featureValue("image"),
                        ShapedArray::concatenate(std::vector<ShapedArray>{image, image}, 0),
                        kTolerance));
}

// The encoder's large images go in bands of rows as well, each norm over the
// whole map: bands of two rows, of an uneven height and as tall as the image
// agree with one pass. An image larger than the encoder's bundle (as the
// hires fix hands it) is encoded as one map by an encoder built for its
// size, not in tiles that each take their own statistics.
TEST(VaeTest, EncodingInBandsGivesTheWholeMapResult) {
    const std::filesystem::path bundle = fixturesDirectory() / "VAEEncoder.model";
    const VaeConfig config = VaeConfig::read(
        nlohmann::json::parse(std::ifstream(bundle / "config.json")), VaeConfig::Half::encoder);
    const WeightFiles files({bundle / "model.safetensors"});
    const auto expected = loadFixture("VAEEncoder");
    const ShapedArray& x = expected.at("x");
    const VaeEncoder encoder(config, WeightReader(files), x.shape()[2], x.shape()[3]);
    const ShapedArray whole = encoder.encode(FeatureMap::fromPlanar(x)).toPlanar();
    EXPECT_TRUE(closeTo(whole, expected.at("moments"), kTolerance));
    for (const int64_t rows : {2, 5, 24}) {
        const ShapedArray banded =
            encoder.encode(FeatureMap::fromPlanar(x), VaeBands{rows, 0}).toPlanar();
        EXPECT_TRUE(closeTo(banded, whole, kRounding)) << rows << " rows a band";
    }

    // Through the runtime, a batch in bands: each image into its place.
    TemporaryDirectory directory;
    const auto batched = copyBundle("VAEEncoder", directory.path());
    writeFileAtomically(batched / "bundle.json", R"({"inputs": {"x": [2, 3, 24, 40]}})");
    ::setenv("DRAVELIN_ENCODE", "bands", 1);
    const FeatureProvider outputs =
        run(batched, "x", ShapedArray::concatenate(std::vector<ShapedArray>{x, x}, 0));
    ::unsetenv("DRAVELIN_ENCODE");
    EXPECT_TRUE(closeTo(outputs.featureValue("moments"),
                        ShapedArray::concatenate(std::vector<ShapedArray>{whole, whole}, 0),
                        kRounding));

    // Twice the bundle's size each way, through the image-to-image encoder
    // (in bands), against a bundle built for that size (whole).
    ShapedArray large(Shape{1, 3, 48, 80});
    for (int64_t i = 0; i < large.count(); ++i) {
        large.data()[i] = std::sin(static_cast<float>(i) * 0.37f);
    }
    const auto sized = copyBundle("VAEEncoder", directory.path(), "VAEEncoderLarge");
    writeFileAtomically(sized / "bundle.json", R"({"inputs": {"x": [1, 3, 48, 80]}})");
    NumPyRandomSource random(5);
    NumPyRandomSource sameRandom(5);
    ::setenv("DRAVELIN_ENCODE", "bands", 1);
    const ShapedArray fromLarge = Encoder(bundle, {}).encode(large, 0.18215f, random);
    ::unsetenv("DRAVELIN_ENCODE");
    const ShapedArray fromSized = Encoder(sized, {}).encode(large, 0.18215f, sameRandom);
    ASSERT_EQ(fromLarge.shape(), (Shape{1, 4, 12, 20}));
    EXPECT_TRUE(closeTo(fromLarge, fromSized, kRounding));
}

TEST(VaeTest, ReadsTheOlderAttentionNames) {
    TemporaryDirectory directory;
    const auto bundle = copyBundle("VAEDecoder", directory.path());
    editWeights(bundle, [](std::vector<TensorToWrite>& tensors) {
        for (const auto& [current, older] :
             std::vector<std::pair<std::string, std::string>>{{"to_q", "query"},
                                                              {"to_k", "key"},
                                                              {"to_v", "value"},
                                                              {"to_out.0", "proj_attn"}}) {
            for (const char* part : {".weight", ".bias"}) {
                renameTensor(tensors, kMidAttention + current + part, kMidAttention + older + part);
            }
        }
    });
    const auto expected = loadFixture("VAEDecoder");
    EXPECT_TRUE(closeTo(run(bundle, "z", expected.at("z")).featureValue("image"),
                        expected.at("image"), kTolerance));

    // Under either name a misshapen projection is refused by name.
    editWeights(bundle, [](std::vector<TensorToWrite>& tensors) {
        for (TensorToWrite& tensor : tensors) {
            if (tensor.name == kMidAttention + "key.weight") {
                tensor.shape = {16, 16, 1, 1};
            }
        }
    });
    EXPECT_TRUE(loadFails(bundle, {"VAEDecoder.model", kMidAttention + "key.weight"}));
}

TEST(VaeTest, RefusesMissingAndMisshapenWeightsByName) {
    TemporaryDirectory directory;
    const auto bundle = copyBundle("VAEDecoder", directory.path());
    editWeights(bundle, [](std::vector<TensorToWrite>& tensors) {
        renameTensor(tensors, kMidAttention + "to_v.weight", kMidAttention + "to_w.weight");
    });
    EXPECT_TRUE(loadFails(bundle, {kMidAttention + "to_v.weight"}));

    const auto other = copyBundle("VAEDecoder", directory.path(), "Other");
    editWeights(other, [](std::vector<TensorToWrite>& tensors) {
        for (TensorToWrite& tensor : tensors) {
            if (tensor.name == "decoder.conv_in.weight") {
                tensor.shape = {16, 4, 1, 9};
            }
        }
    });
    EXPECT_TRUE(loadFails(other, {"decoder.conv_in.weight", "[16, 4, 3, 3]"}));
}

TEST(VaeTest, RefusesUnsupportedOptionsByKey) {
    TemporaryDirectory directory;
    const auto bundle = copyBundle("VAEDecoder", directory.path());
    editConfig(bundle, [](nlohmann::json& config) {
        config["up_block_types"] = {"AttnUpDecoderBlock2D", "UpDecoderBlock2D"};
    });
    EXPECT_TRUE(loadFails(bundle, {"\"up_block_types\"", "AttnUpDecoderBlock2D"}));

    editConfig(bundle, [](nlohmann::json& config) {
        config.erase("up_block_types");
        config["norm_num_groups"] = 3;
    });
    EXPECT_TRUE(loadFails(bundle, {"\"norm_num_groups\""}));

    editConfig(bundle, [](nlohmann::json& config) {
        config["norm_num_groups"] = 4;
        config["act_fn"] = "softsign";
    });
    EXPECT_TRUE(loadFails(bundle, {"\"act_fn\"", "softsign"}));

    // The encoder's block types do not concern the decoder, and the other way round.
    const auto encoder = copyBundle("VAEEncoder", directory.path());
    editConfig(encoder, [](nlohmann::json& config) {
        config["up_block_types"] = {"AttnUpDecoderBlock2D"};
        config["down_block_types"] = {"DownEncoderBlock2D", "AttnDownEncoderBlock2D",
                                      "DownEncoderBlock2D"};
    });
    EXPECT_TRUE(loadFails(encoder, {"\"down_block_types\"", "AttnDownEncoderBlock2D"}));
}

TEST(VaeConfigTest, MissingKeysTakeDiffusersDefaults) {
    const VaeConfig config =
        VaeConfig::read({{"_class_name", "AutoencoderKL"}}, VaeConfig::Half::decoder);
    EXPECT_EQ(config.inChannels, 3);
    EXPECT_EQ(config.outChannels, 3);
    EXPECT_EQ(config.blockOutChannels, std::vector<int64_t>{64});
    EXPECT_EQ(config.layersPerBlock, 1);
    EXPECT_EQ(config.activation, Activation::silu);
    EXPECT_EQ(config.latentChannels, 4);
    EXPECT_EQ(config.groups, 32);
    EXPECT_EQ(config.sampleHeight, 32);
    EXPECT_EQ(config.latentHeight(), 32);
    EXPECT_TRUE(config.midBlockAttention);
}

TEST(VaeConfigTest, LatentSizeFollowsTheBlockCount) {
    const VaeConfig config =
        VaeConfig::read({{"block_out_channels", {128, 256, 512, 512}},
                         {"sample_size", 512},
                         {"up_block_types", std::vector<std::string>(4, "UpDecoderBlock2D")}},
                        VaeConfig::Half::decoder);
    EXPECT_EQ(config.latentHeight(), 64);
    EXPECT_EQ(config.latentWidth(), 64);
}
