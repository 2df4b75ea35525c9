#include "nn/networks/vae/VaeConfig.h"

#include "nn/compute/ConfigReader.h"

#include <algorithm>
#include <cctype>

namespace dravelin {

namespace {

// Bounds beyond every published autoencoder of the family, so that a mistyped
// or hostile value is refused before the network is sized by it.
constexpr int64_t kMaximumChannels = 4096;
constexpr int64_t kMaximumImageChannels = 64;
constexpr int64_t kMaximumLayersPerBlock = 16;
constexpr int64_t kMaximumGroups = 1024;

void requireBlockTypes(const ConfigReader& reader, const std::string& key,
                       const std::string& implemented, size_t count) {
    const std::vector<std::string> types = reader.strings(key, {implemented});
    for (const std::string& type : types) {
        if (type != implemented) {
            throw ConfigurationError(
                ConfigReader::about(key) + " names " + ConfigReader::excerpt(type) +
                "; this runtime implements only \"" + implemented + "\" there.");
        }
    }
    if (types.size() != count) {
        throw ConfigurationError(
            ConfigReader::about(key) + " lists " + std::to_string(types.size()) +
            " blocks but \"block_out_channels\" lists " + std::to_string(count) + ".");
    }
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

VaeConfig VaeConfig::read(const nlohmann::json& config, Half half) {
    const ConfigReader reader(config);
    VaeConfig result;
    result.inChannels = reader.integer("in_channels", result.inChannels, 1, kMaximumImageChannels);
    result.outChannels =
        reader.integer("out_channels", result.outChannels, 1, kMaximumImageChannels);
    result.blockOutChannels =
        reader.integers("block_out_channels", result.blockOutChannels, 1, kMaximumChannels);
    if (result.blockOutChannels.empty() || result.blockOutChannels.size() > 8) {
        throw ConfigurationError(ConfigReader::about("block_out_channels") +
                                 " must list one to eight channel counts.");
    }
    result.layersPerBlock =
        reader.integer("layers_per_block", result.layersPerBlock, 1, kMaximumLayersPerBlock);
    result.activation = activationNamed(lowercase(reader.string("act_fn", "silu")), "act_fn");
    result.latentChannels =
        reader.integer("latent_channels", result.latentChannels, 1, kMaximumImageChannels);
    result.groups = reader.integer("norm_num_groups", result.groups, 1, kMaximumGroups);
    for (int64_t channels : result.blockOutChannels) {
        if (channels % result.groups != 0) {
            throw ConfigurationError(
                ConfigReader::about("norm_num_groups") + " is " + std::to_string(result.groups) +
                ", which does not divide the block width " + std::to_string(channels) + ".");
        }
    }
    const std::string normType = reader.string("norm_type", "group");
    if (normType != "group") {
        throw ConfigurationError(ConfigReader::about("norm_type") + " is " +
                                 ConfigReader::excerpt(normType) +
                                 "; this runtime implements only \"group\".");
    }
    if (config.contains("sample_size") && config["sample_size"].is_array()) {
        const std::vector<int64_t> size = reader.integers("sample_size", {}, 1, kMaximumSampleSize);
        if (size.size() != 2) {
            throw ConfigurationError(ConfigReader::about("sample_size") +
                                     " must be a size or a [height, width] pair.");
        }
        result.sampleHeight = size[0];
        result.sampleWidth = size[1];
    } else {
        result.sampleHeight = result.sampleWidth =
            reader.integer("sample_size", 32, 1, kMaximumSampleSize);
    }
    if (result.latentHeight() < 1 || result.latentWidth() < 1) {
        throw ConfigurationError(ConfigReader::about("sample_size") + " is smaller than one "
                                                                      "latent pixel.");
    }
    result.midBlockAttention = reader.boolean("mid_block_add_attention", true);
    result.quantConv = reader.boolean("use_quant_conv", true);
    result.postQuantConv = reader.boolean("use_post_quant_conv", true);

    const size_t blocks = result.blockOutChannels.size();
    if (half == Half::encoder) {
        requireBlockTypes(reader, "down_block_types", "DownEncoderBlock2D", blocks);
    } else {
        requireBlockTypes(reader, "up_block_types", "UpDecoderBlock2D", blocks);
    }
    return result;
}

} // namespace dravelin
