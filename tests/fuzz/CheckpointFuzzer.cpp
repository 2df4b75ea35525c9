// A single-file checkpoint as a user hands it over: its kind told from the
// header, then every network it holds read, and every weight of each mapped
// and converted as a load would.
#include "FuzzInput.h"
#include "runtime/Checkpoint.h"
#include "runtime/CheckpointBundle.h"
#include "runtime/NetworkRegistry.h"
#include "runtime/RuntimeErrors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dravelin;
    const auto file = fuzz::scratchDirectory() / "model.safetensors";
    fuzz::writeFile(file, {reinterpret_cast<const char*>(data), size});
    try {
        inspectCheckpoint(file);
    } catch (const CheckpointError&) {
        return 0;
    }
    for (const CheckpointPart part :
         {CheckpointPart::textEncoder, CheckpointPart::textEncoder2, CheckpointPart::unet,
          CheckpointPart::vaeDecoder, CheckpointPart::vaeEncoder, CheckpointPart::vaeDecoderXL}) {
        try {
            const CheckpointBundle bundle = readCheckpointPart({file, part});
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
