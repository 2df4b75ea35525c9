#include "nn/support/NetworkFixtures.h"

#include "runtime/Model.h"
#include "runtime/RuntimeErrors.h"
#include "runtime/Safetensors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <fstream>

namespace dravelin::testing {

std::filesystem::path fixturesDirectory() {
    return DRAVELIN_NN_FIXTURES;
}

std::map<std::string, ShapedArray> loadFixture(const std::string& name) {
    const SafetensorsFile file(fixturesDirectory() / (name + ".fixture.safetensors"));
    std::map<std::string, ShapedArray> arrays;
    for (const auto& [tensorName, view] : file.tensors()) {
        arrays.emplace(tensorName, toShapedArray(view));
    }
    return arrays;
}

std::filesystem::path copyBundle(const std::string& name, const std::filesystem::path& directory,
                                 const std::string& newName) {
    const auto target = directory / ((newName.empty() ? name : newName) + ".model");
    std::filesystem::copy(fixturesDirectory() / (name + ".model"), target,
                          std::filesystem::copy_options::recursive);
    for (const auto& entry : std::filesystem::directory_iterator(target)) {
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add);
    }
    return target;
}

void editConfig(const std::filesystem::path& bundle,
                const std::function<void(nlohmann::json&)>& edit) {
    nlohmann::json config;
    std::ifstream(bundle / "config.json") >> config;
    edit(config);
    writeFileAtomically(bundle / "config.json", config.dump(2));
}

void editWeights(const std::filesystem::path& bundle,
                 const std::function<void(std::vector<TensorToWrite>&)>& edit) {
    const auto path = bundle / "model.safetensors";
    std::vector<TensorToWrite> tensors;
    {
        const SafetensorsFile file(path);
        for (const auto& [name, view] : file.tensors()) {
            tensors.push_back({name, view.dtype, view.shape,
                               std::vector<uint8_t>(view.bytes.begin(), view.bytes.end())});
        }
    }
    edit(tensors);
    writeSafetensors(path, tensors);
}

::testing::AssertionResult loadFails(const std::filesystem::path& bundle,
                                     const std::vector<std::string>& fragments,
                                     const std::vector<LoraFile>& loras) {
    try {
        Model::load(bundle, {ComputeUnits::all, ComputePrecision::float32, loras});
    } catch (const ModelLoadError& error) {
        const std::string message = error.what();
        for (const std::string& fragment : fragments) {
            if (message.find(fragment) == std::string::npos) {
                return ::testing::AssertionFailure()
                       << "the message \"" << message << "\" lacks \"" << fragment << "\"";
            }
        }
        return ::testing::AssertionSuccess() << message;
    }
    return ::testing::AssertionFailure() << "the bundle loaded";
}

float largestMagnitude(const ShapedArray& array) {
    float largest = 0.0f;
    for (float value : array.values()) {
        largest = std::max(largest, std::fabs(value));
    }
    return largest;
}

float largestDifference(const ShapedArray& a, const ShapedArray& b) {
    float largest = 0.0f;
    for (int64_t i = 0; i < std::min(a.count(), b.count()); ++i) {
        const float difference = std::fabs(a.data()[i] - b.data()[i]);
        // NaN compares false; make it the largest difference there is.
        largest =
            difference <= largest ? largest : (std::isnan(difference) ? INFINITY : difference);
    }
    return largest;
}

ShapedArray widened(const std::vector<uint16_t>& values, Shape shape) {
    ShapedArray array(std::move(shape));
    for (int64_t i = 0; i < array.count(); ++i) {
        array.data()[i] = std::bit_cast<float>(uint32_t{values[static_cast<size_t>(i)]} << 16);
    }
    return array;
}

::testing::AssertionResult closeTo(const ShapedArray& actual, const ShapedArray& expected,
                                   float relative) {
    if (actual.shape() != expected.shape()) {
        return ::testing::AssertionFailure() << "shape " << describe(actual.shape())
                                             << ", expected " << describe(expected.shape());
    }
    const float scale = largestMagnitude(expected);
    const float difference = largestDifference(actual, expected);
    if (difference <= relative * scale) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "largest difference " << difference << " exceeds " << relative << " × scale " << scale
           << " (" << difference / scale << " of the scale)";
}

} // namespace dravelin::testing
