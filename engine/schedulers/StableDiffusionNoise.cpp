#include "schedulers/StableDiffusionNoise.h"

#include <stdexcept>
#include <string>

namespace dravelin {

NoiseTables stableDiffusionNoiseTables() {
    return NoiseTables::makeAsTorch(stableDiffusionTrainSteps, BetaSchedule::scaledLinear, 0.00085,
                                    0.012);
}

void requireSteps(int64_t stepCount, std::string_view schedulerName) {
    if (stepCount < 1) {
        const std::string name =
            schedulerName.empty() ? std::string() : std::string(schedulerName) + " ";
        throw std::invalid_argument("The " + name + "scheduler needs at least 1 step, not " +
                                    std::to_string(stepCount) + ".");
    }
}

} // namespace dravelin
