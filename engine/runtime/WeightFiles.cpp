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

WeightFiles::WeightFiles(std::shared_ptr<const SafetensorsFile> source,
                         std::map<std::string, LinkedTensor> linked)
    : source_(std::move(source)), linked_(std::move(linked)) {
    for (const auto& [name, link] : linked_) {
        index_.emplace(name, &link.view);
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
    if (auto link = linked_.find(name); link != linked_.end() && link->second.transposed) {
        // The bytes hold [columns, rows]; ours is [rows, columns].
        const int64_t rows = view->shape.at(0);
        const int64_t columns = view->shape.at(1);
        ShapedArray transposed(view->shape);
        const std::span<const float> in = values.values();
        const std::span<float> out = transposed.values();
        for (int64_t c = 0; c < columns; ++c) {
            for (int64_t r = 0; r < rows; ++r) {
                out[static_cast<size_t>(r * columns + c)] = in[static_cast<size_t>(c * rows + r)];
            }
        }
        values = std::move(transposed);
    }
    // The converted copy is what the network keeps: let the file's pages go
    // now, so a load never holds a model twice (file pages and floats).
    releasePages(view->bytes);
    if (adjustment_) {
        adjustment_(name, values);
    }
    return values;
}

} // namespace dravelin
