// A PNG's "parameters" text as a dropped image or --from-png hands it over:
// parsed, and what parsed written out again and read back, which must give
// the same settings (the writer's promise to the reader).
#include "pipeline/GenerationParameters.h"

#include <cstdlib>
#include <stdexcept>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dravelin;
    GenerationParameters read;
    try {
        read = parseGenerationParameters(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const ParametersError&) {
        return 0;
    }
    std::string written;
    try {
        written = writeGenerationParameters(read);
    } catch (const std::invalid_argument&) {
        // A LoRA name or hash the prompt tag syntax cannot carry.
        return 0;
    }
    try {
        const GenerationParameters again = parseGenerationParameters(written);
        if (writeGenerationParameters(again) != written) {
            std::abort();
        }
    } catch (const ParametersError&) {
        std::abort();
    }
    return 0;
}
