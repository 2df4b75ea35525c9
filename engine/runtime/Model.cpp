#include "runtime/Model.h"

#include "core/TextExcerpt.h"
#include "runtime/Bundle.h"
#include "runtime/CheckpointBundle.h"
#include "runtime/LoraWeights.h"
#include "runtime/Network.h"
#include "runtime/NetworkRegistry.h"
#include "runtime/RuntimeErrors.h"
#include "runtime/SystemMemory.h"
#include "runtime/WeightFiles.h"

#include <oneapi/dnnl/dnnl.hpp>

#include <optional>

namespace dravelin {

Model::~Model() = default;

namespace {

// A bundle read and described, its weights checked against what its network
// reads: everything short of building the network.
struct PreparedBundle {
    Bundle bundle;
    std::string where;
    std::string kindName;
    std::shared_ptr<const NetworkKind> kind;
    ModelDescription description;
    std::vector<WeightSpec> expected;
    WeightFiles weights;
};

// Runs `body`, turning whatever it throws into a ModelLoadError that says
// what was being done with the bundle.
template <typename Body> auto withLoadErrors(const std::string& where, Body&& body) {
    try {
        return body();
    } catch (const ModelLoadError&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw ModelLoadError(where + " does not fit in memory.");
    } catch (const dnnl::error& cause) {
        throw ModelLoadError(where + " cannot be built for its configuration and input shapes: " +
                             "the compute library refused one of its layers (" + cause.what() +
                             ").");
    } catch (const std::exception& cause) {
        // Configuration values of the wrong type, impossible sizes and the like.
        throw ModelLoadError(where + " cannot be loaded: " + cause.what());
    }
}

// Describes the bundle of `prepared` (read, with its kind named) and checks
// the weights `openWeights` gives against what its network reads.
template <typename OpenWeights>
void describePrepared(PreparedBundle& prepared,
                      const std::vector<FeatureDescription>& inputShapes,
                      OpenWeights&& openWeights) {
    const std::string& where = prepared.where;
    prepared.kind = NetworkRegistry::shared().find(prepared.kindName);
    if (!prepared.kind) {
        throw ModelLoadError(where + " holds a network of class \"" + excerpt(prepared.kindName) +
                             "\", which this runtime cannot build.");
    }

    withLoadErrors(where, [&] {
        prepared.description = prepared.kind->describe(prepared.bundle.config);
        prepared.expected = prepared.kind->expectedWeights(prepared.bundle.config);
        for (const FeatureDescription& override : prepared.bundle.inputShapes) {
            bool found = false;
            for (FeatureDescription& input : prepared.description.inputs) {
                if (input.name == override.name) {
                    input.shape = override.shape;
                    found = true;
                }
            }
            if (!found) {
                throw ModelLoadError(where + " gives a shape to the input \"" +
                                     excerpt(override.name) + "\", which a " + prepared.kindName +
                                     " network does not have.");
            }
        }
        for (const FeatureDescription& override : inputShapes) {
            for (FeatureDescription& input : prepared.description.inputs) {
                if (input.name == override.name) {
                    input.shape = override.shape;
                }
            }
        }
        try {
            prepared.weights = openWeights();
            prepared.weights.check(prepared.expected);
        } catch (const SafetensorsError& cause) {
            throw ModelLoadError(where + " has unusable weights: " + cause.what());
        }
        return 0;
    });
}

// A bundle read from its files: the kind is the configuration's, else
// bundle.json's, else the one its config.json implies.
PreparedBundle preparedBundle(Bundle bundle, const ModelConfiguration& configuration) {
    PreparedBundle prepared;
    prepared.bundle = std::move(bundle);
    const std::string name = prepared.bundle.directoryName();
    prepared.where = "The model bundle \"" + excerpt(name) + "\"";
    if (configuration.networkKind) {
        prepared.kindName = *configuration.networkKind;
    } else if (prepared.bundle.kind) {
        prepared.kindName = *prepared.bundle.kind;
    } else {
        try {
            prepared.kindName = NetworkRegistry::inferKindName(prepared.bundle.config, name);
        } catch (const std::invalid_argument& cause) {
            throw ModelLoadError(prepared.where + " cannot be loaded: " + cause.what() + ".");
        }
    }
    return prepared;
}

PreparedBundle prepare(const std::filesystem::path& bundleDirectory,
                       const ModelConfiguration& configuration,
                       const std::vector<FeatureDescription>& inputShapes) {
    // A network of a single-file checkpoint, named as a bundle inside the file.
    if (const auto location = checkpointPartOf(bundleDirectory)) {
        std::optional<CheckpointBundle> checkpoint;
        try {
            checkpoint = readCheckpointPart(*location);
        } catch (const CheckpointError& cause) {
            throw ModelLoadError(cause.what());
        }
        PreparedBundle prepared;
        prepared.bundle.directory = bundleDirectory;
        prepared.bundle.config = checkpoint->config;
        prepared.kindName = checkpoint->kindName;
        prepared.where = "The " + location->file.filename().string() + " network \"" +
                         prepared.bundle.directoryName() + "\"";
        describePrepared(prepared, inputShapes,
                         [&] { return std::move(checkpoint->weights); });
        return prepared;
    }
    PreparedBundle prepared = preparedBundle(Bundle::read(bundleDirectory), configuration);
    describePrepared(prepared, inputShapes,
                     [&] { return WeightFiles(prepared.bundle.weightFiles); });
    return prepared;
}

// The configuration's input sizes over the bundle's.
void applyInputSizes(ModelDescription& description, const ModelConfiguration& configuration) {
    for (FeatureDescription& input : description.inputs) {
        const auto found = configuration.inputSizes.find(input.name);
        if (found != configuration.inputSizes.end() && input.shape.size() >= 3) {
            input.shape[input.shape.size() - 2] = found->second.first;
            input.shape[input.shape.size() - 1] = found->second.second;
        }
    }
}

} // namespace

std::unique_ptr<Model> Model::load(const std::filesystem::path& bundleDirectory,
                                   const ModelConfiguration& configuration,
                                   const std::vector<FeatureDescription>& inputShapes) {
    keepLargeBlocksOutOfTheHeap();
    PreparedBundle prepared = prepare(bundleDirectory, configuration, inputShapes);
    const std::string& where = prepared.where;
    auto model = std::unique_ptr<Model>(new Model());
    model->directory_ = prepared.bundle.directory;
    model->kindName_ = prepared.kindName;
    model->configuration_ = configuration;
    model->description_ = prepared.description;
    applyInputSizes(model->description_, configuration);
    withLoadErrors(where, [&] {
        model->precision_ = resolvePrecision(configuration.computePrecision);
        if (const auto target = loraTargetOfKind(prepared.kindName);
            target && !configuration.loras.empty()) {
            try {
                std::shared_ptr<const LoraWeights> lora =
                    LoraWeights::read(configuration.loras, *target, prepared.expected);
                if (!lora->empty()) {
                    prepared.weights.setAdjustment(
                        [lora](const std::string& weightName, ShapedArray& weight) {
                            lora->apply(weightName, weight);
                        });
                }
            } catch (const LoraError& cause) {
                throw ModelLoadError(where + " cannot take the LoRA weights: " + cause.what());
            }
        }
        for (const WeightSpec& spec : prepared.expected) {
            model->parameterCount_ += elementCount(spec.shape);
            model->weightTypes_[std::string(dtypeName(prepared.weights.find(spec)->dtype))] += 1;
        }
        prepared.weights.setComputePrecision(model->precision_);
        model->network_ =
            prepared.kind->build(prepared.bundle.config, model->description_, prepared.weights);
        return 0;
    });
    return model;
}

std::vector<std::string> Model::weightsChangedByLoras(const std::filesystem::path& bundleDirectory,
                                                     const std::vector<LoraFile>& loras) {
    const PreparedBundle prepared = prepare(bundleDirectory, ModelConfiguration{}, {});
    const std::optional<LoraTarget> target = loraTargetOfKind(prepared.kindName);
    if (!target || loras.empty()) {
        return {};
    }
    try {
        return LoraWeights::read(loras, *target, prepared.expected)->changedWeights();
    } catch (const LoraError& cause) {
        throw ModelLoadError(prepared.where + " cannot take the LoRA weights: " + cause.what());
    }
}

ModelDescription Model::describeBundle(const std::filesystem::path& bundleDirectory,
                                       const std::vector<FeatureDescription>& inputShapes) {
    return prepare(bundleDirectory, ModelConfiguration{}, inputShapes).description;
}

ModelDescription Model::describeBundle(const std::filesystem::path& bundleDirectory,
                                       const ModelConfiguration& configuration,
                                       const std::vector<FeatureDescription>& inputShapes) {
    ModelDescription description = prepare(bundleDirectory, configuration, inputShapes).description;
    applyInputSizes(description, configuration);
    return description;
}

ModelDescription describeBundleContents(const BundleContents& contents) {
    PreparedBundle prepared = preparedBundle(Bundle::fromContents(contents), ModelConfiguration{});
    describePrepared(prepared, {}, [&] {
        // Each file validated as a mapped one is; the views point into the
        // caller's bytes, so the set needs no file kept open.
        std::map<std::string, WeightFiles::LinkedTensor> tensors;
        for (size_t i = 0; i < contents.weightFiles.size(); ++i) {
            const std::string label = (prepared.bundle.directory /
                                       ("model-" + std::to_string(i + 1) + ".safetensors"))
                                          .string();
            const SafetensorsFile file = SafetensorsFile::fromBytes(contents.weightFiles[i], label);
            for (const auto& [name, view] : file.tensors()) {
                if (!tensors.emplace(name, WeightFiles::LinkedTensor{view, false}).second) {
                    throw SafetensorsError("The tensor \"" + name + "\" is in two weight files, \"" +
                                           file.path().filename().string() + "\" and another.");
                }
            }
        }
        return WeightFiles(nullptr, std::move(tensors));
    });
    return prepared.description;
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
        checkShape(described, found->second.shape(), batch);
    }
    for (const FeatureDescription& described : description_.optionalInputs) {
        auto found = input.featureValueDictionary.find(described.name);
        if (found != input.featureValueDictionary.end()) {
            checkShape(described, found->second.shape(), batch);
        }
    }
}

