#include "runtime/BundleWriter.h"
#include "runtime/Model.h"
#include "runtime/NetworkRegistry.h"
#include "runtime/RuntimeErrors.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

class ModelLoading : public ::testing::Test {
protected:
    std::shared_ptr<AffineKind> kind = std::make_shared<AffineKind>();
    ScopedNetworkKind registration{kind};
    TemporaryDirectory directory;
    std::filesystem::path bundle = directory.path() / "Affine.model";

    void writeText(const std::string& file, const std::string& text) {
        std::ofstream(bundle / file) << text;
    }

    // Loading fails with a ModelLoadError whose message holds each fragment.
    void expectLoadFailure(std::initializer_list<std::string> fragments) {
        try {
            Model::load(bundle, {});
            ADD_FAILURE() << "the bundle loaded";
        } catch (const ModelLoadError& error) {
            for (const std::string& fragment : fragments) {
                EXPECT_NE(std::string(error.what()).find(fragment), std::string::npos)
                    << error.what() << "\n  lacks: " << fragment;
            }
        }
    }
};

ShapedArray row(std::vector<float> values) {
    const auto count = static_cast<int64_t>(values.size());
    return ShapedArray(std::move(values), Shape{1, count});
}

} // namespace

TEST_F(ModelLoading, DescribesAndPredicts) {
    writeAffineBundle(bundle);
    std::unique_ptr<Model> model = Model::load(bundle, {ComputeUnits::cpuAndGPU});
    EXPECT_EQ(model->kindName(), "TestAffine");
    EXPECT_EQ(model->configuration().computeUnits, ComputeUnits::cpuAndGPU);
    ASSERT_EQ(model->modelDescription().inputs.size(), 1u);
    EXPECT_EQ(model->modelDescription().inputs[0], (FeatureDescription{"x", {1, 3}}));
    EXPECT_EQ(model->modelDescription().outputs, std::vector<std::string>{"y"});
    EXPECT_EQ(model->parameterCount(), 6);
    EXPECT_EQ(model->weightTypes().at("F16"), 1);
    EXPECT_EQ(model->weightTypes().at("F32"), 1);

    const FeatureProvider out = model->prediction(FeatureProvider({{"x", row({1, 1, 2})}}));
    EXPECT_EQ(out.featureValue("y"), row({1, 12, 26}));

    const BatchProvider batch(
        {FeatureProvider({{"x", row({0, 0, 0})}}), FeatureProvider({{"x", row({1, 0, -1})}})});
    const std::vector<FeatureProvider> outs = model->predictions(batch);
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_EQ(outs[0].featureValue("y"), row({0, 10, 20}));
    EXPECT_EQ(outs[1].featureValue("y"), row({1, 10, 17}));
}

TEST_F(ModelLoading, PredictionsCheckTheirInputs) {
    writeAffineBundle(bundle);
    std::unique_ptr<Model> model = Model::load(bundle, {});
    EXPECT_THROW(model->prediction(FeatureProvider({{"z", row({1, 2, 3})}})), PredictionError);
    EXPECT_THROW(model->prediction(FeatureProvider({{"x", row({1, 2})}})), PredictionError);
    const BatchProvider batch(
        {FeatureProvider({{"x", row({1, 2, 3})}}), FeatureProvider({{"x", row({1})}})});
    EXPECT_THROW(model->predictions(batch), PredictionError);
}

TEST_F(ModelLoading, BundleJsonChoosesTheKindAndFixesInputShapes) {
    writeAffineBundle(bundle);
    writeText("config.json", R"({"_class_name": "SomethingElse", "features": 3})");
    writeText("bundle.json", R"({"kind": "TestAffine", "inputs": {"x": [4, 3]}})");
    std::unique_ptr<Model> model = Model::load(bundle, {});
    EXPECT_EQ(model->modelDescription().inputs[0].shape, (Shape{4, 3}));
    const ShapedArray x(Shape{4, 3}, 1.0f);
    EXPECT_EQ(model->prediction(FeatureProvider({{"x", x}})).featureValue("y").at({3, 2}), 23.0f);

    writeText("bundle.json", R"({"kind": "TestAffine", "inputs": {"w": [1]}})");
    expectLoadFailure({"Affine.model", "\"w\""});
    writeText("bundle.json", R"({"inputs": {"x": [1, -3]}})");
    expectLoadFailure({"bundle.json", "\"x\""});
    writeText("bundle.json", R"({"kind": 3})");
    expectLoadFailure({"bundle.json", "kind"});
}

