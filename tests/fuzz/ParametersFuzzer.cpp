// A PNG's "parameters" text as a dropped image or --from-png hands it over:
// parsed, and what parsed written out again and read back. Only a crash or a
// sanitizer report is a finding: a prompt holding an unclosed "<lora:" before
// its tags is written to a text that reads back otherwise (a known limit).
#include "pipeline/GenerationParameters.h"

#include <stdexcept>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dravelin;
    try {
        const GenerationParameters read = parseGenerationParameters(
            std::string_view(reinterpret_cast<const char*>(data), size));
        parseGenerationParameters(writeGenerationParameters(read));
    } catch (const ParametersError&) {
    } catch (const std::invalid_argument&) {
        // A LoRA name or hash the prompt tag syntax cannot carry.
    }
    return 0;
}
