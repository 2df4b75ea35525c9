#include "nn/support/FullSizeModels.h"

#include "runtime/BundleWriter.h"
#include "runtime/NetworkRegistry.h"

#include <cmath>
#include <random>

namespace dravelin::testing {

nlohmann::json sd15TextEncoderConfig() {
    return nlohmann::json::parse(R"({
        "architectures": ["CLIPTextModel"], "attention_dropout": 0.0, "bos_token_id": 0,
        "dropout": 0.0, "eos_token_id": 2, "hidden_act": "quick_gelu", "hidden_size": 768,
        "initializer_factor": 1.0, "initializer_range": 0.02, "intermediate_size": 3072,
        "layer_norm_eps": 1e-05, "max_position_embeddings": 77, "model_type": "clip_text_model",
        "num_attention_heads": 12, "num_hidden_layers": 12, "pad_token_id": 1,
        "projection_dim": 768, "torch_dtype": "float32", "transformers_version": "4.22.0.dev0",
        "vocab_size": 49408})");
}

nlohmann::json sd15VaeConfig() {
    return nlohmann::json::parse(R"({
        "_class_name": "AutoencoderKL", "_diffusers_version": "0.6.0", "act_fn": "silu",
        "block_out_channels": [128, 256, 512, 512],
        "down_block_types": ["DownEncoderBlock2D", "DownEncoderBlock2D", "DownEncoderBlock2D",
                             "DownEncoderBlock2D"],
        "in_channels": 3, "latent_channels": 4, "layers_per_block": 2, "norm_num_groups": 32,
        "out_channels": 3, "sample_size": 512,
        "up_block_types": ["UpDecoderBlock2D", "UpDecoderBlock2D", "UpDecoderBlock2D",
                           "UpDecoderBlock2D"]})");
}

nlohmann::json sd15UNetConfig() {
    return nlohmann::json::parse(R"({
        "_class_name": "UNet2DConditionModel", "_diffusers_version": "0.6.0", "act_fn": "silu",
        "attention_head_dim": 8, "block_out_channels": [320, 640, 1280, 1280],
        "center_input_sample": false, "cross_attention_dim": 768,
        "down_block_types": ["CrossAttnDownBlock2D", "CrossAttnDownBlock2D",
                             "CrossAttnDownBlock2D", "DownBlock2D"],
        "downsample_padding": 1, "flip_sin_to_cos": true, "freq_shift": 0, "in_channels": 4,
        "layers_per_block": 2, "mid_block_scale_factor": 1, "norm_eps": 1e-05,
        "norm_num_groups": 32, "out_channels": 4, "sample_size": 64,
        "up_block_types": ["UpBlock2D", "CrossAttnUpBlock2D", "CrossAttnUpBlock2D",
                           "CrossAttnUpBlock2D"]})");
}

nlohmann::json sd15SafetyCheckerConfig() {
    return nlohmann::json::parse(R"({
        "_name_or_path": "CompVis/stable-diffusion-safety-checker",
        "architectures": ["StableDiffusionSafetyChecker"], "initializer_factor": 1.0,
        "logit_scale_init_value": 2.6592, "model_type": "clip", "projection_dim": 768,
        "text_config_dict": {"hidden_size": 768, "intermediate_size": 3072,
                             "num_attention_heads": 12, "num_hidden_layers": 12},
        "torch_dtype": "float32",
        "vision_config": {"hidden_act": "quick_gelu", "hidden_size": 1024, "image_size": 224,
                          "intermediate_size": 4096, "layer_norm_eps": 1e-05,
                          "model_type": "clip_vision_model", "num_attention_heads": 16,
                          "num_channels": 3, "num_hidden_layers": 24, "patch_size": 14,
                          "projection_dim": 512},
        "vision_config_dict": {"hidden_size": 1024, "intermediate_size": 4096,
                               "num_attention_heads": 16, "num_hidden_layers": 24,
                               "patch_size": 14}})");
}

