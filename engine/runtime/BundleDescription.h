#pragma once

#include "runtime/ModelDescription.h"

#include <filesystem>

namespace dravelin {

// The inputs and outputs a bundle's model will have, with bundle.json's
// shapes in force, read without building the network or touching its
// weights: a shape query on a model not loaded costs no memory. Throws
// ModelLoadError as loading the bundle would for its config.
ModelDescription describeBundle(const std::filesystem::path& bundleDirectory);

} // namespace dravelin
