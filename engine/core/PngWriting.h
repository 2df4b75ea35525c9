#pragma once

#include "core/Image.h"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace dravelin {

// Writes an image as an 8-bit PNG with optional text chunks (keyword, text).
// The file appears whole or not at all: it is written beside its destination
// and renamed into place. Throws std::runtime_error with a sentence that names
// the file and why it could not be written (a name too long for the file
// system, a missing or read-only folder, a full disk).
void writePng(const std::filesystem::path& path, const Image& image,
              const std::vector<std::pair<std::string, std::string>>& text = {});

} // namespace dravelin
