#pragma once

#include "runtime/Network.h"

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace dravelin {

// The network kinds the runtime can build, by name.
class NetworkRegistry {
public:
    // The process-wide registry that bundles are loaded through. The engine's
    // own kinds are added to it when a program starts (nn/RegisterBuiltInNetworks.cpp).
    static NetworkRegistry& shared();

    // Adds a kind, replacing one of the same name.
    void add(std::shared_ptr<const NetworkKind> kind);
    void remove(const std::string& name);
    // Null when no kind has that name.
    std::shared_ptr<const NetworkKind> find(const std::string& name) const;
    std::vector<std::string> names() const;

    // The kind a configuration asks for: its "_class_name", else the first of
    // its "architectures". An AutoencoderKL is the image encoder in a bundle
    // whose directory name starts with "VAEEncoder", else the decoder
    // ("AutoencoderKL.encoder" / "AutoencoderKL.decoder"); a
    // UNet2DConditionModel takes a ControlNet's residuals in a bundle whose
    // name starts with "ControlledUnet" ("UNet2DConditionModel.controlled"); an AutoencoderTiny is the encoder
    // under "PreviewEncoder…", else the preview decoder. Throws
    // std::invalid_argument when the configuration names no class.
    static std::string inferKindName(const nlohmann::json& config,
                                     const std::string& bundleDirectoryName);

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<const NetworkKind>> kinds_;
};

// Registers a kind for the lifetime of this object (tests register small
// kinds of their own this way).
class ScopedNetworkKind {
public:
    explicit ScopedNetworkKind(std::shared_ptr<const NetworkKind> kind,
                               NetworkRegistry& registry = NetworkRegistry::shared());
    ~ScopedNetworkKind();
    ScopedNetworkKind(const ScopedNetworkKind&) = delete;
    ScopedNetworkKind& operator=(const ScopedNetworkKind&) = delete;

private:
    NetworkRegistry& registry_;
    std::string name_;
};

} // namespace dravelin
