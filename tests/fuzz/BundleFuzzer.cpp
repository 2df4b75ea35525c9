// A whole model bundle described as a pipeline checks it before a run: input
// is config.json, a NUL, bundle.json (absent when empty), a NUL, then one
// weight file.
#include "FuzzInput.h"
#include "runtime/Model.h"
#include "runtime/RuntimeErrors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dravelin;
    const auto parts = fuzz::splitInput(data, size, 3);
    const auto bundle = fuzz::scratchDirectory() / "Unet.model";
    std::filesystem::create_directories(bundle);
    fuzz::writeFile(bundle / "config.json", parts[0]);
    std::error_code ignored;
    if (parts[1].empty()) {
        std::filesystem::remove(bundle / "bundle.json", ignored);
    } else {
        fuzz::writeFile(bundle / "bundle.json", parts[1]);
    }
    fuzz::writeFile(bundle / "model.safetensors", parts[2]);
    try {
        Model::describeBundle(bundle);
    } catch (const ModelLoadError&) {
    }
    return 0;
}
