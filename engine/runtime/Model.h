#pragma once

#include "runtime/FeatureProvider.h"
#include "runtime/ModelConfiguration.h"
#include "runtime/ModelDescription.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

namespace dravelin {

class Network;

// A loaded model bundle: a built network with its description. Predictions
// check their inputs against the description before the network sees them.
// Not safe for concurrent predictions; ManagedMLModel serialises them.
class Model {
public:
    // Reads the bundle, builds its network kind (bundle.json's, or the one its
    // configuration names) and checks every weight the network reads, so a
    // wrong or truncated bundle fails here. Throws ModelLoadError.
    // `inputShapes` replace the shapes of the inputs the bundle has, after
    // bundle.json's (the denoising network built for a longer text, say);
    // shapes of inputs it does not have are ignored.
    static std::unique_ptr<Model> load(const std::filesystem::path& bundleDirectory,
                                       const ModelConfiguration& configuration,
                                       const std::vector<FeatureDescription>& inputShapes = {});
    // What `load` would build, without building it: the bundle read, its
    // description with bundle.json's shapes, and every weight checked against
    // the weight files' headers. Costs milliseconds where a load can cost
    // minutes. Throws ModelLoadError as `load` does.
    static ModelDescription
    describeBundle(const std::filesystem::path& bundleDirectory,
                   const std::vector<FeatureDescription>& inputShapes = {});
    // With the configuration's kind and input sizes (and the input shapes
    // that replace the bundle's), as for load.
    static ModelDescription
    describeBundle(const std::filesystem::path& bundleDirectory,
                   const ModelConfiguration& configuration,
                   const std::vector<FeatureDescription>& inputShapes = {});
    // The weights of the bundle that `loras` would change as `load` merges
    // them (none for kinds LoRA files leave alone), from the files' headers
    // only. Throws ModelLoadError as `load` does when they do not fit.
    static std::vector<std::string> weightsChangedByLoras(
        const std::filesystem::path& bundleDirectory, const std::vector<LoraFile>& loras);
    ~Model();

    const ModelDescription& modelDescription() const { return description_; }
    const ModelConfiguration& configuration() const { return configuration_; }
    const std::string& kindName() const { return kindName_; }
    // The precision the network computes in: the configuration's, with
    // automatic resolved (float32 or bfloat16).
    ComputePrecision computePrecision() const { return precision_; }
    const std::filesystem::path& bundleDirectory() const { return directory_; }
    // Number of values in the weights the network reads.
    int64_t parameterCount() const { return parameterCount_; }
    // Weight element types of those weights ("F16" → count of tensors).
    const std::map<std::string, int64_t>& weightTypes() const { return weightTypes_; }

    // Throws PredictionError for a missing or mis-shaped input, or a missing
    // output; errors of the network itself pass through.
    FeatureProvider prediction(const FeatureProvider& input);
    // One result per input set, in the same order.
    std::vector<FeatureProvider> predictions(const BatchProvider& inputs);

private:
    Model() = default;
    void checkInputs(const FeatureProvider& input) const;
    void checkShape(const FeatureDescription& described, const Shape& given,
                    std::optional<int64_t>& batch) const;
    FeatureProvider checkedOutputs(FeatureValueDictionary outputs) const;

    std::filesystem::path directory_;
    std::string kindName_;
    ModelConfiguration configuration_;
    ComputePrecision precision_ = ComputePrecision::float32;
    ModelDescription description_;
    int64_t parameterCount_ = 0;
    std::map<std::string, int64_t> weightTypes_;
    std::unique_ptr<Network> network_;
};

} // namespace dravelin
