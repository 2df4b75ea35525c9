// Times the full-size Stable Diffusion 1.5 networks on this machine and puts
// the figures beside its own FMA ceiling, measured in the same run: the text
// encoder on 77 tokens, a VAE decode of one 64×64 latent to 512×512 pixels
// (with time and GFLOP/s per layer type, and the peak resident memory of the
// decode), a VAE encode and one evaluation of the denoising network (the
// guidance batch of 2 at 64×64). Outputs holding NaN or infinity are reported.
// With --controlnet, also one ControlNet evaluation (the same batch, a
// 512×512 control image) and a controlled step (the ControlNet, then the
// controlled network on its residuals) against the plain step.
//
//   dravelin-bench-networks [--models DIR] [--runs N] [--no-encoder] [--unet-only]
//                           [--controlnet BUNDLE]
//
// BUNDLE is a ControlNet bundle (`dravelin-make-model DIR --full-size
// --controlnet canny` writes one, with DIR/ControlledUnet.model beside it);
// the controlled network is DIR/ControlledUnet.model for --models DIR.
//
// DIR holds TextEncoder.model, VAEDecoder.model, VAEEncoder.model and
// Unet.model (for example from `tools/reference/nn_reference.py full-size`);
// without it, or for a bundle it lacks, bundles with random weights are
// written to a temporary directory first.

#include "FmaCeiling.h"
#include "nn/compute/AlignedBuffer.h"
#include "nn/compute/ComputeContext.h"
#include "nn/compute/Profiler.h"
#include "nn/support/FullSizeModels.h"
#include "runtime/Model.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace dravelin;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A field of /proc/self/status in kB ("VmRSS", "VmHWM"), as bytes.
double statusBytes(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stod(line.substr(field.size() + 1)) * 1024.0;
        }
    }
    return 0;
}

// Restarts the kernel's peak-resident-memory count at the current size.
bool resetPeakResident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    return static_cast<bool>(clear);
}

double megabytes(double bytes) {
    return bytes / 1e6;
}

