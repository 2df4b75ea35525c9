#include "runtime/Model.h"

#include "runtime/Bundle.h"
#include "runtime/LoraWeights.h"
#include "runtime/Network.h"
#include "runtime/NetworkRegistry.h"
#include "runtime/RuntimeErrors.h"
#include "runtime/WeightFiles.h"

namespace dravelin {

Model::~Model() = default;

std::unique_ptr<Model> Model::load(const std::filesystem::path& bundleDirectory,
                                   const ModelConfiguration& configuration) {
    Bundle bundle = Bundle::read(bundleDirectory);
    const std::string name = bundle.directoryName();
    const std::string where = "The model bundle \"" + name + "\"";

    std::string kindName;
    if (bundle.kind) {
        kindName = *bundle.kind;
    } else {
        try {
            kindName = NetworkRegistry::inferKindName(bundle.config, name);
        } catch (const std::invalid_argument& cause) {
            throw ModelLoadError(where + " cannot be loaded: " + cause.what() + ".");
        }
    }
    std::shared_ptr<const NetworkKind> kind = NetworkRegistry::shared().find(kindName);
    if (!kind) {
        throw ModelLoadError(where + " holds a network of class \"" + kindName +
                             "\", which this runtime cannot build.");
    }

    auto model = std::unique_ptr<Model>(new Model());
    model->directory_ = bundle.directory;
    model->kindName_ = kindName;
    model->configuration_ = configuration;
    try {
        model->description_ = kind->describe(bundle.config);
        std::vector<WeightSpec> expected = kind->expectedWeights(bundle.config);
        for (const FeatureDescription& override : bundle.inputShapes) {
            bool found = false;
            for (FeatureDescription& input : model->description_.inputs) {
                if (input.name == override.name) {
                    input.shape = override.shape;
                    found = true;
                }
            }
            if (!found) {
                throw ModelLoadError(where + " gives a shape to the input \"" + override.name +
                                     "\", which a " + kindName + " network does not have.");
            }
        }

        model->precision_ = resolvePrecision(configuration.computePrecision);
        WeightFiles weights;
        try {
            weights = WeightFiles(bundle.weightFiles);
            weights.check(expected);
        } catch (const SafetensorsError& cause) {
            throw ModelLoadError(where + " has unusable weights: " + cause.what());
        }
        if (const auto target = loraTargetOfKind(kindName);
            target && !configuration.loras.empty()) {
            try {
                std::shared_ptr<const LoraWeights> lora =
                    LoraWeights::read(configuration.loras, *target, expected);
                if (!lora->empty()) {
                    weights.setAdjustment(
                        [lora](const std::string& weightName, ShapedArray& weight) {
                            lora->apply(weightName, weight);
                        });
                }
            } catch (const LoraError& cause) {
                throw ModelLoadError(where + " cannot take the LoRA weights: " + cause.what());
            }
        }
        for (const WeightSpec& spec : expected) {
            model->parameterCount_ += elementCount(spec.shape);
            model->weightTypes_[std::string(dtypeName(weights.find(spec)->dtype))] += 1;
        }
        weights.setComputePrecision(model->precision_);
        model->network_ = kind->build(bundle.config, model->description_, weights);
    } catch (const ModelLoadError&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw ModelLoadError(where + " does not fit in memory.");
    } catch (const std::exception& cause) {
        // Configuration values of the wrong type, impossible sizes and the like.
        throw ModelLoadError(where + " cannot be loaded: " + cause.what());
    }
    return model;
}

void Model::checkInputs(const FeatureProvider& input) const {
    // An input the network does not take would be ignored; a misnamed
    // ControlNet residual would then leave the image uncontrolled.
    for (const auto& [name, value] : input.featureValueDictionary) {
        if (!description_.input(name)) {
            std::string taken;
            for (const FeatureDescription& expected : description_.inputs) {
                taken += (taken.empty() ? "\"" : ", \"") + expected.name + "\"";
            }
            throw PredictionError("The model \"" + directory_.filename().string() +
                                  "\" has no input \"" + name + "\"; it takes " +
                                  (taken.empty() ? std::string("none") : taken) + ".");
        }
    }
    // The batch of a network that takes smaller ones is the first input's.
    std::optional<int64_t> batch;
    for (const FeatureDescription& described : description_.inputs) {
        auto found = input.featureValueDictionary.find(described.name);
        if (found == input.featureValueDictionary.end()) {
            throw PredictionError("The model \"" + directory_.filename().string() +
                                  "\" needs the input \"" + described.name + "\".");
        }
        FeatureDescription expected = described;
        const Shape& given = found->second.shape();
        if (description_.takesSmallerBatches && !expected.shape.empty() && !given.empty() &&
            given[0] >= 1 && given[0] <= expected.shape[0]) {
            expected.shape[0] = batch.value_or(given[0]);
            batch = expected.shape[0];
        }
        if (found->second.shape() != expected.shape) {
            throw PredictionError("The model \"" + directory_.filename().string() +
                                  "\" takes the input \"" + expected.name + "\" with shape " +
                                  describe(expected.shape) + ", not " +
                                  describe(found->second.shape()) + ".");
        }
    }
}

FeatureProvider Model::checkedOutputs(FeatureValueDictionary outputs) const {
    for (const std::string& name : description_.outputs) {
        if (outputs.count(name) == 0) {
            throw PredictionError("The model \"" + directory_.filename().string() +
                                  "\" did not produce its output \"" + name + "\".");
        }
    }
    return FeatureProvider(std::move(outputs));
}

FeatureProvider Model::prediction(const FeatureProvider& input) {
    checkInputs(input);
    return checkedOutputs(network_->predict(input));
}

std::vector<FeatureProvider> Model::predictions(const BatchProvider& inputs) {
    for (const FeatureProvider& input : inputs.arrayOfFeatureValueDictionaries) {
        checkInputs(input);
    }
    std::vector<FeatureValueDictionary> outputs = network_->predictBatch(inputs);
    if (outputs.size() != inputs.count()) {
        throw PredictionError("The model \"" + directory_.filename().string() + "\" returned " +
                              std::to_string(outputs.size()) + " results for " +
                              std::to_string(inputs.count()) + " inputs.");
    }
    std::vector<FeatureProvider> results;
    results.reserve(outputs.size());
    for (FeatureValueDictionary& output : outputs) {
        results.push_back(checkedOutputs(std::move(output)));
    }
    return results;
}

} // namespace dravelin
