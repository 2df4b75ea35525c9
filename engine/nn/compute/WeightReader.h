#pragma once

#include "core/ShapedArray.h"
#include "runtime/WeightFiles.h"

#include <string>
#include <vector>

namespace dravelin {

// The weights a network reads, by name and shape, as NetworkKind reports them.
using WeightList = std::vector<WeightSpec>;

// Reads a network's weights as float arrays while it is built, checking each
// shape again (a layer must never run on a weight of another shape).
class WeightReader {
public:
    explicit WeightReader(const WeightFiles& files) : files_(files) {}

    // Throws SafetensorsError naming the weight when it is missing, is not
    // floating point or has another shape.
    ShapedArray read(const std::string& name, const Shape& shape) const;
    bool contains(const std::string& name) const { return files_.contains(name); }
    // What the layers built from these weights compute in: float32 or bfloat16.
    ComputePrecision precision() const { return files_.computePrecision(); }

    // The first of `names` the files hold, for a weight that library versions
    // named differently; throws SafetensorsError listing them when none is
    // there.
    std::string firstPresent(const std::vector<std::string>& names) const;

private:
    const WeightFiles& files_;
};

} // namespace dravelin
