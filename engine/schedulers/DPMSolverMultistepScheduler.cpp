#include "schedulers/DPMSolverMultistepScheduler.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace dravelin {

namespace {

constexpr float kInverseRho = 0.14285715f; // nearest float to 1/7

std::vector<int> linspaceTimesteps(int trainStepCount, int stepCount) {
    const std::vector<float> points =
        linspace(0.0f, static_cast<float>(trainStepCount - 1), stepCount + 1);
    std::vector<int> steps;
    steps.reserve(static_cast<size_t>(stepCount));
    for (int i = stepCount; i >= 1; --i) {
        steps.push_back(roundToInt(points[static_cast<size_t>(i)]));
    }
    return steps;
}

std::vector<int> leadingTimesteps(int trainStepCount, int stepCount) {
    const int ratio = (trainStepCount - 1) / (stepCount + 1);
    std::vector<int> steps;
    steps.reserve(static_cast<size_t>(stepCount));
    for (int j = stepCount; j >= 1; --j) {
        steps.push_back(j * ratio + 1);
    }
    return steps;
}

} // namespace

DPMSolverMultistepScheduler::DPMSolverMultistepScheduler(int64_t stepCount, int64_t trainStepCount,
                                                         BetaSchedule betaSchedule, float betaStart,
                                                         float betaEnd,
                                                         TimeStepSpacing timeStepSpacing)
    : Scheduler(stepCount, trainStepCount) {
    if (stepCount < 1) {
        throw std::invalid_argument("The DPM-Solver scheduler needs at least 1 step, not " +
                                    std::to_string(stepCount) + ".");
    }
    tables_ = NoiseTables::make(trainStepCount_, betaSchedule, betaStart, betaEnd);
    const int n = inferenceStepCount_;
    const int t = trainStepCount_;

    switch (timeStepSpacing) {
    case TimeStepSpacing::linspace:
        timeSteps_ = linspaceTimesteps(t, n);
        break;
    case TimeStepSpacing::leading:
        timeSteps_ = leadingTimesteps(t, n);
        break;
    case TimeStepSpacing::trailing:
        throw std::invalid_argument("The DPM-Solver scheduler takes linspace, leading or Karras "
                                    "spacing, not trailing.");
    case TimeStepSpacing::karras: {
        if (t < 2) {
            throw std::invalid_argument("Karras sigmas need at least 2 training steps.");
        }
        const std::vector<float>& cumProd = tables_.alphasCumProd;
        std::vector<float> sigmas(cumProd.size());
        std::vector<float> logSigmas(cumProd.size());
        for (size_t i = 0; i < cumProd.size(); ++i) {
            const float inverse = 1.0f / cumProd[i];
            sigmas[i] = std::sqrt((1.0f - cumProd[i]) * inverse);
            logSigmas[i] = std::log(sigmas[i]);
        }
        const float maxInvRho = std::pow(sigmas.back(), kInverseRho);
        const float minInvRho = std::pow(sigmas.front(), kInverseRho);
        // A one-entry ramp is defined as [0] (the start of the ramp, as
        // NumPy's linspace gives it) instead of 0/0.
        const std::vector<float> ramp = n == 1 ? std::vector<float>{0.0f} : linspace(0, 1, n);
        std::vector<float> karrasSigmas(static_cast<size_t>(n));
        for (size_t i = 0; i < karrasSigmas.size(); ++i) {
            karrasSigmas[i] = std::pow(maxInvRho + (minInvRho - maxInvRho) * ramp[i], 7.0f);
            timeSteps_.push_back(sigmaToTimestep(karrasSigmas[i], logSigmas));
        }
        karrasSigmas.push_back(karrasSigmas.back());
        tables_.alpha_t.resize(karrasSigmas.size());
        tables_.sigma_t.resize(karrasSigmas.size());
        for (size_t i = 0; i < karrasSigmas.size(); ++i) {
            tables_.alpha_t[i] = 1.0f / std::sqrt(karrasSigmas[i] * karrasSigmas[i] + 1.0f);
            tables_.sigma_t[i] = karrasSigmas[i] * tables_.alpha_t[i];
        }
        tables_.lambda_t = lambdas(tables_.alpha_t, tables_.sigma_t);
        usingKarrasSigmas_ = true;
        break;
    }
    }
}

size_t DPMSolverMultistepScheduler::tableIndex(int timestep) const {
    if (usingKarrasSigmas_) {
        auto found = std::find(timeSteps_.begin(), timeSteps_.end(), timestep);
        return found == timeSteps_.end() ? 0 : static_cast<size_t>(found - timeSteps_.begin());
    }
    if (timestep < 0 || timestep >= trainStepCount_) {
        throw std::out_of_range("Timestep " + std::to_string(timestep) +
                                " is outside the scheduler's tables.");
    }
    return static_cast<size_t>(timestep);
}

