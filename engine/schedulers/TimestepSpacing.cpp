#include "schedulers/TimestepSpacing.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace dravelin {

namespace {

void checkCounts(int trainStepCount, int stepCount) {
    if (stepCount < 1 || stepCount > trainStepCount) {
        throw std::invalid_argument("A scheduler takes 1 to " + std::to_string(trainStepCount) +
                                    " steps, not " + std::to_string(stepCount) + ".");
    }
}

// NumPy's linspace(start, end, count) in double.
std::vector<double> evenlySpaced(double start, double end, int count) {
    std::vector<double> values(static_cast<size_t>(count));
    if (count == 1) {
        values[0] = start;
        return values;
    }
    const double step = (end - start) / static_cast<double>(count - 1);
    for (int i = 0; i < count; ++i) {
        values[static_cast<size_t>(i)] = start + step * static_cast<double>(i);
    }
    values.back() = end;
    return values;
}

// NumPy's arange(trainStepCount, 0, −trainStepCount / stepCount), rounded,
// less one: timesteps that end at the last training timestep.
std::vector<double> trailing(int trainStepCount, int stepCount) {
    const double ratio = static_cast<double>(trainStepCount) / static_cast<double>(stepCount);
    const auto count = static_cast<int64_t>(std::ceil(static_cast<double>(trainStepCount) / ratio));
    std::vector<double> values;
    for (int64_t i = 0; i < count; ++i) {
        values.push_back(roundHalfEven(trainStepCount - static_cast<double>(i) * ratio) - 1.0);
    }
    return values;
}

std::vector<int> wholeNumbers(const std::vector<double>& values) {
    std::vector<int> whole;
    whole.reserve(values.size());
    for (double value : values) {
        whole.push_back(static_cast<int>(value));
    }
    return whole;
}

void refuseKarras(TimeStepSpacing spacing) {
    if (spacing == TimeStepSpacing::karras) {
        throw std::invalid_argument("This scheduler does not take Karras spacing.");
    }
}

} // namespace

double roundHalfEven(double value) {
    return std::nearbyint(value);
}

std::vector<double> eulerTimesteps(TimeStepSpacing spacing, int trainStepCount, int stepCount,
                                   int stepsOffset) {
    checkCounts(trainStepCount, stepCount);
    std::vector<double> values;
    switch (spacing) {
    case TimeStepSpacing::linspace:
    case TimeStepSpacing::karras:
        // Computed in double and held in single precision, as NumPy's float32
        // linspace gives them.
        for (double t : evenlySpaced(0.0, trainStepCount - 1, stepCount)) {
            values.push_back(static_cast<float>(t));
        }
        std::reverse(values.begin(), values.end());
        break;
    case TimeStepSpacing::leading: {
        const int ratio = trainStepCount / stepCount;
        for (int i = stepCount - 1; i >= 0; --i) {
            values.push_back(static_cast<double>(i) * ratio + stepsOffset);
        }
        break;
    }
    case TimeStepSpacing::trailing:
        values = trailing(trainStepCount, stepCount);
        break;
    }
    return values;
}

std::vector<int> multistepTimesteps(TimeStepSpacing spacing, int trainStepCount, int stepCount,
                                    int stepsOffset) {
    checkCounts(trainStepCount, stepCount);
    std::vector<double> values;
    switch (spacing) {
    case TimeStepSpacing::linspace:
    case TimeStepSpacing::karras: {
        const std::vector<double> points = evenlySpaced(0.0, trainStepCount - 1, stepCount + 1);
        for (int i = stepCount; i >= 1; --i) {
            values.push_back(roundHalfEven(points[static_cast<size_t>(i)]));
        }
        break;
    }
    case TimeStepSpacing::leading: {
        const int ratio = trainStepCount / (stepCount + 1);
        for (int i = stepCount; i >= 1; --i) {
            values.push_back(static_cast<double>(i) * ratio + stepsOffset);
        }
        break;
    }
    case TimeStepSpacing::trailing:
        values = trailing(trainStepCount, stepCount);
        break;
    }
    return wholeNumbers(values);
}