void Model::checkShape(const FeatureDescription& described, const Shape& given,
                       std::optional<int64_t>& batch) const {
    {
        FeatureDescription expected = described;
        if (description_.takesSmallerBatches && !expected.shape.empty() && !given.empty() &&
            given[0] >= 1 && given[0] <= expected.shape[0]) {
            expected.shape[0] = batch.value_or(given[0]);
            batch = expected.shape[0];
        }
        if (given != expected.shape) {
            throw PredictionError("The model \"" + directory_.filename().string() +
                                  "\" takes the input \"" + expected.name + "\" with shape " +
                                  describe(expected.shape) + ", not " + describe(given) + ".");
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

namespace {

// The compute library's own texts ("could not execute a primitive") say
// nothing of what was being computed.
template <typename Body> auto computing(const std::filesystem::path& directory, Body&& body) {
    try {
        return body();
    } catch (const dnnl::error& cause) {
        throw PredictionError("The model \"" + directory.filename().string() +
                              "\" could not compute its prediction: the compute library failed (" +
                              cause.what() + ").");
    }
}

} // namespace

FeatureProvider Model::prediction(const FeatureProvider& input) {
    checkInputs(input);
    return checkedOutputs(computing(directory_, [&] { return network_->predict(input); }));
}

std::vector<FeatureProvider> Model::predictions(const BatchProvider& inputs) {
    for (const FeatureProvider& input : inputs.arrayOfFeatureValueDictionaries) {
        checkInputs(input);
    }
    std::vector<FeatureValueDictionary> outputs =
        computing(directory_, [&] { return network_->predictBatch(inputs); });
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
