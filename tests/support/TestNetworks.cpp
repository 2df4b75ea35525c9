#include "support/TestNetworks.h"

#include "runtime/BundleWriter.h"

#include <chrono>
#include <random>
#include <thread>

namespace dravelin::testing {

namespace {

int64_t featuresOf(const nlohmann::json& config) {
    return config.value("features", int64_t{3});
}

class AffineNetwork : public Network {
public:
    AffineNetwork(const AffineKind& kind, ShapedArray scale, ShapedArray bias)
        : kind_(kind), scale_(std::move(scale)), bias_(std::move(bias)) {}

    FeatureValueDictionary predict(const FeatureProvider& inputs) override {
        const int now = ++kind_.running;
        int seen = kind_.mostAtOnce.load();
        while (now > seen && !kind_.mostAtOnce.compare_exchange_weak(seen, now)) {
        }
        if (kind_.evaluationMilliseconds > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kind_.evaluationMilliseconds));
        }
        const ShapedArray& x = inputs.featureValue("x");
        ShapedArray y(x.shape());
        for (int64_t i = 0; i < x.count(); ++i) {
            const int64_t feature = i % scale_.count();
            y.data()[i] = x.data()[i] * scale_.data()[feature] + bias_.data()[feature];
        }
        --kind_.running;
        return {{"y", std::move(y)}};
    }

private:
    const AffineKind& kind_;
    ShapedArray scale_;
    ShapedArray bias_;
};

} // namespace

ModelDescription AffineKind::describe(const nlohmann::json& config) const {
    return ModelDescription{{{"x", {1, featuresOf(config)}}}, {"y"}};
}

std::vector<WeightSpec> AffineKind::expectedWeights(const nlohmann::json& config) const {
    return {{"scale", {featuresOf(config)}}, {"bias", {featuresOf(config)}}};
}

std::unique_ptr<Network> AffineKind::build(const nlohmann::json&, const ModelDescription&,
                                           const WeightFiles& weights) const {
    ++builds;
    return std::make_unique<AffineNetwork>(*this, weights.load("scale"), weights.load("bias"));
}

TemporaryDirectory::TemporaryDirectory() {
    std::random_device device;
    path_ = std::filesystem::temp_directory_path() /
            ("dravelin-test-" + std::to_string(device()) + std::to_string(device()));
    std::filesystem::create_directories(path_);
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void writeAffineBundle(const std::filesystem::path& directory, int features) {
    ShapedArray scale(Shape{features});
    ShapedArray bias(Shape{features});
    for (int i = 0; i < features; ++i) {
        scale.data()[i] = static_cast<float>(i + 1);
        bias.data()[i] = static_cast<float>(10 * i);
    }
    writeBundle(directory, {{"_class_name", "TestAffine"}, {"features", features}},
                {TensorToWrite::fromFloats("scale", scale, DType::F16),
                 TensorToWrite::fromFloats("bias", bias, DType::F32)});
}

} // namespace dravelin::testing
