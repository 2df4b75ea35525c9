#pragma once

namespace dravelin {

// Everything that owns models: loads them, releases them, and can warm them up
// (load once so the runtime prepares the model, then give the memory back).
class ResourceManaging {
public:
    virtual ~ResourceManaging() = default;

    // May throw the model runtime's error.
    virtual void loadResources() = 0;
    virtual void unloadResources() noexcept = 0;
    // Load, then unload. A failed load is passed on and nothing is unloaded.
    virtual void prewarmResources();
    // Fails as a load would on resources that cannot load (a missing or
    // damaged file), as cheaply as the owner can tell: by default a prewarm;
    // a model holder reads its bundle and checks its weights without
    // building the network.
    virtual void checkResources();
};

} // namespace dravelin