nlohmann::json sd15ControlNetConfig() {
    return nlohmann::json::parse(R"({
        "_class_name": "ControlNetModel", "_diffusers_version": "0.16.0.dev0", "act_fn": "silu",
        "attention_head_dim": 8, "block_out_channels": [320, 640, 1280, 1280],
        "class_embed_type": null, "conditioning_embedding_out_channels": [16, 32, 96, 256],
        "controlnet_conditioning_channel_order": "rgb", "cross_attention_dim": 768,
        "down_block_types": ["CrossAttnDownBlock2D", "CrossAttnDownBlock2D",
                             "CrossAttnDownBlock2D", "DownBlock2D"],
        "downsample_padding": 1, "flip_sin_to_cos": true, "freq_shift": 0, "in_channels": 4,
        "layers_per_block": 2, "mid_block_scale_factor": 1, "norm_eps": 1e-05,
        "norm_num_groups": 32, "num_class_embeds": null, "only_cross_attention": false,
        "projection_class_embeddings_input_dim": null, "resnet_time_scale_shift": "default",
        "upcast_attention": false, "use_linear_projection": false})");
}

namespace {

TensorToWrite randomTensor(const WeightSpec& weight, std::mt19937& generator) {
    ShapedArray values(weight.shape);
    const bool isBias = weight.name.ends_with(".bias");
    if (weight.shape.size() == 1 && !isBias) {
        std::fill(values.values().begin(), values.values().end(), 1.0f);
    } else {
        int64_t fanIn = 1;
        for (size_t i = 1; i < weight.shape.size(); ++i) {
            fanIn *= weight.shape[i];
        }
        const float bound = isBias ? 0.05f : 1.0f / std::sqrt(static_cast<float>(fanIn));
        std::uniform_real_distribution<float> distribution(-bound, bound);
        for (float& value : values.values()) {
            value = distribution(generator);
        }
    }
    return TensorToWrite::fromFloats(weight.name, values, DType::F16);
}

std::vector<WeightSpec> weightsOf(const std::string& kind, const nlohmann::json& config) {
    return NetworkRegistry::shared().find(kind)->expectedWeights(config);
}

} // namespace

void writeFullSizeModels(const std::filesystem::path& directory) {
    std::mt19937 generator(1234);
    {
        std::vector<TensorToWrite> tensors;
        for (const WeightSpec& weight : weightsOf("CLIPTextModel", sd15TextEncoderConfig())) {
            tensors.push_back(randomTensor(weight, generator));
        }
        writeBundle(directory / "TextEncoder.model", sd15TextEncoderConfig(), tensors);
    }
    const nlohmann::json vae = sd15VaeConfig();
    std::vector<WeightSpec> wanted = weightsOf("AutoencoderKL.decoder", vae);
    for (const WeightSpec& weight : weightsOf("AutoencoderKL.encoder", vae)) {
        wanted.push_back(weight);
    }
    // The middle attentions' projections, which the kinds check when they
    // read them (their names vary by library version).
    for (const std::string half : {"encoder", "decoder"}) {
        for (const std::string projection : {"to_q", "to_k", "to_v", "to_out.0"}) {
            const std::string prefix = half + ".mid_block.attentions.0." + projection;
            wanted.push_back({prefix + ".weight", {512, 512}});
            wanted.push_back({prefix + ".bias", {512}});
        }
    }
    std::vector<TensorToWrite> tensors;
    for (const WeightSpec& weight : wanted) {
        tensors.push_back(randomTensor(weight, generator));
    }
    writeBundle(directory / "VAEDecoder.model", vae, tensors);
    writeBundle(directory / "VAEEncoder.model", vae, tensors);
}

void writeFullSizeUNet(const std::filesystem::path& directory) {
    std::mt19937 generator(5678);
    std::vector<TensorToWrite> tensors;
    for (const WeightSpec& weight : weightsOf("UNet2DConditionModel", sd15UNetConfig())) {
        tensors.push_back(randomTensor(weight, generator));
    }
    writeBundle(directory / "Unet.model", sd15UNetConfig(), tensors);
}

void writeFullSizeSafetyChecker(const std::filesystem::path& directory) {
    std::mt19937 generator(9012);
    std::vector<TensorToWrite> tensors;
    for (const WeightSpec& weight :
         weightsOf("StableDiffusionSafetyChecker", sd15SafetyCheckerConfig())) {
        tensors.push_back(randomTensor(weight, generator));
    }
    writeBundle(directory / "SafetyChecker.model", sd15SafetyCheckerConfig(), tensors);
}

void writeFullSizeControlNet(const std::filesystem::path& directory) {
    std::mt19937 generator(9012);
    std::vector<TensorToWrite> tensors;
    for (const WeightSpec& weight : weightsOf("ControlNetModel", sd15ControlNetConfig())) {
        tensors.push_back(randomTensor(weight, generator));
    }
    writeBundle(directory / "ControlNet.model", sd15ControlNetConfig(), tensors);
}

} // namespace dravelin::testing
