#include "pipeline/TiledEvaluation.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace dravelin {

namespace {

// Tile starts along one axis: evenly spread from 0 to size − tile, on
// multiples of `granularity`, with at least `overlap` between neighbours.
std::vector<int64_t> tileStarts(int64_t size, int64_t tile, int64_t overlap, int64_t granularity) {
    if (size == tile) {
        return {0};
    }
    const int64_t stride = std::max<int64_t>(tile - overlap, granularity);
    const int64_t count = 1 + (size - tile + stride - 1) / stride;
    std::vector<int64_t> starts;
    for (int64_t k = 0; k < count; ++k) {
        const int64_t ideal = (size - tile) * k / (count - 1);
        starts.push_back(k + 1 == count ? size - tile : ideal / granularity * granularity);
    }
    return starts;
}

// Weights of one tile along one axis, in output cells: a linear ramp across
// the overlap with each neighbour, 1 elsewhere. Where two tiles overlap,
// their ramps add up to 1.
std::vector<float> axisWeights(const std::vector<int64_t>& starts, size_t index, int64_t length,
                               int64_t scale) {
    std::vector<float> weights(static_cast<size_t>(length), 1.0f);
    const int64_t begin = starts[index] * scale;
    const int64_t end = begin + length;
    if (index > 0) {
        const int64_t previousEnd = starts[index - 1] * scale + length;
        const int64_t shared = previousEnd - begin;
        for (int64_t i = 0; i < shared && i < length; ++i) {
            weights[static_cast<size_t>(i)] = std::min(
                weights[static_cast<size_t>(i)], (static_cast<float>(i) + 0.5f) / shared);
        }
    }
    if (index + 1 < starts.size()) {
        const int64_t nextBegin = starts[index + 1] * scale;
        const int64_t shared = end - nextBegin;
        for (int64_t i = 0; i < shared && i < length; ++i) {
            const size_t at = static_cast<size_t>(length - 1 - i);
            weights[at] = std::min(weights[at], (static_cast<float>(i) + 0.5f) / shared);
        }
    }
    return weights;
}

ShapedArray cropped(const ShapedArray& input, int64_t top, int64_t left, int64_t height,
                    int64_t width) {
    const Shape& shape = input.shape();
    ShapedArray tile(Shape{1, shape[1], height, width});
    for (int64_t c = 0; c < shape[1]; ++c) {
        for (int64_t y = 0; y < height; ++y) {
            const float* from = input.data() + (c * shape[2] + top + y) * shape[3] + left;
            std::copy(from, from + width, tile.data() + (c * height + y) * width);
        }
    }
    return tile;
}

} // namespace

ShapedArray evaluateInTiles(const ShapedArray& input, int64_t tileHeight, int64_t tileWidth,
                            int64_t overlap,
                            const std::function<ShapedArray(const ShapedArray&)>& run) {
    const Shape& shape = input.shape();
    if (shape.size() != 4 || shape[0] != 1 || tileHeight < 1 || tileWidth < 1 ||
        shape[2] < tileHeight || shape[3] < tileWidth) {
        throw std::invalid_argument("Cannot cover " + describe(shape) + " with tiles of " +
                                    std::to_string(tileHeight) + " × " +
                                    std::to_string(tileWidth) + ".");
    }
    // The first tile tells the output's scale.
    const ShapedArray first = run(cropped(input, 0, 0, tileHeight, tileWidth));
    const Shape& tileShape = first.shape();
    if (tileShape.size() != 4 || tileShape[0] != 1 || tileShape[2] < 1 || tileShape[3] < 1) {
        throw std::invalid_argument("A tile gave " + describe(tileShape) + ", not an image.");
    }
    // Whole output cells per input cell (up), or input cells per output cell
    // (down); the same on both axes.
    const bool up = tileShape[2] >= tileHeight;
    const int64_t factor = up ? tileShape[2] / tileHeight : tileHeight / tileShape[2];
    const bool even = up ? tileShape[2] == tileHeight * factor && tileShape[3] == tileWidth * factor
                         : tileHeight == tileShape[2] * factor && tileWidth == tileShape[3] * factor &&
                               shape[2] % factor == 0 && shape[3] % factor == 0;
    if (!even) {
        throw std::invalid_argument("Tiles of " + std::to_string(tileHeight) + " × " +
                                    std::to_string(tileWidth) + " give " + describe(tileShape) +
                                    ", which does not scale evenly.");
    }
    const int64_t granularity = up ? 1 : factor;
    const auto toOutput = [&](int64_t cells) { return up ? cells * factor : cells / factor; };
    const std::vector<int64_t> rows = tileStarts(shape[2], tileHeight, overlap, granularity);
    const std::vector<int64_t> columns = tileStarts(shape[3], tileWidth, overlap, granularity);

    const int64_t channels = tileShape[1];
    const int64_t outHeight = toOutput(shape[2]);
    const int64_t outWidth = toOutput(shape[3]);
    const int64_t th = tileShape[2];
    const int64_t tw = tileShape[3];
    std::vector<float> sum(static_cast<size_t>(channels * outHeight * outWidth), 0.0f);
    std::vector<float> weightSum(static_cast<size_t>(outHeight * outWidth), 0.0f);
    // Starts scale to output cells by multiplying (up) or dividing (down);
    // axisWeights works in output cells, so give it output starts.
    std::vector<int64_t> rowStarts;
    std::vector<int64_t> columnStarts;
    for (int64_t r : rows) {
        rowStarts.push_back(toOutput(r));
    }
    for (int64_t c : columns) {
        columnStarts.push_back(toOutput(c));
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::vector<float> wy = axisWeights(rowStarts, i, th, 1);
        for (size_t j = 0; j < columns.size(); ++j) {
            const std::vector<float> wx = axisWeights(columnStarts, j, tw, 1);
            const ShapedArray result =
                i == 0 && j == 0 ? first
                                 : run(cropped(input, rows[i], columns[j], tileHeight, tileWidth));
            if (result.shape() != tileShape) {
                throw std::invalid_argument("A tile gave " + describe(result.shape()) + ", not " +
                                            describe(tileShape) + " as the first did.");
            }
            const int64_t top = rowStarts[i];
            const int64_t left = columnStarts[j];
            for (int64_t y = 0; y < th; ++y) {
                for (int64_t x = 0; x < tw; ++x) {
                    const float w = wy[static_cast<size_t>(y)] * wx[static_cast<size_t>(x)];
                    const int64_t at = (top + y) * outWidth + left + x;
                    weightSum[static_cast<size_t>(at)] += w;
                    for (int64_t c = 0; c < channels; ++c) {
                        sum[static_cast<size_t>(c * outHeight * outWidth + at)] +=
                            w * result.data()[(c * th + y) * tw + x];
                    }
                }
            }
        }
    }
    ShapedArray output(Shape{1, channels, outHeight, outWidth});
    const int64_t plane = outHeight * outWidth;
    for (int64_t c = 0; c < channels; ++c) {
        for (int64_t i = 0; i < plane; ++i) {
            output.data()[c * plane + i] =
                sum[static_cast<size_t>(c * plane + i)] / weightSum[static_cast<size_t>(i)];
        }
    }
    return output;
}

} // namespace dravelin
