#pragma once

#include "runtime/BundleContents.h"
#include "runtime/ModelDescription.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace dravelin {

// What a model bundle directory holds, read but not yet built: the network's
// config.json, the optional bundle.json overrides, and its weight files.
struct Bundle {
    std::filesystem::path directory;
    nlohmann::json config;
    // From bundle.json: the network kind to build instead of the inferred one,
    // and fixed input shapes that replace the configuration's.
    std::optional<std::string> kind;
    std::vector<FeatureDescription> inputShapes;
    // Every *.safetensors file, in name order.
    std::vector<std::filesystem::path> weightFiles;

    // The directory's own name, "TextEncoder.model" say.
    std::string directoryName() const;

    // Throws ModelLoadError naming the bundle and the file at fault.
    static Bundle read(const std::filesystem::path& directory);
    // The same from contents in memory; the weight files are left to the
    // caller (weightFiles stays empty).
    static Bundle fromContents(const BundleContents& contents);
};

} // namespace dravelin
