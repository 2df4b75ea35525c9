#pragma once

#include "runtime/ModelDescription.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace dravelin {

// A bundle's files held in memory instead of in a directory, so that many
// bundles can be checked without writing any file. The bytes must outlive
// whatever is read from them.
struct BundleContents {
    // Names the bundle in messages, as its directory would.
    std::filesystem::path directory;
    std::string_view config;
    // bundle.json's text; absent when the bundle has none.
    std::optional<std::string_view> overrides;
    // The weight files' bytes, in name order.
    std::vector<std::span<const uint8_t>> weightFiles;
};

// What Model::describeBundle gives for the same files in a directory, with
// the same checks and messages (the weight files are named model-1.safetensors
// and on, after their order). Throws ModelLoadError.
ModelDescription describeBundleContents(const BundleContents& contents);

} // namespace dravelin
