#pragma once

#include "runtime/Network.h"

#include <memory>

namespace dravelin {

// "AutoencoderTiny.decoder": the preview decoder (TAESD); input "z" [1,
// latent channels, 64, 64] unless bundle.json fixes another shape, output
// "image".
std::shared_ptr<NetworkKind> tinyDecoderKind();

// "AutoencoderTiny.encoder": input "x" [1, in channels, 512, 512] unless
// bundle.json fixes another shape, output "latents".
std::shared_ptr<NetworkKind> tinyEncoderKind();

} // namespace dravelin
