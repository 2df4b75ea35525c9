#pragma once

#include "runtime/Network.h"

#include <memory>

namespace dravelin {

// "AutoencoderKL.decoder": the decoder half of an AutoencoderKL bundle; input
// "z" [1, latent channels, sample/2^(blocks−1), same], output "image".
std::shared_ptr<NetworkKind> vaeDecoderKind();

// "AutoencoderKL.encoder": the encoder half; input "x" [1, in channels,
// sample, sample], output "moments".
std::shared_ptr<NetworkKind> vaeEncoderKind();

} // namespace dravelin
