#pragma once

// The reference fixtures written by tools/reference/nn_reference.py, and the
// comparisons the network tests make against them.

#include "core/ShapedArray.h"
#include "runtime/BundleWriter.h"
#include "runtime/ModelConfiguration.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace dravelin::testing {

// tests/nn/fixtures in the source tree.
std::filesystem::path fixturesDirectory();

// The arrays of "<name>.fixture.safetensors", by name.
std::map<std::string, ShapedArray> loadFixture(const std::string& name);

// Copies the bundle "<name>.model" from the fixtures into `directory`, under
// `newName` (so a test may change its files), and returns the copy's path.
std::filesystem::path copyBundle(const std::string& name, const std::filesystem::path& directory,
                                 const std::string& newName = "");

// Changes a bundle's config.json, or its model.safetensors, in place.
void editConfig(const std::filesystem::path& bundle,
                const std::function<void(nlohmann::json&)>& edit);
void editWeights(const std::filesystem::path& bundle,
                 const std::function<void(std::vector<TensorToWrite>&)>& edit);

// Loading (with the LoRA files) fails with a ModelLoadError whose message
// holds every fragment.
::testing::AssertionResult loadFails(const std::filesystem::path& bundle,
                                     const std::vector<std::string>& fragments,
                                     const std::vector<LoraFile>& loras = {});

// The largest magnitude in `array`: the scale errors are measured against.
float largestMagnitude(const ShapedArray& array);
float largestDifference(const ShapedArray& a, const ShapedArray& b);

// Same shape, and every element within `relative` × largestMagnitude(expected)
// of the expected one.
::testing::AssertionResult closeTo(const ShapedArray& actual, const ShapedArray& expected,
                                   float relative);

// bfloat16 bit patterns as the float32 values they stand for.
ShapedArray widened(const std::vector<uint16_t>& values, Shape shape);

} // namespace dravelin::testing
