// A single-file checkpoint as a user hands it over: its kind told from the
// header, then one network it holds read, and every weight of it mapped and
// converted as a load would. Read from memory: no input touches a file.
//
// Which network is read follows the input's last byte: in a well-formed file
// that is tensor data, so a mutation there moves a valid checkpoint on to
// another network without breaking it. Reading all of them per input parsed
// the same header seven times, which held the target to a few hundred inputs
// a second.
#include "runtime/Checkpoint.h"
#include "runtime/CheckpointBundle.h"
#include "runtime/NetworkRegistry.h"
#include "runtime/RuntimeErrors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dravelin;
    if (size == 0) {
        return 0;
    }
    const std::span<const uint8_t> bytes(data, size);
    const std::filesystem::path label = "model.safetensors";
    try {
        inspectCheckpoint(bytes, label);
    } catch (const CheckpointError&) {
        return 0;
    }
    constexpr CheckpointPart parts[] = {
        CheckpointPart::textEncoder,  CheckpointPart::textEncoder2, CheckpointPart::unet,
        CheckpointPart::vaeDecoder,   CheckpointPart::vaeEncoder,   CheckpointPart::vaeDecoderXL,
        CheckpointPart::vaeEncoderXL};
    const CheckpointPart part = parts[data[size - 1] % std::size(parts)];
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
    return 0;
}
