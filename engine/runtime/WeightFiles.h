#pragma once

#include "core/ShapedArray.h"
#include "runtime/ComputePrecision.h"
#include "runtime/Safetensors.h"

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace dravelin {

// A weight a network reads, with the shape it must have. Some weights have
// had other names in older files; any one of the names will do.
struct WeightSpec {
    std::string name;
    Shape shape;
    std::vector<std::string> alternatives = {};
};

// The mapped safetensors files of one bundle, seen as one set of tensors.
class WeightFiles {
public:
    WeightFiles() = default;
    // Opens and validates every file; a tensor named in two files is refused.
    explicit WeightFiles(const std::vector<std::filesystem::path>& files);

    // One tensor of another file standing for a weight under our name: the
    // view's shape is ours; with `transposed` its bytes hold the transpose of
    // a two-dimensional weight.
    struct LinkedTensor {
        TensorView view;
        bool transposed = false;
    };
    // A set of weights that lie in `source` under other names (a single-file
    // checkpoint), read from its mapping where they lie.
    WeightFiles(std::shared_ptr<const SafetensorsFile> source,
                std::map<std::string, LinkedTensor> linked);

    const TensorView* find(const std::string& name) const;
    // The tensor under the weight's name or, failing that, an older name.
    const TensorView* find(const WeightSpec& spec) const;
    bool contains(const std::string& name) const { return find(name) != nullptr; }
    const std::vector<SafetensorsFile>& files() const { return files_; }

    // Throws SafetensorsError naming the first weight that is missing, is not
    // floating point, or has another shape. Tensors nobody expects are ignored.
    void check(const std::vector<WeightSpec>& expected) const;

    // The weight converted to 32-bit floats, after the adjustment if one is
    // set; throws SafetensorsError when missing. This is the one place every
    // weight passes through as float32 before a layer lays it out in its own
    // form and precision.
    ShapedArray load(const std::string& name) const;

    // Changes a weight as it is loaded, in float32 (merging a low-rank
    // adaptation into it, say): called with the name the network asked for.
    using Adjustment = std::function<void(const std::string& name, ShapedArray& values)>;
    void setAdjustment(Adjustment adjustment) { adjustment_ = std::move(adjustment); }

    // The precision the network built from these weights computes in
    // (float32 or bfloat16, never automatic): the layers keep their weights
    // in it.
    ComputePrecision computePrecision() const { return precision_; }
    void setComputePrecision(ComputePrecision precision) { precision_ = precision; }

private:
    std::vector<SafetensorsFile> files_;
    std::shared_ptr<const SafetensorsFile> source_;
    std::map<std::string, LinkedTensor> linked_;
    std::map<std::string, const TensorView*> index_;
    Adjustment adjustment_;
    ComputePrecision precision_ = ComputePrecision::float32;
};

} // namespace dravelin
