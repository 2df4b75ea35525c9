#include "runtime/Network.h"

namespace dravelin {

std::vector<FeatureValueDictionary> Network::predictBatch(const BatchProvider& batch) {
    std::vector<FeatureValueDictionary> results;
    results.reserve(batch.count());
    for (const FeatureProvider& features : batch.arrayOfFeatureValueDictionaries) {
        results.push_back(predict(features));
    }
    return results;
}

} // namespace dravelin
