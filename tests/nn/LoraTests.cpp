#include "nn/support/NetworkFixtures.h"
#include "runtime/LoraWeights.h"
#include "runtime/Model.h"
#include "runtime/RuntimeErrors.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::testing;

// The fixtures of tools/reference/lora_reference.py: diffusers' load_lora_weights
// and fuse_lora on the tiny UNet.model and TextEncoder.model, first with the
// kohya-named file (F16, alphas, rank 4 and 2) at scale 0.8, then adding the
// PEFT-named file (F32, no alphas, one layer shared with the first) at 1.5.

namespace {

constexpr float kTolerance = 1e-4f;

std::filesystem::path loraFile(const std::string& name) {
    return fixturesDirectory() / (name + ".safetensors");
}

struct Outputs {
    ShapedArray noise;
    ShapedArray hidden;
};

Outputs run(const ModelConfiguration& configuration) {
    const auto unetInputs = loadFixture("UNet");
    const auto textInputs = loadFixture("TextEncoder");
    const FeatureProvider noise =
        Model::load(fixturesDirectory() / "UNet.model", configuration)
            ->prediction(FeatureProvider(
                {{"sample", unetInputs.at("sample")},
                 {"timestep", unetInputs.at("timestep")},
                 {"encoder_hidden_states", unetInputs.at("encoder_hidden_states")}}));
    const FeatureProvider hidden =
        Model::load(fixturesDirectory() / "TextEncoder.model", configuration)
            ->prediction(FeatureProvider({{"input_ids", textInputs.at("input_ids")}}));
    return {noise.featureValue("noise_pred"), hidden.featureValue("last_hidden_state")};
}

// The merged weights the fixture holds under `prefix`, as our merge makes them.
void expectMergedWeightsMatch(const std::vector<LoraFile>& files, const std::string& prefix) {
    const auto expected = loadFixture("Lora");
    int compared = 0;
    for (const auto& [bundle, target] : {std::pair{"UNet.model", LoraTarget::denoisingNetwork},
                                         std::pair{"TextEncoder.model", LoraTarget::textEncoder}}) {
        WeightFiles weights({fixturesDirectory() / bundle / "model.safetensors"});
        std::vector<WeightSpec> specs;
        for (const auto& [name, view] : weights.files().front().tensors()) {
            specs.push_back({name, view.shape});
        }
        const auto lora = LoraWeights::read(files, target, specs);
        for (const auto& [name, reference] : expected) {
            if (name.rfind(prefix, 0) != 0 ||
                !weights.contains(name.substr(prefix.size()) + ".weight")) {
                continue;
            }
            const std::string weightName = name.substr(prefix.size()) + ".weight";
            ShapedArray weight = weights.load(weightName);
            lora->apply(weightName, weight);
            EXPECT_TRUE(closeTo(weight, reference, 1e-5f)) << weightName;
            ++compared;
        }
    }
    // Two linear layers, a 1×1 and two 3×3 convolutions.
    EXPECT_EQ(compared, 5);
}

} // namespace

TEST(LoraTest, KohyaLayoutMergesAsDiffusersFusesIt) {
    const std::vector<LoraFile> files{{loraFile("LoraKohya"), 0.8f}};
    expectMergedWeightsMatch(files, "kohya/");
    const auto expected = loadFixture("Lora");
    const Outputs outputs = run({ComputeUnits::cpuOnly, ComputePrecision::float32, files});
    EXPECT_TRUE(closeTo(outputs.noise, expected.at("kohya/noise_pred"), kTolerance));
    EXPECT_TRUE(closeTo(outputs.hidden, expected.at("kohya/last_hidden_state"), kTolerance));
}

TEST(LoraTest, SecondFileInPeftLayoutAddsToTheFirst) {
    const std::vector<LoraFile> files{{loraFile("LoraKohya"), 0.8f}, {loraFile("LoraPeft"), 1.5f}};
    expectMergedWeightsMatch(files, "both/");
    const auto expected = loadFixture("Lora");
    const Outputs outputs = run({ComputeUnits::cpuOnly, ComputePrecision::float32, files});
    EXPECT_TRUE(closeTo(outputs.noise, expected.at("both/noise_pred"), kTolerance));
    EXPECT_TRUE(closeTo(outputs.hidden, expected.at("both/last_hidden_state"), kTolerance));
}

TEST(LoraTest, LoadingWithoutTheFilesGivesTheBaseNetworksBack) {
    const Outputs base = run({});
    run({ComputeUnits::all, ComputePrecision::float32, {{loraFile("LoraKohya"), 1.0f}}});
    const Outputs again = run({});
    EXPECT_EQ(again.noise, base.noise);
    EXPECT_EQ(again.hidden, base.hidden);
    // Scale 0 merges nothing.
    const Outputs unscaled = run({ComputeUnits::all, ComputePrecision::float32, {{loraFile("LoraKohya"), 0.0f}}});
    EXPECT_EQ(unscaled.noise, base.noise);
}

