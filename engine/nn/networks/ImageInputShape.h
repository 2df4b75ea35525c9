#pragma once

#include "runtime/ModelDescription.h"

#include <cstdint>
#include <string>

namespace dravelin {

// The [batch, channels, height, width] shape in force for an image-like
// input of a network, with the channel count its configuration fixes. The
// batch and sides are bounded before any layer is sized by them, so a
// bundle.json cannot ask for maps no machine could hold.
Shape imageInputShape(const ModelDescription& description, const std::string& input,
                      int64_t channels, int64_t maximumSide);

} // namespace dravelin
