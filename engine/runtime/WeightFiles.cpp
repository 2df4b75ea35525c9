#include "runtime/WeightFiles.h"

#include "runtime/MappedFile.h"

namespace dravelin {

WeightFiles::WeightFiles(const std::vector<std::filesystem::path>& files) {
    files_.reserve(files.size());
    for (const std::filesystem::path& path : files) {
        files_.emplace_back(path);
    }
    for (const SafetensorsFile& file : files_) {
        for (const auto& [name, view] : file.tensors()) {
            auto [existing, added] = index_.emplace(name, &view);
            if (!added) {
                throw SafetensorsError("The tensor \"" + name + "\" is in two weight files, \"" +
                                       file.path().filename().string() + "\" and another.");
            }
        }
    }
}

const TensorView* WeightFiles::find(const std::string& name) const {
    auto found = index_.find(name);
    return found == index_.end() ? nullptr : found->second;
}

const TensorView* WeightFiles::find(const WeightSpec& spec) const {
    if (const TensorView* view = find(spec.name)) {
        return view;
    }
    for (const std::string& alternative : spec.alternatives) {
        if (const TensorView* view = find(alternative)) {
            return view;
        }
    }
    return nullptr;
}

void WeightFiles::check(const std::vector<WeightSpec>& expected) const {
    for (const WeightSpec& spec : expected) {
        const TensorView* view = find(spec);
        if (view == nullptr) {
            throw SafetensorsError("The weight \"" + spec.name + "\" is missing.");
        }
        if (!isConvertibleToFloat(view->dtype)) {
            throw SafetensorsError("The weight \"" + view->name + "\" holds " +
                                   std::string(dtypeName(view->dtype)) +
                                   " values, not F16, BF16 or F32.");
        }
        if (view->shape != spec.shape) {
            throw SafetensorsError("The weight \"" + view->name + "\" has shape " +
                                   describe(view->shape) + ", expected " + describe(spec.shape) +
                                   ".");
        }
    }
}

ShapedArray WeightFiles::load(const std::string& name) const {
    const TensorView* view = find(name);
    if (view == nullptr) {
        throw SafetensorsError("The weight \"" + name + "\" is missing.");
    }
    ShapedArray values = toShapedArray(*view);
    if (adjustment_) {
        adjustment_(name, values);
    }
    // The converted copy is what the network keeps: let the file's pages go
    // now, so a load never holds a model twice (file pages and floats).
    releasePages(view->bytes);
    return values;
}

} // namespace dravelin
