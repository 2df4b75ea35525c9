#include "runtime/LoraWeights.h"

#include "runtime/LoraOriginalNames.h"
#include "runtime/MatrixProduct.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace dravelin {

namespace {

enum class Half { down, up, alpha };

// One tensor name of a LoRA file, taken apart.
struct LayerTensor {
    LoraTarget target;
    bool kohyaNames; // module path with "_" for "."
    std::string layer;
    Half half;
};

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::optional<LayerTensor> parseName(const std::string& name) {
    struct Prefix {
        std::string_view text;
        LoraTarget target;
        bool kohyaNames;
    };
    static constexpr std::array<Prefix, 7> kPrefixes{{
        {"lora_unet_", LoraTarget::denoisingNetwork, true},
        {"lora_te_", LoraTarget::textEncoder, true},
        {"lora_te1_", LoraTarget::textEncoder, true},
        {"lora_te2_", LoraTarget::textEncoder2, true},
        {"unet.", LoraTarget::denoisingNetwork, false},
        {"text_encoder.", LoraTarget::textEncoder, false},
        {"text_encoder_2.", LoraTarget::textEncoder2, false},
    }};
    struct Suffix {
        std::string_view text;
        Half half;
        bool kohyaNames;
    };
    static constexpr std::array<Suffix, 9> kSuffixes{{
        {".lora_down.weight", Half::down, true},
        {".lora_up.weight", Half::up, true},
        {".alpha", Half::alpha, true},
        {".lora_A.weight", Half::down, false},
        {".lora_B.weight", Half::up, false},
        {".lora.down.weight", Half::down, false},
        {".lora.up.weight", Half::up, false},
        {".lora_linear_layer.down.weight", Half::down, false},
        {".lora_linear_layer.up.weight", Half::up, false},
    }};
    for (const Prefix& prefix : kPrefixes) {
        if (!startsWith(name, prefix.text)) {
            continue;
        }
        for (const Suffix& suffix : kSuffixes) {
            const bool alphaOfEither = suffix.half == Half::alpha;
            if ((suffix.kohyaNames != prefix.kohyaNames && !alphaOfEither) ||
                !endsWith(name, suffix.text) ||
                name.size() <= prefix.text.size() + suffix.text.size()) {
                continue;
            }
            const size_t length = name.size() - prefix.text.size() - suffix.text.size();
            return LayerTensor{prefix.target, prefix.kohyaNames,
                               name.substr(prefix.text.size(), length), suffix.half};
        }
    }
    return std::nullopt;
}

std::string networkName(LoraTarget target) {
    switch (target) {
    case LoraTarget::denoisingNetwork: return "denoising network";
    case LoraTarget::textEncoder: return "text encoder";
    case LoraTarget::textEncoder2: return "second text encoder";
    }
    return "network";
}

struct Layer {
    const TensorView* down = nullptr;
    const TensorView* up = nullptr;
    const TensorView* alpha = nullptr;
};

int64_t productOfDimensionsAfterFirst(const Shape& shape) {
    int64_t product = 1;
    for (size_t i = 1; i < shape.size(); ++i) {
        product *= shape[i];
    }
    return product;
}

float floatValueOf(const TensorView& tensor, const std::string& file) {
    if (tensor.elementCount() != 1 || !isConvertibleToFloat(tensor.dtype)) {
        throw LoraError("The LoRA file \"" + file + "\" has an alpha \"" + tensor.name +
                        "\" that is not one number.");
    }
    float value = 0.0f;
    convertToFloat32(tensor, std::span<float>(&value, 1));
    return value;
}

} // namespace

std::optional<LoraTarget> loraTargetOfKind(const std::string& kindName) {
    if (kindName == "UNet2DConditionModel") {
        return LoraTarget::denoisingNetwork;
    }
    if (kindName == "CLIPTextModel") {
        return LoraTarget::textEncoder;
    }
    if (kindName == "CLIPTextModelWithProjection") {
        return LoraTarget::textEncoder2;
    }
    return std::nullopt;
}

