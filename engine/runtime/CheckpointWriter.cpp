#include "runtime/CheckpointWriter.h"

#include "runtime/Bundle.h"
#include "runtime/BundleWriter.h"
#include "runtime/CheckpointNames.h"
#include "runtime/WeightFiles.h"

#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>

namespace dravelin {

namespace {

using NameOf = std::function<std::optional<CheckpointTensorLink>(const std::string&)>;

// The tensors of one checkpoint being put together; fused projections are
// assembled from their slices.
class CheckpointTensors {
public:
    void add(const std::string& prefix, const std::filesystem::path& bundleDirectory,
             const NameOf& nameOf) {
        const Bundle bundle = Bundle::read(bundleDirectory);
        const WeightFiles weights(bundle.weightFiles);
        for (const SafetensorsFile& file : weights.files()) {
            for (const auto& [name, view] : file.tensors()) {
                const std::optional<CheckpointTensorLink> link = nameOf(name);
                if (!link) {
                    throw std::runtime_error("The weight \"" + name + "\" of \"" +
                                             bundleDirectory.string() +
                                             "\" has no place in a single-file checkpoint.");
                }
                add(prefix + link->name, view, *link);
            }
        }
    }

    std::vector<TensorToWrite> take() {
        std::vector<TensorToWrite> tensors;
        for (auto& [name, pieces] : fused_) {
            TensorToWrite tensor{name, pieces.dtype, pieces.shape, {}};
            for (size_t i = 0; i < pieces.slices.size(); ++i) {
                if (pieces.slices[i].empty()) {
                    throw std::runtime_error("The projection \"" + name + "\" lacks part " +
                                             std::to_string(i + 1) + ".");
                }
                tensor.bytes.insert(tensor.bytes.end(), pieces.slices[i].begin(),
                                    pieces.slices[i].end());
            }
            tensor.shape[0] *= static_cast<int64_t>(pieces.slices.size());
            tensors.push_back(std::move(tensor));
        }
        for (TensorToWrite& tensor : whole_) {
            tensors.push_back(std::move(tensor));
        }
        return tensors;
    }

private:
    struct Fused {
        DType dtype;
        Shape shape; // of one slice
        std::vector<std::vector<uint8_t>> slices;
    };

    void add(const std::string& name, const TensorView& view, const CheckpointTensorLink& link) {
        // The two halves of an autoencoder may both carry a shared tensor.
        if (!written_.insert(name + "#" + std::to_string(link.slice)).second) {
            return;
        }
        std::vector<uint8_t> bytes(view.bytes.begin(), view.bytes.end());
        Shape shape = view.shape;
        if (link.transposed) {
            if (shape.size() != 2) {
                throw std::runtime_error("The weight \"" + view.name + "\" is not a matrix.");
            }
            const size_t rows = static_cast<size_t>(shape[0]);
            const size_t columns = static_cast<size_t>(shape[1]);
            const size_t size = dtypeSize(view.dtype);
            for (size_t r = 0; r < rows; ++r) {
                for (size_t c = 0; c < columns; ++c) {
                    std::memcpy(bytes.data() + (c * rows + r) * size,
                                view.bytes.data() + (r * columns + c) * size, size);
                }
            }
            shape = {shape[1], shape[0]};
        }
        if (link.slices == 1) {
            whole_.push_back({name, view.dtype, shape, std::move(bytes)});
            return;
        }
        Fused& fused = fused_[name];
        if (fused.slices.empty()) {
            fused = {view.dtype, shape, std::vector<std::vector<uint8_t>>(link.slices)};
        }
        if (fused.dtype != view.dtype || fused.shape != shape) {
            throw std::runtime_error("The parts of the projection \"" + name +
                                     "\" differ in shape or element type.");
        }
        fused.slices[static_cast<size_t>(link.slice)] = std::move(bytes);
    }

    std::vector<TensorToWrite> whole_;
    std::map<std::string, Fused> fused_;
    std::set<std::string> written_;
};

UnetNameLayout unetLayout(const std::filesystem::path& bundleDirectory) {
    const Bundle bundle = Bundle::read(bundleDirectory);
    UnetNameLayout layout;
    layout.layersPerBlock = bundle.config.value("layers_per_block", int64_t{2});
    for (const auto& type : bundle.config.at("up_block_types")) {
        layout.upBlockAttention.push_back(type.get<std::string>().rfind("CrossAttn", 0) == 0);
    }
    return layout;
}

int64_t vaeLevels(const std::filesystem::path& bundleDirectory) {
    const Bundle bundle = Bundle::read(bundleDirectory);
    return static_cast<int64_t>(bundle.config.at("block_out_channels").size());
}

bool present(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

void addVae(CheckpointTensors& tensors, const std::filesystem::path& directory,
            const std::string& prefix) {
    const int64_t levels = vaeLevels(directory / "VAEDecoder.model");
    const NameOf name = [levels](const std::string& ours) { return vaeCheckpointName(ours, levels); };
    tensors.add(prefix, directory / "VAEDecoder.model", name);
    if (present(directory / "VAEEncoder.model")) {
        tensors.add(prefix, directory / "VAEEncoder.model", name);
    }
}

// transformers' CLIP names are kept, under "text_model." as in most files.
const NameOf kClipNames = [](const std::string& ours) {
    return std::optional<CheckpointTensorLink>(CheckpointTensorLink{ours});
};
const NameOf kOpenClipNames = [](const std::string& ours) { return openClipCheckpointName(ours); };

} // namespace

void writeCheckpoint(const std::filesystem::path& directory, const std::filesystem::path& file,
                     CheckpointContents contents) {
    CheckpointTensors tensors;
    const bool xl = present(directory / "TextEncoder2.model");
    switch (contents) {
    case CheckpointContents::model: {
        const UnetNameLayout layout = unetLayout(directory / "Unet.model");
        tensors.add("model.diffusion_model.", directory / "Unet.model",
                    [layout](const std::string& ours) { return unetCheckpointName(ours, layout); });
        if (xl) {
            tensors.add("conditioner.embedders.0.transformer.", directory / "TextEncoder.model",
                        kClipNames);
            tensors.add("conditioner.embedders.1.model.", directory / "TextEncoder2.model",
                        kOpenClipNames);
        } else {
            tensors.add("cond_stage_model.transformer.", directory / "TextEncoder.model",
                        kClipNames);
        }
        addVae(tensors, directory, "first_stage_model.");
        break;
    }
    case CheckpointContents::refiner: {
        if (!xl || !present(directory / "UnetRefiner.model")) {
            throw std::runtime_error("\"" + directory.string() +
                                     "\" is not an SDXL directory with a refiner.");
        }
        const UnetNameLayout layout = unetLayout(directory / "UnetRefiner.model");
        tensors.add("model.diffusion_model.", directory / "UnetRefiner.model",
                    [layout](const std::string& ours) { return unetCheckpointName(ours, layout); });
        tensors.add("conditioner.embedders.0.model.", directory / "TextEncoder2.model",
                    kOpenClipNames);
        addVae(tensors, directory, "first_stage_model.");
        break;
    }
    case CheckpointContents::vae:
        addVae(tensors, directory, "");
        break;
    }
    if (file.has_parent_path()) {
        std::filesystem::create_directories(file.parent_path());
    }
    writeSafetensors(file, tensors.take(), {{"format", "pt"}});
}

} // namespace dravelin
