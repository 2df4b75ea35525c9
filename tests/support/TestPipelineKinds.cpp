#include "support/TestPipelineKinds.h"

#include "runtime/BundleWriter.h"
#include "runtime/RuntimeErrors.h"

#include <chrono>
#include <cmath>
#include <fstream>
#include <mutex>
#include <thread>

namespace dravelin::testing {

namespace {

std::mutex logMutex;
std::vector<std::string> eventLog;
std::function<void(const std::string&)> eventObserver;

int64_t integer(const nlohmann::json& config, const char* key, int64_t fallback) {
    return config.value(key, fallback);
}

double meanOf(const float* values, int64_t count) {
    double sum = 0.0;
    for (int64_t i = 0; i < count; ++i) {
        sum += values[i];
    }
    return count > 0 ? sum / static_cast<double>(count) : 0.0;
}

// Logs its build and release, and each prediction, under the bundle's name.
class LoggedNetwork : public Network {
public:
    explicit LoggedNetwork(std::string name) : name_(std::move(name)) {
        ModelEventLog::record("load:" + name_);
    }
    ~LoggedNetwork() override { ModelEventLog::record("unload:" + name_); }

    FeatureValueDictionary predict(const FeatureProvider& inputs) final {
        ModelEventLog::record("predict:" + name_);
        return compute(inputs);
    }
    std::vector<FeatureValueDictionary> predictBatch(const BatchProvider& batch) final {
        ModelEventLog::record("predict:" + name_);
        std::vector<FeatureValueDictionary> results;
        for (const FeatureProvider& features : batch.arrayOfFeatureValueDictionaries) {
            results.push_back(compute(features));
        }
        return results;
    }

protected:
    virtual FeatureValueDictionary compute(const FeatureProvider& inputs) = 0;

private:
    std::string name_;
};

// A kind whose description, weights and network come from three functions.
template <typename Describe, typename Weights, typename Build>
class SimpleKind : public NetworkKind {
public:
    SimpleKind(std::string name, Describe describe, Weights weights, Build build)
        : name_(std::move(name)), describe_(describe), weights_(weights), build_(build) {}
    std::string name() const override { return name_; }
    ModelDescription describe(const nlohmann::json& config) const override {
        return describe_(config);
    }
    std::vector<WeightSpec> expectedWeights(const nlohmann::json& config) const override {
        return weights_(config);
    }
    std::unique_ptr<Network> build(const nlohmann::json& config, const ModelDescription& d,
                                   const WeightFiles& files) const override {
        return build_(config, d, files);
    }

private:
    std::string name_;
    Describe describe_;
    Weights weights_;
    Build build_;
};

template <typename Describe, typename Weights, typename Build>
std::unique_ptr<ScopedNetworkKind> registerKind(std::string name, Describe describe,
                                                Weights weights, Build build) {
    return std::make_unique<ScopedNetworkKind>(
        std::make_shared<SimpleKind<Describe, Weights, Build>>(std::move(name), describe, weights,
                                                               build));
}

std::string nameOf(const nlohmann::json& config) {
    return config.value("name", std::string("unnamed"));
}

// ----- the networks -----

class TextEncoderNet : public LoggedNetwork {
public:
    TextEncoderNet(std::string name, ShapedArray embedding)
        : LoggedNetwork(std::move(name)), embedding_(std::move(embedding)) {}
    FeatureValueDictionary compute(const FeatureProvider& inputs) override {
        const ShapedArray& ids = inputs.featureValue("input_ids");
        const int64_t length = ids.shape()[1];
        const int64_t vocabulary = embedding_.shape()[0];
        const int64_t channels = embedding_.shape()[1];
        ShapedArray out(Shape{1, length, channels});
        for (int64_t s = 0; s < length; ++s) {
            const auto id = static_cast<int64_t>(ids.data()[s]);
            if (id < 0 || id >= vocabulary) {
                throw PredictionError("token id out of range");
            }
            for (int64_t c = 0; c < channels; ++c) {
                out.data()[s * channels + c] =
                    embedding_.data()[id * channels + c] + 0.001f * static_cast<float>(s);
            }
        }
        // The XL outputs: states "entering the last layer" shifted by one, and
        // the last position as the pooled embedding.
        ShapedArray entering = out;
        for (float& value : entering.values()) {
            value -= 1.0f;
        }
        ShapedArray pooled(std::vector<float>(out.data() + (length - 1) * channels,
                                              out.data() + length * channels),
                           Shape{1, channels});
        return {{"last_hidden_state", std::move(out)},
                {"hidden_embeds", std::move(entering)},
                {"pooled_outputs", std::move(pooled)}};
    }

private:
    ShapedArray embedding_;
};

class UnetNet : public LoggedNetwork {
public:
    UnetNet(std::string name, float scale, int delayMilliseconds)
        : LoggedNetwork(std::move(name)), scale_(scale), delayMilliseconds_(delayMilliseconds) {}
    FeatureValueDictionary compute(const FeatureProvider& inputs) override {
        if (delayMilliseconds_ > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMilliseconds_));
        }
        const ShapedArray& sample = inputs.featureValue("sample");
        const ShapedArray& timestep = inputs.featureValue("timestep");
        const ShapedArray& hidden = inputs.featureValue("encoder_hidden_states");
        const int64_t rows = sample.shape()[0];
        const int64_t rowSize = sample.count() / rows;
        const int64_t hiddenRow = hidden.count() / hidden.shape()[0];
        ShapedArray out(sample.shape());
        for (int64_t b = 0; b < rows; ++b) {
            double offset = 0.1 * meanOf(hidden.data() + b * hiddenRow, hiddenRow) +
                            0.0001 * timestep.data()[b];
            for (const auto& [name, value] : inputs.featureValueDictionary) {
                if (name != "sample" && name != "timestep" && name != "encoder_hidden_states") {
                    const int64_t residualRow = value.count() / value.shape()[0];
                    offset += meanOf(value.data() + b * residualRow, residualRow);
                }
            }
            for (int64_t i = 0; i < rowSize; ++i) {
                out.data()[b * rowSize + i] =
                    sample.data()[b * rowSize + i] * scale_ + static_cast<float>(offset);
            }
        }
        return {{"noise_pred", std::move(out)}};
    }

private:
    float scale_;
    int delayMilliseconds_;
};

