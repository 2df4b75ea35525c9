// Times the full-size Stable Diffusion 1.5 networks on this machine in both
// compute precisions, side by side, each beside its own ceiling measured in
// the same run (float32 FMA, bfloat16 dot products): the text encoder on 77
// tokens, a VAE decode of one 64×64 latent to 512×512 pixels, a VAE encode and
// one evaluation of the denoising network (the guidance batch of 2 at 64×64).
// For each: load time, best evaluation time, time per layer type, peak
// resident memory, how far bfloat16's output lies from float32's, and the
// targets set for these figures. Outputs holding NaN or infinity are reported.
//
// With --controlnet, also one ControlNet evaluation (the same batch, a
// 512×512 control image) and a controlled step (the ControlNet, then the
// controlled network on its residuals) against the plain step.
//
//   dravelin-bench-networks [--models DIR] [--runs N] [--no-encoder] [--unet-only]
//                           [--precision float32|bfloat16|both] [--controlnet BUNDLE]
//
// BUNDLE is a ControlNet bundle (`dravelin-make-model DIR --full-size
// --controlnet canny` writes one, with DIR/ControlledUnet.model beside it);
// the controlled network is DIR/ControlledUnet.model for --models DIR.
//
// DIR holds Unet.model and any of TextEncoder.model, VAEDecoder.model and
// VAEEncoder.model (for example from `tools/reference/nn_reference.py
// full-size`, or a converted model's directory); a bundle it lacks is skipped
// with a note, except the denoising network, which is then written with
// random weights to a temporary directory. Without DIR, every bundle is.
//
// Beside the FMA and dot-product ceilings, the run measures what oneDNN's own
// convolution and matrix multiply reach on this machine in each precision
// (formats `any`), and gives each network's rate as a share of those too.

#include "ProcessorTime.h"
#include "FmaCeiling.h"
#include "OneDnnRates.h"
#include "nn/compute/AlignedBuffer.h"
#include "nn/compute/ComputeContext.h"
#include "nn/compute/Profiler.h"
#include "nn/support/FullSizeModels.h"
#include "runtime/ComputePrecision.h"
#include "runtime/Model.h"
#include "runtime/SystemMemory.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
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
    double bestProcessor = 1e30; // processor seconds of the least costly run
    FeatureProvider outputs;
    std::map<std::string, Profiler::Entry> profile;
};

