#include "cli/GenerateCommand.h"

#include "cli/PngFile.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "pipeline/StableDiffusionXLPipeline.h"
#include "runtime/BundleDescription.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <stdexcept>

namespace dravelin {

namespace {

constexpr const char* kUsage = R"(usage: dravelin-cli --prompt TEXT [options]
Generates images with a Stable Diffusion 1.5 or SDXL model directory (SDXL
ones, told by their TextEncoder2.model, at the network's own size).
  --model DIR             model directory (default: the application's model)
  --prompt TEXT           what the image should show
  --negative-prompt TEXT  what it should not show
  --seed N                0 to 4294967295 (default 0)
  --steps N               denoising steps (default 20)
  --guidance X            guidance scale (default 7.5)
  --scheduler pndm|dpm    (default pndm)
  --spacing linspace|leading|karras   timestep spacing for dpm (default linspace)
  --rng numpy|torch|nvidia            noise generator (default numpy)
  --count N               images to generate (default 1)
  --output PATH           PNG to write (default dravelin.png; several images are
                          numbered beside it)
  --preview-dir DIR       write a preview PNG every second step
  --reduce-memory         keep each model loaded only while it is used
  --refiner-start X       SDXL with UnetRefiner.model: the fraction of the steps
                          after which the refiner takes over (default 0.8; 1
                          leaves it out)
  --aesthetic-score X     SDXL refiner: the score asked for (default 6)
  --negative-aesthetic-score X   and the one steered from (default 2.5)
  --help                  show this text
)";

int64_t wholeNumber(const std::string& option, const std::string& text, int64_t low, int64_t high) {
    size_t used = 0;
    long long value = 0;
    try {
        value = std::stoll(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (text.empty() || used != text.size() || value < low || value > high) {
        throw std::invalid_argument(option + " takes a whole number from " + std::to_string(low) +
                                    " to " + std::to_string(high) + ", not \"" + text + "\".");
    }
    return value;
}

float decimal(const std::string& option, const std::string& text) {
    size_t used = 0;
    float value = 0.0f;
    try {
        value = std::stof(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (text.empty() || used != text.size() || !std::isfinite(value)) {
        throw std::invalid_argument(option + " takes a number, not \"" + text + "\".");
    }
    return value;
}

std::string samplerName(const PipelineConfiguration& c) {
    if (c.schedulerType == StableDiffusionScheduler::pndmScheduler) {
        return "PNDM";
    }
    return c.schedulerTimestepSpacing == TimeStepSpacing::karras ? "DPM++ 2M Karras" : "DPM++ 2M";
}

std::string formatNumber(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
    return text;
}

std::string formatSeconds(double seconds) {
    char text[32];
    if (seconds >= 60.0) {
        std::snprintf(text, sizeof text, "%d min %02d s", static_cast<int>(seconds) / 60,
                      static_cast<int>(seconds) % 60);
    } else {
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    }
    return text;
}

std::string modelNameOf(const std::filesystem::path& model) {
    return model.filename().empty() ? model.parent_path().filename().string()
                                    : model.filename().string();
}

// SDXL's scale when the VAE's config does not give one.
float latentScaleFactor(const std::filesystem::path& vaeConfig) {
    constexpr float kXLScale = 0.13025f;
    std::ifstream file(vaeConfig);
    const nlohmann::json config = nlohmann::json::parse(file, nullptr, false);
    const auto found = config.is_object() ? config.find("scaling_factor") : config.end();
    if (!config.is_object() || found == config.end() || !found->is_number() ||
        !(found->get<double>() > 0.0)) {
        return kXLScale;
    }
    return static_cast<float>(found->get<double>());
}

// The pipeline for the directory, with the configuration completed for it
// and the model named as the PNG's parameters give it.
struct ChosenPipeline {
    std::shared_ptr<StableDiffusionPipelineProtocol> pipeline;
    PipelineConfiguration configuration;
    std::string modelName;
};

ChosenPipeline choosePipeline(const GenerateOptions& options) {
    const ModelConfiguration runtime{ComputeUnits::cpuAndGPU};
    PipelineConfiguration c = options.configuration;
    std::string name = modelNameOf(options.model);
    if (!isXLModelDirectory(options.model)) {
        if (options.xlOptions) {
            throw std::runtime_error("--refiner-start and the aesthetic scores are for SDXL "
                                     "model directories; \"" +
                                     options.model.string() + "\" is not one.");
        }
        return {std::make_shared<StableDiffusionPipeline>(options.model, std::vector<std::string>{},
                                                          runtime, /*disableSafety=*/true,
                                                          options.reduceMemory),
                c, name};
    }
    auto pipeline =
        std::make_shared<StableDiffusionXLPipeline>(options.model, runtime, options.reduceMemory);
    if (!pipeline->unetRefiner && options.refinerStartGiven) {
        throw std::runtime_error("--refiner-start needs a refiner, and \"" +
                                 options.model.string() + "\" has no UnetRefiner.model.");
    }
    // SDXL's VAE scales its latents by its own factor, which its config
    // records.
    const float scale = latentScaleFactor(options.model / "VAEDecoder.model" / "config.json");
    c.decoderScaleFactor = c.encoderScaleFactor = scale;
    // The geometry the network was trained for: its own latent size in
    // pixels (8 per latent cell), read from the bundle, since loading the
    // network now would hold it beside the text encoders.
    const std::optional<FeatureDescription> input =
        pipeline->unet.models().empty()
            ? std::nullopt
            : describeBundle(pipeline->unet.models().front()->modelURL()).input("sample");
    const Shape sample = input ? input->shape : Shape{};
    if (sample.size() == 4) {
        c.originalSize = c.targetSize = static_cast<float>(8 * sample[2]);
    }
    name += " (SDXL";
    if (pipeline->unetRefiner && c.refinerStart < 1.0f) {
        name += " base, refiner from " + formatNumber(c.refinerStart) +
                " of the steps, aesthetic score " + formatNumber(c.aestheticScore) + "/" +
                formatNumber(c.negativeAestheticScore);
    } else if (!pipeline->textEncoder) {
        name += " refiner";
    } else {
        name += " base";
    }
    name += ")";
    return {pipeline, c, name};
}

} // namespace

bool isXLModelDirectory(const std::filesystem::path& directory) {
    std::error_code error;
    return std::filesystem::exists(directory / "TextEncoder2.model", error);
}

std::filesystem::path defaultModelDirectory() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    std::filesystem::path base;
    if (dataHome != nullptr && *dataHome != '\0') {
        base = dataHome;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home != nullptr ? home : ".") / ".local" / "share";
    }
    return base / "Dravelin" / "Model";
}

GenerateOptions parseGenerateOptions(const std::vector<std::string>& arguments) {
    GenerateOptions options;
    options.model = defaultModelDirectory();
    options.configuration.stepCount = 20;
    bool hasPrompt = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--help" || option == "-h") {
            options.help = true;
            continue;
        }
        if (option == "--reduce-memory") {
            options.reduceMemory = true;
            continue;
        }
        if (option.rfind("--", 0) != 0) {
            throw std::invalid_argument("unexpected argument \"" + option + "\".");
        }
        if (i + 1 >= arguments.size()) {
            throw std::invalid_argument(option + " needs a value.");
        }
        const std::string& value = arguments[++i];
        PipelineConfiguration& c = options.configuration;
        if (option == "--model") {
            options.model = value;
        } else if (option == "--prompt") {
            c.prompt = value;
            hasPrompt = true;
        } else if (option == "--negative-prompt") {
            c.negativePrompt = value;
        } else if (option == "--seed") {
            c.seed = static_cast<uint32_t>(
                wholeNumber(option, value, 0, std::numeric_limits<uint32_t>::max()));
        } else if (option == "--steps") {
            c.stepCount = wholeNumber(option, value, 1, 1000);
        } else if (option == "--guidance") {
            c.guidanceScale = decimal(option, value);
        } else if (option == "--count") {
            c.imageCount = wholeNumber(option, value, 1, 100);
        } else if (option == "--output") {
            options.output = value;
        } else if (option == "--preview-dir") {
            options.previewDirectory = value;
        } else if (option == "--scheduler") {
            if (value != "pndm" && value != "dpm") {
                throw std::invalid_argument("--scheduler is pndm or dpm, not \"" + value + "\".");
            }
            c.schedulerType = value == "pndm"
                                  ? StableDiffusionScheduler::pndmScheduler
                                  : StableDiffusionScheduler::dpmSolverMultistepScheduler;
        } else if (option == "--spacing") {
            if (value == "linspace") {
                c.schedulerTimestepSpacing = TimeStepSpacing::linspace;
            } else if (value == "leading") {
                c.schedulerTimestepSpacing = TimeStepSpacing::leading;
            } else if (value == "karras") {
                c.schedulerTimestepSpacing = TimeStepSpacing::karras;
            } else {
                throw std::invalid_argument("--spacing is linspace, leading or karras, not \"" +
                                            value + "\".");
            }
        } else if (option == "--refiner-start") {
            c.refinerStart = decimal(option, value);
            if (c.refinerStart < 0.0f || c.refinerStart > 1.0f) {
                throw std::invalid_argument("--refiner-start takes a fraction from 0 to 1, not \"" +
                                            value + "\".");
            }
            options.xlOptions = true;
            options.refinerStartGiven = true;
        } else if (option == "--aesthetic-score") {
            c.aestheticScore = decimal(option, value);
            options.xlOptions = true;
        } else if (option == "--negative-aesthetic-score") {
            c.negativeAestheticScore = decimal(option, value);
            options.xlOptions = true;
        } else if (option == "--rng") {
            if (value == "numpy") {
                c.rngType = StableDiffusionRNG::numpyRNG;
            } else if (value == "torch") {
                c.rngType = StableDiffusionRNG::torchRNG;
            } else if (value == "nvidia") {
                c.rngType = StableDiffusionRNG::nvidiaRNG;
            } else {
                throw std::invalid_argument("--rng is numpy, torch or nvidia, not \"" + value +
                                            "\".");
            }
        } else {
            throw std::invalid_argument("unknown option \"" + option + "\".");
        }
    }
    if (!hasPrompt && !options.help) {
        throw std::invalid_argument("--prompt is required.");
    }
    if (options.output.extension() != ".png" && !options.help) {
        throw std::invalid_argument("--output must name a .png file, not \"" +
                                    options.output.string() + "\".");
    }
    return options;
}

std::filesystem::path outputPathFor(const std::filesystem::path& output, int64_t index,
                                    int64_t count) {
    if (count == 1) {
        return output;
    }
    return output.parent_path() /
           (output.stem().string() + "-" + std::to_string(index + 1) + output.extension().string());
}

std::string parametersText(const PipelineConfiguration& c, int width, int height,
                           const std::string& modelName) {
    std::string text = c.prompt + "\n";
    if (!c.negativePrompt.empty()) {
        text += "Negative prompt: " + c.negativePrompt + "\n";
    }
    text += "Steps: " + std::to_string(c.stepCount) + ", Sampler: " + samplerName(c) +
            ", CFG scale: " + formatNumber(c.guidanceScale) + ", Seed: " + std::to_string(c.seed) +
            ", Size: " + std::to_string(width) + "x" + std::to_string(height) +
            ", Model: " + modelName;
    return text;
}

int runGenerateCommand(const std::vector<std::string>& arguments, std::ostream& out,
                       std::ostream& err) {
    GenerateOptions options;
    try {
        options = parseGenerateOptions(arguments);
    } catch (const std::invalid_argument& error) {
        err << "dravelin-cli: " << error.what() << " (--help lists the options)\n";
        return 2;
    }
    if (options.help) {
        out << kUsage;
        return 0;
    }
    try {
        if (!std::filesystem::is_directory(options.model)) {
            throw std::runtime_error("There is no model at \"" + options.model.string() +
                                     "\"; download it with the application or pass --model.");
        }
        const std::filesystem::path outputDirectory =
            options.output.parent_path().empty() ? "." : options.output.parent_path();
        if (!std::filesystem::is_directory(outputDirectory)) {
            throw std::runtime_error("The output folder \"" + outputDirectory.string() +
                                     "\" does not exist.");
        }
        if (options.previewDirectory) {
            std::filesystem::create_directories(*options.previewDirectory);
        }
        const ChosenPipeline chosen = choosePipeline(options);
        const PipelineConfiguration& c = chosen.configuration;
        StableDiffusionPipelineProtocol& pipeline = *chosen.pipeline;
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        auto lastStep = start;
        const GeneratedImages images =
            pipeline.generateImages(c, [&](const PipelineProgress& progress) {
                const auto now = Clock::now();
                const double perStep = std::chrono::duration<double>(now - start).count() /
                                       static_cast<double>(progress.step + 1);
                const double left =
                    perStep * static_cast<double>(progress.stepCount - progress.step - 1);
                err << "step " << progress.step + 1 << " of " << progress.stepCount << ", "
                    << formatSeconds(std::chrono::duration<double>(now - lastStep).count())
                    << " per step, " << formatSeconds(left) << " left\n";
                lastStep = now;
                if (options.previewDirectory && progress.step % 2 == 1) {
                    const GeneratedImages previews = progress.currentImages();
                    for (size_t i = 0; i < previews.size(); ++i) {
                        if (previews[i]) {
                            char name[64];
                            std::snprintf(name, sizeof name, "step-%03lld-%zu.png",
                                          static_cast<long long>(progress.step + 1), i + 1);
                            writePng(*options.previewDirectory / name, *previews[i]);
                        }
                    }
                }
                return true;
            });
        const std::string& modelName = chosen.modelName;
        for (size_t i = 0; i < images.size(); ++i) {
            if (!images[i]) {
                err << "Image " << i + 1 << " was withheld by the safety checker.\n";
                continue;
            }
            const std::filesystem::path path = outputPathFor(
                options.output, static_cast<int64_t>(i), static_cast<int64_t>(images.size()));
            writePng(path, *images[i],
                     {{"parameters",
                       parametersText(c, images[i]->width(), images[i]->height(), modelName)}});
            out << path.string() << "\n";
        }
        return 0;
    } catch (const std::exception& error) {
        err << "dravelin-cli: " << error.what() << "\n";
        return 1;
    }
}

} // namespace dravelin