class AddOneNet : public LoggedNetwork {
public:
    using LoggedNetwork::LoggedNetwork;
    FeatureValueDictionary compute(const FeatureProvider& inputs) override {
        ShapedArray sample = inputs.featureValue("sample");
        for (float& value : sample.values()) {
            value += 1.0f;
        }
        return {{"sample", std::move(sample)}};
    }
};

class DecoderNet : public LoggedNetwork {
public:
    using LoggedNetwork::LoggedNetwork;
    FeatureValueDictionary compute(const FeatureProvider& inputs) override {
        const ShapedArray& z = inputs.featureValue("z");
        const int64_t h = z.shape()[2];
        const int64_t w = z.shape()[3];
        ShapedArray image(Shape{1, 3, 2 * h, 2 * w});
        for (int64_t c = 0; c < 3; ++c) {
            for (int64_t y = 0; y < 2 * h; ++y) {
                for (int64_t x = 0; x < 2 * w; ++x) {
                    image.data()[(c * 2 * h + y) * 2 * w + x] =
                        std::tanh(z.data()[(c * h + y / 2) * w + x / 2]);
                }
            }
        }
        return {{"image", std::move(image)}};
    }
};

class EncoderNet : public LoggedNetwork {
public:
    EncoderNet(std::string name, float logVariance)
        : LoggedNetwork(std::move(name)), logVariance_(logVariance) {}
    FeatureValueDictionary compute(const FeatureProvider& inputs) override {
        const ShapedArray& x = inputs.featureValue("x");
        const int64_t height = x.shape()[2];
        const int64_t width = x.shape()[3];
        const int64_t h = height / 2;
        const int64_t w = width / 2;
        ShapedArray moments(Shape{1, 8, h, w});
        for (int64_t c = 0; c < 8; ++c) {
            for (int64_t y = 0; y < h; ++y) {
                for (int64_t i = 0; i < w; ++i) {
                    float value = logVariance_;
                    if (c < 4) {
                        const float* plane = x.data() + (c % 3) * height * width;
                        value = 0.25f * (plane[(2 * y) * width + 2 * i] +
                                         plane[(2 * y) * width + 2 * i + 1] +
                                         plane[(2 * y + 1) * width + 2 * i] +
                                         plane[(2 * y + 1) * width + 2 * i + 1]);
                    }
                    moments.data()[(c * h + y) * w + i] = value;
                }
            }
        }
        return {{"moments", std::move(moments)}};
    }

private:
    float logVariance_;
};

