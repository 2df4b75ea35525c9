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

std::string jsonWhere(std::string_view fileName, const std::string& bundleName) {
    return "The " + std::string(fileName) + " of model bundle \"" + excerpt(bundleName) + "\"";
}

std::string readJsonText(const std::filesystem::path& file, const std::string& bundleName) {
    try {
        return readBoundedFile(file, kMaximumJsonFileBytes,
                               jsonWhere(file.filename().string(), bundleName));
    } catch (const BoundedFileError& error) {
        throw ModelLoadError(error.what());
    }
}

nlohmann::json parseJson(std::string_view text, std::string_view fileName,
                         const std::string& bundleName) {
    const std::string where = jsonWhere(fileName, bundleName);
    if (text.size() > kMaximumJsonFileBytes) {
        throw ModelLoadError(where + " is larger than " + describeByteCount(kMaximumJsonFileBytes) +
                             ".");
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

namespace {

// config.json's and bundle.json's contents into `bundle`, which has its
// directory set.
void readContents(Bundle& bundle, std::string_view configText,
                  std::optional<std::string_view> overridesText) {
    const std::string name = bundle.directoryName();
    bundle.config = parseJson(configText, "config.json", name);
    if (overridesText) {
        const nlohmann::json json = parseJson(*overridesText, "bundle.json", name);
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
}

std::filesystem::path withName(const std::filesystem::path& path) {
    // A trailing slash would leave the directory's own name empty.
    return path.has_filename() ? path : path.parent_path();
}

} // namespace

Bundle Bundle::fromContents(const BundleContents& contents) {
    Bundle bundle;
    bundle.directory = withName(contents.directory);
    readContents(bundle, contents.config, contents.overrides);
    return bundle;
}

Bundle Bundle::read(const std::filesystem::path& path) {
    Bundle bundle;
    bundle.directory = withName(path);
    const std::string name = bundle.directoryName();
    std::error_code error;
    if (!std::filesystem::is_directory(bundle.directory, error)) {
        throw ModelLoadError("The model bundle \"" + excerpt(bundle.directory.string(), 200) +
                             "\" does not exist or is not a directory.");
    }
    const std::string configText = readJsonText(bundle.directory / "config.json", name);
    std::optional<std::string> overridesText;
    const std::filesystem::path overrides = bundle.directory / "bundle.json";
    if (std::filesystem::exists(overrides, error)) {
        overridesText = readJsonText(overrides, name);
    }
    readContents(bundle, configText,
                 overridesText ? std::optional<std::string_view>(*overridesText) : std::nullopt);

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
