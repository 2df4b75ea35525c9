#include "pipeline/LoraFit.h"

#include "runtime/Model.h"

#include <array>

namespace dravelin {

void checkLorasFit(const std::filesystem::path& modelDirectory,
                   const std::vector<LoraFile>& loras) {
    // The networks a LoRA file changes; the chunked and refiner denoising
    // networks take the same layers as Unet.model or none.
    static constexpr std::array<const char*, 3> kBundles{"Unet.model", "TextEncoder.model",
                                                         "TextEncoder2.model"};
    for (const LoraFile& lora : loras) {
        const std::string name = lora.path.stem().string();
        size_t changed = 0;
        for (const char* bundle : kBundles) {
            const std::filesystem::path directory = modelDirectory / bundle;
            std::error_code error;
            if (!std::filesystem::is_directory(directory, error)) {
                continue;
            }
            try {
                changed += Model::weightsChangedByLoras(directory, {lora}).size();
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