class ControlNetNet : public LoggedNetwork {
public:
    ControlNetNet(std::string name, float gain) : LoggedNetwork(std::move(name)), gain_(gain) {}
    FeatureValueDictionary compute(const FeatureProvider& inputs) override {
        const ShapedArray& sample = inputs.featureValue("sample");
        const ShapedArray& condition = inputs.featureValue("controlnet_cond");
        ShapedArray residual(sample.shape());
        const int64_t rows = sample.shape()[0];
        const int64_t rowSize = residual.count() / rows;
        const int64_t conditionRow = condition.count() / condition.shape()[0];
        for (int64_t b = 0; b < rows; ++b) {
            const float value =
                gain_ *
                static_cast<float>(meanOf(condition.data() + b * conditionRow, conditionRow));
            for (int64_t i = 0; i < rowSize; ++i) {
                residual.data()[b * rowSize + i] = value;
            }
        }
        return {{"down_0", std::move(residual)}};
    }

private:
    float gain_;
};

class SafetyNet : public LoggedNetwork {
public:
    SafetyNet(std::string name, float threshold)
        : LoggedNetwork(std::move(name)), threshold_(threshold) {}
    FeatureValueDictionary compute(const FeatureProvider& inputs) override {
        const ShapedArray& clip = inputs.featureValue("clip_input");
        const bool flagged = meanOf(clip.data(), clip.count()) > threshold_;
        return {{"has_nsfw_concepts", ShapedArray({flagged ? 1.0f : 0.0f}, Shape{1})}};
    }

private:
    float threshold_;
};

Shape latentShape(const nlohmann::json& config, int64_t batch) {
    const int64_t size = integer(config, "sample_size", 8);
    return {batch, 4, size, size};
}

std::vector<WeightSpec> noWeights(const nlohmann::json&) {
    return {};
}

} // namespace

void ModelEventLog::record(const std::string& event) {
    std::function<void(const std::string&)> observer;
    {
        std::lock_guard lock(logMutex);
        eventLog.push_back(event);
        observer = eventObserver;
    }
    if (observer) {
        observer(event);
    }
}

void ModelEventLog::setObserver(std::function<void(const std::string&)> observer) {
    std::lock_guard lock(logMutex);
    eventObserver = std::move(observer);
}

std::vector<std::string> ModelEventLog::events() {
    std::lock_guard lock(logMutex);
    return eventLog;
}

std::vector<std::string> ModelEventLog::events(const std::string& kind) {
    std::vector<std::string> names;
    for (const std::string& event : events()) {
        if (event.rfind(kind + ":", 0) == 0) {
            names.push_back(event.substr(kind.size() + 1));
        }
    }
    return names;
}

void ModelEventLog::clear() {
    std::lock_guard lock(logMutex);
    eventLog.clear();
}

