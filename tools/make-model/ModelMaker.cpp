#include "make-model/ModelMaker.h"

#include "runtime/BundleWriter.h"
#include "runtime/NetworkRegistry.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
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
                  const std::function<void(const std::string&)>& report) {
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
    writeBundle(bundle, config, tensors, std::nullopt, weightFile);
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

nlohmann::json clipConfig(bool fullSize, int64_t vocabularySize, int64_t endTokenId) {
    if (fullSize) {
        return {{"architectures", {"CLIPTextModel"}},
                {"hidden_act", "quick_gelu"},
                {"hidden_size", 768},
                {"intermediate_size", 3072},
                {"layer_norm_eps", 1e-05},
                {"max_position_embeddings", 77},
                {"model_type", "clip_text_model"},
                {"num_attention_heads", 12},
                {"num_hidden_layers", 12},
                {"projection_dim", 768},
                {"bos_token_id", 0},
                {"eos_token_id", 2},
                {"pad_token_id", 1},
                {"vocab_size", std::max<int64_t>(vocabularySize, 49408)}};
    }
    return {{"architectures", {"CLIPTextModel"}},
            {"hidden_act", "quick_gelu"},
            {"hidden_size", 32},
            {"intermediate_size", 64},
            {"max_position_embeddings", 77},
            {"num_attention_heads", 4},
            {"num_hidden_layers", 2},
            {"eos_token_id", endTokenId},
            {"vocab_size", vocabularySize}};
}

nlohmann::json unetConfig(bool fullSize) {
    if (fullSize) {
        return {{"_class_name", "UNet2DConditionModel"},
                {"act_fn", "silu"},
                {"attention_head_dim", 8},
                {"block_out_channels", {320, 640, 1280, 1280}},
                {"center_input_sample", false},
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
                {"norm_num_groups", 32},
                {"out_channels", 4},
                {"sample_size", 64},
                {"up_block_types",
                 {"UpBlock2D", "CrossAttnUpBlock2D", "CrossAttnUpBlock2D", "CrossAttnUpBlock2D"}}};
    }
    return {{"_class_name", "UNet2DConditionModel"},
            {"attention_head_dim", 2},
            {"block_out_channels", {32, 64}},
            {"cross_attention_dim", 32},
            {"down_block_types", {"CrossAttnDownBlock2D", "DownBlock2D"}},
            {"in_channels", 4},
            {"layers_per_block", 1},
            {"norm_num_groups", 8},
            {"out_channels", 4},
            {"sample_size", 8},
            {"up_block_types", {"UpBlock2D", "CrossAttnUpBlock2D"}}};
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

// The configurations of the SDXL repositories' text_encoder_2 (OpenCLIP
// bigG) and unet folders, or tiny ones of the same kinds. The tiny second
// encoder's projection is as wide as its states, as the full one's is.
nlohmann::json clipXLConfig(bool fullSize, int64_t vocabularySize, int64_t endTokenId) {
    if (fullSize) {
        return {{"architectures", {"CLIPTextModelWithProjection"}},
                {"hidden_act", "gelu"},
                {"hidden_size", 1280},
                {"intermediate_size", 5120},
                {"layer_norm_eps", 1e-05},
                {"max_position_embeddings", 77},
                {"model_type", "clip_text_model"},
                {"num_attention_heads", 20},
                {"num_hidden_layers", 32},
                {"projection_dim", 1280},
                {"bos_token_id", 0},
                {"eos_token_id", 2},
                {"pad_token_id", 1},
                {"vocab_size", std::max<int64_t>(vocabularySize, 49408)}};
    }
    return {{"architectures", {"CLIPTextModelWithProjection"}},
            {"hidden_act", "gelu"},
            {"hidden_size", 24},
            {"intermediate_size", 48},
            {"max_position_embeddings", 77},
            {"num_attention_heads", 4},
            {"num_hidden_layers", 2},
            {"projection_dim", 24},
            {"eos_token_id", endTokenId},
            {"vocab_size", vocabularySize}};
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
    const std::string textWeights = full ? "model.fp16.safetensors" : "model.safetensors";
    writeNetwork(directory / "TextEncoder.model", clipConfig(full, vocabularySize, endTokenId),
                 textWeights, dtype, noise, report);
    if (options.sdxl) {
        writeNetwork(directory / "TextEncoder2.model",
                     clipXLConfig(full, vocabularySize, endTokenId), textWeights, dtype, noise,
                     report);
    }
    const std::string weights =
        full ? "diffusion_pytorch_model.fp16.safetensors" : "diffusion_pytorch_model.safetensors";
    writeNetwork(directory / "Unet.model",
                 options.sdxl ? unetXLConfig(full, false) : unetConfig(full), weights, dtype, noise,
                 report);
    if (options.sdxl && options.refiner) {
        writeNetwork(directory / "UnetRefiner.model", unetXLConfig(full, true), weights, dtype,
                     noise, report);
    }
    const nlohmann::json vae = options.sdxl ? vaeXLConfig(full) : vaeConfig(full);
    writeNetwork(directory / "VAEDecoder.model", vae, weights, dtype, noise, report);
    if (options.imageEncoder) {
        writeNetwork(directory / "VAEEncoder.model", vae, weights, dtype, noise, report);
    }
    writeFileAtomically(directory / ".complete", "");
}

} // namespace dravelin
