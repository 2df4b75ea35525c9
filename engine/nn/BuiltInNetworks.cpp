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
    registry.add(clipTextKind(false));
    registry.add(clipTextKind(true));
    registry.add(vaeDecoderKind());
    registry.add(vaeEncoderKind());
    registry.add(unetKind(false));
    registry.add(unetKind(true));
    registry.add(controlNetKind());
    registry.add(safetyCheckerKind());
    registry.add(tinyDecoderKind());
    registry.add(tinyEncoderKind());
}

} // namespace dravelin
