#include "runtime/Bundle.h"

#include "runtime/RuntimeErrors.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

namespace dravelin {

namespace {

nlohmann::json readJson(const std::filesystem::path& file, const std::string& bundleName) {
    std::ifstream stream(file, std::ios::binary);
    if (!stream) {
        throw ModelLoadError("The model bundle \"" + bundleName + "\" has no readable " +
                             file.filename().string() + ".");
    }
    const std::string text{std::istreambuf_iterator<char>(stream),
                           std::istreambuf_iterator<char>()};
    nlohmann::json json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded()) {
        throw ModelLoadError("The " + file.filename().string() + " of model bundle \"" +
                             bundleName + "\" is not valid JSON.");
    }
    if (!json.is_object()) {
        throw ModelLoadError("The " + file.filename().string() + " of model bundle \"" +
                             bundleName + "\" is not a JSON object.");
    }
    return json;
}

Shape readShape(const nlohmann::json& value) {
    if (!value.is_array()) {
        throw std::invalid_argument("not a list");
    }
    Shape shape;
    for (const nlohmann::json& dimension : value) {
        if (!dimension.is_number_integer() || dimension.get<int64_t>() < 0) {
            throw std::invalid_argument("not a list of non-negative integers");
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
        throw ModelLoadError("The model bundle \"" + bundle.directory.string() +
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
            for (const auto& [input, shape] : inputs->items()) {
                try {
                    bundle.inputShapes.push_back({input, readShape(shape)});
                } catch (const std::exception& cause) {
                    throw ModelLoadError("The bundle.json of model bundle \"" + name +
                                         "\" gives input \"" + input + "\" a shape that is " +
                                         cause.what() + ".");
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
