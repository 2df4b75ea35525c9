#pragma once

#include "core/ShapedArray.h"

#include <map>
#include <string>
#include <vector>

namespace dravelin {

// Named arrays going into or coming out of one prediction.
using FeatureValueDictionary = std::map<std::string, ShapedArray>;

class FeatureProvider {
public:
    FeatureProvider() = default;
    explicit FeatureProvider(FeatureValueDictionary features)
        : featureValueDictionary(std::move(features)) {}

    // Throws std::out_of_range naming the feature when it is absent.
    const ShapedArray& featureValue(const std::string& name) const;
    bool contains(const std::string& name) const { return featureValueDictionary.count(name) != 0; }

    FeatureValueDictionary featureValueDictionary;
};

// An ordered batch of feature sets; predictions come back in the same order.
class BatchProvider {
public:
    BatchProvider() = default;
    explicit BatchProvider(std::vector<FeatureProvider> features)
        : arrayOfFeatureValueDictionaries(std::move(features)) {}

    size_t count() const { return arrayOfFeatureValueDictionaries.size(); }
    const FeatureProvider& features(size_t index) const {
        return arrayOfFeatureValueDictionaries.at(index);
    }

    std::vector<FeatureProvider> arrayOfFeatureValueDictionaries;
};

} // namespace dravelin
