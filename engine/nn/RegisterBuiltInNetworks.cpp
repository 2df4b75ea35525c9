// Compiled into every program that links the whole engine: the shared
// registry gets the engine's network kinds before main runs, so loading a
// bundle needs no set-up call, and the runtime below never refers to the
// networks built on it.

#include "nn/BuiltInNetworks.h"
#include "runtime/NetworkRegistry.h"

namespace {

[[maybe_unused]] const bool builtInNetworksRegistered = [] {
    dravelin::registerBuiltInNetworks(dravelin::NetworkRegistry::shared());
    return true;
}();

} // namespace
