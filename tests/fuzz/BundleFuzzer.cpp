// A whole model bundle described as a pipeline checks it before a run: input
// is config.json, a NUL, bundle.json (absent when empty), a NUL, then one
// weight file. The bundle is read from memory, so no input touches a file.
#include "FuzzInput.h"
#include "runtime/BundleContents.h"
#include "runtime/RuntimeErrors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dravelin;
    const auto parts = fuzz::splitInput(data, size, 3);
    BundleContents contents;
    contents.directory = "Unet.model";
    contents.config = parts[0];
    if (!parts[1].empty()) {
        contents.overrides = parts[1];
    }
    contents.weightFiles.push_back(
        {reinterpret_cast<const uint8_t*>(parts[2].data()), parts[2].size()});
    try {
        describeBundleContents(contents);
    } catch (const ModelLoadError&) {
    }
    return 0;
}
