#include "schedulers/Scheduler.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace dravelin {

std::vector<float> linspace(float start, float end, int64_t count) {
    if (count < 0) {
        throw std::invalid_argument("linspace needs a count of at least 0, not " +
                                    std::to_string(count) + ".");
    }
    std::vector<float> values(static_cast<size_t>(count));
    const float step = (end - start) / static_cast<float>(count - 1);
    for (int64_t i = 0; i < count; ++i) {
        values[static_cast<size_t>(i)] = step * static_cast<float>(i) + start;
    }
    return values;
}

namespace {

void checkConvertible(float value, float converted) {
    // INT_MAX rounds up to 2^31 as a float, so compare against that bound.
    constexpr float kLimit = 2147483648.0f;
    if (!std::isfinite(value) || converted >= kLimit || converted < -kLimit) {
        throw std::domain_error("Cannot convert " + std::to_string(value) + " to a whole number.");
    }
}

} // namespace

int roundToInt(float value) {
    const float rounded = std::round(value);
    checkConvertible(value, rounded);
    return static_cast<int>(rounded);
}

int truncateToInt(float value) {
    const float truncated = std::trunc(value);
    checkConvertible(value, truncated);
    return static_cast<int>(truncated);
}

int sigmaToTimestep(float sigma, const std::vector<float>& logSigmas) {
    const size_t n = logSigmas.size();
    if (n < 2) {
        throw std::invalid_argument("sigmaToTimestep needs at least two log-sigmas.");
    }
    const float logSigma = std::log(sigma);
    int64_t atOrAbove = 0;
    for (float entry : logSigmas) {
        if (logSigma - entry >= 0.0f) {
            ++atOrAbove;
        }
    }
    const int64_t low = std::clamp<int64_t>(atOrAbove - 1, 0, static_cast<int64_t>(n) - 2);
    const int64_t high = low + 1;
    const float lowLog = logSigmas[static_cast<size_t>(low)];
    const float highLog = logSigmas[static_cast<size_t>(high)];
    float w = (lowLog - logSigma) / (lowLog - highLog);
    w = std::clamp(w, 0.0f, 1.0f);
    const float t = w * static_cast<float>(high) + (1.0f - w) * static_cast<float>(low);
    return roundToInt(t);
}

ShapedArray weightedSum(const std::vector<double>& weights,
                        const std::vector<std::reference_wrapper<const ShapedArray>>& values) {
    if (values.empty()) {
        throw std::invalid_argument("weightedSum needs at least one array.");
    }
    if (weights.size() < values.size()) {
        throw std::invalid_argument("weightedSum has " + std::to_string(weights.size()) +
                                    " weights for " + std::to_string(values.size()) + " arrays.");
    }
    const Shape& shape = values.front().get().shape();
    for (const ShapedArray& value : values) {
        if (value.shape() != shape) {
            throw std::invalid_argument("weightedSum cannot add " + describe(value.shape()) +
                                        " to " + describe(shape) + ".");
        }
    }
    ShapedArray sum(shape, 0.0f);
    float* accumulator = sum.data();
    const int64_t count = sum.count();
    for (size_t k = 0; k < values.size(); ++k) {
        const float w = static_cast<float>(weights[k]);
        const float* x = values[k].get().data();
        for (int64_t i = 0; i < count; ++i) {
            accumulator[i] = w * x[i] + accumulator[i];
        }
    }
    return sum;
}

std::vector<float> lambdas(const std::vector<float>& alpha_t, const std::vector<float>& sigma_t) {
    std::vector<float> result(alpha_t.size());
    for (size_t i = 0; i < alpha_t.size(); ++i) {
        result[i] = std::log(alpha_t[i]) - std::log(sigma_t[i]);
    }
    return result;
}

NoiseTables NoiseTables::make(int trainStepCount, BetaSchedule schedule, float betaStart,
                              float betaEnd) {
    if (trainStepCount < 1) {
        throw std::invalid_argument("A scheduler needs at least one training step.");
    }
    NoiseTables tables;
    if (schedule == BetaSchedule::linear) {
        tables.betas = linspace(betaStart, betaEnd, trainStepCount);
    } else {
        tables.betas = linspace(std::sqrt(betaStart), std::sqrt(betaEnd), trainStepCount);
        for (float& beta : tables.betas) {
            beta = beta * beta;
        }
    }
    const size_t count = tables.betas.size();
    tables.alphas.resize(count);
    tables.alphasCumProd.resize(count);
    tables.alpha_t.resize(count);
    tables.sigma_t.resize(count);
    for (size_t i = 0; i < count; ++i) {
        tables.alphas[i] = 1.0f - tables.betas[i];
        tables.alphasCumProd[i] =
            i == 0 ? tables.alphas[0] : tables.alphasCumProd[i - 1] * tables.alphas[i];
        tables.alpha_t[i] = std::sqrt(tables.alphasCumProd[i]);
        tables.sigma_t[i] = std::sqrt(1.0f - tables.alphasCumProd[i]);
    }
    tables.lambda_t = lambdas(tables.alpha_t, tables.sigma_t);
    return tables;
}

