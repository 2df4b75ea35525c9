#pragma once

#include "schedulers/Scheduler.h"

#include <cstdint>
#include <string_view>

namespace dravelin {

// The noise Stable Diffusion was trained with, which every scheduler of its
// family starts from: 1000 training steps with scaled-linear betas from
// 0.00085 to 0.012, the tables built as PyTorch builds them.
inline constexpr int stableDiffusionTrainSteps = 1000;
NoiseTables stableDiffusionNoiseTables();

// Throws std::invalid_argument ("The UniPC scheduler needs at least 1 step,
// not 0.") for fewer than one step; an empty name says "The scheduler".
void requireSteps(int64_t stepCount, std::string_view schedulerName);

} // namespace dravelin
