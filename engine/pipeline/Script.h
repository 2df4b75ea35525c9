#pragma once

#include <optional>
#include <string_view>

namespace dravelin {

// Writing system of a prompt, for a multilingual text-encoding path. The
// pipeline only stores it.
enum class Script { latin, cyrillic, cjk };

std::string_view rawValue(Script script);
// Exactly "latin", "cyrillic" or "cjk"; any other text gives nothing.
std::optional<Script> scriptFromRawValue(std::string_view rawValue);

} // namespace dravelin
