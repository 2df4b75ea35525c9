#include "runtime/FeatureProvider.h"

#include <stdexcept>

namespace dravelin {

const ShapedArray& FeatureProvider::featureValue(const std::string& name) const {
    auto found = featureValueDictionary.find(name);
    if (found == featureValueDictionary.end()) {
        throw std::out_of_range("There is no feature named \"" + name + "\".");
    }
    return found->second;
}

} // namespace dravelin