TEST_F(ModelLoading, BadBundlesFailWithWhatAndWhere) {
    expectLoadFailure({"Affine.model", "does not exist"});

    std::filesystem::create_directories(bundle);
    expectLoadFailure({"Affine.model", "config.json"});

    writeText("config.json", "{\"_class_name\": ");
    expectLoadFailure({"config.json", "not valid JSON"});

    writeText("config.json", R"({"hidden_size": 3})");
    expectLoadFailure({"Affine.model", "names no network class"});

    writeText("config.json", R"({"_class_name": "FluxTransformer"})");
    expectLoadFailure({"Affine.model", "FluxTransformer"});

    writeText("config.json", R"({"_class_name": "TestAffine", "features": "three"})");
    expectLoadFailure({"Affine.model"});
}

TEST_F(ModelLoading, WeightsAreCheckedAtLoadNotAtPrediction) {
    const nlohmann::json config{{"_class_name", "TestAffine"}, {"features", 3}};
    const ShapedArray three(Shape{3}, 1.0f);

    writeBundle(bundle, config, {TensorToWrite::fromFloats("scale", three)});
    expectLoadFailure({"Affine.model", "\"bias\"", "missing"});

    writeBundle(bundle, config,
                {TensorToWrite::fromFloats("scale", three),
                 TensorToWrite::fromFloats("bias", ShapedArray(Shape{1, 3}))});
    expectLoadFailure({"Affine.model", "\"bias\"", "[1, 3]", "[3]"});

    writeBundle(bundle, config,
                {TensorToWrite::fromFloats("scale", three),
                 TensorToWrite::fromInt64("bias", {1, 2, 3}, Shape{3})});
    expectLoadFailure({"\"bias\"", "I64"});

    // Extra tensors of any type are ignored.
    writeBundle(bundle, config,
                {TensorToWrite::fromFloats("scale", three),
                 TensorToWrite::fromFloats("bias", three),
                 TensorToWrite::fromInt64("position_ids", {0, 1}, Shape{1, 2})});
    EXPECT_NO_THROW(Model::load(bundle, {}));

    // A truncated weight file.
    const auto weights = bundle / "model.safetensors";
    std::filesystem::resize_file(weights, std::filesystem::file_size(weights) - 5);
    expectLoadFailure({"Affine.model", "model.safetensors", "truncated"});

    // A tensor given by two files.
    writeAffineBundle(bundle);
    writeSafetensors(bundle / "more.safetensors", {TensorToWrite::fromFloats("bias", three)});
    expectLoadFailure({"\"bias\"", "two weight files"});
}

TEST(NetworkRegistry, InfersTheKindFromTheConfiguration) {
    EXPECT_EQ(
        NetworkRegistry::inferKindName({{"_class_name", "UNet2DConditionModel"}}, "Unet.model"),
        "UNet2DConditionModel");
    EXPECT_EQ(
        NetworkRegistry::inferKindName({{"architectures", {"CLIPTextModel"}}}, "TextEncoder.model"),
        "CLIPTextModel");
    EXPECT_EQ(
        NetworkRegistry::inferKindName({{"_class_name", "AutoencoderKL"}}, "VAEEncoder.model"),
        "AutoencoderKL.encoder");
    EXPECT_EQ(
        NetworkRegistry::inferKindName({{"_class_name", "AutoencoderKL"}}, "VAEDecoder.model"),
        "AutoencoderKL.decoder");
    EXPECT_THROW(NetworkRegistry::inferKindName({{"architectures", nlohmann::json::array()}}, "x"),
                 std::invalid_argument);
    EXPECT_THROW(NetworkRegistry::inferKindName(nlohmann::json::array(), "x"),
                 std::invalid_argument);
}
