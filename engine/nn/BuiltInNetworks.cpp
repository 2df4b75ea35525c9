#include "nn/BuiltInNetworks.h"

#include "runtime/NetworkRegistry.h"

namespace dravelin {

void registerBuiltInNetworks(NetworkRegistry& /*registry*/) {
    // Each network kind of the engine registers here as it is written.
}

} // namespace dravelin
