#pragma once

#include "schedulers/SchedulerOptions.h"

#include <vector>

namespace dravelin {

// How the schedulers spread their steps over the training timesteps and
// turn timesteps into noise levels (sigma = sqrt((1 − ᾱ) / ᾱ)). Each family
// spaces its steps its own way; all are computed in double and rounded half
// to even, as NumPy does, where a family rounds.

// The Euler family (Euler, Euler a, Heun): `stepCount` timesteps, from the
// last: linspace gives fractional ones; leading steps by trainStepCount /
// stepCount from `stepsOffset`; trailing ends at trainStepCount − 1.
std::vector<double> eulerTimesteps(TimeStepSpacing spacing, int trainStepCount, int stepCount,
                                   int stepsOffset);

// The multistep family (UniPC, DPM-Solver++ SDE): whole timesteps from
// stepCount + 1 evenly spread points less the last (linspace, leading) or
// trailing ones.
std::vector<int> multistepTimesteps(TimeStepSpacing spacing, int trainStepCount, int stepCount,
                                    int stepsOffset);

// DDIM: stepCount whole timesteps, leading ones offset by `stepsOffset`.
std::vector<int> ddimTimesteps(TimeStepSpacing spacing, int trainStepCount, int stepCount,
                               int stepsOffset);

// sqrt((1 − ᾱ) / ᾱ) for every training timestep, in single precision.
std::vector<float> trainingSigmas(const std::vector<float>& alphasCumProd);

// The sigmas linearly interpolated at (possibly fractional) timesteps.
std::vector<double> sigmasAt(const std::vector<double>& timesteps,
                             const std::vector<float>& trainingSigmas);

// Karras et al.'s schedule of `count` sigmas from sigmaMax down to sigmaMin,
// evenly spaced in sigma^(1/7).
std::vector<double> karrasSigmas(double sigmaMin, double sigmaMax, int count);

// The fractional training timestep of a sigma: log-sigma interpolated
// linearly between the two training timesteps that bracket it.
double timestepOfSigma(double sigma, const std::vector<float>& trainingSigmas);

// The multistep family's timesteps with their sigmas and one sigma more to
// end on: σ at timestep 0, or with Karras spacing the last one again (the
// Karras timesteps are those sigmas' training timesteps, rounded).
struct MultistepSchedule {
    std::vector<int> timesteps;
    std::vector<float> sigmas;
};
MultistepSchedule multistepSchedule(TimeStepSpacing spacing, int stepCount,
                                    const std::vector<float>& alphasCumProd, int stepsOffset);

// NumPy's rounding: to nearest, ties to even.
double roundHalfEven(double value);

} // namespace dravelin
