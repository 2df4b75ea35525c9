// The configuration readers on arbitrary config.json text, parsed as a bundle
// is (nesting bounded first), then every network kind's description and
// weight list, which is what sizes memory before any weight is read.
#include "core/JsonNesting.h"
#include "runtime/NetworkRegistry.h"

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dravelin;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (jsonNestingDepth(text, kMaximumJsonNesting) > kMaximumJsonNesting) {
        return 0;
    }
    const nlohmann::json config = nlohmann::json::parse(text, nullptr, false);
    if (config.is_discarded()) {
        return 0;
    }
    for (const char* name :
         {"UNet2DConditionModel", "AutoencoderKL.decoder", "AutoencoderKL.encoder", "CLIPTextModel",
          "CLIPTextModelWithProjection"}) {
        const auto kind = NetworkRegistry::shared().find(name);
        if (!kind) {
            continue;
        }
        try {
            kind->describe(config);
            kind->expectedWeights(config);
        } catch (const std::invalid_argument&) {
        }
    }
    return 0;
}