PipelineKinds::PipelineKinds() {
    registrations_.push_back(registerKind(
        "TestTextEncoder",
        [](const nlohmann::json& c) {
            return ModelDescription{{{"input_ids", {1, integer(c, "max_position_embeddings", 8)}}},
                                    {"last_hidden_state", "hidden_embeds", "pooled_outputs"}};
        },
        [](const nlohmann::json& c) {
            return std::vector<WeightSpec>{
                {"token_embedding", {integer(c, "vocab_size", 24), integer(c, "hidden_size", 4)}}};
        },
        [](const nlohmann::json& c, const ModelDescription&, const WeightFiles& w) {
            return std::make_unique<TextEncoderNet>(nameOf(c), w.load("token_embedding"));
        }));
    registrations_.push_back(registerKind(
        "TestUnet",
        [](const nlohmann::json& c) {
            ModelDescription d{
                {{"sample", latentShape(c, 2)},
                 {"timestep", {2}},
                 {"encoder_hidden_states",
                  {2, integer(c, "cross_attention_dim", 4), 1, integer(c, "sequence_length", 8)}}},
                {"noise_pred"}};
            if (c.value("controlled", false)) {
                d.inputs.push_back({"down_0", latentShape(c, 2)});
            }
            if (c.contains("time_ids")) {
                d.inputs.push_back({"text_embeds", {2, integer(c, "pooled_width", 4)}});
                d.inputs.push_back({"time_ids", {2, integer(c, "time_ids", 6)}});
            }
            return d;
        },
        [](const nlohmann::json&) {
            return std::vector<WeightSpec>{{"scale", {1}}};
        },
        [](const nlohmann::json& c, const ModelDescription&, const WeightFiles& w) {
            return std::make_unique<UnetNet>(nameOf(c), w.load("scale").data()[0],
                                             c.value("delay_ms", 0));
        }));
    registrations_.push_back(registerKind(
        "TestAddOne",
        [](const nlohmann::json& c) {
            return ModelDescription{{{"sample", latentShape(c, 2)}}, {"sample"}};
        },
        noWeights,
        [](const nlohmann::json& c, const ModelDescription&, const WeightFiles&) {
            return std::make_unique<AddOneNet>(nameOf(c));
        }));
    registrations_.push_back(registerKind(
        "TestDecoder",
        [](const nlohmann::json& c) {
            return ModelDescription{{{"z", latentShape(c, 1)}}, {"image"}};
        },
        noWeights,
        [](const nlohmann::json& c, const ModelDescription&, const WeightFiles&) {
            return std::make_unique<DecoderNet>(nameOf(c));
        }));
    registrations_.push_back(registerKind(
        "TestEncoder",
        [](const nlohmann::json& c) {
            const int64_t size = 2 * integer(c, "sample_size", 8);
            return ModelDescription{{{"x", {1, 3, size, size}}}, {"moments"}};
        },
        noWeights,
        [](const nlohmann::json& c, const ModelDescription&, const WeightFiles&) {
            return std::make_unique<EncoderNet>(nameOf(c), c.value("log_variance", -100.0f));
        }));
    registrations_.push_back(registerKind(
        "TestControlNet",
        [](const nlohmann::json& c) {
            const int64_t size = 2 * integer(c, "sample_size", 8);
            return ModelDescription{
                {{"sample", latentShape(c, 2)},
                 {"timestep", {2}},
                 {"encoder_hidden_states",
                  {2, integer(c, "cross_attention_dim", 4), 1, integer(c, "sequence_length", 8)}},
                 {"controlnet_cond", {2, 3, size, size}}},
                {"down_0"}};
        },
        noWeights,
        [](const nlohmann::json& c, const ModelDescription&, const WeightFiles&) {
            return std::make_unique<ControlNetNet>(nameOf(c), c.value("gain", 1.0f));
        }));
    registrations_.push_back(registerKind(
        "TestSafetyChecker",
        [](const nlohmann::json& c) {
            const int64_t size = integer(c, "image_size", 8);
            return ModelDescription{{{"clip_input", {1, 3, size, size}},
                                     {"adjustment", {1}},
                                     {"images", {1, 512, 512, 3}}},
                                    {"has_nsfw_concepts"}};
        },
        noWeights,
        [](const nlohmann::json& c, const ModelDescription&, const WeightFiles&) {
            return std::make_unique<SafetyNet>(nameOf(c), c.value("threshold", 10.0f));
        }));
}

PipelineKinds::~PipelineKinds() = default;

namespace {

void writeTinyTokenizer(const std::filesystem::path& directory) {
    const nlohmann::json vocabulary{{"a</w>", 1},
                                    {"c", 2},
                                    {"a", 3},
                                    {"t</w>", 4},
                                    {"ca", 5},
                                    {"cat</w>", 6},
                                    {"d", 7},
                                    {"o", 8},
                                    {"g</w>", 9},
                                    {"do", 10},
                                    {"dog</w>", 11},
                                    {"p", 12},
                                    {"h", 13},
                                    {"ph", 14},
                                    {"pho", 15},
                                    {"t", 16},
                                    {"o</w>", 17},
                                    {"to</w>", 18},
                                    {"photo</w>", 19},
                                    {"f</w>", 20},
                                    {"of</w>", 21},
                                    {"<|startoftext|>", 22},
                                    {"<|endoftext|>", 23},
                                    {"!", 24}};
    std::ofstream(directory / "vocab.json") << vocabulary.dump();
    std::ofstream(directory / "merges.txt") << "#version: 0.2\nc a\nca t</w>\nd o\ndo g</w>\n"
                                               "p h\nph o\nt o</w>\npho to</w>\no f</w>\n";
}

// Rows of distinct small values, one per token of the tiny vocabulary.
void writeTextEncoder(const std::filesystem::path& bundle, const std::string& name, int hidden,
                      int sequenceLength, int vocabularySize) {
    ShapedArray embedding(Shape{vocabularySize, hidden});
    for (int64_t i = 0; i < embedding.count(); ++i) {
        embedding.data()[i] =
            0.1f * static_cast<float>(i / hidden) + 0.01f * static_cast<float>(i % hidden);
    }
    writeBundle(bundle,
                {{"_class_name", "TestTextEncoder"},
                 {"name", name},
                 {"hidden_size", hidden},
                 {"vocab_size", vocabularySize},
                 {"max_position_embeddings", sequenceLength}},
                {TensorToWrite::fromFloats("token_embedding", embedding)});
}

} // namespace

