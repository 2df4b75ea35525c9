#include "runtime/NetworkRegistry.h"

#include <stdexcept>

namespace dravelin {

NetworkRegistry& NetworkRegistry::shared() {
    static NetworkRegistry instance;
    return instance;
}

void NetworkRegistry::add(std::shared_ptr<const NetworkKind> kind) {
    std::lock_guard lock(mutex_);
    kinds_[kind->name()] = std::move(kind);
}

void NetworkRegistry::remove(const std::string& name) {
    std::lock_guard lock(mutex_);
    kinds_.erase(name);
}

std::shared_ptr<const NetworkKind> NetworkRegistry::find(const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto found = kinds_.find(name);
    return found == kinds_.end() ? nullptr : found->second;
}

std::vector<std::string> NetworkRegistry::names() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& [name, kind] : kinds_) {
        names.push_back(name);
    }
    return names;
}

std::string NetworkRegistry::inferKindName(const nlohmann::json& config,
                                           const std::string& bundleDirectoryName) {
    std::string className;
    if (config.is_object()) {
        auto named = config.find("_class_name");
        auto architectures = config.find("architectures");
        if (named != config.end() && named->is_string()) {
            className = named->get<std::string>();
        } else if (architectures != config.end() && architectures->is_array() &&
                   !architectures->empty() && architectures->front().is_string()) {
            className = architectures->front().get<std::string>();
        }
    }
    if (className.empty()) {
        throw std::invalid_argument("its config.json names no network class (neither "
                                    "\"_class_name\" nor \"architectures\")");
    }
    if (className == "AutoencoderKL") {
        return bundleDirectoryName.rfind("VAEEncoder", 0) == 0 ? "AutoencoderKL.encoder"
                                                               : "AutoencoderKL.decoder";
    }
    if (className == "UNet2DConditionModel" &&
        bundleDirectoryName.rfind("ControlledUnet", 0) == 0) {
        // The same network and weights, taking a ControlNet's residuals.
        return "UNet2DConditionModel.controlled";
    }
    if (className == "AutoencoderTiny") {
        return bundleDirectoryName.rfind("PreviewEncoder", 0) == 0 ? "AutoencoderTiny.encoder"
                                                                   : "AutoencoderTiny.decoder";
    }
    return className;
}

ScopedNetworkKind::ScopedNetworkKind(std::shared_ptr<const NetworkKind> kind,
                                     NetworkRegistry& registry)
    : registry_(registry), name_(kind->name()) {
    registry_.add(std::move(kind));
}

ScopedNetworkKind::~ScopedNetworkKind() {
    registry_.remove(name_);
}

} // namespace dravelin
