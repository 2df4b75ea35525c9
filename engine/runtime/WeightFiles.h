#pragma once

#include "core/ShapedArray.h"
#include "runtime/Safetensors.h"

#include <filesystem>
#include <functional>
#include <map>
#include <string>
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

    const TensorView* find(const std::string& name) const;
    // The tensor under the weight's name or, failing that, an older name.
    const TensorView* find(const WeightSpec& spec) const;
    bool contains(const std::string& name) const { return find(name) != nullptr; }
    const std::vector<SafetensorsFile>& files() const { return files_; }

    // Throws SafetensorsError naming the first weight that is missing, is not
    // floating point, or has another shape. Tensors nobody expects are ignored.
    void check(const std::vector<WeightSpec>& expected) const;

    // The weight converted to 32-bit floats, adjusted as set below; throws
    // SafetensorsError when missing.
    ShapedArray load(const std::string& name) const;

    // A change made to every weight as it loads, by name, in float32 (merging
    // LoRA updates); the files themselves are never changed.
    using Adjustment = std::function<void(const std::string& name, ShapedArray& weight)>;
    void setAdjustment(Adjustment adjustment) { adjustment_ = std::move(adjustment); }

private:
    std::vector<SafetensorsFile> files_;
    Adjustment adjustment_;
    std::map<std::string, const TensorView*> index_;
};

} // namespace dravelin