TEST(LoraTest, FilesThatDoNotFitAreRefusedNamingTheLayer) {
    TemporaryDirectory directory;
    const auto write = [&](const std::string& name, const std::vector<TensorToWrite>& tensors) {
        const std::filesystem::path path = directory.path() / (name + ".safetensors");
        writeSafetensors(path, tensors);
        return path;
    };
    const auto tensor = [](const std::string& name, Shape shape) {
        return TensorToWrite::fromFloats(name, ShapedArray(std::move(shape), 0.01f));
    };
    const std::string toQ = "down_blocks.0.attentions.0.transformer_blocks.0.attn1.to_q";
    const std::string kohyaToQ =
        "lora_unet_down_blocks_0_attentions_0_transformer_blocks_0_attn1_to_q";
    const std::vector<std::pair<std::filesystem::path, std::vector<std::string>>> cases{
        {write("missing-layer",
               {tensor("lora_unet_down_blocks_0_attn9_to_q.lora_down.weight", {2, 8}),
                tensor("lora_unet_down_blocks_0_attn9_to_q.lora_up.weight", {8, 2})}),
         {"missing-layer.safetensors", "lora_unet_down_blocks_0_attn9_to_q.lora_down.weight",
          "does not have"}},
        {write("unknown-name", {tensor("model.diffusion_model.weight", {2, 8})}),
         {"unknown-name.safetensors", "model.diffusion_model.weight"}},
        {write("half", {tensor("unet." + toQ + ".lora_A.weight", {2, 8})}),
         {"half.safetensors", toQ + ".weight", "up projection"}},
        {write("wrong-rank", {tensor(kohyaToQ + ".lora_down.weight", {2, 8}),
                              tensor(kohyaToQ + ".lora_up.weight", {8, 3})}),
         {"wrong-rank.safetensors", "[2, 8]", "[8, 3]", "[8, 8]"}},
        {directory.path() / "absent.safetensors", {"absent.safetensors", "cannot be read"}},
    };
    for (const auto& [path, fragments] : cases) {
        std::vector<std::string> expected = fragments;
        expected.push_back("UNet.model");
        EXPECT_TRUE(loadFails(fixturesDirectory() / "UNet.model", expected, {{path, 1.0f}}))
            << path;
    }
}

// tools/reference/lora_reference.py's "xl" fixtures: diffusers'
// StableDiffusionXLLoraLoaderMixin.load_lora_weights + fuse_lora on the tiny
// XL denoising network and both XL text encoders; first a kohya-named file
// (lora_te1_, lora_te2_, the denoising network by its original
// input_blocks/middle_block/output_blocks paths) at 0.7, then adding a
// diffusers-named one (unet., text_encoder_2.) at 1.25.
TEST(LoraTest, XLNetworksMergeBothLayoutsAsDiffusersFusesThem) {
    const auto expected = loadFixture("LoraXL");
    const auto unetInputs = loadFixture("UNetXL");
    const std::filesystem::path encoders = fixturesDirectory() / "XLConditioning";
    const auto check = [&](const std::vector<LoraFile>& files, const std::string& prefix) {
        const ModelConfiguration configuration{ComputeUnits::cpuOnly, ComputePrecision::float32,
                                               files};
        const FeatureProvider noise =
            Model::load(fixturesDirectory() / "UNetXL.model", configuration)
                ->prediction(FeatureProvider({{"sample", unetInputs.at("sample")},
                                              {"timestep", unetInputs.at("timestep")},
                                              {"encoder_hidden_states",
                                               unetInputs.at("encoder_hidden_states")},
                                              {"text_embeds", unetInputs.at("text_embeds")},
                                              {"time_ids", unetInputs.at("time_ids")}}));
        EXPECT_TRUE(closeTo(noise.featureValue("noise_pred"), expected.at(prefix + "noise_pred"),
                            kTolerance))
            << prefix;
        const FeatureProvider ids({{"input_ids", expected.at("input_ids")}});
        const FeatureProvider first =
            Model::load(encoders / "TextEncoder.model", configuration)->prediction(ids);
        EXPECT_TRUE(closeTo(first.featureValue("last_hidden_state"),
                            expected.at(prefix + "last_hidden_state"), kTolerance))
            << prefix;
        const FeatureProvider second =
            Model::load(encoders / "TextEncoder2.model", configuration)->prediction(ids);
        EXPECT_TRUE(closeTo(second.featureValue("last_hidden_state"),
                            expected.at(prefix + "last_hidden_state_2"), kTolerance))
            << prefix;
        EXPECT_TRUE(closeTo(second.featureValue("pooled_outputs"),
                            expected.at(prefix + "text_embeds_2"), kTolerance))
            << prefix;
    };
    const LoraFile kohya{loraFile("LoraXLKohya"), 0.7f};
    check({kohya}, "kohya/");
    check({kohya, {loraFile("LoraXLDiffusers"), 1.25f}}, "both/");
    // The base and both encoders differ from the networks without the files.
    const auto base = Model::load(fixturesDirectory() / "UNetXL.model", {});
    const FeatureProvider plain = base->prediction(FeatureProvider(
        {{"sample", unetInputs.at("sample")},
         {"timestep", unetInputs.at("timestep")},
         {"encoder_hidden_states", unetInputs.at("encoder_hidden_states")},
         {"text_embeds", unetInputs.at("text_embeds")},
         {"time_ids", unetInputs.at("time_ids")}}));
    EXPECT_FALSE(closeTo(plain.featureValue("noise_pred"), expected.at("kohya/noise_pred"), 1e-3f));

    // An SD 1.x file does not fit the XL network: refused naming the layer.
    EXPECT_TRUE(loadFails(fixturesDirectory() / "UNetXL.model",
                          {"LoraKohya.safetensors", "UNetXL.model"},
                          {{loraFile("LoraKohya"), 1.0f}}));
}
