#pragma once

#include "runtime/Network.h"

#include <memory>

namespace dravelin {

// "ControlNetModel": the denoising network's inputs (the guidance batch of
// 2, sample_size latents, 77 text positions, as the denoising network's) and
// "controlnet_cond" [2, conditioning_channels, 8·sample_size, 8·sample_size];
// outputs the residuals the controlled denoising network takes, named as its
// inputs are.
std::shared_ptr<NetworkKind> controlNetKind();

} // namespace dravelin
