// A single-file checkpoint as a user hands it over: its kind told from the
// header, then every network it holds read, and every weight of each mapped
// and converted as a load would. Read from memory: no input touches a file.
#include "runtime/Checkpoint.h"
#include "runtime/CheckpointBundle.h"
#include "runtime/NetworkRegistry.h"
#include "runtime/RuntimeErrors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dravelin;
    const std::span<const uint8_t> bytes(data, size);
    const std::filesystem::path label = "model.safetensors";
    try {
        inspectCheckpoint(bytes, label);
    } catch (const CheckpointError&) {
        return 0;
    }
    for (const CheckpointPart part :
         {CheckpointPart::textEncoder, CheckpointPart::textEncoder2, CheckpointPart::unet,
          CheckpointPart::vaeDecoder, CheckpointPart::vaeEncoder, CheckpointPart::vaeDecoderXL}) {
        try {
            const CheckpointBundle bundle = readCheckpointPart(bytes, label, part);
            const auto kind = NetworkRegistry::shared().find(bundle.kindName);
            bundle.weights.check(kind->expectedWeights(bundle.config));
            for (const WeightSpec& spec : kind->expectedWeights(bundle.config)) {
                bundle.weights.load(spec.name);
            }
        } catch (const CheckpointError&) {
        } catch (const SafetensorsError&) {
        }
    }
    return 0;
}