Timing timePredictions(Model& model, const FeatureProvider& inputs, int runs) {
    Timing timing;
    for (int run = 0; run < runs; ++run) {
        Profiler::reset();
        const auto start = Clock::now();
        const double startProcessor = processorSeconds();
        timing.outputs = model.prediction(inputs);
        const double seconds = secondsSince(start);
        timing.bestProcessor = std::min(timing.bestProcessor, processorSeconds() - startProcessor);
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

// One network measured in one precision.
struct Measurement {
    ComputePrecision precision;
    double ceiling = 0; // GFLOP/s of the instructions this precision runs on
    OneDnnRates library; // oneDNN's own kernels in this precision
    double load = 0;
    // Where the load went: reading and converting weights, laying them out.
    std::map<std::string, Profiler::Entry> loadProfile;
    Timing timing;
    double flops = 0;
    double peakResident = 0;
    // Resident memory the load added: the weights as the layers hold them.
    double loadedResident = 0;
    int64_t nonFinite = 0;
};

// Figures the issue set on a 2-core AVX-512 BF16 machine with a 505 GFLOP/s
// float32 ceiling and twice that in bfloat16, as seconds there; compared here
// as shares of each ceiling (and loads, which are bound by memory, as
// seconds).
struct Targets {
    double float32Seconds = 0;
    double bfloat16Seconds = 0;
    double loadSeconds = 0;
};
constexpr double kTargetFloat32Ceiling = 505.0;
constexpr double kTargetBfloat16Ceiling = 1010.0;

Measurement measure(const std::filesystem::path& bundle, ComputePrecision precision, double ceiling,
                    const OneDnnRates& library, const FeatureProvider& inputs,
                    const std::string& output, int runs) {
    Measurement result;
    result.precision = precision;
    result.ceiling = ceiling;
    result.library = library;
    // The previous network's freed pages leave first, so each peak is this
    // network's own on top of what the process itself holds.
    returnFreedMemory();
    const bool peakReset = resetPeakResident();
    const double residentBefore = statusBytes("VmRSS");
    ModelConfiguration configuration;
    configuration.computePrecision = precision;
    Profiler::reset();
    const auto start = Clock::now();
    auto model = Model::load(bundle, configuration);
    result.load = secondsSince(start);
    result.loadProfile = Profiler::entries();
    result.loadedResident = statusBytes("VmRSS") - residentBefore;
    result.timing = timePredictions(*model, inputs, runs);
    result.peakResident = peakReset ? statusBytes("VmHWM") : 0;
    result.flops = profiledFlops(result.timing.profile);
    result.nonFinite = nonFinite(result.timing.outputs.featureValue(output));
    return result;
}

double share(double flops, double seconds, double ceiling) {
    return ceiling > 0 && seconds > 0 ? 100.0 * flops / seconds / 1e9 / ceiling : 0;
}

// The largest difference between two outputs over the first's largest
// magnitude.
double relativeDifference(const ShapedArray& reference, const ShapedArray& other) {
    double largest = 0;
    double difference = 0;
    for (int64_t i = 0; i < reference.count(); ++i) {
        largest = std::max(largest, static_cast<double>(std::fabs(reference.data()[i])));
        difference = std::max(
            difference, static_cast<double>(std::fabs(reference.data()[i] - other.data()[i])));
    }
    return largest > 0 ? difference / largest : difference;
}

void report(const std::string& title, const std::vector<Measurement>& runs,
            const std::string& output, const Targets& targets) {
    std::printf("\n%s: %.0f GFLOP\n", title.c_str(), runs.front().flops / 1e9);
    std::printf("    %-38s", "");
    for (const Measurement& run : runs) {
        std::printf(" %26s", std::string(precisionName(run.precision)).c_str());
    }
    std::printf("\n    %-38s", "load");
    for (const Measurement& run : runs) {
        std::printf(" %24.2f s", run.load);
    }
    for (const auto& [name, entry] : runs.front().loadProfile) {
        std::printf("\n    %-38s", ("  " + name).c_str());
        for (const Measurement& run : runs) {
            const auto found = run.loadProfile.find(name);
            std::printf(" %24.2f s", found == run.loadProfile.end() ? 0.0 : found->second.seconds);
        }
    }
    std::printf("\n    %-38s", "evaluation (best; share of ceiling)");
    for (const Measurement& run : runs) {
        std::printf(" %11.3f s %10.0f%%  ", run.timing.best,
                    share(run.flops, run.timing.best, run.ceiling));
    }
    std::printf("\n    %-38s", "share of oneDNN's convolution, matmul");
    for (const Measurement& run : runs) {
        std::printf(" %17.0f%% %6.0f%%", share(run.flops, run.timing.best, run.library.convolution.gflops),
                    share(run.flops, run.timing.best, run.library.matmul.gflops));
    }
    std::printf("\n    %-38s", "processor time (least of the runs)");
    for (const Measurement& run : runs) {
        std::printf(" %24.3f s", run.timing.bestProcessor);
    }
    std::printf("\n    %-38s", "first evaluation");
    for (const Measurement& run : runs) {
        std::printf(" %24.3f s", run.timing.first);
    }
    std::printf("\n    %-38s", "peak resident memory");
    for (const Measurement& run : runs) {
        std::printf(" %23.0f MB", megabytes(run.peakResident));
    }
    std::printf("\n    %-38s", "  of which the load added");
    for (const Measurement& run : runs) {
        std::printf(" %23.0f MB", megabytes(run.loadedResident));
    }
    std::printf("\n    %-38s", "non-finite outputs");
    for (const Measurement& run : runs) {
        std::printf(" %26lld", static_cast<long long>(run.nonFinite));
    }
    std::printf("\n");

    // Layer types, slowest first in the first precision.
    std::vector<std::pair<std::string, Profiler::Entry>> entries(
        runs.front().timing.profile.begin(), runs.front().timing.profile.end());
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.second.seconds > b.second.seconds; });
    std::printf("    %-38s", "layer type (calls, GFLOP)");
    for (size_t i = 0; i < runs.size(); ++i) {
        std::printf(" %26s", "seconds  share  of ceiling");
    }
    std::printf("\n");
    for (const auto& [name, first] : entries) {
        char label[80];
        std::snprintf(label, sizeof label, "%s (%lld, %.1f)", name.c_str(),
                      static_cast<long long>(first.calls), first.flops / 1e9);
        std::printf("    %-38s", label);
        for (const Measurement& run : runs) {
            const auto found = run.timing.profile.find(name);
            if (found == run.timing.profile.end()) {
                std::printf(" %26s", "-");
                continue;
            }
            const Profiler::Entry& entry = found->second;
            const double ofTotal = 100.0 * entry.seconds / run.timing.best;
            if (entry.flops > 0) {
                std::printf(" %8.3f %5.1f%% %9.0f%%  ", entry.seconds, ofTotal,
                            share(entry.flops, entry.seconds, run.ceiling));
            } else {
                std::printf(" %8.3f %5.1f%% %12s", entry.seconds, ofTotal, "");
            }
        }
        std::printf("\n");
    }
    if (runs.size() == 2) {
        std::printf("    bfloat16 against float32: largest difference %.2e of the output's "
                    "largest magnitude\n",
                    relativeDifference(runs[0].timing.outputs.featureValue(output),
                                       runs[1].timing.outputs.featureValue(output)));
    }
    if (targets.float32Seconds > 0) {
        const double flops = runs.front().flops;
        std::printf("    targets: float32 %.0f%% of its ceiling (%.1f s on the reference machine), "
                    "bfloat16 %.0f%% of its ceiling (%.1f s there), load %.1f s\n",
                    share(flops, targets.float32Seconds, kTargetFloat32Ceiling),
                    targets.float32Seconds,
                    share(flops, targets.bfloat16Seconds, kTargetBfloat16Ceiling),
                    targets.bfloat16Seconds, targets.loadSeconds);
    } else if (targets.loadSeconds > 0) {
        std::printf("    targets: load %.1f s\n", targets.loadSeconds);
    }
}

} // namespace

