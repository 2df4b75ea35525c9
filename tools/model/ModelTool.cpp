#include "model/ModelTool.h"

#include "core/BoundedFile.h"
#include "core/TextExcerpt.h"
#include "pipeline/NumPyRandomSource.h"
#include "runtime/Bundle.h"
#include "runtime/BundleWriter.h"
#include "runtime/Model.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>

namespace dravelin {

namespace {

constexpr const char* kUsage =
    "usage: dravelin-model describe BUNDLE [--precision P]\n"
    "       dravelin-model run BUNDLE --input NAME=FILE ... --out DIR [--precision P]\n"
    "       dravelin-model bench BUNDLE [--runs N] [--precision P]\n"
    "Input and output files hold raw little-endian 32-bit floats in row-major order.\n"
    "P is float32, bfloat16 or automatic (the default; DRAVELIN_PRECISION sets it too).\n";

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

ModelConfiguration configurationFor(ComputePrecision precision) {
    ModelConfiguration configuration;
    configuration.computePrecision = precision;
    return configuration;
}

int describeBundle(const std::string& bundle, ComputePrecision precision, std::ostream& out) {
    const std::unique_ptr<Model> model = Model::load(bundle, configurationFor(precision));
    const ModelDescription& description = model->modelDescription();
    out << "Bundle: " << model->bundleDirectory().string() << "\n";
    out << "Kind: " << model->kindName() << "\n";
    out << "Inputs:\n";
    for (const FeatureDescription& input : description.inputs) {
        out << "  " << input.name << " " << describe(input.shape) << "\n";
    }
    out << "Outputs:\n";
    for (const std::string& output : description.outputs) {
        out << "  " << output << "\n";
    }
    out << "Parameters: " << model->parameterCount() << "\n";
    out << "Precision: " << precisionName(model->computePrecision()) << "\n";
    out << "Weight types:";
    for (const auto& [type, count] : model->weightTypes()) {
        out << " " << type << " (" << count << (count == 1 ? " tensor)" : " tensors)");
    }
    out << "\n";
    return 0;
}

ShapedArray readRawFloats(const std::string& name, const std::string& file, const Shape& shape) {
    const int64_t count = elementCount(shape);
    const std::string where = "The input file \"" + excerpt(file, 200) + "\" for \"" + name + "\"";
    // Exactly the bytes the input needs may be read: a larger file (or
    // /dev/zero) is refused before it fills memory.
    std::string bytes;
    try {
        bytes = readBoundedFile(file, static_cast<uint64_t>(count) * 4, where);
    } catch (const BoundedFileError& error) {
        throw std::runtime_error(std::string(error.what()) + " \"" + name + "\" " +
                                 describe(shape) + " needs " + std::to_string(count * 4) +
                                 " bytes.");
    }
    if (static_cast<int64_t>(bytes.size()) != count * 4) {
        throw std::runtime_error(where + " has " + std::to_string(bytes.size()) + " bytes, but " +
                                 describe(shape) + " needs " + std::to_string(count * 4) + ".");
    }
    ShapedArray array(shape);
    std::memcpy(array.data(), bytes.data(), bytes.size());
    return array;
}

int runBundle(const std::string& bundle, const std::map<std::string, std::string>& inputFiles,
              const std::string& outputDirectory, ComputePrecision precision, std::ostream& out) {
    const std::unique_ptr<Model> model = Model::load(bundle, configurationFor(precision));
    FeatureValueDictionary inputs;
    for (const auto& [name, file] : inputFiles) {
        const std::optional<FeatureDescription> description = model->modelDescription().input(name);
        if (!description) {
            throw std::runtime_error("The model has no input named \"" + excerpt(name) + "\".");
        }
        inputs.emplace(name, readRawFloats(name, file, description->shape));
    }
    const FeatureProvider outputs = model->prediction(FeatureProvider(std::move(inputs)));

    std::error_code error;
    std::filesystem::create_directories(outputDirectory, error);
    if (error) {
        throw std::runtime_error("The output folder \"" + excerpt(outputDirectory, 200) +
                                 "\" cannot be created: " + error.message() + ".");
    }
    nlohmann::ordered_json listing = nlohmann::ordered_json::array();
    for (const auto& [name, array] : outputs.featureValueDictionary) {
        const std::string file = name + ".bin";
        writeFileAtomically(std::filesystem::path(outputDirectory) / file,
                            std::string(reinterpret_cast<const char*>(array.data()),
                                        static_cast<size_t>(array.count()) * 4));
        listing.push_back({{"name", name}, {"shape", array.shape()}, {"file", file}});
        out << "Wrote " << name << " " << describe(array.shape()) << " to " << file << "\n";
    }
    writeFileAtomically(std::filesystem::path(outputDirectory) / "outputs.json",
                        listing.dump(2) + "\n");
    return 0;
}

// A prompt's worth of token ids for a text encoder: its start token, a few
// words, then end tokens to the end (CLIP's vocabularies end with the start
// and end tokens).
ShapedArray tokenIds(const Shape& shape, int64_t vocabularySize) {
    const auto end = static_cast<float>(vocabularySize - 1);
    ShapedArray ids(shape, end);
    const int64_t positions = shape.back();
    for (int64_t row = 0; row < ids.count() / positions; ++row) {
        float* values = ids.data() + row * positions;
        values[0] = end - 1.0f;
        for (int64_t i = 1; i < std::min<int64_t>(positions - 1, 6); ++i) {
            values[i] = static_cast<float>((i * 97) % std::max<int64_t>(1, vocabularySize - 2));
        }
    }
    return ids;
}

int benchBundle(const std::string& bundle, int runs, ComputePrecision precision,
                std::ostream& out) {
    using Clock = std::chrono::steady_clock;
    const auto loadStart = Clock::now();
    const std::unique_ptr<Model> model = Model::load(bundle, configurationFor(precision));
    const double loadSeconds = std::chrono::duration<double>(Clock::now() - loadStart).count();

    NumPyRandomSource random(0);
    FeatureValueDictionary inputs;
    for (const FeatureDescription& input : model->modelDescription().inputs) {
        if (input.name == "input_ids") {
            const nlohmann::json config = Bundle::read(bundle).config;
            inputs.emplace(input.name,
                           tokenIds(input.shape, config.value("vocab_size", int64_t{49408})));
            continue;
        }
        const NormalArray noise = random.normalShapedArray(input.shape);
        inputs.emplace(input.name, ShapedArray::fromDoubles(noise.values, input.shape));
    }
    const FeatureProvider features(std::move(inputs));
    std::vector<double> seconds;
    for (int run = 0; run < runs; ++run) {
        const auto start = Clock::now();
        model->prediction(features);
        seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    char line[160];
    std::snprintf(
        line, sizeof line, "%s (%s): load %.3f s; %d runs: min %.4f s, median %.4f s, max %.4f s\n",
        model->kindName().c_str(), std::string(precisionName(model->computePrecision())).c_str(),
        loadSeconds, runs, seconds.front(), seconds[seconds.size() / 2], seconds.back());
    out << line;
    return 0;
}

int parsePositive(const std::string& text) {
    size_t used = 0;
    int value = 0;
    try {
        value = std::stoi(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || value < 1) {
        throw UsageError("--runs takes a whole number of at least 1, not \"" + text + "\".");
    }
    return value;
}

} // namespace

int runModelTool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    try {
        if (arguments.size() < 2) {
            throw UsageError("a command and a bundle are needed.");
        }
        const std::string& command = arguments[0];
        const std::string& bundle = arguments[1];
        std::map<std::string, std::string> inputs;
        std::string outputDirectory;
        int runs = 10;
        ComputePrecision precision = ComputePrecision::automatic;
        for (size_t i = 2; i < arguments.size(); ++i) {
            const std::string& option = arguments[i];
            if (i + 1 >= arguments.size()) {
                throw UsageError("\"" + option + "\" needs a value.");
            }
            const std::string& value = arguments[++i];
            if (option == "--input" && command == "run") {
                const size_t equals = value.find('=');
                if (equals == std::string::npos || equals == 0 || equals + 1 == value.size()) {
                    throw UsageError("--input takes NAME=FILE, not \"" + value + "\".");
                }
                inputs[value.substr(0, equals)] = value.substr(equals + 1);
            } else if (option == "--out" && command == "run") {
                outputDirectory = value;
            } else if (option == "--precision") {
                const std::optional<ComputePrecision> named = parsePrecision(value);
                if (!named) {
                    throw UsageError("--precision is float32, bfloat16 or automatic, not \"" +
                                     value + "\".");
                }
                precision = *named;
            } else if (option == "--runs" && command == "bench") {
                runs = parsePositive(value);
            } else {
                throw UsageError("unknown option \"" + option + "\" for " + command + ".");
            }
        }
        if (command == "describe") {
            return describeBundle(bundle, precision, out);
        }
        if (command == "run") {
            if (outputDirectory.empty()) {
                throw UsageError("run needs --out DIR.");
            }
            return runBundle(bundle, inputs, outputDirectory, precision, out);
        }
        if (command == "bench") {
            return benchBundle(bundle, runs, precision, out);
        }
        throw UsageError("unknown command \"" + command + "\".");
    } catch (const UsageError& error) {
        err << "dravelin-model: " << error.what() << "\n" << kUsage;
        return 2;
    } catch (const std::exception& error) {
        err << "dravelin-model: " << error.what() << "\n";
        return 1;
    }
}

} // namespace dravelin
