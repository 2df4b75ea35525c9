#pragma once

#include "schedulers/Scheduler.h"
#include "schedulers/SchedulerOptions.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace dravelin {

// What the multistep solvers that walk a sigma schedule in log-SNR time
// (UniPC, DPM++ 2M SDE) keep between steps: Stable Diffusion's noise tables,
// the schedule's timesteps and sigmas, α, σ and λ at each position, which
// position the next step is at, and how many steps of the warm-up are done.
class MultistepSigmaScheduler : public Scheduler {
public:
    static constexpr int solverOrder = 2;

protected:
    // `name` names the scheduler in messages ("UniPC"). Throws
    // std::invalid_argument for fewer than 1 step.
    MultistepSigmaScheduler(int64_t stepCount, TimeStepSpacing spacing, std::string_view name);

    // α, σ and log(α / σ) at an index of sigmas_.
    struct Level {
        double alpha;
        double sigma;
        double lambda;
    };
    Level level(size_t index) const;

    // The schedule position of this step: found from the first step's
    // timestep (an image-to-image run starts midway), then one after
    // another. Throws std::out_of_range once every step is taken.
    size_t stepIndex(float timeStep);
    // Keeps the newest `solverOrder` estimates, this one last.
    void remember(const ShapedArray& estimate);
    // Moves on to the next position, one more warm-up step done.
    void advance();

    std::vector<float> sigmas_;
    // Steps taken at lower order, up to solverOrder.
    int lowerOrderSteps_ = 0;

private:
    std::string_view name_;
    std::optional<size_t> stepIndex_;
};

} // namespace dravelin
