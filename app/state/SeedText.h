#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace dravelin {

// A typed seed: optional surrounding spaces and tabs, an optional sign and
// decimal digits with a value from 0 to 4294967295 ("-" only for zero).
// Anything else gives nothing.
std::optional<uint32_t> parseSeed(const QString& text);

} // namespace dravelin
