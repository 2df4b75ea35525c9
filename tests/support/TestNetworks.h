#pragma once

// Small network kinds whose results are known, for tests of the runtime and
// of everything built on it.

#include "runtime/Network.h"
#include "runtime/NetworkRegistry.h"

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

namespace dravelin::testing {

// "TestAffine": config {"_class_name": "TestAffine", "features": n}; input
// "x" [1, n]; output "y" = x · scale + bias with weights "scale" [n] and
// "bias" [n]. Counts how many are evaluating at once, to catch overlap.
class AffineKind : public NetworkKind {
public:
    std::string name() const override { return "TestAffine"; }
    ModelDescription describe(const nlohmann::json& config) const override;
    std::vector<WeightSpec> expectedWeights(const nlohmann::json& config) const override;
    std::unique_ptr<Network> build(const nlohmann::json& config,
                                   const ModelDescription& description,
                                   const WeightFiles& weights) const override;

    // Evaluations in progress now, the most ever seen at once, and builds.
    mutable std::atomic<int> running{0};
    mutable std::atomic<int> mostAtOnce{0};
    mutable std::atomic<int> builds{0};
    // How long each evaluation takes, to give overlapping calls a chance.
    int evaluationMilliseconds = 0;
};

// A temporary directory removed with this object.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Writes a TestAffine bundle with `features` inputs, scale i + 1 and bias
// 10 × i at index i.
void writeAffineBundle(const std::filesystem::path& directory, int features = 3);

} // namespace dravelin::testing
