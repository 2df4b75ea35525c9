#include "schedulers/PNDMScheduler.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace dravelin {

PNDMScheduler::PNDMScheduler(int64_t stepCount, int64_t trainStepCount, BetaSchedule betaSchedule,
                             float betaStart, float betaEnd)
    : Scheduler(stepCount, trainStepCount) {
    if (stepCount < 2) {
        throw std::invalid_argument("The PNDM scheduler needs at least 2 steps, not " +
                                    std::to_string(stepCount) + ".");
    }
    tables_ = NoiseTables::make(trainStepCount_, betaSchedule, betaStart, betaEnd);

    const int n = inferenceStepCount_;
    const int ratio = trainStepCount_ / n;
    std::vector<int> base(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        base[static_cast<size_t>(i)] =
            roundToInt(static_cast<float>(ratio) * static_cast<float>(i)) + 1;
    }
    // Timesteps are offset by one; the last must stay a training timestep.
    if (base.back() >= trainStepCount_) {
        throw std::invalid_argument("The PNDM scheduler takes at most " +
                                    std::to_string(trainStepCount_ - 1) + " steps, not " +
                                    std::to_string(stepCount) + ".");
    }
    // The warm-up visits the second-to-last base timestep twice.
    base.insert(base.end() - 1, base[static_cast<size_t>(n - 2)]);
    timeSteps_.assign(base.rbegin(), base.rend());
}

ShapedArray PNDMScheduler::convertModelOutput(const ShapedArray& modelOutput, int timestep,
                                              const ShapedArray& sample) const {
    return denoisedEstimate(modelOutput, sample, tables_.alpha_t.at(static_cast<size_t>(timestep)),
                            tables_.sigma_t.at(static_cast<size_t>(timestep)));
}

ShapedArray PNDMScheduler::step(const ShapedArray& output, int timeStep,
                                const ShapedArray& sample) {
    if (output.shape() != sample.shape()) {
        throw std::invalid_argument("The network output " + describe(output.shape()) +
                                    " does not match the sample " + describe(sample.shape()) + ".");
    }
    const int ratio = trainStepCount_ / inferenceStepCount_;
    int t = timeStep;
    int prev = t - ratio;
    if (counter_ == 1) {
        // The second evaluation at the same timestep completes the step from
        // t + ratio to t.
        prev = t;
        t = t + ratio;
    } else {
        if (ets_.size() >= 4) {
            ets_.erase(ets_.begin(), ets_.end() - 3);
        }
        ets_.push_back(output);
    }
    if (t < 0 || t >= trainStepCount_ || prev >= trainStepCount_) {
        throw std::out_of_range("Timestep " + std::to_string(timeStep) +
                                " is outside the scheduler's tables.");
    }

    const ShapedArray* current = &sample;
    ShapedArray e;
    const size_t k = ets_.size();
    if (k == 1 && counter_ == 0) {
        e = output;
        currentSample_ = sample;
    } else if (k == 1 && counter_ == 1) {
        e = weightedSum({0.5, 0.5}, {output, ets_[0]});
        current = &*currentSample_;
    } else if (k == 2) {
        e = weightedSum({1.5, -0.5}, {ets_[k - 1], ets_[k - 2]});
    } else if (k == 3) {
        e = weightedSum({1.9166666666666667, -1.3333333333333333, 0.4166666666666667},
                        {ets_[k - 1], ets_[k - 2], ets_[k - 3]});
    } else {
        e = weightedSum({2.2916666666666665, -2.4583333333333335, 1.5416666666666667, -0.375},
                        {ets_[k - 1], ets_[k - 2], ets_[k - 3], ets_[k - 4]});
    }

    modelOutputs_.push_back(convertModelOutput(e, t, *current));

    const float A = tables_.alphasCumProd[static_cast<size_t>(t)];
    const float P = tables_.alphasCumProd[static_cast<size_t>(std::max(prev, 0))];
    const float c1 = std::sqrt(P / A);
    const float d = A * std::sqrt(1.0f - P) + std::sqrt(P * (A * (1.0f - A)));
    const float c2 = -(P - A) / d;
    ShapedArray next = weightedSum({c1, c2}, {*current, e});

    if (counter_ == 1) {
        currentSample_.reset();
    }
    counter_ += 1;
    return next;
}

SchedulerStep PNDMScheduler::step(const ShapedArray& output, float timeStep, const ShapedArray& sample,
                                  RandomSource& /*random*/) {
    return withLatestEstimate(*this, step(output, roundToInt(timeStep), sample));
}

} // namespace dravelin
