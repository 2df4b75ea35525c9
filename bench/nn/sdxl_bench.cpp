// Times a full-size SDXL model directory's denoising network and decoder on
// this machine against its own FMA ceiling: one evaluation of the network
// with the guidance batch of 2 at its native size, and one decode to pixels,
// each with its load time and the peak resident memory.
//
//   dravelin-bench-sdxl DIR [--runs N] [--only Unet|VAEDecoder|TextEncoder2]
//
// DIR is an SDXL model directory, for example from
// `dravelin-make-model DIR --sdxl --full-size`.

#include "FmaCeiling.h"
#include "nn/compute/ComputeContext.h"
#include "nn/compute/Profiler.h"
#include "runtime/Model.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

using namespace dravelin;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Peak resident memory of this process so far, in GB.
double peakResidentGB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stod(line.substr(6)) * 1024.0 / 1e9;
        }
    }
    return 0;
}

std::string cpuModel() {
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    while (std::getline(info, line)) {
        if (line.rfind("model name", 0) == 0) {
            return line.substr(line.find(':') + 2);
        }
    }
    return "unknown";
}

ShapedArray randomArray(const Shape& shape, float low, float high, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distribution(low, high);
    ShapedArray array(shape);
    for (float& value : array.values()) {
        value = distribution(generator);
    }
    return array;
}

// Random values for every input the model describes; the time ids hold the
// geometry of a 1024 × 1024 generation.
FeatureProvider inputsFor(const Model& model) {
    FeatureValueDictionary inputs;
    unsigned seed = 1;
    for (const FeatureDescription& input : model.modelDescription().inputs) {
        if (input.name == "input_ids") {
            // "a photo of a cat", then end tokens.
            ShapedArray ids(input.shape, 49407.0f);
            const float prompt[] = {49406, 320, 1125, 539, 320, 2368};
            std::copy(std::begin(prompt), std::end(prompt), ids.data());
            inputs.emplace(input.name, std::move(ids));
        } else if (input.name == "timestep") {
            inputs.emplace(input.name, ShapedArray(input.shape, 981.0f));
        } else if (input.name == "time_ids") {
            ShapedArray ids(input.shape, 0.0f);
            const int64_t count = input.shape.back();
            for (int64_t i = 0; i < ids.count(); ++i) {
                const int64_t k = i % count;
                ids.data()[i] = k == 2 || k == 3 ? 0.0f : (count == 5 && k == 4 ? 6.0f : 1024.0f);
            }
            inputs.emplace(input.name, std::move(ids));
        } else {
            inputs.emplace(input.name, randomArray(input.shape, -1.0f, 1.0f, seed++));
        }
    }
    return FeatureProvider(std::move(inputs));
}

void timeBundle(const std::filesystem::path& bundle, const char* what, int runs, double ceiling) {
    auto start = Clock::now();
    const std::unique_ptr<Model> model = Model::load(bundle, {});
    const double load = secondsSince(start);
    const FeatureProvider inputs = inputsFor(*model);
    double best = 1e30;
    double flops = 0;
    int64_t nonFinite = 0;
    for (int run = 0; run < runs; ++run) {
        Profiler::reset();
        start = Clock::now();
        const FeatureProvider outputs = model->prediction(inputs);
        const double seconds = secondsSince(start);
        if (seconds < best) {
            best = seconds;
            flops = 0;
            for (const auto& [name, entry] : Profiler::entries()) {
                flops += entry.flops;
            }
        }
        const ShapedArray& out = outputs.featureValueDictionary.begin()->second;
        nonFinite = std::count_if(out.values().begin(), out.values().end(),
                                  [](float value) { return !std::isfinite(value); });
    }
    std::string shapes;
    for (const FeatureDescription& input : model->modelDescription().inputs) {
        shapes += (shapes.empty() ? "" : ", ") + input.name + " " + describe(input.shape);
    }
    std::printf("%s (%s): %lld parameters; load %.1f s; %.2f s best of %d; %.0f GFLOP, "
                "%.1f GFLOP/s (%.0f%% of the ceiling); non-finite outputs %lld; peak resident "
                "so far %.2f GB\n",
                what, shapes.c_str(), static_cast<long long>(model->parameterCount()), load, best,
                runs, flops / 1e9, flops / best / 1e9, 100.0 * flops / best / 1e9 / ceiling,
                static_cast<long long>(nonFinite), peakResidentGB());
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIR [--runs N] [--only Unet|VAEDecoder|TextEncoder2]\n",
                     argv[0]);
        return 2;
    }
    const std::filesystem::path directory = argv[1];
    int runs = 1;
    std::string only;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0) {
            runs = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--only") == 0) {
            only = argv[i + 1];
        }
    }
    const int threads = ComputeContext::threadCount();
    const FmaCeiling ceiling = measureFmaCeiling(threads);
    std::printf("CPU: %s; FMA ceiling (%s, fp32) %.1f GFLOP/s on %d threads\n", cpuModel().c_str(),
                ceiling.instructions.c_str(), ceiling.total, threads);
    Profiler::setEnabled(true);
    try {
        for (const auto& [bundle, what] :
             {std::pair{"Unet", "Denoising network"}, std::pair{"VAEDecoder", "Decoder"},
              std::pair{"TextEncoder2", "Second text encoder"}}) {
            if (only.empty() || only == bundle) {
                timeBundle(directory / (std::string(bundle) + ".model"), what, runs, ceiling.total);
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