void writeTinyModel(const std::filesystem::path& directory, const TinyModelOptions& options) {
    std::filesystem::create_directories(directory);
    writeTinyTokenizer(directory);
    const int hidden = options.hiddenSize;
    writeTextEncoder(directory / "TextEncoder.model", "text_encoder", hidden,
                     options.sequenceLength, 24);

    const int size = options.latentSize;
    const bool controlled = !options.controlNets.empty();
    const std::string prefix = controlled ? "Controlled" : "";
    const std::vector<TensorToWrite> unetWeights{
        TensorToWrite::fromFloats("scale", ShapedArray({0.5f}, Shape{1}))};
    const nlohmann::json unetConfig{{"_class_name", "TestUnet"},
                                    {"name", "unet"},
                                    {"sample_size", size},
                                    {"cross_attention_dim", hidden},
                                    {"sequence_length", options.sequenceLength},
                                    {"controlled", controlled},
                                    {"delay_ms", options.unetDelayMilliseconds}};
    writeBundle(directory / (prefix + "Unet.model"), unetConfig, unetWeights);
    if (options.chunked) {
        writeBundle(directory / (prefix + "UnetChunk1.model"),
                    {{"_class_name", "TestAddOne"}, {"name", "chunk1"}, {"sample_size", size}}, {});
        nlohmann::json second = unetConfig;
        second["name"] = "chunk2";
        writeBundle(directory / (prefix + "UnetChunk2.model"), second, unetWeights);
    }
    writeBundle(directory / "VAEDecoder.model",
                {{"_class_name", "TestDecoder"}, {"name", "decoder"}, {"sample_size", size}}, {});
    if (options.encoder) {
        writeBundle(directory / "VAEEncoder.model",
                    {{"_class_name", "TestEncoder"},
                     {"name", "encoder"},
                     {"sample_size", size},
                     {"log_variance", options.encoderLogVariance}},
                    {});
    }
    if (options.safetyChecker) {
        writeBundle(directory / "SafetyChecker.model",
                    {{"_class_name", "TestSafetyChecker"},
                     {"name", "safety_checker"},
                     {"threshold", options.safetyThreshold}},
                    {});
    }
    for (size_t k = 0; k < options.controlNets.size(); ++k) {
        writeBundle(directory / "controlnet" / (options.controlNets[k] + ".model"),
                    {{"_class_name", "TestControlNet"},
                     {"name", "controlnet_" + options.controlNets[k]},
                     {"sample_size", size},
                     {"gain", static_cast<float>(k + 1)}},
                    {});
    }
}

void writeTinyXLModel(const std::filesystem::path& directory, const TinyXLModelOptions& options) {
    std::filesystem::create_directories(directory);
    writeTinyTokenizer(directory);
    constexpr int kSequence = 8;
    constexpr int kFirstWidth = 4;
    constexpr int kSecondWidth = 6;
    if (options.textEncoder) {
        writeTextEncoder(directory / "TextEncoder.model", "text_encoder", kFirstWidth, kSequence,
                         25);
    }
    writeTextEncoder(directory / "TextEncoder2.model", "text_encoder_2", kSecondWidth, kSequence,
                     25);
    const std::vector<TensorToWrite> unetWeights{
        TensorToWrite::fromFloats("scale", ShapedArray({0.5f}, Shape{1}))};
    const auto unet = [&](const std::string& name, int width, int timeIds) {
        return nlohmann::json{{"_class_name", "TestUnet"},
                              {"name", name},
                              {"sample_size", 8},
                              {"cross_attention_dim", width},
                              {"sequence_length", kSequence},
                              {"pooled_width", kSecondWidth},
                              {"time_ids", timeIds}};
    };
    // Without the first encoder the base network is itself refiner-shaped.
    writeBundle(directory / "Unet.model",
                options.textEncoder ? unet("unet", kFirstWidth + kSecondWidth, 6)
                                    : unet("unet", kSecondWidth, 5),
                unetWeights);
    if (options.refiner) {
        writeBundle(directory / "UnetRefiner.model", unet("unet_refiner", kSecondWidth, 5),
                    unetWeights);
    }
    writeBundle(directory / "VAEDecoder.model",
                {{"_class_name", "TestDecoder"}, {"name", "decoder"}, {"sample_size", 8}}, {});
    if (options.encoder) {
        writeBundle(directory / "VAEEncoder.model",
                    {{"_class_name", "TestEncoder"},
                     {"name", "encoder"},
                     {"sample_size", 8},
                     {"log_variance", -100.0f}},
                    {});
    }
}

} // namespace dravelin::testing