ShapedArray DPMSolverMultistepScheduler::convertModelOutput(const ShapedArray& modelOutput,
                                                            int timestep,
                                                            const ShapedArray& sample) const {
    const size_t index = tableIndex(timestep);
    return denoisedEstimate(modelOutput, sample, tables_.alpha_t[index], tables_.sigma_t[index]);
}

ShapedArray DPMSolverMultistepScheduler::firstOrderUpdate(const ShapedArray& x0, int timestep,
                                                          int prevTimestep,
                                                          const ShapedArray& sample) const {
    const size_t it = tableIndex(prevTimestep);
    const size_t is = tableIndex(timestep);
    const double lambdaT = tables_.lambda_t[it];
    const double lambdaS = tables_.lambda_t[is];
    const double alphaT = tables_.alpha_t[it];
    const double sigmaT = tables_.sigma_t[it];
    const double sigmaS = tables_.sigma_t[is];
    const double h = lambdaT - lambdaS;
    const double w0 = sigmaT / sigmaS;
    const double w1 = -(alphaT * (std::exp(-h) - 1.0));
    return weightedSum({w0, w1}, {sample, x0});
}

ShapedArray
DPMSolverMultistepScheduler::secondOrderUpdate(const std::vector<ShapedArray>& modelOutputs,
                                               const std::vector<int>& timesteps, int prevTimestep,
                                               const ShapedArray& sample) const {
    if (modelOutputs.size() < 2 || timesteps.size() < 2) {
        throw std::invalid_argument("The second-order update needs two estimates and two "
                                    "timesteps.");
    }
    const ShapedArray& m0 = modelOutputs[modelOutputs.size() - 1];
    const ShapedArray& m1 = modelOutputs[modelOutputs.size() - 2];
    const size_t it = tableIndex(prevTimestep);
    const size_t is0 = tableIndex(timesteps[1]);
    const size_t is1 = tableIndex(timesteps[0]);
    const double lambdaT = tables_.lambda_t[it];
    const double lambdaS0 = tables_.lambda_t[is0];
    const double lambdaS1 = tables_.lambda_t[is1];
    const double alphaT = tables_.alpha_t[it];
    const double sigmaT = tables_.sigma_t[it];
    const double sigmaS0 = tables_.sigma_t[is0];

    const double h = lambdaT - lambdaS0;
    const double r0 = (lambdaS0 - lambdaS1) / h;
    const ShapedArray d1 = weightedSum({1.0 / r0, -1.0 / r0}, {m0, m1});
    const double e = std::exp(-h) - 1.0;
    const double w0 = sigmaT / sigmaS0;
    const double w1 = -(alphaT * e);
    const double w2 = e * (alphaT * -0.5);
    return weightedSum({w0, w1, w2}, {sample, m0, d1});
}

ShapedArray DPMSolverMultistepScheduler::step(const ShapedArray& output, int timeStep,
                                              const ShapedArray& sample) {
    const int n = static_cast<int>(timeSteps_.size());
    auto found = std::find(timeSteps_.begin(), timeSteps_.end(), timeStep);
    const int stepIndex =
        found == timeSteps_.end() ? n - 1 : static_cast<int>(found - timeSteps_.begin());
    const int prev = stepIndex == n - 1 ? 0 : timeSteps_[static_cast<size_t>(stepIndex + 1)];

    const bool lowerOrderFinal = useLowerOrderFinal && n < 15 && stepIndex >= n - 2;
    // The second-order update needs an earlier timestep; a caller that repeats
    // the first timestep gets the first-order update rather than a bad index.
    const bool firstOrder = lowerOrderStepped_ < 1 || lowerOrderFinal || stepIndex < 1;

    ShapedArray x0 = convertModelOutput(output, timeStep, sample);
    if (modelOutputs_.size() >= static_cast<size_t>(solverOrder)) {
        modelOutputs_.erase(modelOutputs_.begin());
    }
    modelOutputs_.push_back(std::move(x0));

    ShapedArray next =
        firstOrder ? firstOrderUpdate(modelOutputs_.back(), timeStep, prev, sample)
                   : secondOrderUpdate(modelOutputs_,
                                       {timeSteps_[static_cast<size_t>(stepIndex - 1)], timeStep},
                                       prev, sample);
    if (lowerOrderStepped_ < solverOrder) {
        lowerOrderStepped_ += 1;
    }
    return next;
}

SchedulerStep DPMSolverMultistepScheduler::step(const ShapedArray& output, float timeStep, const ShapedArray& sample,
                                  RandomSource& /*random*/) {
    return withLatestEstimate(*this, step(output, roundToInt(timeStep), sample));
}

} // namespace dravelin
