// A PNG's "parameters" text as a dropped image or --from-png hands it over:
// parsed, and what parsed written out again and read back: a crash, a
// sanitizer report or settings that read back otherwise are findings.
#include "pipeline/GenerationParameters.h"

#include <cstdlib>
#include <stdexcept>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dravelin;
    try {
        const GenerationParameters read = parseGenerationParameters(
            std::string_view(reinterpret_cast<const char*>(data), size));
        if (parseGenerationParameters(writeGenerationParameters(read)) != read) {
            std::abort();
        }
    } catch (const ParametersError&) {
    } catch (const std::invalid_argument&) {
        // A LoRA name or hash the prompt tag syntax cannot carry.
    }
    return 0;
}
