#include "nn/compute/WeightReader.h"

#include "nn/compute/Profiler.h"

namespace dravelin {

ShapedArray WeightReader::read(const std::string& name, const Shape& shape) const {
    ProfileScope profile("load: weights read as float32", 0);
    files_.check({{name, shape}});
    return files_.load(name);
}

std::string WeightReader::firstPresent(const std::vector<std::string>& names) const {
    for (const std::string& name : names) {
        if (files_.contains(name)) {
            return name;
        }
    }
    std::string listed;
    for (const std::string& name : names) {
        listed += (listed.empty() ? "\"" : " or \"") + name + "\"";
    }
    throw SafetensorsError("The weight " + listed + " is missing.");
}

} // namespace dravelin
