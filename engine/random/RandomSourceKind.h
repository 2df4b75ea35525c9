#pragma once

#include <array>
#include <string_view>

namespace dravelin {

// Which generator's sequence the seeded noise reproduces.
enum class StableDiffusionRNG { numpyRNG, torchRNG, nvidiaRNG };

// The generators by the names the command line and settings files use.
struct RandomSourceName {
    StableDiffusionRNG kind;
    std::string_view name;
};
inline constexpr std::array<RandomSourceName, 3> kRandomSourceNames{{
    {StableDiffusionRNG::numpyRNG, "numpy"},
    {StableDiffusionRNG::torchRNG, "torch"},
    {StableDiffusionRNG::nvidiaRNG, "nvidia"},
}};

} // namespace dravelin
