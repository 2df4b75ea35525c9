#include "nn/BuiltInNetworks.h"

#include "nn/networks/clip/ClipTextKinds.h"
#include "nn/networks/controlnet/ControlNetKind.h"
#include "nn/networks/safety/SafetyCheckerKind.h"
#include "nn/networks/taesd/TinyAutoencoderKinds.h"
#include "nn/networks/unet/UNetKind.h"
#include "nn/networks/vae/VaeKinds.h"
#include "runtime/NetworkRegistry.h"

namespace dravelin {

void registerBuiltInNetworks(NetworkRegistry& registry) {
    registry.add(std::make_shared<ClipTextKind>(false));
    registry.add(std::make_shared<ClipTextKind>(true));
    registry.add(std::make_shared<VaeDecoderKind>());
    registry.add(std::make_shared<VaeEncoderKind>());
    registry.add(std::make_shared<UNetKind>(false));
    registry.add(std::make_shared<UNetKind>(true));
    registry.add(std::make_shared<ControlNetKind>());
    registry.add(std::make_shared<SafetyCheckerKind>());
    registry.add(std::make_shared<TinyDecoderKind>());
    registry.add(std::make_shared<TinyEncoderKind>());
}

} // namespace dravelin
