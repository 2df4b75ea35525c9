#include "pipeline/LoraFit.h"

#include "runtime/Checkpoint.h"
#include "runtime/Model.h"

#include <array>

namespace dravelin {

namespace {

// The networks a LoRA file changes, as bundle paths: a directory's bundles or
// a checkpoint's parts. The chunked and refiner denoising networks take the
// same layers as the denoising network or none.
std::vector<std::filesystem::path> loraTargets(const std::filesystem::path& model) {
    std::error_code error;
    if (std::filesystem::is_regular_file(model, error)) {
        std::vector<std::filesystem::path> parts;
        for (const CheckpointPart part :
             {CheckpointPart::unet, CheckpointPart::textEncoder, CheckpointPart::textEncoder2}) {
            parts.push_back(checkpointPartPath(model, part));
        }
        return parts;
    }
    static constexpr std::array<const char*, 3> kBundles{"Unet.model", "TextEncoder.model",
                                                         "TextEncoder2.model"};
    std::vector<std::filesystem::path> bundles;
    for (const char* bundle : kBundles) {
        bundles.push_back(model / bundle);
    }
    return bundles;
}

} // namespace

void checkLorasFit(const std::filesystem::path& model, const std::vector<LoraFile>& loras) {
    const std::vector<std::filesystem::path> targets = loraTargets(model);
    for (const LoraFile& lora : loras) {
        const std::string name = lora.path.stem().string();
        size_t changed = 0;
        for (const std::filesystem::path& target : targets) {
            if (!bundleExists(target)) {
                continue;
            }
            try {
                changed += Model::weightsChangedByLoras(target, {lora}).size();
            } catch (const std::exception& cause) {
                throw LoraFitError("The LoRA \"" + name + "\" does not fit this model: " +
                                   cause.what());
            }
        }
        if (changed == 0) {
            throw LoraFitError("The LoRA \"" + name +
                               "\" changes no layer of this model; it was made for another kind "
                               "of model.");
        }
    }
}

} // namespace dravelin
