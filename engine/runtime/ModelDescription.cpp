#include "runtime/ModelDescription.h"

#include <algorithm>

namespace dravelin {

std::optional<FeatureDescription> ModelDescription::input(const std::string& name) const {
    for (const FeatureDescription& description : inputs) {
        if (description.name == name) {
            return description;
        }
    }
    for (const FeatureDescription& description : optionalInputs) {
        if (description.name == name) {
            return description;
        }
    }
    return std::nullopt;
}

bool ModelDescription::hasOutput(const std::string& name) const {
    return std::find(outputs.begin(), outputs.end(), name) != outputs.end();
}

} // namespace dravelin