std::shared_ptr<const LoraWeights> LoraWeights::read(const std::vector<LoraFile>& files,
                                                     LoraTarget target,
                                                     const std::vector<WeightSpec>& weights) {
    // Layer names of both layouts → the weight they change.
    std::map<std::string, const WeightSpec*> byPath;
    std::map<std::string, const WeightSpec*> byKohyaPath;
    for (const WeightSpec& spec : weights) {
        if (!endsWith(spec.name, ".weight") || (spec.shape.size() != 2 && spec.shape.size() != 4)) {
            continue;
        }
        std::string path = spec.name.substr(0, spec.name.size() - 7);
        byPath.emplace(path, &spec);
        std::replace(path.begin(), path.end(), '.', '_');
        byKohyaPath.emplace(path, &spec);
    }

    auto lora = std::make_shared<LoraWeights>();
    for (const LoraFile& file : files) {
        const std::string fileName = file.path.filename().string();
        try {
            lora->files_.push_back(std::make_unique<SafetensorsFile>(file.path));
        } catch (const std::exception& cause) {
            throw LoraError("The LoRA file \"" + file.path.string() +
                            "\" cannot be read: " + cause.what());
        }
        std::map<std::string, Layer> layers;
        for (const auto& [name, view] : lora->files_.back()->tensors()) {
            const std::optional<LayerTensor> parsed = parseName(name);
            if (!parsed) {
                throw LoraError("The LoRA file \"" + fileName + "\" holds \"" + name +
                                "\", which names no layer of a text encoder or denoising "
                                "network.");
            }
            if (parsed->target != target) {
                continue;
            }
            auto& names = parsed->kohyaNames ? byKohyaPath : byPath;
            auto found = names.find(parsed->layer);
            if (found == names.end() && parsed->kohyaNames &&
                target == LoraTarget::denoisingNetwork) {
                if (const auto ours = loraLayerFromOriginalName(parsed->layer, weights)) {
                    found = names.find(*ours);
                }
            }
            if (found == names.end()) {
                throw LoraError("The LoRA file \"" + fileName + "\" changes the layer \"" + name +
                                "\", which this " + networkName(target) + " does not have.");
            }
            if (!isConvertibleToFloat(view.dtype)) {
                throw LoraError("The LoRA file \"" + fileName + "\" holds \"" + name + "\" as " +
                                std::string(dtypeName(view.dtype)) +
                                " values, not F16, BF16 or F32.");
            }
            Layer& layer = layers[found->second->name];
            (parsed->half == Half::down ? layer.down
             : parsed->half == Half::up ? layer.up
                                        : layer.alpha) = &view;
        }
        for (const auto& [weightName, layer] : layers) {
            // A named capture: a structured binding cannot be captured in C++20.
            const Shape& shape =
                std::find_if(weights.begin(), weights.end(),
                             [&name = weightName](const auto& s) { return s.name == name; })
                    ->shape;
            const std::string where =
                "The LoRA file \"" + fileName + "\" for the weight \"" + weightName + "\"";
            if (layer.down == nullptr || layer.up == nullptr) {
                throw LoraError(where + " lacks its " + (layer.down ? "up" : "down") +
                                " projection.");
            }
            const Shape& down = layer.down->shape;
            const Shape& up = layer.up->shape;
            const bool fits =
                (down.size() == 2 || down.size() == 4) && (up.size() == 2 || up.size() == 4) &&
                down[0] > 0 && up[0] == shape[0] && productOfDimensionsAfterFirst(up) == down[0] &&
                productOfDimensionsAfterFirst(down) == productOfDimensionsAfterFirst(shape);
            if (!fits) {
                throw LoraError(where + " has projections of shapes " + describe(down) + " and " +
                                describe(up) + ", which do not make one of shape " +
                                describe(shape) + ".");
            }
            const float rank = static_cast<float>(down[0]);
            const float alpha = layer.alpha ? floatValueOf(*layer.alpha, fileName) : rank;
            lora->updates_[weightName].push_back({layer.down, layer.up, file.scale * alpha / rank});
        }
    }
    return lora;
}

std::vector<std::string> LoraWeights::changedWeights() const {
    std::vector<std::string> names;
    for (const auto& entry : updates_) {
        names.push_back(entry.first);
    }
    return names;
}

void LoraWeights::apply(const std::string& name, ShapedArray& weight) const {
    auto found = updates_.find(name);
    if (found == updates_.end()) {
        return;
    }
    const int64_t rows = weight.shape().at(0);
    const int64_t columns = weight.count() / rows;
    for (const Update& update : found->second) {
        const ShapedArray down = toShapedArray(*update.down);
        const ShapedArray up = toShapedArray(*update.up);
        const int64_t rank = down.shape()[0];
        // weight[rows × columns] += factor × up[rows × rank] · down[rank × columns]
        try {
            multiplyMatrices('N', rows, columns, rank, up.data(), rank, down.data(), columns, 1.0f,
                             weight.data(), columns, update.factor);
        } catch (const std::runtime_error& failure) {
            throw std::runtime_error(std::string("While merging LoRA weights into ") + name +
                                     ": " + failure.what());
        }
    }
}

} // namespace dravelin
