#include "nn/networks/controlnet/ControlNetConfig.h"

#include "nn/compute/ConfigReader.h"

namespace dravelin {

namespace {

[[noreturn]] void unsupported(const std::string& key, const std::string& why) {
    throw ConfigurationError(ConfigReader::about(key) + " " + why);
}

} // namespace

ControlNetConfig ControlNetConfig::read(const nlohmann::json& config) {
    const ConfigReader reader(config);
    ControlNetConfig result;
    result.unet = UNetConfig::readDownPath(config);
    if (result.unet.centerInputSample) {
        unsupported("center_input_sample", "is not a ControlNet setting.");
    }
    // The XL networks' "text_time" embedding is read with the down path, but
    // this ControlNet does not add it: refused rather than silently left out.
    if (result.unet.hasTextTimeEmbedding()) {
        unsupported("addition_embed_type", "is \"text_time\"; this runtime implements "
                                           "ControlNets only without it.");
    }
    result.conditioningChannels = reader.integer("conditioning_channels", 3);
    if (result.conditioningChannels < 1) {
        unsupported("conditioning_channels", "must be at least 1.");
    }
    result.conditioningEmbeddingChannels = reader.integers("conditioning_embedding_out_channels",
                                                           result.conditioningEmbeddingChannels);
    const size_t stages = result.conditioningEmbeddingChannels.size();
    if (stages < 1 || stages > 8) {
        unsupported("conditioning_embedding_out_channels",
                    "must list one to eight channel counts.");
    }
    for (int64_t channels : result.conditioningEmbeddingChannels) {
        if (channels < 1) {
            unsupported("conditioning_embedding_out_channels", "lists a width below 1.");
        }
    }
    const std::string order = reader.string("controlnet_conditioning_channel_order", "rgb");
    if (order != "rgb" && order != "bgr") {
        unsupported("controlnet_conditioning_channel_order",
                    "is \"" + order + "\"; it must be \"rgb\" or \"bgr\".");
    }
    result.bgr = order == "bgr";
    if (result.bgr && result.conditioningChannels != 3) {
        unsupported("controlnet_conditioning_channel_order",
                    "is \"bgr\" for an image that does not have 3 channels.");
    }
    if (reader.boolean("global_pool_conditions", false)) {
        unsupported("global_pool_conditions", "must be false here.");
    }
    return result;
}

} // namespace dravelin