int main(int argc, char** argv) {
    std::filesystem::path models;
    int runs = 2;
    bool encoder = true;
    bool others = true;
    std::string precisionChoice = "both";
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
        } else if (std::strcmp(argv[i], "--precision") == 0 && i + 1 < argc) {
            precisionChoice = argv[++i];
        } else if (std::strcmp(argv[i], "--controlnet") == 0 && i + 1 < argc) {
            controlNetBundle = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: %s [--models DIR] [--runs N] [--no-encoder] [--unet-only] "
                         "[--precision float32|bfloat16|both] [--controlnet BUNDLE]\n",
                         argv[0]);
            return 2;
        }
    }

    const int threads = ComputeContext::threadCount();
    std::printf("CPU: %s; %d compute threads (one per physical core)\n", cpuModel().c_str(),
                threads);
    const FmaCeiling ceiling = measureFmaCeiling(threads);
    std::printf("float32 FMA ceiling (%s): %.1f GFLOP/s per thread, %.1f GFLOP/s on %d threads\n",
                ceiling.instructions.c_str(), ceiling.perThread, ceiling.total, threads);
    const FmaCeiling bf16Ceiling = measureBfloat16Ceiling(threads);
    if (processorHasBfloat16()) {
        std::printf("bfloat16 dot-product ceiling (%s): %.1f GFLOP/s per thread, %.1f GFLOP/s on "
                    "%d threads (%.2f × float32)\n",
                    bf16Ceiling.instructions.c_str(), bf16Ceiling.perThread, bf16Ceiling.total,
                    threads, bf16Ceiling.total / ceiling.total);
    } else {
        std::printf("bfloat16 dot products: absent (no AVX-512 BF16 or AMX); float32 only\n");
    }

    std::vector<ComputePrecision> precisions;
    if (precisionChoice == "float32" || precisionChoice == "both") {
        precisions.push_back(ComputePrecision::float32);
    }
    if ((precisionChoice == "bfloat16" || precisionChoice == "both") && processorHasBfloat16()) {
        precisions.push_back(ComputePrecision::bfloat16);
    }
    if (precisions.empty()) {
        std::fprintf(stderr, "no precision to measure on this processor\n");
        return 1;
    }
    // oneDNN's own kernels, measured here, in the same run as the networks.
    std::map<ComputePrecision, OneDnnRates> libraryRates;
    for (const ComputePrecision precision : precisions) {
        const OneDnnRates rates = measureOneDnnRates(precision == ComputePrecision::bfloat16);
        libraryRates[precision] = rates;
        std::printf("oneDNN's own %s kernels: 3×3 convolution 2×320×64×64 → 320 %.0f GFLOP/s "
                    "(%s, %.2f × the FMA ceiling), matmul 8192×320 by 320×1280 %.0f GFLOP/s (%s)\n",
                    std::string(precisionName(precision)).c_str(), rates.convolution.gflops,
                    rates.convolution.kernel.c_str(), rates.convolution.gflops / ceiling.total,
                    rates.matmul.gflops, rates.matmul.kernel.c_str());
    }
    const auto ceilingOf = [&](ComputePrecision precision) {
        // bfloat16 layers that run in float32 (attention) still count
        // against the bfloat16 ceiling: it is the one the target is set on.
        return precision == ComputePrecision::bfloat16 ? bf16Ceiling.total : ceiling.total;
    };

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

    const auto measureAll = [&](const std::filesystem::path& bundle, const FeatureProvider& inputs,
                                const std::string& output, int count) {
        std::vector<Measurement> results;
        for (ComputePrecision precision : precisions) {
            results.push_back(measure(bundle, precision, ceilingOf(precision),
                                      libraryRates[precision], inputs, output, count));
        }
        return results;
    };

    // A bundle the directory lacks is skipped rather than ending the run.
    const auto present = [&](const std::string& name) {
        if (std::filesystem::exists(models / name)) {
            return true;
        }
        std::printf("\n%s: not in %s; skipped\n", name.c_str(), models.string().c_str());
        return false;
    };
    if (others && present("TextEncoder.model")) {
        ShapedArray ids(Shape{1, 77}, 49407.0f);
        const float prompt[] = {49406, 320, 1125, 539, 320, 2368, 49407};
        std::copy(std::begin(prompt), std::end(prompt), ids.data());
        report("CLIP text encoder (77 tokens)",
               measureAll(models / "TextEncoder.model", FeatureProvider({{"input_ids", ids}}),
                          "last_hidden_state", std::max(runs, 5)),
               "last_hidden_state", Targets{0, 0, 0.3});
    }
    if (others && present("VAEDecoder.model")) {
        const FeatureProvider latent({{"z", randomArray({1, 4, 64, 64}, -3.0f, 3.0f, 1)}});
        report("VAE decode (1×4×64×64 → 1×3×512×512)",
               measureAll(models / "VAEDecoder.model", latent, "image", runs), "image",
               Targets{6.0, 3.5, 0.3});
    }
    if (encoder && others && present("VAEEncoder.model")) {
        const FeatureProvider image({{"x", randomArray({1, 3, 512, 512}, -1.0f, 1.0f, 2)}});
        report("VAE encode (1×3×512×512 → 1×8×64×64)",
               measureAll(models / "VAEEncoder.model", image, "moments", 1), "moments", {});
    }
    {
        ShapedArray timestep(Shape{2}, 981.0f);
        const FeatureProvider inputs(
            {{"sample", randomArray({2, 4, 64, 64}, -3.0f, 3.0f, 3)},
             {"timestep", timestep},
             {"encoder_hidden_states", randomArray({2, 768, 1, 77}, -1.0f, 1.0f, 4)}});
        const std::vector<Measurement> plain = measureAll(unetBundle, inputs, "noise_pred", runs);
        report("Denoising network (2×4×64×64, 77 text positions)", plain, "noise_pred",
               Targets{4.2, 2.3, 1.5});
        std::printf("    target for attention: at most 12%% of the evaluation\n");

        if (!controlNetBundle.empty()) {
            FeatureProvider withImage = inputs;
            withImage.featureValueDictionary.emplace(
                "controlnet_cond", randomArray({2, 3, 512, 512}, 0.0f, 1.0f, 5));
            const std::vector<Measurement> controlNet =
                measureAll(controlNetBundle, withImage, "mid_block_residual", runs);
            report("ControlNet (2×4×64×64, 2×3×512×512 image)", controlNet, "mid_block_residual",
                   {});
            for (size_t i = 0; i < controlNet.size(); ++i) {
                FeatureProvider controlledInputs = inputs;
                for (const auto& [name, value] :
                     controlNet[i].timing.outputs.featureValueDictionary) {
                    controlledInputs.featureValueDictionary.emplace(name, value);
                }
                const Measurement controlled =
                    measure(unetBundle.parent_path() / "ControlledUnet.model",
                            controlNet[i].precision, controlNet[i].ceiling,
                            controlNet[i].library, controlledInputs, "noise_pred", runs);
                const double step = controlNet[i].timing.best + controlled.timing.best;
                std::printf("Controlled step in %s: ControlNet %.2f s + controlled network %.2f s "
                            "= %.2f s, %.2f× the plain step (%.2f s); non-finite outputs: %lld\n",
                            std::string(precisionName(controlNet[i].precision)).c_str(), controlNet[i].timing.best,
                            controlled.timing.best, step, step / plain[i].timing.best,
                            plain[i].timing.best, static_cast<long long>(controlled.nonFinite));
            }
        }
    }

    if (!scratch.empty()) {
        std::filesystem::remove_all(scratch);
    }
    return 0;
}
