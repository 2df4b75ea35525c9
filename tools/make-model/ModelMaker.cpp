#include "make-model/ModelMaker.h"

#include "runtime/Bundle.h"
#include "runtime/BundleWriter.h"
#include "runtime/NetworkRegistry.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <optional>
#include <stdexcept>

namespace dravelin {

namespace {

// Fast uniform noise: random weights need no statistical quality, and a
// full-size model has a billion of them.
class WeightNoise {
public:
    explicit WeightNoise(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 1) {}
    float next() { // uniform in [-1, 1)
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        const uint64_t bits = state_ * 0x2545F4914F6CDD1DULL;
        return static_cast<float>(static_cast<double>(bits >> 40) * 0x1p-23 - 1.0);
    }

private:
    uint64_t state_;
};

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Norm scales 1 and shifts 0, other biases 0, embeddings small, and matrices
// scaled by their fan-in so activations stay in a sensible range.
ShapedArray randomWeight(const WeightSpec& spec, WeightNoise& noise) {
    ShapedArray values(spec.shape, 0.0f);
    const std::string& name = spec.name;
    // The safety checker's similarity thresholds: at 1 no cosine similarity
    // passes them, so random weights never withhold an image.
    if (endsWith(name, "embeds_weights")) {
        std::fill(values.values().begin(), values.values().end(), 1.0f);
        return values;
    }
    const bool norm = name.find("norm") != std::string::npos;
    if (spec.shape.size() == 1 && norm && endsWith(name, ".weight")) {
        std::fill(values.values().begin(), values.values().end(), 1.0f);
        return values;
    }
    if (endsWith(name, ".bias")) {
        return values;
    }
    float scale = 0.02f;
    if (name.find("embedding") == std::string::npos && spec.shape.size() >= 2) {
        int64_t fanIn = 1;
        for (size_t d = 1; d < spec.shape.size(); ++d) {
            fanIn *= spec.shape[d];
        }
        // Uniform in [-a, a] has standard deviation a / sqrt(3).
        scale = std::sqrt(3.0f / static_cast<float>(fanIn));
    }
    for (float& value : values.values()) {
        value = noise.next() * scale;
    }
    return values;
}

void writeNetwork(const std::filesystem::path& bundle, const nlohmann::json& config,
                  const std::string& weightFile, DType dtype, WeightNoise& noise,
                  const std::function<void(const std::string&)>& report,
                  const std::optional<nlohmann::json>& bundleJson = std::nullopt) {
    const std::string directoryName = bundle.filename().string();
    const std::string kindName = NetworkRegistry::inferKindName(config, directoryName);
    const std::shared_ptr<const NetworkKind> kind = NetworkRegistry::shared().find(kindName);
    if (!kind) {
        throw std::runtime_error("This build cannot make a \"" + kindName + "\" network (for " +
                                 directoryName + ").");
    }
    std::vector<TensorToWrite> tensors;
    int64_t parameters = 0;
    for (const WeightSpec& spec : kind->expectedWeights(config)) {
        tensors.push_back(TensorToWrite::fromFloats(spec.name, randomWeight(spec, noise), dtype));
        parameters += elementCount(spec.shape);
    }
    writeBundle(bundle, config, tensors, bundleJson, weightFile);
    if (report) {
        report(directoryName + ": " + std::to_string(parameters) + " parameters");
    }
}

// A character-level vocabulary: every printable ASCII character, alone and
// word-final, plus the start and end tokens (the end token last).
void writeSmallTokenizer(const std::filesystem::path& directory, int64_t& vocabularySize,
                         int64_t& endTokenId) {
    nlohmann::json vocabulary = nlohmann::json::object();
    int id = 0;
    for (char c = '!'; c <= '~'; ++c) {
        vocabulary[std::string(1, c)] = id++;
        vocabulary[std::string(1, c) + "</w>"] = id++;
    }
    vocabulary["<|startoftext|>"] = id++;
    endTokenId = id;
    vocabulary["<|endoftext|>"] = id++;
    vocabularySize = id;
    std::ofstream(directory / "vocab.json") << vocabulary.dump();
    std::ofstream(directory / "merges.txt") << "#version: 0.2\n";
}

// The sizes that tell one CLIP text encoder from another.
struct ClipTextSizes {
    const char* architecture;
    const char* activation;
    int64_t width;
    int64_t intermediate;
    int64_t heads;
    int64_t layers;
    std::optional<int64_t> projection;
};

// A CLIP text encoder's config.json: at full size as the hub publishes it
// (the real vocabulary and its special tokens), tiny with the small
// tokenizer's.
nlohmann::json clipTextConfig(const ClipTextSizes& sizes, bool fullSize, int64_t vocabularySize,
                              int64_t endTokenId) {
    nlohmann::json config{{"architectures", {sizes.architecture}},
                          {"hidden_act", sizes.activation},
                          {"hidden_size", sizes.width},
                          {"intermediate_size", sizes.intermediate},
                          {"max_position_embeddings", 77},
                          {"num_attention_heads", sizes.heads},
                          {"num_hidden_layers", sizes.layers}};
    if (sizes.projection) {
        config["projection_dim"] = *sizes.projection;
    }
    if (fullSize) {
        config.update({{"layer_norm_eps", 1e-05},
                       {"model_type", "clip_text_model"},
                       {"bos_token_id", 0},
                       {"eos_token_id", 2},
                       {"pad_token_id", 1},
                       {"vocab_size", std::max<int64_t>(vocabularySize, 49408)}});
    } else {
        config.update({{"eos_token_id", endTokenId}, {"vocab_size", vocabularySize}});
    }
    return config;
}

nlohmann::json clipConfig(bool fullSize, int64_t vocabularySize, int64_t endTokenId) {
    return clipTextConfig(fullSize
                              ? ClipTextSizes{"CLIPTextModel", "quick_gelu", 768, 3072, 12, 12, 768}
                              : ClipTextSizes{"CLIPTextModel", "quick_gelu", 32, 64, 4, 2, {}},
                          fullSize, vocabularySize, endTokenId);
}

// What the denoising network and a ControlNet for it share: the input, the
// time embedding, the down path and the middle.
nlohmann::json denoisingDownPathConfig(bool fullSize) {
    if (fullSize) {
        return {{"act_fn", "silu"},
                {"attention_head_dim", 8},
                {"block_out_channels", {320, 640, 1280, 1280}},
                {"cross_attention_dim", 768},
                {"down_block_types",
                 {"CrossAttnDownBlock2D", "CrossAttnDownBlock2D", "CrossAttnDownBlock2D",
                  "DownBlock2D"}},
                {"downsample_padding", 1},
                {"flip_sin_to_cos", true},
                {"freq_shift", 0},
                {"in_channels", 4},
                {"layers_per_block", 2},
                {"mid_block_scale_factor", 1},
                {"norm_eps", 1e-05},
                {"norm_num_groups", 32}};
    }
    return {{"attention_head_dim", 2},
            {"block_out_channels", {32, 64}},
            {"cross_attention_dim", 32},
            {"down_block_types", {"CrossAttnDownBlock2D", "DownBlock2D"}},
            {"in_channels", 4},
            {"layers_per_block", 1},
            {"norm_num_groups", 8},
            {"sample_size", 8}};
}

nlohmann::json unetConfig(bool fullSize) {
    nlohmann::json config = denoisingDownPathConfig(fullSize);
    config.update({{"_class_name", "UNet2DConditionModel"}, {"out_channels", 4}});
    if (fullSize) {
        config.update({{"center_input_sample", false},
                       {"sample_size", 64},
                       {"up_block_types",
                        {"UpBlock2D", "CrossAttnUpBlock2D", "CrossAttnUpBlock2D",
                         "CrossAttnUpBlock2D"}}});
    } else {
        config["up_block_types"] = {"UpBlock2D", "CrossAttnUpBlock2D"};
    }
    return config;
}

// lllyasviel/sd-controlnet-canny's configuration at full size; tiny, one
// that fits the tiny denoising network.
nlohmann::json controlNetConfig(bool fullSize) {
    nlohmann::json config = denoisingDownPathConfig(fullSize);
    config["_class_name"] = "ControlNetModel";
    if (fullSize) {
        config.update({{"class_embed_type", nullptr},
                       {"conditioning_embedding_out_channels", {16, 32, 96, 256}},
                       {"controlnet_conditioning_channel_order", "rgb"},
                       {"num_class_embeds", nullptr},
                       {"only_cross_attention", false},
                       {"projection_class_embeddings_input_dim", nullptr},
                       {"resnet_time_scale_shift", "default"},
                       {"upcast_attention", false},
                       {"use_linear_projection", false}});
    } else {
        config["conditioning_embedding_out_channels"] = {8, 16};
    }
    return config;
}

// The controlled denoising network has the plain one's configuration and
// weights: its files are linked (or copied where links cannot be made).
void writeControlledUnet(const std::filesystem::path& directory) {
    const std::filesystem::path plain = directory / "Unet.model";
    const std::filesystem::path controlled = directory / "ControlledUnet.model";
    std::error_code error;
    std::filesystem::remove_all(controlled, error);
    std::filesystem::create_directories(controlled, error);
    for (const auto& entry : std::filesystem::directory_iterator(plain)) {
        const std::filesystem::path target = controlled / entry.path().filename();
        std::filesystem::create_hard_link(entry.path(), target, error);
        if (error) {
            std::filesystem::copy_file(entry.path(), target,
                                       std::filesystem::copy_options::overwrite_existing);
        }
    }
}

nlohmann::json vaeConfig(bool fullSize) {
    if (fullSize) {
        return {{"_class_name", "AutoencoderKL"},
                {"act_fn", "silu"},
                {"block_out_channels", {128, 256, 512, 512}},
                {"down_block_types",
                 {"DownEncoderBlock2D", "DownEncoderBlock2D", "DownEncoderBlock2D",
                  "DownEncoderBlock2D"}},
                {"in_channels", 3},
                {"latent_channels", 4},
                {"layers_per_block", 2},
                {"norm_num_groups", 32},
                {"out_channels", 3},
                {"sample_size", 512},
                {"up_block_types",
                 {"UpDecoderBlock2D", "UpDecoderBlock2D", "UpDecoderBlock2D", "UpDecoderBlock2D"}}};
    }
    return {{"_class_name", "AutoencoderKL"},
            {"block_out_channels", {16, 32}},
            {"down_block_types", {"DownEncoderBlock2D", "DownEncoderBlock2D"}},
            {"latent_channels", 4},
            {"layers_per_block", 1},
            {"norm_num_groups", 8},
            {"sample_size", 16},
            {"up_block_types", {"UpDecoderBlock2D", "UpDecoderBlock2D"}}};
}

// transformers' CLIPConfig as SD 1.5's safety checker publishes it: the text
// and vision sections and, read in preference, their "_dict" twins with the
// keys that differ from the defaults. Only the vision tower is built.
nlohmann::json safetyCheckerConfig(bool fullSize) {
    if (fullSize) {
        const nlohmann::json vision{{"hidden_size", 1024},
                                    {"intermediate_size", 4096},
                                    {"num_attention_heads", 16},
                                    {"num_hidden_layers", 24},
                                    {"patch_size", 14}};
        const nlohmann::json text{{"hidden_size", 768},
                                  {"intermediate_size", 3072},
                                  {"num_attention_heads", 12},
                                  {"num_hidden_layers", 12}};
        nlohmann::json visionFull = vision;
        visionFull.update({{"model_type", "clip_vision_model"},
                           {"hidden_act", "quick_gelu"},
                           {"image_size", 224},
                           {"layer_norm_eps", 1e-05},
                           {"num_channels", 3},
                           {"projection_dim", 512}});
        nlohmann::json textFull = text;
        textFull.update({{"model_type", "clip_text_model"},
                         {"hidden_act", "quick_gelu"},
                         {"max_position_embeddings", 77},
                         {"projection_dim", 512},
                         {"vocab_size", 49408}});
        return {{"_name_or_path", "CompVis/stable-diffusion-safety-checker"},
                {"architectures", {"StableDiffusionSafetyChecker"}},
                {"initializer_factor", 1.0},
                {"logit_scale_init_value", 2.6592},
                {"model_type", "clip"},
                {"projection_dim", 768},
                {"text_config", textFull},
                {"text_config_dict", text},
                {"torch_dtype", "float32"},
                {"vision_config", visionFull},
                {"vision_config_dict", vision}};
    }
    return {{"architectures", {"StableDiffusionSafetyChecker"}},
            {"model_type", "clip"},
            {"projection_dim", 16},
            {"vision_config",
             {{"hidden_size", 32},
              {"intermediate_size", 64},
              {"num_attention_heads", 4},
              {"num_hidden_layers", 2},
              {"patch_size", 8},
              {"image_size", 32}}}};
}

// madebyollin/taesd's config.json; the tiny one keeps two stages, so it
// enlarges 2× like the tiny VAE.
nlohmann::json previewDecoderConfig(bool fullSize) {
    nlohmann::json config{{"_class_name", "AutoencoderTiny"},
                          {"_diffusers_version", "0.20.0.dev0"},
                          {"act_fn", "relu"},
                          {"decoder_block_out_channels", {64, 64, 64, 64}},
                          {"encoder_block_out_channels", {64, 64, 64, 64}},
                          {"force_upcast", false},
                          {"in_channels", 3},
                          {"latent_channels", 4},
                          {"latent_magnitude", 3},
                          {"latent_shift", 0.5},
                          {"num_decoder_blocks", {3, 3, 3, 1}},
                          {"num_encoder_blocks", {1, 3, 3, 3}},
                          {"out_channels", 3},
                          {"scaling_factor", 1.0},
                          {"upsampling_scaling_factor", 2}};
    if (!fullSize) {
        config["decoder_block_out_channels"] = {8, 8};
        config["encoder_block_out_channels"] = {8, 8};
        config["num_decoder_blocks"] = {1, 1};
        config["num_encoder_blocks"] = {1, 1};
    }
    return config;
}

// The configurations of the SDXL repositories' text_encoder_2 (OpenCLIP
// bigG) and unet folders, or tiny ones of the same kinds. The tiny second
// encoder's projection is as wide as its states, as the full one's is.
nlohmann::json clipXLConfig(bool fullSize, int64_t vocabularySize, int64_t endTokenId) {
    return clipTextConfig(
        fullSize ? ClipTextSizes{"CLIPTextModelWithProjection", "gelu", 1280, 5120, 20, 32, 1280}
                 : ClipTextSizes{"CLIPTextModelWithProjection", "gelu", 24, 48, 4, 2, 24},
        fullSize, vocabularySize, endTokenId);
}

nlohmann::json unetXLConfig(bool fullSize, bool refiner) {
    nlohmann::json config{{"_class_name", "UNet2DConditionModel"},
                          {"act_fn", "silu"},
                          {"addition_embed_type", "text_time"},
                          {"addition_embed_type_num_heads", 64},
                          {"center_input_sample", false},
                          {"flip_sin_to_cos", true},
                          {"freq_shift", 0},
                          {"in_channels", 4},
                          {"layers_per_block", 2},
                          {"norm_eps", 1e-05},
                          {"out_channels", 4},
                          {"use_linear_projection", true}};
    if (!fullSize) {
        config.update({{"addition_time_embed_dim", 8},
                       {"block_out_channels", {32, 64}},
                       {"norm_num_groups", 8},
                       {"layers_per_block", 1},
                       {"sample_size", 8}});
        if (refiner) {
            config.update({{"attention_head_dim", {2, 2}},
                           {"cross_attention_dim", 24},
                           {"down_block_types", {"DownBlock2D", "CrossAttnDownBlock2D"}},
                           {"up_block_types", {"CrossAttnUpBlock2D", "UpBlock2D"}},
                           {"projection_class_embeddings_input_dim", 24 + 5 * 8},
                           {"transformer_layers_per_block", 2}});
        } else {
            config.update({{"attention_head_dim", {1, 2}},
                           {"cross_attention_dim", 32 + 24},
                           {"down_block_types", {"DownBlock2D", "CrossAttnDownBlock2D"}},
                           {"up_block_types", {"CrossAttnUpBlock2D", "UpBlock2D"}},
                           {"projection_class_embeddings_input_dim", 24 + 6 * 8},
                           {"transformer_layers_per_block", {1, 2}}});
        }
        return config;
    }
    config.update(
        {{"addition_time_embed_dim", 256}, {"norm_num_groups", 32}, {"sample_size", 128}});
    if (refiner) {
        config.update(
            {{"attention_head_dim", {6, 12, 24, 24}},
             {"block_out_channels", {384, 768, 1536, 1536}},
             {"cross_attention_dim", 1280},
             {"down_block_types",
              {"DownBlock2D", "CrossAttnDownBlock2D", "CrossAttnDownBlock2D", "DownBlock2D"}},
             {"up_block_types",
              {"UpBlock2D", "CrossAttnUpBlock2D", "CrossAttnUpBlock2D", "UpBlock2D"}},
             {"projection_class_embeddings_input_dim", 2560},
             {"transformer_layers_per_block", 4}});
    } else {
        config.update(
            {{"attention_head_dim", {5, 10, 20}},
             {"block_out_channels", {320, 640, 1280}},
             {"cross_attention_dim", 2048},
             {"down_block_types", {"DownBlock2D", "CrossAttnDownBlock2D", "CrossAttnDownBlock2D"}},
             {"up_block_types", {"CrossAttnUpBlock2D", "CrossAttnUpBlock2D", "UpBlock2D"}},
             {"projection_class_embeddings_input_dim", 2816},
             {"transformer_layers_per_block", {1, 2, 10}}});
    }
    return config;
}

// SDXL's VAE: SD's architecture, its own latent scale and native size.
nlohmann::json vaeXLConfig(bool fullSize) {
    nlohmann::json config = vaeConfig(fullSize);
    config["scaling_factor"] = 0.13025;
    if (fullSize) {
        config["sample_size"] = 1024;
    }
    return config;
}

// The tiny configurations changed to follow the rules a single file is read
// by (see ModelMakerOptions::checkpointRules).
void applyCheckpointRules(nlohmann::json& clip, nlohmann::json& clip2, nlohmann::json& unet,
                          nlohmann::json& refiner, nlohmann::json& vae, bool sdxl) {
    constexpr int64_t kTextWidth = 64;
    for (nlohmann::json* text : {&clip, &clip2}) {
        text->update({{"hidden_size", kTextWidth},
                      {"intermediate_size", 2 * kTextWidth},
                      {"num_attention_heads", 1},
                      {"projection_dim", kTextWidth}});
    }
    constexpr int64_t kTimeWidth = 8;
    const int64_t latent = sdxl ? 128 : 64;
    for (nlohmann::json* network : {&unet, &refiner}) {
        network->update({{"norm_num_groups", 32}, {"sample_size", latent}});
    }
    if (sdxl) {
        unet.update({{"attention_head_dim", {1, 1}},
                     {"cross_attention_dim", 2 * kTextWidth},
                     {"projection_class_embeddings_input_dim", kTextWidth + 6 * kTimeWidth}});
        refiner.update({{"attention_head_dim", {1, 1}},
                        {"cross_attention_dim", kTextWidth},
                        {"projection_class_embeddings_input_dim", kTextWidth + 5 * kTimeWidth}});
    } else {
        // Transformers at the smaller level only keep the 64 × 64 latents cheap.
        unet.update({{"attention_head_dim", 8},
                     {"cross_attention_dim", kTextWidth},
                     {"down_block_types", {"DownBlock2D", "CrossAttnDownBlock2D"}},
                     {"up_block_types", {"CrossAttnUpBlock2D", "UpBlock2D"}}});
    }
    vae.update({{"block_out_channels", {32, 64}}, {"norm_num_groups", 32}, {"sample_size", 2 * latent}});
}

} // namespace

void writeRandomModel(const std::filesystem::path& directory, const ModelMakerOptions& options,
                      const std::function<void(const std::string&)>& report) {
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        throw std::runtime_error("Cannot create \"" + directory.string() +
                                 "\": " + error.message() + ".");
    }
    // A marker left from before would call a half-written directory complete.
    std::filesystem::remove(directory / ".complete", error);

