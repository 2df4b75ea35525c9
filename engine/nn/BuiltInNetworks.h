#pragma once

namespace dravelin {

class NetworkRegistry;

// Adds the network kinds the engine builds itself (text encoders, VAE,
// denoising networks, safety checker) to a registry. The shared registry calls it once.
void registerBuiltInNetworks(NetworkRegistry& registry);

} // namespace dravelin
