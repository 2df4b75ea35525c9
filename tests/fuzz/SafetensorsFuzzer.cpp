// The safetensors reader on arbitrary bytes: header validation, then every
// floating-point tensor converted, as a load would.
#include "runtime/Safetensors.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        const dravelin::SafetensorsFile file =
            dravelin::SafetensorsFile::fromBytes({data, size}, "fuzz.safetensors");
        for (const auto& [name, tensor] : file.tensors()) {
            if (dravelin::isConvertibleToFloat(tensor.dtype)) {
                std::vector<float> values(static_cast<size_t>(tensor.elementCount()));
                dravelin::convertToFloat32(tensor, values);
            }
        }
    } catch (const dravelin::SafetensorsError&) {
    }
    return 0;
}