int64_t nonFinite(const ShapedArray& array) {
    return std::count_if(array.values().begin(), array.values().end(),
                         [](float value) { return !std::isfinite(value); });
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

bool cpuHasFlag(const std::string& flag) {
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    while (std::getline(info, line)) {
        if (line.rfind("flags", 0) == 0) {
            return (line + " ").find(" " + flag + " ") != std::string::npos;
        }
    }
    return false;
}

ShapedArray randomArray(Shape shape, float low, float high, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distribution(low, high);
    ShapedArray array(std::move(shape));
    for (float& value : array.values()) {
        value = distribution(generator);
    }
    return array;
}

// Time of the best of `runs` predictions, with that run's profile.
struct Timing {
    double best = 1e30;
    double first = 0;
    FeatureProvider outputs;
    std::map<std::string, Profiler::Entry> profile;
};

Timing timePredictions(Model& model, const FeatureProvider& inputs, int runs) {
    Timing timing;
    for (int run = 0; run < runs; ++run) {
        Profiler::reset();
        const auto start = Clock::now();
        timing.outputs = model.prediction(inputs);
        const double seconds = secondsSince(start);
        if (run == 0) {
            timing.first = seconds;
        }
        if (seconds < timing.best) {
            timing.best = seconds;
            timing.profile = Profiler::entries();
        }
    }
    return timing;
}

double profiledFlops(const std::map<std::string, Profiler::Entry>& profile) {
    double flops = 0;
    for (const auto& [name, entry] : profile) {
        flops += entry.flops;
    }
    return flops;
}

void printProfile(const std::map<std::string, Profiler::Entry>& profile, double ceiling) {
    std::vector<std::pair<std::string, Profiler::Entry>> entries;
    for (const auto& entry : profile) {
        entries.push_back(entry);
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.second.seconds > b.second.seconds; });
    std::printf("    %-38s %6s %8s %9s %10s %8s\n", "layer type", "calls", "seconds", "GFLOP",
                "GFLOP/s", "ceiling");
    for (const auto& [name, entry] : entries) {
        if (entry.flops > 0) {
            const double rate = entry.flops / entry.seconds / 1e9;
            std::printf("    %-38s %6lld %8.3f %9.1f %10.1f %7.0f%%\n", name.c_str(),
                        static_cast<long long>(entry.calls), entry.seconds, entry.flops / 1e9, rate,
                        100.0 * rate / ceiling);
        } else {
            std::printf("    %-38s %6lld %8.3f\n", name.c_str(),
                        static_cast<long long>(entry.calls), entry.seconds);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    std::filesystem::path models;
    int runs = 2;
    bool encoder = true;
    bool others = true;
    std::filesystem::path controlNetBundle;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--models") == 0 && i + 1 < argc) {
            models = argv[++i];
        } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--no-encoder") == 0) {
            encoder = false;
        } else if (std::strcmp(argv[i], "--unet-only") == 0) {
            others = false;
        } else if (std::strcmp(argv[i], "--controlnet") == 0 && i + 1 < argc) {
            controlNetBundle = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: %s [--models DIR] [--runs N] [--no-encoder] [--unet-only] "
                         "[--controlnet BUNDLE]\n",
                         argv[0]);
            return 2;
        }
    }

    const int threads = ComputeContext::threadCount();
    std::printf("CPU: %s; %d compute threads (one per physical core)\n", cpuModel().c_str(),
                threads);
    const FmaCeiling ceiling = measureFmaCeiling(threads);
    std::printf("FMA ceiling (%s, fp32): %.1f GFLOP/s per thread, %.1f GFLOP/s on %d threads\n",
                ceiling.instructions.c_str(), ceiling.perThread, ceiling.total, threads);
    std::printf("bf16 dot products (avx512_bf16): %s\n", cpuHasFlag("avx512_bf16")
                                                             ? "present (no bf16 path built yet)"
                                                             : "absent: fp32 only");

    std::filesystem::path scratch;
    std::filesystem::path unetBundle = models / "Unet.model";
    if (models.empty() || !std::filesystem::exists(unetBundle)) {
        scratch = std::filesystem::temp_directory_path() / "dravelin-bench-networks";
        std::filesystem::create_directories(scratch);
        const auto start = Clock::now();
        if (models.empty() && others) {
            testing::writeFullSizeModels(scratch);
            models = scratch;
        }
        testing::writeFullSizeUNet(scratch);
        unetBundle = scratch / "Unet.model";
        std::printf("wrote full-size bundles with random weights in %.1f s\n", secondsSince(start));
    }
    Profiler::setEnabled(true);

    // Text encoder: 77 tokens.
    if (others) {
        const auto start = Clock::now();
        auto model = Model::load(models / "TextEncoder.model", {});
        const double load = secondsSince(start);
        ShapedArray ids(Shape{1, 77}, 49407.0f);
        const float prompt[] = {49406, 320, 1125, 539, 320, 2368, 49407};
        std::copy(std::begin(prompt), std::end(prompt), ids.data());
        const Timing timing =
            timePredictions(*model, FeatureProvider({{"input_ids", ids}}), std::max(runs, 5));
        const double flops = profiledFlops(timing.profile);
        std::printf(
            "\nCLIP text encoder (77 tokens): load %.2f s; %.3f s best of %d (first "
            "%.3f s); %.1f GFLOP, %.1f GFLOP/s (%.0f%% of the ceiling); non-finite "
            "outputs: %lld\n",
            load, timing.best, std::max(runs, 5), timing.first, flops / 1e9,
            flops / timing.best / 1e9, 100.0 * flops / timing.best / 1e9 / ceiling.total,
            static_cast<long long>(nonFinite(timing.outputs.featureValue("last_hidden_state"))));
        printProfile(timing.profile, ceiling.total);
    }

    // VAE decode: 64×64 latent to 512×512 pixels.
    if (others) {
        const auto start = Clock::now();
        auto model = Model::load(models / "VAEDecoder.model", {});
        const double load = secondsSince(start);
        const double weightBytes = 4.0 * static_cast<double>(model->parameterCount());
        const ShapedArray z = randomArray({1, 4, 64, 64}, -3.0f, 3.0f, 1);
        const FeatureProvider inputs({{"z", z}});

        const double residentBefore = statusBytes("VmRSS");
        const bool peakReset = resetPeakResident();
        const int64_t buffersBefore = AlignedBuffer::bytesInUse();
        AlignedBuffer::resetPeak();
        const Timing timing = timePredictions(*model, inputs, runs);
        const double peakResident = statusBytes("VmHWM");
        const double activationPeak =
            static_cast<double>(AlignedBuffer::peakBytesInUse() - buffersBefore);
        const double flops = profiledFlops(timing.profile);
        const ShapedArray& image = timing.outputs.featureValue("image");
        std::printf("\nVAE decode (1×4×64×64 → 1×3×512×512): load %.2f s; %.2f s best of %d "
                    "(first %.2f s); %.0f GFLOP, %.1f GFLOP/s (%.0f%% of the ceiling); "
                    "non-finite outputs: %lld\n",
                    load, timing.best, runs, timing.first, flops / 1e9, flops / timing.best / 1e9,
                    100.0 * flops / timing.best / 1e9 / ceiling.total,
                    static_cast<long long>(nonFinite(image)));
        printProfile(timing.profile, ceiling.total);
        const double largestMap = 4.0 * 256 * 514 * 514;
        std::printf("  memory: weights %.0f MB (fp32, %lld parameters); resident before the "
                    "decode %.0f MB; peak resident during it %s%.0f MB; activation buffers at "
                    "their peak %.0f MB = %.2f × the largest map (256 channels at 512×512, "
                    "%.0f MB)\n",
                    megabytes(weightBytes), static_cast<long long>(model->parameterCount()),
                    megabytes(residentBefore), peakReset ? "" : "(since start) ",
                    megabytes(peakResident), megabytes(activationPeak), activationPeak / largestMap,
                    megabytes(largestMap));
    }

    if (encoder && others) {
        const auto start = Clock::now();
        auto model = Model::load(models / "VAEEncoder.model", {});
        const double load = secondsSince(start);
        const ShapedArray x = randomArray({1, 3, 512, 512}, -1.0f, 1.0f, 2);
        const Timing timing = timePredictions(*model, FeatureProvider({{"x", x}}), 1);
        const double flops = profiledFlops(timing.profile);
        std::printf("\nVAE encode (1×3×512×512 → 1×8×64×64): load %.2f s; %.2f s; %.0f GFLOP, "
                    "%.1f GFLOP/s (%.0f%% of the ceiling); non-finite outputs: %lld\n",
                    load, timing.best, flops / 1e9, flops / timing.best / 1e9,
                    100.0 * flops / timing.best / 1e9 / ceiling.total,
                    static_cast<long long>(nonFinite(timing.outputs.featureValue("moments"))));
        printProfile(timing.profile, ceiling.total);
    }

    // Denoising network: the guidance batch of 2 at 64×64 with 77 text
    // positions, as one step of a 512×512 generation runs it.
    double plainStep = 0;
    {
        const auto start = Clock::now();
        auto model = Model::load(unetBundle, {});
        const double load = secondsSince(start);
        ShapedArray timestep(Shape{2}, 981.0f);
        const FeatureProvider inputs(
            {{"sample", randomArray({2, 4, 64, 64}, -3.0f, 3.0f, 3)},
             {"timestep", timestep},
             {"encoder_hidden_states", randomArray({2, 768, 1, 77}, -1.0f, 1.0f, 4)}});
        const double residentBefore = statusBytes("VmRSS");
        const bool peakReset = resetPeakResident();
        const Timing timing = timePredictions(*model, inputs, runs);
        const double peakResident = statusBytes("VmHWM");
        const double flops = profiledFlops(timing.profile);
        std::printf("\nDenoising network (2×4×64×64, 77 text positions): load %.2f s; %.2f s best "
                    "of %d (first %.2f s); %.0f GFLOP, %.1f GFLOP/s (%.0f%% of the ceiling); "
                    "non-finite outputs: %lld\n",
                    load, timing.best, runs, timing.first, flops / 1e9, flops / timing.best / 1e9,
                    100.0 * flops / timing.best / 1e9 / ceiling.total,
                    static_cast<long long>(nonFinite(timing.outputs.featureValue("noise_pred"))));
        plainStep = timing.best;
        printProfile(timing.profile, ceiling.total);
        std::printf("  memory: weights %.0f MB (fp32, %lld parameters); resident before %.0f MB; "
                    "peak resident during it %s%.0f MB\n",
                    megabytes(4.0 * static_cast<double>(model->parameterCount())),
                    static_cast<long long>(model->parameterCount()), megabytes(residentBefore),
                    peakReset ? "" : "(since start) ", megabytes(peakResident));
    }

    if (!controlNetBundle.empty()) {
        auto start = Clock::now();
        auto controlNet = Model::load(controlNetBundle, {});
        const double load = secondsSince(start);
        const ShapedArray timestep(Shape{2}, 981.0f);
        FeatureProvider inputs(
            {{"sample", randomArray({2, 4, 64, 64}, -3.0f, 3.0f, 3)},
             {"timestep", timestep},
             {"encoder_hidden_states", randomArray({2, 768, 1, 77}, -1.0f, 1.0f, 4)},
             {"controlnet_cond", randomArray({2, 3, 512, 512}, 0.0f, 1.0f, 5)}});
        const Timing timing = timePredictions(*controlNet, inputs, runs);
        const double flops = profiledFlops(timing.profile);
        int64_t bad = 0;
        for (const auto& [name, value] : timing.outputs.featureValueDictionary) {
            bad += nonFinite(value);
        }
        std::printf("\nControlNet (2×4×64×64, 2×3×512×512 image): load %.2f s; %.2f s best of %d "
                    "(first %.2f s); %.0f GFLOP, %.1f GFLOP/s (%.0f%% of the ceiling); "
                    "non-finite outputs: %lld\n",
                    load, timing.best, runs, timing.first, flops / 1e9, flops / timing.best / 1e9,
                    100.0 * flops / timing.best / 1e9 / ceiling.total, static_cast<long long>(bad));
        printProfile(timing.profile, ceiling.total);

        auto controlled = Model::load(unetBundle.parent_path() / "ControlledUnet.model", {});
        inputs.featureValueDictionary.erase("controlnet_cond");
        for (const auto& [name, value] : timing.outputs.featureValueDictionary) {
            inputs.featureValueDictionary.emplace(name, value);
        }
        const Timing step = timePredictions(*controlled, inputs, runs);
        const double controlledStep = timing.best + step.best;
        std::printf("Controlled step: ControlNet %.2f s + controlled network %.2f s = %.2f s, "
                    "%.2f× the plain step (%.2f s); non-finite outputs: %lld\n",
                    timing.best, step.best, controlledStep, controlledStep / plainStep, plainStep,
                    static_cast<long long>(nonFinite(step.outputs.featureValue("noise_pred"))));
    }

    if (!scratch.empty()) {
        std::filesystem::remove_all(scratch);
    }
    return 0;
}