NoiseTables NoiseTables::makeAsTorch(int trainStepCount, BetaSchedule schedule, double betaStart,
                                     double betaEnd) {
    if (trainStepCount < 1) {
        throw std::invalid_argument("A scheduler needs at least one training step.");
    }
    const bool scaled = schedule == BetaSchedule::scaledLinear;
    const auto start = static_cast<float>(scaled ? std::sqrt(betaStart) : betaStart);
    const auto end = static_cast<float>(scaled ? std::sqrt(betaEnd) : betaEnd);
    const int64_t count = trainStepCount;
    const float step = count > 1 ? (end - start) / static_cast<float>(count - 1) : 0.0f;
    NoiseTables tables;
    double product = 1.0;
    for (int64_t i = 0; i < count; ++i) {
        const float value = i < count / 2 ? start + step * static_cast<float>(i)
                                          : end - step * static_cast<float>(count - i - 1);
        const float beta = scaled ? value * value : value;
        const float alpha = 1.0f - beta;
        product *= static_cast<double>(alpha);
        const auto cumulative = static_cast<float>(product);
        tables.betas.push_back(beta);
        tables.alphas.push_back(alpha);
        tables.alphasCumProd.push_back(cumulative);
        tables.alpha_t.push_back(std::sqrt(cumulative));
        tables.sigma_t.push_back(std::sqrt(1.0f - cumulative));
    }
    tables.lambda_t = lambdas(tables.alpha_t, tables.sigma_t);
    return tables;
}

Scheduler::Scheduler(int64_t stepCount, int64_t trainStepCount) {
    if (trainStepCount < 1 || trainStepCount > std::numeric_limits<int>::max()) {
        throw std::invalid_argument("A scheduler needs between 1 and " +
                                    std::to_string(std::numeric_limits<int>::max()) +
                                    " training steps, not " + std::to_string(trainStepCount) + ".");
    }
    // More inference steps than training timesteps would visit timesteps twice
    // and silently produce a wrong image.
    if (stepCount > trainStepCount) {
        throw std::invalid_argument("The number of steps (" + std::to_string(stepCount) +
                                    ") cannot exceed the model's " +
                                    std::to_string(trainStepCount) + " training steps.");
    }
    trainStepCount_ = static_cast<int>(trainStepCount);
    inferenceStepCount_ = static_cast<int>(std::max<int64_t>(stepCount, 0));
}

ShapedArray Scheduler::denoisedEstimate(const ShapedArray& output, const ShapedArray& sample,
                                        float alpha, float sigma) {
    if (output.shape() != sample.shape()) {
        throw std::invalid_argument("The network output " + describe(output.shape()) +
                                    " does not match the sample " + describe(sample.shape()) + ".");
    }
    ShapedArray estimate(sample.shape());
    const float* x = sample.data();
    const float* e = output.data();
    float* out = estimate.data();
    for (int64_t i = 0; i < estimate.count(); ++i) {
        out[i] = (x[i] - sigma * e[i]) / alpha;
    }
    return estimate;
}

std::vector<float> Scheduler::timesteps() const {
    return std::vector<float>(timeSteps_.begin(), timeSteps_.end());
}

size_t Scheduler::firstStepIndex(std::optional<float> strength) const {
    return strength ? static_cast<size_t>(startIndex(*strength)) : 0;
}

int Scheduler::startIndex(float strength) const {
    const float scaled = static_cast<float>(inferenceStepCount_) * strength;
    const int64_t start =
        std::max<int64_t>(int64_t{inferenceStepCount_} - truncateToInt(scaled), 0);
    if (start > static_cast<int64_t>(timesteps().size())) {
        throw std::out_of_range("A strength of " + std::to_string(strength) +
                                " starts beyond the scheduler's timesteps.");
    }
    return static_cast<int>(start);
}

std::vector<int> Scheduler::calculateTimesteps(std::optional<float> strength) const {
    if (!strength) {
        return timeSteps_;
    }
    return std::vector<int>(timeSteps_.begin() + startIndex(*strength), timeSteps_.end());
}

std::vector<ShapedArray> Scheduler::addNoise(const ShapedArray& originalSample,
                                             const std::vector<ShapedArray>& noise,
                                             float strength) const {
    const int start = startIndex(strength);
    if (start >= static_cast<int>(timeSteps_.size())) {
        throw std::out_of_range("A strength of " + std::to_string(strength) +
                                " leaves no timestep to start image-to-image from; use a "
                                "strength above 0.");
    }
    const int t = timeSteps_[static_cast<size_t>(start)];
    const float a = tables_.alphasCumProd.at(static_cast<size_t>(t));
    const std::vector<double> weights{std::sqrt(a), std::sqrt(1.0f - a)};
    std::vector<ShapedArray> noised;
    noised.reserve(noise.size());
    for (const ShapedArray& n : noise) {
        noised.push_back(weightedSum(weights, {originalSample, n}));
    }
    return noised;
}

SchedulerStep withLatestEstimate(const Scheduler& scheduler, ShapedArray next) {
    ShapedArray denoised =
        scheduler.modelOutputs().empty() ? next : scheduler.modelOutputs().back();
    return {std::move(next), std::move(denoised)};
}

} // namespace dravelin
