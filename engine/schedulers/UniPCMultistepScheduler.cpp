#include "schedulers/UniPCMultistepScheduler.h"

#include "schedulers/TimestepSpacing.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace dravelin {

UniPCMultistepScheduler::UniPCMultistepScheduler(int64_t stepCount, TimeStepSpacing spacing)
    : MultistepSigmaScheduler(stepCount, spacing, "UniPC") {}

// The corrector of the step that ended at `index`: the sample it was given,
// redone from the last step's start with the new estimate.
ShapedArray UniPCMultistepScheduler::corrected(const ShapedArray& estimate, size_t index) const {
    const Level t = level(index);
    const Level s0 = level(index - 1);
    const double h = t.lambda - s0.lambda;
    const double hh = -h;
    const double hPhi1 = std::expm1(hh);
    const double bh = std::expm1(hh);
    const ShapedArray& m0 = modelOutputs_.back();
    const ShapedArray& x = *lastSample_;
    const ShapedArray change = weightedSum({1.0, -1.0}, {estimate, m0});
    const double base = -t.alpha * bh;
    if (order_ == 1) {
        return weightedSum({t.sigma / s0.sigma, -t.alpha * hPhi1, base * 0.5}, {x, m0, change});
    }
    const Level s1 = level(index - 2);
    const ShapedArray& m1 = modelOutputs_[modelOutputs_.size() - 2];
    const double rk = (s1.lambda - s0.lambda) / h;
    double hPhiK = hPhi1 / hh - 1.0;
    const double b1 = hPhiK / bh;
    hPhiK = hPhiK / hh - 0.5;
    const double b2 = hPhiK * 2.0 / bh;
    // [1 1; rk 1] · ρ = b.
    const double rho0 = (b1 - b2) / (1.0 - rk);
    const double rho1 = b1 - rho0;
    const ShapedArray d1 = weightedSum({1.0 / rk, -1.0 / rk}, {m1, m0});
    return weightedSum({t.sigma / s0.sigma, -t.alpha * hPhi1, base * rho0, base * rho1},
                       {x, m0, d1, change});
}

ShapedArray UniPCMultistepScheduler::predicted(const ShapedArray& sample, size_t index,
                                               int order) const {
    const Level t = level(index + 1);
    const Level s0 = level(index);
    const double h = t.lambda - s0.lambda;
    const double hh = -h;
    const double hPhi1 = std::expm1(hh);
    const double bh = std::expm1(hh);
    const ShapedArray& m0 = modelOutputs_.back();
    if (order == 1) {
        return weightedSum({t.sigma / s0.sigma, -t.alpha * hPhi1}, {sample, m0});
    }
    const Level s1 = level(index - 1);
    const ShapedArray& m1 = modelOutputs_[modelOutputs_.size() - 2];
    const double rk = (s1.lambda - s0.lambda) / h;
    const ShapedArray d1 = weightedSum({1.0 / rk, -1.0 / rk}, {m1, m0});
    return weightedSum({t.sigma / s0.sigma, -t.alpha * hPhi1, -t.alpha * bh * 0.5},
                       {sample, m0, d1});
}

SchedulerStep UniPCMultistepScheduler::step(const ShapedArray& output, float timeStepValue,
                                            const ShapedArray& sample, RandomSource& /*random*/) {
    const size_t index = stepIndex(timeStepValue);
    const Level now = level(index);
    ShapedArray estimate = denoisedEstimate(output, sample, static_cast<float>(now.alpha),
                                            static_cast<float>(now.sigma));
    ShapedArray current = index > 0 && lastSample_ && !modelOutputs_.empty()
                              ? corrected(estimate, index)
                              : sample;
    remember(estimate);
    // The last step is first order; the first ones warm up.
    const int remaining = static_cast<int>(timeSteps_.size() - index);
    order_ = std::min({solverOrder, remaining, lowerOrderSteps_ + 1});
    ShapedArray next = predicted(current, index, order_);
    lastSample_ = std::move(current);
    advance();
    return {std::move(next), std::move(estimate)};
}

} // namespace dravelin
