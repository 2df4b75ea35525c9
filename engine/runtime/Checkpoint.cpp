#include "runtime/Checkpoint.h"

#include "core/TextExcerpt.h"
#include "runtime/CheckpointBundle.h"
#include "runtime/CheckpointLayout.h"
#include "runtime/NetworkRegistry.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <span>

namespace dravelin {

namespace {

constexpr std::array<std::pair<CheckpointPart, std::string_view>, 7> kPartNames{{
    {CheckpointPart::textEncoder, "TextEncoder.model"},
    {CheckpointPart::textEncoder2, "TextEncoder2.model"},
    {CheckpointPart::unet, "Unet.model"},
    {CheckpointPart::vaeDecoder, "VAEDecoder.model"},
    {CheckpointPart::vaeEncoder, "VAEEncoder.model"},
    {CheckpointPart::vaeDecoderXL, "VAEDecoderXL.model"},
    {CheckpointPart::vaeEncoderXL, "VAEEncoderXL.model"},
}};

bool isEncoder(CheckpointPart part) {
    return part == CheckpointPart::vaeEncoder || part == CheckpointPart::vaeEncoderXL;
}

bool isDecoder(CheckpointPart part) {
    return part == CheckpointPart::vaeDecoder || part == CheckpointPart::vaeDecoderXL;
}

std::string quoted(const std::filesystem::path& file) {
    std::string text(1, '"');
    text += excerpt(file.filename().string(), 120);
    text += '"';
    return text;
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

const char* const kConversion =
    "convert it to .safetensors first with a tool you trust (for example the "
    "\"convert to safetensors\" script of the site or program it came from), or download the "
    ".safetensors version of the model";

// Pickled checkpoints are refused by name and by their first bytes (a zip
// archive or a pickle stream), before anything else reads them.
void refusePickles(const std::filesystem::path& file, std::span<const uint8_t> head) {
    static const std::set<std::string> pickled{".ckpt", ".pt", ".pth", ".bin", ".pkl", ".pickle"};
    const std::string extension = lowerCase(file.extension().string());
    const bool zip =
        head.size() >= 4 && head[0] == 'P' && head[1] == 'K' && head[2] == 3 && head[3] == 4;
    const bool pickle = head.size() >= 2 && head[0] == 0x80 && head[1] >= 2 && head[1] <= 5;
    if (pickled.count(extension) != 0 || zip || pickle) {
        throw CheckpointError("The file " + quoted(file) +
                              " is a pickled PyTorch checkpoint, which can run any program on "
                              "this computer when opened, so Dravelin does not open it: " +
                              kConversion + ".");
    }
}

struct OpenedCheckpoint {
    std::shared_ptr<const SafetensorsFile> file;
    CheckpointLayout layout;
};

// The safetensors contents `open` gives (of the file or of bytes), with
// their layout.
template <typename Open>
OpenedCheckpoint openedCheckpoint(const std::filesystem::path& file, Open&& open) {
    const std::string where = "The file " + quoted(file);
    OpenedCheckpoint opened;
    try {
        opened.file = std::make_shared<const SafetensorsFile>(open());
    } catch (const SafetensorsError& cause) {
        throw CheckpointError(std::string(cause.what()));
    } catch (const std::exception& cause) {
        throw CheckpointError(where + " cannot be read: " + cause.what());
    }
    opened.layout = readCheckpointLayout(*opened.file, where);
    return opened;
}

OpenedCheckpoint openCheckpoint(const std::filesystem::path& file) {
    const std::string where = "The file " + quoted(file);
    std::error_code error;
    const auto status = std::filesystem::status(file, error);
    if (error || !std::filesystem::exists(status)) {
        throw CheckpointError(where + " does not exist.");
    }
    if (!std::filesystem::is_regular_file(status)) {
        throw CheckpointError(where + " is not a regular file.");
    }
    std::array<uint8_t, 4> head{};
    std::ifstream stream(file, std::ios::binary);
    stream.read(reinterpret_cast<char*>(head.data()), head.size());
    refusePickles(file, std::span<const uint8_t>(head).first(static_cast<size_t>(stream.gcount())));
    return openedCheckpoint(file, [&] { return SafetensorsFile(file); });
}

OpenedCheckpoint openCheckpoint(std::span<const uint8_t> bytes,
                                const std::filesystem::path& label) {
    refusePickles(label, bytes.first(std::min<size_t>(bytes.size(), 4)));
    return openedCheckpoint(label,
                            [&] { return SafetensorsFile::fromBytes(bytes, label.string()); });
}

const std::optional<CheckpointNetwork>& networkOf(const CheckpointLayout& layout,
                                                  CheckpointPart part) {
    switch (part) {
    case CheckpointPart::textEncoder:
        return layout.textEncoder;
    case CheckpointPart::textEncoder2:
        return layout.textEncoder2;
    case CheckpointPart::unet:
        return layout.unet;
    case CheckpointPart::vaeDecoder:
    case CheckpointPart::vaeEncoder:
    case CheckpointPart::vaeDecoderXL:
    case CheckpointPart::vaeEncoderXL:
        return layout.vae;
    }
    return layout.unet;
}

bool hasPart(const CheckpointLayout& layout, const SafetensorsFile& file, CheckpointPart part) {
    const auto& network = networkOf(layout, part);
    if (!network) {
        return false;
    }
    if (isEncoder(part)) {
        return file.contains(network->prefix + "encoder.conv_in.weight");
    }
    if (isDecoder(part)) {
        return file.contains(network->prefix + "decoder.conv_in.weight");
    }
    return true;
}

std::string_view partName(CheckpointPart part) {
    for (const auto& [known, name] : kPartNames) {
        if (known == part) {
            return name;
        }
    }
    return "Unet.model";
}

std::string_view partWords(CheckpointPart part) {
    switch (part) {
    case CheckpointPart::textEncoder:
        return "text encoder";
    case CheckpointPart::textEncoder2:
        return "second text encoder";
    case CheckpointPart::unet:
        return "denoising network";
    case CheckpointPart::vaeDecoder:
    case CheckpointPart::vaeDecoderXL:
        return "image decoder";
    case CheckpointPart::vaeEncoder:
    case CheckpointPart::vaeEncoderXL:
        return "image encoder";
    }
    return "network";
}

// Drops trailing dimensions of size 1 (a 1×1 convolution's kernel).
Shape withoutTrailingOnes(Shape shape) {
    while (shape.size() > 1 && shape.back() == 1) {
        shape.pop_back();
    }
    return shape;
}

std::string billions(int64_t count) {
    char text[32];
    if (count >= 1'000'000'000) {
        std::snprintf(text, sizeof text, "%.2f billion", static_cast<double>(count) / 1e9);
    } else {
        std::snprintf(text, sizeof text, "%.0f million", std::round(static_cast<double>(count) / 1e6));
    }
    return text;
}

} // namespace

std::string_view checkpointKindName(CheckpointKind kind) {
    switch (kind) {
    case CheckpointKind::sd1:
        return "SD 1.x";
    case CheckpointKind::sdxlBase:
        return "SDXL base";
    case CheckpointKind::sdxlRefiner:
        return "SDXL refiner";
    case CheckpointKind::vae:
        return "VAE";
    }
    return "SD 1.x";
}

static CheckpointDescription describeCheckpoint(const OpenedCheckpoint& opened,
                                                const std::filesystem::path& file) {
    const CheckpointLayout& layout = opened.layout;
    CheckpointDescription description;
    description.file = file;
    description.kind = layout.kind;
    description.fileBytes = opened.file->size();
    description.hasOwnVae = layout.vae.has_value();
    switch (layout.kind) {
    case CheckpointKind::sd1:
        description.imageSize = 512;
        description.latentScale = 0.18215f;
        break;
    case CheckpointKind::sdxlBase:
    case CheckpointKind::sdxlRefiner:
        description.imageSize = 1024;
        description.latentScale = 0.13025f;
        break;
    case CheckpointKind::vae:
        break;
    }
    std::vector<std::string> prefixes;
    for (const auto* network :
         {&layout.textEncoder, &layout.textEncoder2, &layout.unet, &layout.vae}) {
        if (*network) {
            prefixes.push_back((*network)->prefix);
        }
    }
    for (const auto& [name, tensor] : opened.file->tensors()) {
        const std::string& tensorName = name;
        const bool ours = std::any_of(prefixes.begin(), prefixes.end(), [&](const std::string& p) {
            return tensorName.compare(0, p.size(), p) == 0;
        });
        // An empty prefix (a VAE alone) takes every tensor but buffers.
        if (!ours || !isConvertibleToFloat(tensor.dtype) ||
            name.find("position_ids") != std::string::npos) {
            continue;
        }
        description.parameterCount += tensor.elementCount();
        description.elementTypes[std::string(dtypeName(tensor.dtype))] += 1;
    }
    std::string types;
    for (const auto& [type, count] : description.elementTypes) {
        if (!types.empty()) {
            types += ", ";
        }
        types += type;
    }
    description.summary = std::string(checkpointKindName(layout.kind)) +
                          (layout.kind == CheckpointKind::vae ? "" : " model") + ", " +
                          billions(description.parameterCount) + " parameters" +
                          (types.empty() ? "" : " (" + types + ")") +
                          (layout.kind != CheckpointKind::vae && !description.hasOwnVae
                               ? ", without its own VAE"
                               : "") +
                          ".";
    return description;
}

std::filesystem::path checkpointPartPath(const std::filesystem::path& file, CheckpointPart part) {
    return file / std::string(partName(part));
}

std::optional<CheckpointPartLocation> checkpointPartOf(const std::filesystem::path& path) {
    const std::filesystem::path trimmed = path.has_filename() ? path : path.parent_path();
    const std::string name = trimmed.filename().string();
    for (const auto& [part, partFile] : kPartNames) {
        if (name == partFile) {
            std::error_code error;
            const std::filesystem::path file = trimmed.parent_path();
            if (!file.empty() && std::filesystem::is_regular_file(file, error)) {
                return CheckpointPartLocation{file, part};
            }
        }
    }
    return std::nullopt;
}

bool bundleExists(const std::filesystem::path& bundleOrPart) {
    if (const auto location = checkpointPartOf(bundleOrPart)) {
        try {
            const OpenedCheckpoint opened = openCheckpoint(location->file);
            return hasPart(opened.layout, *opened.file, location->part);
        } catch (const std::exception&) {
            return false;
        }
    }
    std::error_code error;
    return std::filesystem::exists(bundleOrPart, error);
}

static CheckpointBundle readPart(const OpenedCheckpoint& opened,
                                 const CheckpointPartLocation& location) {
    const std::string where = "The file " + quoted(location.file);
    if (!hasPart(opened.layout, *opened.file, location.part)) {
        throw CheckpointError(where + " (" +
                              std::string(checkpointKindName(opened.layout.kind)) + ") has no " +
                              std::string(partWords(location.part)) + ".");
    }
    const CheckpointNetwork& network = *networkOf(opened.layout, location.part);
    CheckpointBundle bundle;
    bundle.config = network.config;
    bundle.kindName = isEncoder(location.part) ? "AutoencoderKL.encoder" : network.kindName;
    if (location.part == CheckpointPart::vaeDecoderXL ||
        location.part == CheckpointPart::vaeEncoderXL) {
        const auto levels = static_cast<int64_t>(bundle.config["block_out_channels"].size());
        bundle.config["sample_size"] = kXLLatentSide << (levels - 1);
        bundle.config["scaling_factor"] = kXLLatentScale;
    }
    const std::shared_ptr<const NetworkKind> kind = NetworkRegistry::shared().find(bundle.kindName);
    if (!kind) {
        throw CheckpointError(where + " holds a network of class \"" + bundle.kindName +
                              "\", which this runtime cannot build.");
    }
    std::vector<WeightSpec> expected;
    try {
        expected = kind->expectedWeights(bundle.config);
    } catch (const std::exception& cause) {
        throw CheckpointError(where + " has a " + std::string(partWords(location.part)) +
                              " whose shapes no model of its kind has: " + cause.what());
    }
    const SafetensorsFile& file = *opened.file;
    std::map<std::string, WeightFiles::LinkedTensor> linked;
    for (const WeightSpec& spec : expected) {
        std::optional<CheckpointTensorLink> link;
        std::string firstName;
        const TensorView* source = nullptr;
        std::vector<std::string> names{spec.name};
        names.insert(names.end(), spec.alternatives.begin(), spec.alternatives.end());
        for (const std::string& ours : names) {
            link = network.name(ours);
            if (!link) {
                continue;
            }
            if (firstName.empty()) {
                firstName = network.prefix + link->name;
            }
            if (file.contains(network.prefix + link->name)) {
                source = &file.tensor(network.prefix + link->name);
                break;
            }
        }
        if (source == nullptr) {
            throw CheckpointError(where + " lacks the tensor \"" +
                                  (firstName.empty() ? spec.name : firstName) + "\" of its " +
                                  std::string(partWords(location.part)) +
                                  "; it is incomplete or laid out in a way Dravelin does not know.");
        }
        const std::string tensorWhere = where + ", tensor \"" + excerpt(source->name) + "\",";
        if (!isConvertibleToFloat(source->dtype)) {
            throw CheckpointError(tensorWhere + " holds " + std::string(dtypeName(source->dtype)) +
                                  " values, not F16, BF16 or F32 weights.");
        }
        if (file.dataOffset(*source) % dtypeSize(source->dtype) != 0) {
            throw CheckpointError(tensorWhere + " is not aligned to its element size; the file "
                                                "is damaged.");
        }
        TensorView view = *source;
        if (link->slices > 1) {
            if (view.shape.empty() || view.shape[0] % link->slices != 0) {
                throw CheckpointError(tensorWhere + " of shape " + describe(view.shape) +
                                      " cannot be split into " + std::to_string(link->slices) +
                                      " projections.");
            }
            const int64_t rows = view.shape[0] / link->slices;
            const size_t rowBytes = view.bytes.size() / static_cast<size_t>(view.shape[0]);
            view.bytes = view.bytes.subspan(static_cast<size_t>(link->slice * rows) * rowBytes,
                                            static_cast<size_t>(rows) * rowBytes);
            view.shape[0] = rows;
        }
        if (link->transposed) {
            if (view.shape.size() != 2) {
                throw CheckpointError(tensorWhere + " has shape " + describe(view.shape) +
                                      ", not that of a projection matrix.");
            }
            std::swap(view.shape[0], view.shape[1]);
        }
        // The autoencoder's attention is stored as 1×1 convolutions: the
        // same numbers as our linear layers.
        if (view.shape != spec.shape && elementCount(view.shape) == elementCount(spec.shape) &&
            withoutTrailingOnes(view.shape) == withoutTrailingOnes(spec.shape)) {
            view.shape = spec.shape;
        }
        linked.emplace(spec.name, WeightFiles::LinkedTensor{std::move(view), link->transposed});
    }
    bundle.weights = WeightFiles(opened.file, std::move(linked));
    return bundle;
}

CheckpointDescription inspectCheckpoint(const std::filesystem::path& file) {
    return describeCheckpoint(openCheckpoint(file), file);
}

CheckpointDescription inspectCheckpoint(std::span<const uint8_t> bytes,
                                        const std::filesystem::path& label) {
    return describeCheckpoint(openCheckpoint(bytes, label), label);
}

CheckpointBundle readCheckpointPart(const CheckpointPartLocation& location) {
    return readPart(openCheckpoint(location.file), location);
}

CheckpointBundle readCheckpointPart(std::span<const uint8_t> bytes,
                                    const std::filesystem::path& label, CheckpointPart part) {
    return readPart(openCheckpoint(bytes, label), {label, part});
}

} // namespace dravelin
