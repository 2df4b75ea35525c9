#pragma once

#include "core/ShapedArray.h"

#include <cstdint>
#include <functional>

namespace dravelin {

// Runs a fixed-size image network (the VAE's decoder or encoder) on an input
// larger than the size it was built for: `run` is applied to overlapping
// tiles of `input` ([1, C, H, W]) of tileHeight × tileWidth, and the tiles'
// outputs ([1, C', h, w], scaled by the same factor on both axes) are joined
// with linear weights across every overlap, so no seam shows. Tiles overlap
// by at least `overlap` input cells and start on multiples of the input
// cells that one output cell covers. Each tile is evaluated on its own, so
// memory stays that of one tile.
//
// Throws std::invalid_argument when the input is smaller than a tile or the
// outputs do not scale evenly.
ShapedArray evaluateInTiles(const ShapedArray& input, int64_t tileHeight, int64_t tileWidth,
                            int64_t overlap,
                            const std::function<ShapedArray(const ShapedArray&)>& run);

} // namespace dravelin