    int64_t vocabularySize = 49408;
    int64_t endTokenId = 49407;
    if (options.tokenizer.empty()) {
        writeSmallTokenizer(directory, vocabularySize, endTokenId);
    } else {
        for (const char* file : {"vocab.json", "merges.txt"}) {
            std::filesystem::copy_file(options.tokenizer / file, directory / file,
                                       std::filesystem::copy_options::overwrite_existing, error);
            if (error) {
                throw std::runtime_error("Cannot copy " + std::string(file) + " from \"" +
                                         options.tokenizer.string() + "\": " + error.message() +
                                         ".");
            }
        }
    }

    const bool full = options.fullSize;
    const DType dtype = full ? DType::F16 : DType::F32;
    WeightNoise noise(options.seed);
    nlohmann::json clip = clipConfig(full, vocabularySize, endTokenId);
    nlohmann::json clip2 = clipXLConfig(full, vocabularySize, endTokenId);
    nlohmann::json unet = options.sdxl ? unetXLConfig(full, false) : unetConfig(full);
    nlohmann::json refiner = unetXLConfig(full, true);
    nlohmann::json vae = options.sdxl ? vaeXLConfig(full) : vaeConfig(full);
    if (options.checkpointRules && !full) {
        applyCheckpointRules(clip, clip2, unet, refiner, vae, options.sdxl);
    }
    const std::string textWeights = full ? "model.fp16.safetensors" : "model.safetensors";
    writeNetwork(directory / "TextEncoder.model", clip, textWeights, dtype, noise, report);
    if (options.sdxl) {
        writeNetwork(directory / "TextEncoder2.model", clip2, textWeights, dtype, noise, report);
    }
    const std::string weights =
        full ? "diffusion_pytorch_model.fp16.safetensors" : "diffusion_pytorch_model.safetensors";
    nlohmann::json denoising = unet;
    if (options.inpainting) {
        denoising["in_channels"] = 9;
    }
    writeNetwork(directory / "Unet.model", denoising, weights, dtype, noise, report);
    if (options.sdxl && options.refiner) {
        writeNetwork(directory / "UnetRefiner.model", refiner, weights, dtype, noise, report);
    }
    writeNetwork(directory / "VAEDecoder.model", vae, weights, dtype, noise, report);
    if (options.imageEncoder || options.inpainting) {
        writeNetwork(directory / "VAEEncoder.model", vae, weights, dtype, noise, report);
    }
    if (options.safetyChecker) {
        writeNetwork(directory / "SafetyChecker.model", safetyCheckerConfig(full),
                     full ? "model.fp16.safetensors" : "model.safetensors", dtype, noise, report);
    }
    for (const std::string& name : options.controlNets) {
        writeNetwork(directory / "controlnet" / (name + ".model"), controlNetConfig(full), weights,
                     dtype, noise, report);
    }
    if (!options.controlNets.empty()) {
        writeControlledUnet(directory);
    }
    if (options.previewDecoder) {
        // Published in single precision; the tiny one takes the tiny
        // denoising network's 8 × 8 latents.
        const int64_t latentSize = unetConfig(full)["sample_size"].get<int64_t>();
        std::optional<nlohmann::json> shapes;
        if (!full) {
            shapes = nlohmann::json::object();
            (*shapes)["inputs"]["z"] = {1, 4, latentSize, latentSize};
        }
        writeNetwork(directory / "PreviewDecoder.model", previewDecoderConfig(full),
                     "diffusion_pytorch_model.safetensors", DType::F32, noise, report, shapes);
    }
    writeFileAtomically(directory / ".complete", "");
}

