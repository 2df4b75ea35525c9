#include "nn/networks/taesd/TinyAutoencoderConfig.h"

#include "nn/compute/ConfigReader.h"

#include <algorithm>
#include <cctype>

namespace dravelin {

namespace {

// One width per half (see the header); the stage count must match the
// block counts.
int64_t uniformWidth(const ConfigReader& reader, const std::string& key, size_t stages) {
    const std::vector<int64_t> widths = reader.integers(key, std::vector<int64_t>(stages, 64));
    if (widths.size() != stages) {
        throw ConfigurationError(ConfigReader::about(key) + " lists " +
                                 std::to_string(widths.size()) + " widths for " +
                                 std::to_string(stages) + " stages.");
    }
    if (std::adjacent_find(widths.begin(), widths.end(), std::not_equal_to<>()) != widths.end()) {
        throw ConfigurationError(ConfigReader::about(key) +
                                 " must give every stage the same width.");
    }
    return widths.front();
}

std::vector<int64_t> stageBlocks(const ConfigReader& reader, const std::string& key,
                                 const std::vector<int64_t>& fallback) {
    std::vector<int64_t> blocks = reader.integers(key, fallback, 0);
    if (blocks.empty() || blocks.size() > 8) {
        throw ConfigurationError(ConfigReader::about(key) + " must list one to eight stages.");
    }
    return blocks;
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

TinyAutoencoderConfig TinyAutoencoderConfig::read(const nlohmann::json& config) {
    const ConfigReader reader(config);
    TinyAutoencoderConfig result;
    result.inChannels = reader.integer("in_channels", result.inChannels);
    result.outChannels = reader.integer("out_channels", result.outChannels);
    result.latentChannels = reader.integer("latent_channels", result.latentChannels);
    result.encoderBlocks = stageBlocks(reader, "num_encoder_blocks", result.encoderBlocks);
    result.decoderBlocks = stageBlocks(reader, "num_decoder_blocks", result.decoderBlocks);
    result.encoderChannels =
        uniformWidth(reader, "encoder_block_out_channels", result.encoderBlocks.size());
    result.decoderChannels =
        uniformWidth(reader, "decoder_block_out_channels", result.decoderBlocks.size());
    result.activation = activationNamed(lowercase(reader.string("act_fn", "relu")), "act_fn");
    if (reader.integer("upsampling_scaling_factor", 2) != 2) {
        throw ConfigurationError(ConfigReader::about("upsampling_scaling_factor") +
                                 " must be 2, the only upsampling this runtime implements.");
    }
    result.scalingFactor = reader.number("scaling_factor", result.scalingFactor);
    if (!(result.scalingFactor > 0.0)) {
        throw ConfigurationError(ConfigReader::about("scaling_factor") + " must be positive.");
    }
    return result;
}

} // namespace dravelin
