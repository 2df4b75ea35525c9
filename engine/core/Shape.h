#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dravelin {

// Dimension sizes of a dense row-major array, outermost first.
using Shape = std::vector<int64_t>;

// Number of elements a shape describes (1 for the empty shape). Throws
// std::invalid_argument for a negative dimension and std::overflow_error when
// the product does not fit a signed 64-bit integer.
int64_t elementCount(const Shape& shape);

// "[2, 4, 64, 64]", for messages.
std::string describe(const Shape& shape);

} // namespace dravelin