void writeRandomLora(const std::filesystem::path& file, const LoraMakerOptions& options) {
    if (options.rank < 1) {
        throw std::runtime_error("A LoRA needs a rank of at least 1.");
    }
    WeightNoise noise(options.seed);
    const bool kohya = options.layout == LoraLayout::kohya;
    std::vector<TensorToWrite> tensors;
    const auto add = [&](const std::string& kindName, const nlohmann::json& config,
                         const std::string& kohyaPrefix, const std::string& peftPrefix,
                         const std::string& mustContain) {
        const std::shared_ptr<const NetworkKind> kind = NetworkRegistry::shared().find(kindName);
        if (!kind) {
            throw std::runtime_error("This build cannot make a \"" + kindName + "\" network.");
        }
        for (const WeightSpec& spec : kind->expectedWeights(config)) {
            const std::string& name = spec.name;
            const size_t rank = spec.shape.size();
            if (!endsWith(name, ".weight") || (rank != 2 && rank != 4) ||
                name.find("norm") != std::string::npos ||
                name.find("embedding") != std::string::npos ||
                name.find(mustContain) == std::string::npos) {
                continue;
            }
            std::string path = name.substr(0, name.size() - 7);
            Shape downShape = spec.shape;
            downShape[0] = options.rank;
            Shape upShape = rank == 4 ? Shape{spec.shape[0], options.rank, 1, 1}
                                      : Shape{spec.shape[0], options.rank};
            // Small updates: the image changes but stays an image.
            ShapedArray down = randomWeight({"down", downShape}, noise);
            ShapedArray up = randomWeight({"up", upShape}, noise);
            for (float& value : up.values()) {
                value *= 0.1f;
            }
            if (kohya) {
                std::replace(path.begin(), path.end(), '.', '_');
                const std::string layer = kohyaPrefix + path;
                tensors.push_back(
                    TensorToWrite::fromFloats(layer + ".lora_down.weight", down, DType::F16));
                tensors.push_back(
                    TensorToWrite::fromFloats(layer + ".lora_up.weight", up, DType::F16));
                tensors.push_back(TensorToWrite::fromFloats(
                    layer + ".alpha",
                    ShapedArray(std::vector<float>{static_cast<float>(options.rank) / 2.0f},
                                Shape{}),
                    DType::F16));
            } else {
                const std::string layer = peftPrefix + path;
                tensors.push_back(
                    TensorToWrite::fromFloats(layer + ".lora_A.weight", down, DType::F16));
                tensors.push_back(
                    TensorToWrite::fromFloats(layer + ".lora_B.weight", up, DType::F16));
            }
        }
    };
    if (options.model) {
        // The networks as the directory configures them; SDXL's two text
        // encoders by their SDXL prefixes.
        const std::filesystem::path& model = *options.model;
        const bool xl = std::filesystem::is_directory(model / "TextEncoder2.model");
        add("UNet2DConditionModel", Bundle::read(model / "Unet.model").config, "lora_unet_",
            "unet.", "");
        add("CLIPTextModel", Bundle::read(model / "TextEncoder.model").config,
            xl ? "lora_te1_" : "lora_te_", "text_encoder.", "encoder.layers");
        if (xl) {
            add("CLIPTextModelWithProjection", Bundle::read(model / "TextEncoder2.model").config,
                "lora_te2_", "text_encoder_2.", "encoder.layers");
        }
    } else {
        add("UNet2DConditionModel", unetConfig(options.fullSize), "lora_unet_", "unet.", "");
        add("CLIPTextModel", clipConfig(options.fullSize, 49408, 49407), "lora_te_",
            "text_encoder.", "encoder.layers");
    }
    if (file.has_parent_path()) {
        std::filesystem::create_directories(file.parent_path());
    }
    writeSafetensors(file, tensors);
}

} // namespace dravelin
