#pragma once

#include "core/ShapedArray.h"

#include <cstdint>

namespace dravelin {

// A text encoder's input layer: each token id picks its row of the token
// table, and the position's row of the position table is added to it.
class TokenEmbedding {
public:
    // tokens [vocabulary, width], positions [maxPositions, width].
    TokenEmbedding(ShapedArray tokens, ShapedArray positions);

    int64_t vocabulary() const { return tokens_.shape()[0]; }
    int64_t width() const { return tokens_.shape()[1]; }

    // output[t] = table[ids[t]] + positions[t] for `length` ids (whole numbers
    // as floats); an id of -1 takes row t of `givenRows` (length × width)
    // instead, when they are given. Throws std::invalid_argument naming
    // `inputName` for an id outside the vocabulary or a length beyond the
    // position table.
    void forward(const float* ids, int64_t length, const float* givenRows, float* output,
                 const char* inputName) const;

private:
    ShapedArray tokens_;
    ShapedArray positions_;
};

} // namespace dravelin
