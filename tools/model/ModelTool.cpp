#include "model/ModelTool.h"

#include "core/BoundedFile.h"
#include "core/TextExcerpt.h"
#include "options/CommandLineOptions.h"
#include "random/NumPyRandomSource.h"
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

constexpr const char* kUsageIntro =
    "usage: dravelin-model describe BUNDLE [--precision P]\n"
    "       dravelin-model run BUNDLE --input NAME=FILE ... --out DIR [--precision P]\n"
    "       dravelin-model bench BUNDLE [--runs N] [--precision P]\n"
    "Input and output files hold raw little-endian 32-bit floats in row-major order.\n";

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
        throw std::invalid_argument("--runs takes a whole number of at least 1, not " +
                                    quotedValue(text) + ".");
    }
    return value;
}

struct ModelToolRequest {
    std::map<std::string, std::string> inputs;
    std::string outputDirectory;
    int runs = 10;
    ComputePrecision precision = ComputePrecision::automatic;
};

// The options of one command ("" for every command's, as --help lists them).
OptionTable modelToolOptions(const std::string& command, ModelToolRequest& r) {
    OptionTable table;
    if (command.empty() || command == "run") {
        table.push_back({"--input", "NAME=FILE", "run: the file of the input NAME; one per input",
                         [&r](const std::string& v) {
                             const size_t equals = v.find('=');
                             if (equals == std::string::npos || equals == 0 ||
                                 equals + 1 == v.size()) {
                                 throw std::invalid_argument("--input takes NAME=FILE, not " +
                                                             quotedValue(v) + ".");
                             }
                             r.inputs[v.substr(0, equals)] = v.substr(equals + 1);
                         }});
        table.push_back({"--out", "DIR", "run: where the outputs are written",
                         [&r](const std::string& v) { r.outputDirectory = v; }});
    }
    if (command.empty() || command == "bench") {
        table.push_back({"--runs", "N", "bench: evaluations to time (default 10)",
                         [&r](const std::string& v) { r.runs = parsePositive(v); }});
    }
    table.push_back({"--precision", "P",
                     "float32, bfloat16 or automatic (the default;\nDRAVELIN_PRECISION sets it too)",
                     [&r](const std::string& v) {
                         const std::optional<ComputePrecision> named = parsePrecision(v);
                         if (!named) {
                             throw std::invalid_argument(
                                 "--precision is float32, bfloat16 or automatic, not " +
                                 quotedValue(v) + ".");
                         }
                         r.precision = *named;
                     }});
    return table;
}

std::string modelToolUsage() {
    ModelToolRequest request;
    return kUsageIntro + optionsUsage(modelToolOptions("", request));
}

} // namespace

int runModelTool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    try {
        if (arguments.size() < 2) {
            throw UsageError("a command and a bundle are needed.");
        }
        const std::string& command = arguments[0];
        const std::string& bundle = arguments[1];
        ModelToolRequest request;
        if (command != "describe" && command != "run" && command != "bench") {
            throw UsageError("unknown command " + quotedValue(command) + ".");
        }
        try {
            applyCommandLine(modelToolOptions(command, request),
                             std::vector<std::string>(arguments.begin() + 2, arguments.end()));
        } catch (const std::invalid_argument& error) {
            throw UsageError(error.what());
        }
        const ComputePrecision precision = request.precision;
        if (command == "describe") {
            return describeBundle(bundle, precision, out);
        }
        if (command == "run") {
            if (request.outputDirectory.empty()) {
                throw UsageError("run needs --out DIR.");
            }
            return runBundle(bundle, request.inputs, request.outputDirectory, precision, out);
        }
        if (command == "bench") {
            return benchBundle(bundle, request.runs, precision, out);
        }
        throw UsageError("unknown command \"" + command + "\".");
    } catch (const UsageError& error) {
        err << "dravelin-model: " << error.what() << "\n" << modelToolUsage();
        return 2;
    } catch (const std::exception& error) {
        err << "dravelin-model: " << error.what() << "\n";
        return 1;
    }
}

} // namespace dravelin
