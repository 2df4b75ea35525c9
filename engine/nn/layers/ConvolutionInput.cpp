#include "nn/layers/ConvolutionInput.h"

#include <algorithm>

namespace dravelin {

void ConvolutionInput::producePaddedRows(int64_t image, int64_t firstRow, int64_t count,
                                         float* target, float* scratch) const {
    const int64_t rows = height();
    const int64_t columns = width();
    const int64_t depth = channels();
    const int64_t rowFloats = (columns + 2) * depth;
    for (int64_t i = 0; i < count; ++i) {
        const int64_t paddedRow = firstRow + i;
        float* row = target + i * rowFloats;
        if (paddedRow <= 0 || paddedRow > rows) {
            std::fill_n(row, rowFloats, 0.0f);
            continue;
        }
        std::fill_n(row, depth, 0.0f);
        std::fill_n(row + (columns + 1) * depth, depth, 0.0f);
        const int64_t y = paddedRow - 1;
        float* interior = row + depth;
        if (!upsampled) {
            const float* source = map.pixel(image, y, 0);
            if (transform != nullptr) {
                transform->apply(image, source, interior, columns);
            } else {
                std::copy_n(source, columns * depth, interior);
            }
            continue;
        }
        // Rows 2k and 2k + 1 repeat source row k.
        if (i > 0 && paddedRow >= 2 && (y - 1) / 2 == y / 2) {
            std::copy_n(row - rowFloats, rowFloats, row);
            continue;
        }
        const int64_t sourceColumns = map.width();
        const float* values = map.pixel(image, y / 2, 0);
        if (transform != nullptr) {
            transform->apply(image, values, scratch, sourceColumns);
            values = scratch;
        }
        for (int64_t x = 0; x < sourceColumns; ++x) {
            std::copy_n(values + x * depth, depth, interior + 2 * x * depth);
            std::copy_n(values + x * depth, depth, interior + (2 * x + 1) * depth);
        }
    }
}

} // namespace dravelin
