#include "nn/networks/safety/SafetyCheckerConfig.h"

#include "nn/compute/ConfigReader.h"

namespace dravelin {

namespace {

// transformers builds the vision configuration from "vision_config_dict"
// when the file has one, every key it lacks at the library default, even
// where "vision_config" gives a value; else from "vision_config".
const nlohmann::json& visionSection(const nlohmann::json& config, const nlohmann::json& empty) {
    for (const char* key : {"vision_config_dict", "vision_config"}) {
        auto found = config.find(key);
        if (found == config.end() || found->is_null()) {
            continue;
        }
        if (!found->is_object()) {
            throw ConfigurationError(ConfigReader::about(key) + " must be an object.");
        }
        return *found;
    }
    return empty;
}

} // namespace

SafetyCheckerConfig SafetyCheckerConfig::read(const nlohmann::json& config) {
    if (!config.is_object()) {
        throw ConfigurationError("config.json must hold an object.");
    }
    SafetyCheckerConfig result;
    result.projectionDim = ConfigReader(config).integer("projection_dim", result.projectionDim);

    const nlohmann::json empty = nlohmann::json::object();
    const ConfigReader vision(visionSection(config, empty));
    result.hiddenSize = vision.integer("hidden_size", result.hiddenSize);
    result.intermediateSize = vision.integer("intermediate_size", result.intermediateSize);
    result.layers = vision.integer("num_hidden_layers", result.layers);
    result.heads = vision.integer("num_attention_heads", result.heads);
    result.channels = vision.integer("num_channels", result.channels);
    result.imageSize = vision.integer("image_size", result.imageSize);
    result.patchSize = vision.integer("patch_size", result.patchSize);
    result.activation = activationNamed(vision.string("hidden_act", "quick_gelu"), "hidden_act");
    result.layerNormEpsilon =
        static_cast<float>(vision.number("layer_norm_eps", result.layerNormEpsilon));
    if (result.hiddenSize % result.heads != 0) {
        throw ConfigurationError(
            ConfigReader::about("num_attention_heads") + " is " + std::to_string(result.heads) +
            ", which does not divide \"hidden_size\" " + std::to_string(result.hiddenSize) + ".");
    }
    if (result.patchSize > result.imageSize) {
        throw ConfigurationError(
            ConfigReader::about("patch_size") + " is " + std::to_string(result.patchSize) +
            ", larger than \"image_size\" " + std::to_string(result.imageSize) + ".");
    }
    if (!(result.layerNormEpsilon > 0.0f)) {
        throw ConfigurationError(ConfigReader::about("layer_norm_eps") + " must be positive.");
    }
    return result;
}

} // namespace dravelin
