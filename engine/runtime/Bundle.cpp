#include "runtime/Bundle.h"

#include "core/BoundedFile.h"
#include "core/JsonNesting.h"
#include "core/TextExcerpt.h"
#include "runtime/RuntimeErrors.h"

#include <algorithm>

namespace dravelin {

namespace {

// Beyond any configuration by far (SD's largest is a few kilobytes).
constexpr uint64_t kMaximumJsonFileBytes = uint64_t{4} << 20;
// Bounds on the input shapes a bundle may fix; the network kinds bound them
// further by what they build.
constexpr size_t kMaximumRank = 8;
constexpr int64_t kMaximumDimension = int64_t{1} << 20;

nlohmann::json readJson(const std::filesystem::path& file, const std::string& bundleName) {
    const std::string where =
        "The " + file.filename().string() + " of model bundle \"" + excerpt(bundleName) + "\"";
    std::string text;
    try {
        text = readBoundedFile(file, kMaximumJsonFileBytes, where);
    } catch (const BoundedFileError& error) {
        throw ModelLoadError(error.what());
    }
    if (jsonNestingDepth(text, kMaximumJsonNesting) > kMaximumJsonNesting) {
        throw ModelLoadError(where + " nests lists or objects more than " +
                             std::to_string(kMaximumJsonNesting) + " deep.");
    }
    nlohmann::json json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded()) {
        throw ModelLoadError(where + " is not valid JSON.");
    }
    if (!json.is_object()) {
        throw ModelLoadError(where + " is not a JSON object.");
    }
    return json;
}

Shape readShape(const nlohmann::json& value) {
    if (!value.is_array() || value.size() > kMaximumRank) {
        throw std::invalid_argument("not a list of at most " + std::to_string(kMaximumRank) +
                                    " sizes");
    }
    Shape shape;
    for (const nlohmann::json& dimension : value) {
        if (!dimension.is_number_integer() || dimension.get<int64_t>() < 0 ||
            (dimension.is_number_unsigned() &&
             dimension.get<uint64_t>() > static_cast<uint64_t>(kMaximumDimension)) ||
            dimension.get<int64_t>() > kMaximumDimension) {
            throw std::invalid_argument("not a list of whole numbers from 0 to " +
                                        std::to_string(kMaximumDimension));
        }
        shape.push_back(dimension.get<int64_t>());
    }
    elementCount(shape); // refuses shapes whose element count overflows
    return shape;
}

} // namespace

std::string Bundle::directoryName() const {
    return directory.filename().string();
}

Bundle Bundle::read(const std::filesystem::path& path) {
    Bundle bundle;
    // A trailing slash would leave the directory's own name empty.
    bundle.directory = path.has_filename() ? path : path.parent_path();
    const std::string name = bundle.directoryName();
    std::error_code error;
    if (!std::filesystem::is_directory(bundle.directory, error)) {
        throw ModelLoadError("The model bundle \"" + excerpt(bundle.directory.string(), 200) +
                             "\" does not exist or is not a directory.");
    }

    bundle.config = readJson(bundle.directory / "config.json", name);

    const std::filesystem::path overrides = bundle.directory / "bundle.json";
    if (std::filesystem::exists(overrides, error)) {
        const nlohmann::json json = readJson(overrides, name);
        if (auto kind = json.find("kind"); kind != json.end()) {
            if (!kind->is_string() || kind->get<std::string>().empty()) {
                throw ModelLoadError("The bundle.json of model bundle \"" + name +
                                     "\" has a \"kind\" that is not a name.");
            }
            bundle.kind = kind->get<std::string>();
        }
        if (auto inputs = json.find("inputs"); inputs != json.end()) {
            if (!inputs->is_object()) {
                throw ModelLoadError("The bundle.json of model bundle \"" + name +
                                     "\" has \"inputs\" that are not an object of shapes.");
            }
            if (inputs->size() > kMaximumRank * 4) {
                throw ModelLoadError("The bundle.json of model bundle \"" + name +
                                     "\" gives shapes to " + std::to_string(inputs->size()) +
                                     " inputs; no network here has that many.");
            }
            for (const auto& [input, shape] : inputs->items()) {
                try {
                    bundle.inputShapes.push_back({input, readShape(shape)});
                } catch (const std::exception& cause) {
                    throw ModelLoadError("The bundle.json of model bundle \"" + name +
                                         "\" gives input \"" + excerpt(input) +
                                         "\" a shape that is " + cause.what() + ".");
                }
            }
        }
    }

    for (const auto& entry : std::filesystem::directory_iterator(bundle.directory, error)) {
        if (entry.path().extension() == ".safetensors") {
            bundle.weightFiles.push_back(entry.path());
        }
    }
    if (error) {
        throw ModelLoadError("The model bundle \"" + name +
                             "\" cannot be listed: " + error.message() + ".");
    }
    std::sort(bundle.weightFiles.begin(), bundle.weightFiles.end());
    return bundle;
}

} // namespace dravelin
