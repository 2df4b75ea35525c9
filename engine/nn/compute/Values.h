#pragma once

#include "nn/compute/AlignedBuffer.h"
#include "runtime/ComputePrecision.h"

#include <cstddef>
#include <cstdint>

namespace dravelin {

// How the values one layer hands to the next are held. A layer that
// multiplies in bfloat16 rounds its input to bfloat16 anyway, so the layer
// before it (a norm, a gated product) writes bfloat16 bit patterns straight
// away and the product reads them as they are, sparing a pass over the
// values and half their memory traffic. Residual streams stay float32.
enum class ValueType { float32, bfloat16 };

// What a layer computing in `precision` reads without converting.
inline ValueType valueTypeFor(ComputePrecision precision) {
    return precision == ComputePrecision::bfloat16 ? ValueType::bfloat16 : ValueType::float32;
}

inline const char* describe(ValueType type) {
    return type == ValueType::bfloat16 ? "bfloat16" : "float32";
}

// Dense values of either type, read only. Converts from a float or a
// bfloat16 pointer, so float32 callers pass their pointers as before.
struct ConstValues {
    ConstValues(const float* values) : data(values), type(ValueType::float32) {}
    ConstValues(const uint16_t* values) : data(values), type(ValueType::bfloat16) {}

    const float* floats() const { return static_cast<const float*>(data); }
    const uint16_t* halves() const { return static_cast<const uint16_t*>(data); }
    // The values from element `index` on.
    ConstValues at(int64_t index) const {
        return type == ValueType::bfloat16 ? ConstValues(halves() + index)
                                           : ConstValues(floats() + index);
    }

    const void* data;
    ValueType type;
};

// Dense values of either type, written.
struct Values {
    Values(float* values) : data(values), type(ValueType::float32) {}
    Values(uint16_t* values) : data(values), type(ValueType::bfloat16) {}
    // The start of `buffer`, read as values of `type`.
    Values(AlignedBuffer& buffer, ValueType type) : data(buffer.data()), type(type) {}
    operator ConstValues() const {
        return type == ValueType::bfloat16 ? ConstValues(halves()) : ConstValues(floats());
    }

    float* floats() const { return static_cast<float*>(data); }
    uint16_t* halves() const { return static_cast<uint16_t*>(data); }
    // The values from element `index` on.
    Values at(int64_t index) const {
        return type == ValueType::bfloat16 ? Values(halves() + index) : Values(floats() + index);
    }

    void* data;
    ValueType type;
};

// The floats of storage `count` values of `type` take.
inline size_t floatsFor(int64_t count, ValueType type) {
    return static_cast<size_t>(type == ValueType::bfloat16 ? (count + 1) / 2 : count);
}

} // namespace dravelin
