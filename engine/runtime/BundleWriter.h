#pragma once

#include "core/ShapedArray.h"
#include "runtime/Safetensors.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace dravelin {

// One tensor to write: its name, element type, shape and little-endian bytes.
struct TensorToWrite {
    std::string name;
    DType dtype;
    Shape shape;
    std::vector<uint8_t> bytes;

    // Floats stored as F32, F16 or BF16 (rounded to nearest even).
    static TensorToWrite fromFloats(std::string name, const ShapedArray& values,
                                    DType dtype = DType::F32);
    // 64-bit integers, such as a position-id buffer.
    static TensorToWrite fromInt64(std::string name, const std::vector<int64_t>& values,
                                   Shape shape);
};

// Writes a safetensors file. The file appears complete or not at all: it is
// written beside its destination and renamed into place. Throws
// std::runtime_error naming the file on failure.
void writeSafetensors(const std::filesystem::path& path, const std::vector<TensorToWrite>& tensors,
                      const std::map<std::string, std::string>& metadata = {});

// Writes a model bundle directory: config.json, one weight file and, when
// given, bundle.json. Creates the directory if needed.
void writeBundle(const std::filesystem::path& directory, const nlohmann::json& config,
                 const std::vector<TensorToWrite>& weights,
                 const std::optional<nlohmann::json>& bundleJson = std::nullopt,
                 const std::string& weightFileName = "model.safetensors");

// Writes text to a file atomically, as above.
void writeFileAtomically(const std::filesystem::path& path, const std::string& contents);

} // namespace dravelin