std::vector<int> ddimTimesteps(TimeStepSpacing spacing, int trainStepCount, int stepCount,
                               int stepsOffset) {
    checkCounts(trainStepCount, stepCount);
    refuseKarras(spacing);
    std::vector<double> values;
    switch (spacing) {
    case TimeStepSpacing::linspace:
        for (double t : evenlySpaced(0.0, trainStepCount - 1, stepCount)) {
            values.push_back(roundHalfEven(t));
        }
        std::reverse(values.begin(), values.end());
        break;
    case TimeStepSpacing::leading: {
        const int ratio = trainStepCount / stepCount;
        for (int i = stepCount - 1; i >= 0; --i) {
            values.push_back(static_cast<double>(i) * ratio + stepsOffset);
        }
        break;
    }
    case TimeStepSpacing::trailing:
    case TimeStepSpacing::karras:
        values = trailing(trainStepCount, stepCount);
        break;
    }
    return wholeNumbers(values);
}

std::vector<float> trainingSigmas(const std::vector<float>& alphasCumProd) {
    std::vector<float> sigmas;
    sigmas.reserve(alphasCumProd.size());
    for (float a : alphasCumProd) {
        sigmas.push_back(std::sqrt((1.0f - a) / a));
    }
    return sigmas;
}

std::vector<double> sigmasAt(const std::vector<double>& timesteps,
                             const std::vector<float>& trainingSigmas) {
    const auto last = static_cast<double>(trainingSigmas.size() - 1);
    std::vector<double> sigmas;
    sigmas.reserve(timesteps.size());
    for (double t : timesteps) {
        const double clamped = std::clamp(t, 0.0, last);
        const auto low = static_cast<size_t>(std::floor(clamped));
        const size_t high = std::min(low + 1, trainingSigmas.size() - 1);
        const double w = clamped - static_cast<double>(low);
        sigmas.push_back((1.0 - w) * trainingSigmas[low] + w * trainingSigmas[high]);
    }
    return sigmas;
}

std::vector<double> karrasSigmas(double sigmaMin, double sigmaMax, int count) {
    constexpr double rho = 7.0;
    const double minInvRho = std::pow(sigmaMin, 1.0 / rho);
    const double maxInvRho = std::pow(sigmaMax, 1.0 / rho);
    std::vector<double> sigmas;
    for (double ramp : evenlySpaced(0.0, 1.0, count)) {
        sigmas.push_back(std::pow(maxInvRho + ramp * (minInvRho - maxInvRho), rho));
    }
    return sigmas;
}

double timestepOfSigma(double sigma, const std::vector<float>& trainingSigmas) {
    const size_t n = trainingSigmas.size();
    if (n < 2) {
        throw std::invalid_argument("A sigma schedule needs at least two training timesteps.");
    }
    const double logSigma = std::log(std::max(sigma, 1e-10));
    size_t atOrBelow = 0;
    for (float s : trainingSigmas) {
        if (logSigma - std::log(static_cast<double>(s)) >= 0.0) {
            ++atOrBelow;
        }
    }
    const size_t low = std::min(atOrBelow == 0 ? 0 : atOrBelow - 1, n - 2);
    const double lowLog = std::log(static_cast<double>(trainingSigmas[low]));
    const double highLog = std::log(static_cast<double>(trainingSigmas[low + 1]));
    const double w = std::clamp((lowLog - logSigma) / (lowLog - highLog), 0.0, 1.0);
    return (1.0 - w) * static_cast<double>(low) + w * static_cast<double>(low + 1);
}

MultistepSchedule multistepSchedule(TimeStepSpacing spacing, int stepCount,
                                    const std::vector<float>& alphasCumProd, int stepsOffset) {
    const auto trainStepCount = static_cast<int>(alphasCumProd.size());
    const std::vector<float> training = trainingSigmas(alphasCumProd);
    MultistepSchedule schedule;
    schedule.timesteps = multistepTimesteps(spacing, trainStepCount, stepCount, stepsOffset);
    if (spacing == TimeStepSpacing::karras) {
        const std::vector<double> sigmas = karrasSigmas(training.front(), training.back(), stepCount);
        schedule.timesteps.clear();
        for (double sigma : sigmas) {
            schedule.timesteps.push_back(
                static_cast<int>(roundHalfEven(timestepOfSigma(sigma, training))));
            schedule.sigmas.push_back(static_cast<float>(sigma));
        }
        schedule.sigmas.push_back(schedule.sigmas.back());
        return schedule;
    }
    const std::vector<double> steps(schedule.timesteps.begin(), schedule.timesteps.end());
    for (double sigma : sigmasAt(steps, training)) {
        schedule.sigmas.push_back(static_cast<float>(sigma));
    }
    schedule.sigmas.push_back(training.front());
    return schedule;
}

} // namespace dravelin
