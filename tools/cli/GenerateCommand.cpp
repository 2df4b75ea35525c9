#include "cli/GenerateCommand.h"

#include "core/Sha256.h"
#include "core/ImageFile.h"
#include "core/PngReading.h"
#include "core/PngWriting.h"
#include "options/CommandLineOptions.h"
#include "pipeline/GenerationParameters.h"
#include "pipeline/SamplerChoice.h"
#include "pipeline/CheckpointPipeline.h"
#include "pipeline/ImageFitting.h"
#include "pipeline/ImageResize.h"
#include "pipeline/ImageSize.h"
#include "pipeline/SchedulerTable.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "pipeline/StableDiffusionXLPipeline.h"
#include "runtime/BundleDescription.h"

#include <nlohmann/json.hpp>

#include "core/TextExcerpt.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <limits>
#include <new>
#include <stdexcept>
#include <system_error>

#include <sys/resource.h>
#include <unistd.h>

namespace dravelin {

namespace {

// Step ranges the schedulers take with SD's 1000 training timesteps: PNDM
// needs two for its warm-up and offsets timesteps by one.
constexpr int64_t kMostSteps = 1000;
constexpr int64_t kFewestPndmSteps = 2;
constexpr int64_t kMostPndmSteps = 999;
// Far beyond any useful scale, and far from overflowing the guided noise.
constexpr double kLargestGuidance = 100.0;
// Published LoRAs are used at scales around 1; far beyond, any image is noise.
constexpr double kLargestLoraScale = 10.0;
// CLIP ViT-L has 12 layers; the text encoder refuses what it does not have.
constexpr int64_t kMostClipSkip = 12;
// The refiner was trained on aesthetic scores of 0 to 10.
constexpr double kLargestAestheticScore = 10.0;
// What other local tools start image-to-image with.
constexpr float kDefaultStrength = 0.75f;
// Beyond 4 × 512 the enlarged pass would take hours on a CPU.
constexpr double kLargestHiresScale = 4.0;

constexpr const char* kUsageIntro = R"(usage: dravelin-cli --prompt TEXT [options]
Generates images with a Stable Diffusion 1.5 or SDXL model directory (SDXL
ones, told by their TextEncoder2.model, at the network's own size) or
single-file model.
)";

std::string formatNumber(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// Whole numbers and decimals are read alike: plain digits (and one decimal
// point), no sign, no spaces, no exponent, so what is accepted is exactly what
// the help shows.
bool isPlainNumber(const std::string& text, bool decimalPoint) {
    bool digits = false;
    bool point = false;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            digits = true;
        } else if (c == '.' && decimalPoint && !point) {
            point = true;
        } else {
            return false;
        }
    }
    return digits;
}

int64_t wholeNumber(const std::string& option, const std::string& text, int64_t low, int64_t high) {
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (!isPlainNumber(text, false) || error != std::errc() || end != text.data() + text.size() ||
        value < low || value > high) {
        throw std::invalid_argument(option + " takes a whole number from " + std::to_string(low) +
                                    " to " + std::to_string(high) + ", not " + quotedValue(text) +
                                    ".");
    }
    return value;
}

float decimal(const std::string& option, const std::string& text, double low, double high) {
    double value = 0.0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (!isPlainNumber(text, true) || error != std::errc() || end != text.data() + text.size() ||
        value < low || value > high) {
        throw std::invalid_argument(option + " takes a number from " + formatNumber(low) + " to " +
                                    formatNumber(high) + ", not " + quotedValue(text) + ".");
    }
    return static_cast<float>(value);
}

// FILE or FILE:SCALE; a path may itself hold colons, so only a number after
// the last one is a scale.
LoraFile parseLora(const std::string& text) {
    const size_t colon = text.rfind(':');
    LoraFile lora{text, 1.0f};
    if (colon != std::string::npos && colon + 1 < text.size()) {
        const std::string scale = text.substr(colon + 1);
        const bool numeric = scale.find_first_not_of("0123456789.-+eE") == std::string::npos;
        if (numeric) {
            lora = LoraFile{text.substr(0, colon), decimal("--lora scale", scale, 0.0, kLargestLoraScale)};
        }
    }
    if (lora.path.empty() || lora.path.extension() != ".safetensors") {
        throw std::invalid_argument("--lora takes a .safetensors file, optionally followed by "
                                    ":SCALE, not " +
                                    quotedValue(text) + ".");
    }
    // The PNG's parameters name each LoRA by its file name in a prompt tag.
    if (!isWritableLoraName(lora.path.stem().string())) {
        throw std::invalid_argument("--lora: the file name " +
                                    quotedValue(lora.path.stem().string()) +
                                    " cannot be named in a PNG's parameters; rename it without "
                                    "':', '<', '>', ',' or quotation marks.");
    }
    return lora;
}

// Each ControlNet's image, read and stretched to the size its network takes
// ("controlnet_cond" [batch, channels, height, width]).
std::vector<Image> controlNetImages(const GenerateOptions& options,
                                    StableDiffusionPipeline& pipeline) {
    std::vector<Image> images;
    if (options.controlNets.empty()) {
        return images;
    }
    const std::vector<Shape> shapes = pipeline.controlNet->inputImageShapes();
    for (size_t k = 0; k < options.controlNets.size(); ++k) {
        const Image image = readImageFile(options.controlNets[k].image);
        const Shape& shape = shapes[k];
        if (shape.size() != 4 || shape[1] != 3) {
            throw std::runtime_error("The ControlNet \"" + options.controlNets[k].name +
                                     "\" does not take an RGB image.");
        }
        const int height = static_cast<int>(shape[2]);
        const int width = static_cast<int>(shape[3]);
        images.push_back(image.width() == width && image.height() == height
                             ? image
                             : resizeToRGBA(image, width, height));
    }
    return images;
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

// The process's largest resident size so far.
double peakMemoryGigabytes() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) * 1024.0 / 1e9;
}

std::string reasonText(const std::error_code& error) {
    std::string text = error.message();
    if (!text.empty()) {
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    }
    return text;
}

void requireWritableFolder(const std::filesystem::path& folder, const std::string& what) {
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        throw std::runtime_error("The " + what + " \"" + excerpt(folder.string(), 200) +
                                 "\" cannot be written to: " +
                                 reasonText(std::error_code(errno, std::generic_category())) + ".");
    }
}

// Where the images go is checked before any model loads, so that a mistyped
// path costs a moment rather than a whole generation.
void checkOutputLocation(const GenerateOptions& options) {
    std::error_code error;
    const std::filesystem::path outputDirectory =
        options.output.parent_path().empty() ? "." : options.output.parent_path();
    if (!std::filesystem::is_directory(outputDirectory, error)) {
        throw std::runtime_error("The output folder \"" + excerpt(outputDirectory.string(), 200) +
                                 "\" does not exist or is not a folder.");
    }
    requireWritableFolder(outputDirectory, "output folder");
    const int64_t count = options.configuration.imageCount;
    for (int64_t i = 0; i < count; ++i) {
        const std::filesystem::path path = outputPathFor(options.output, i, count);
        const auto status = std::filesystem::status(path, error);
        if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
            throw std::runtime_error("The output \"" + excerpt(path.string(), 200) +
                                     "\" exists and is not a file; name a .png file.");
        }
    }
    if (options.previewDirectory) {
        std::filesystem::create_directories(*options.previewDirectory, error);
        if (error) {
            throw std::runtime_error("The preview folder \"" +
                                     excerpt(options.previewDirectory->string(), 200) +
                                     "\" cannot be created: " + reasonText(error) + ".");
        }
        requireWritableFolder(*options.previewDirectory, "preview folder");
    }
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

// The image options agree with each other; the default strength is set.
void checkImageInputOptions(GenerateOptions& options, bool strengthGiven) {
    PipelineConfiguration& c = options.configuration;
    if (options.mask && !options.initImage) {
        throw std::invalid_argument("--mask needs --init-image: the image whose masked part is "
                                    "repainted.");
    }
    if (!options.initImage) {
        if (strengthGiven) {
            throw std::invalid_argument("--strength needs --init-image.");
        }
        return;
    }
    if (!strengthGiven) {
        c.strength = kDefaultStrength;
    }
    if (!(c.strength > 0.0f)) {
        throw std::invalid_argument("--strength must be above 0; 0 would return the image "
                                    "unchanged.");
    }
    if (!options.mask && !(c.strength < 1.0f)) {
        throw std::invalid_argument("--strength must be below 1 for image-to-image; 1 would "
                                    "ignore the image (leave out --init-image for that).");
    }
}

// The starting image and mask, read and fitted to the size the image
// encoder takes.
void attachImageInputs(const GenerateOptions& options, const std::optional<Encoder>& encoder,
                       PipelineConfiguration& c) {
    if (!options.initImage) {
        return;
    }
    if (!encoder) {
        throw std::runtime_error("The model has no image encoder (VAEEncoder.model), which "
                                 "--init-image needs.");
    }
    const FeatureDescription input = encoder->model()->description().inputs.at(0);
    if (input.shape.size() != 4) {
        throw std::runtime_error("The image encoder does not take an image.");
    }
    const int width = static_cast<int>(input.shape[3]);
    const int height = static_cast<int>(input.shape[2]);
    c.startingImage = fitToSize(readInputImage(*options.initImage), width, height);
    if (options.mask) {
        c.maskImage = fitToSize(readInputImage(*options.mask), width, height);
    }
}

// The pipeline for the directory, with the configuration completed for it
// and the model named as the PNG's parameters give it.
struct ChosenPipeline {
    std::shared_ptr<StableDiffusionPipelineProtocol> pipeline;
    PipelineConfiguration configuration;
    std::string modelName;
};

// The --embedding files; none at all when there are none.
std::shared_ptr<const EmbeddingLibrary>
readEmbeddings(const std::vector<std::filesystem::path>& files) {
    if (files.empty()) {
        return nullptr;
    }
    auto library = std::make_shared<EmbeddingLibrary>();
    for (const std::filesystem::path& file : files) {
        try {
            library->add(EmbeddingLibrary::readFile(file));
        } catch (const EmbeddingError& error) {
            throw std::runtime_error(error.what());
        }
    }
    return library;
}

bool isSingleFileModel(const std::filesystem::path& model) {
    std::error_code error;
    return std::filesystem::is_regular_file(model, error);
}

// A single-file model (with its VAE and refiner files), named by its file's
// stem as image sites know it.
ChosenPipeline chooseCheckpointPipeline(const GenerateOptions& options,
                                        const ModelConfiguration& runtime,
                                        const std::vector<std::string>& controlNetNames) {
    if (!controlNetNames.empty()) {
        throw std::runtime_error("ControlNets need a model directory with them; \"" +
                                 excerpt(options.model.string(), 200) + "\" is a single file.");
    }
    PipelineConfiguration c = options.configuration;
    CheckpointFiles files;
    files.model = options.model;
    files.vae = options.vae;
    files.refiner = options.refiner;
    files.tokenizerDirectory = options.tokenizer.value_or(defaultModelDirectory());
    CheckpointPipeline built = makeCheckpointPipeline(files, runtime, c, options.reduceMemory);
    // Another size than the model's own: the networks are built again for
    // it (nothing was loaded yet), and SDXL's geometry rows follow it.
    if (options.width || options.height) {
        const int64_t own = built.model.imageSize;
        const int64_t width = options.width.value_or(own);
        const int64_t height = options.height.value_or(own);
        c = options.configuration;
        built = makeCheckpointPipeline(files, sizedForImages(runtime, width, height), c,
                                       options.reduceMemory);
        if (built.isXL) {
            c.originalSize = c.targetSize = static_cast<float>(height);
            c.originalWidth = c.targetWidth = static_cast<float>(width);
        }
    }
    if (!built.isXL && options.xlOptions) {
        throw std::runtime_error("--refiner-start and the aesthetic scores are for SDXL models; \"" +
                                 excerpt(options.model.string(), 200) + "\" is an SD 1.x one.");
    }
    if (options.refinerStartGiven && !options.refiner) {
        throw std::runtime_error("--refiner-start needs a refiner: pass one with --refiner.");
    }
    if (built.isXL && options.fromPng.clipSkipFromPng) {
        c.clipSkip = 1;
    }
    if (built.isXL && c.clipSkip != 1) {
        throw std::runtime_error("--clip-skip is for SD 1.x models; SDXL always conditions on "
                                 "the state before the text encoders' last layer.");
    }
    if (auto sd = std::dynamic_pointer_cast<StableDiffusionPipeline>(built.pipeline)) {
        sd->embeddings = readEmbeddings(options.embeddings);
    } else if (auto xl = std::dynamic_pointer_cast<StableDiffusionXLPipeline>(built.pipeline)) {
        xl->embeddings = readEmbeddings(options.embeddings);
    }
    if (auto* sd = dynamic_cast<StableDiffusionPipeline*>(built.pipeline.get())) {
        attachImageInputs(options, sd->encoder, c);
    } else if (auto* xl = dynamic_cast<StableDiffusionXLPipeline*>(built.pipeline.get())) {
        attachImageInputs(options, xl->encoder, c);
    }
    return {built.pipeline, c, options.model.stem().string()};
}

// The denoising network's own image size in pixels (width, height), read
// from its bundle without loading it; absent for a network without a
// four-dimensional "sample".
std::optional<std::pair<int64_t, int64_t>> ownImageSize(const Unet& unet) {
    if (unet.models().empty()) {
        return std::nullopt;
    }
    const std::optional<FeatureDescription> input =
        describeBundle(unet.models().front()->modelURL()).input("sample");
    if (!input || input->shape.size() != 4) {
        return std::nullopt;
    }
    return std::pair{kLatentCell * input->shape[3], kLatentCell * input->shape[2]};
}

// The runtime configuration for the size asked for: the networks' own size
// unless --width or --height says otherwise (the other side staying the
// network's own). Also the image size to generate, when it is known.
std::pair<ModelConfiguration, std::optional<std::pair<int64_t, int64_t>>>
sizedRuntime(const GenerateOptions& options, const ModelConfiguration& runtime, const Unet& unet) {
    const std::optional<std::pair<int64_t, int64_t>> own = ownImageSize(unet);
    if (!options.width && !options.height) {
        return {runtime, own};
    }
    if (!own && !(options.width && options.height)) {
        throw std::runtime_error("The denoising network does not say its image size; give both "
                                 "--width and --height.");
    }
    const int64_t width = options.width.value_or(own ? own->first : 0);
    const int64_t height = options.height.value_or(own ? own->second : 0);
    return {sizedForImages(runtime, width, height), std::pair{width, height}};
}

ChosenPipeline choosePipeline(const GenerateOptions& options, const ModelConfiguration& unsized,
                              const std::vector<std::string>& controlNetNames) {
    if (isSingleFileModel(options.model)) {
        return chooseCheckpointPipeline(options, unsized, controlNetNames);
    }
    if (options.vae || options.refiner || options.tokenizer) {
        throw std::runtime_error("--vae, --refiner and --tokenizer go with a single-file model; \"" +
                                 excerpt(options.model.string(), 200) + "\" is a directory.");
    }
    PipelineConfiguration c = options.configuration;
    std::string name = modelNameOf(options.model);
    if (!isXLModelDirectory(options.model)) {
        if (options.xlOptions) {
            throw std::runtime_error("--refiner-start and the aesthetic scores are for SDXL "
                                     "model directories; \"" +
                                     excerpt(options.model.string(), 200) + "\" is not one.");
        }
        const ModelConfiguration runtime =
            sizedRuntime(options, unsized,
                         StableDiffusionPipeline(options.model, controlNetNames, unsized,
                                                 c.disableSafety, options.reduceMemory)
                             .unet)
                .first;
        auto pipeline = std::make_shared<StableDiffusionPipeline>(
            options.model, controlNetNames, runtime, c.disableSafety, options.reduceMemory);
        pipeline->embeddings = readEmbeddings(options.embeddings);
        c.controlNetInputs = controlNetImages(options, *pipeline);
        attachImageInputs(options, pipeline->encoder, c);
        return {pipeline, c, name};
    }
    if (!controlNetNames.empty()) {
        throw std::runtime_error("ControlNets are for SD 1.5 model directories; \"" +
                                 excerpt(options.model.string(), 200) + "\" is an SDXL one.");
    }
    if (options.fromPng.clipSkipFromPng) {
        c.clipSkip = 1;
    }
    if (c.clipSkip != 1) {
        throw std::runtime_error("--clip-skip is for SD 1.x model directories; SDXL always "
                                 "conditions on the state before the text encoders' last "
                                 "layer.");
    }
    const auto [runtime, size] = sizedRuntime(
        options, unsized, StableDiffusionXLPipeline(options.model, unsized, false).unet);
    auto pipeline =
        std::make_shared<StableDiffusionXLPipeline>(options.model, runtime, options.reduceMemory);
    pipeline->embeddings = readEmbeddings(options.embeddings);
    if (!pipeline->unetRefiner && options.refinerStartGiven) {
        throw std::runtime_error("--refiner-start needs a refiner, and \"" +
                                 options.model.string() + "\" has no UnetRefiner.model.");
    }
    // SDXL's VAE scales its latents by its own factor, which its config
    // records.
    const float scale = latentScaleFactor(options.model / "VAEDecoder.model" / "config.json");
    c.decoderScaleFactor = c.encoderScaleFactor = scale;
    // The geometry rows say the size generated at: the network's own
    // unless asked for another.
    if (size) {
        c.originalSize = c.targetSize = static_cast<float>(size->second);
        c.originalWidth = c.targetWidth = static_cast<float>(size->first);
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
    attachImageInputs(options, pipeline->encoder, c);
    return {pipeline, c, name};
}

} // namespace

Image readInputImage(const std::filesystem::path& path) {
    return readImageFile(path);
}

bool isXLModelDirectory(const std::filesystem::path& directory) {
    std::error_code error;
    return std::filesystem::exists(directory / "TextEncoder2.model", error);
}

namespace {

std::filesystem::path applicationFolder() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    std::filesystem::path base;
    if (dataHome != nullptr && *dataHome != '\0') {
        base = dataHome;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home != nullptr ? home : ".") / ".local" / "share";
    }
    return base / "Dravelin";
}

} // namespace

std::filesystem::path defaultModelDirectory() {
    return applicationFolder() / "Model";
}

namespace {

// What parsing learns beside the options: which were given, so defaults that
// depend on others (the scheduler's steps and guidance) are settled at the end.
struct GenerateParsing {
    GenerateOptions options;
    bool hasPrompt = false;
    bool hasSteps = false;
    bool hasGuidance = false;
    bool hasSpacing = false;
    std::string stepsText;
    bool strengthGiven = false;
    HiresFix hires;
    bool hiresGiven = false;
    bool hiresDetailGiven = false;
    bool hiresStepsGiven = false;
    // Which hires settings came from --from-png, so that a value this tool
    // cannot use names where it came from.
    bool hiresScaleFromPng = false;
    bool hiresStrengthFromPng = false;
    bool hiresStepsFromPng = false;

    // No hires fix (--no-hires, or an image without one).
    void clearHires() {
        hires = HiresFix();
        hiresGiven = hiresDetailGiven = hiresStepsGiven = false;
        hiresScaleFromPng = hiresStrengthFromPng = hiresStepsFromPng = false;
    }
};

// The hires fix a PNG's parameters describe, as --hires and its companions
// would set it; none where the image was not enlarged.
void takeHiresOf(const GenerationParameters& p, GenerateParsing& parsing) {
    parsing.clearHires();
    if (!p.hiresUpscale || !(*p.hiresUpscale > 1.0f)) {
        return;
    }
    parsing.hires.scale = *p.hiresUpscale;
    parsing.hiresGiven = parsing.hiresScaleFromPng = true;
    // Without a strength the other tools' default applies, as ours does.
    if (p.denoisingStrength) {
        parsing.hires.strength = *p.denoisingStrength;
        parsing.hiresStrengthFromPng = true;
    }
    // "Hires steps: 0" means as many as the first pass.
    if (p.hiresSteps && *p.hiresSteps > 0) {
        parsing.hires.stepCount = *p.hiresSteps;
        parsing.hiresStepsGiven = parsing.hiresStepsFromPng = true;
    }
    // Every latent upscaler of the other tools is one "Latent …"; any other
    // name is an image upscaler, for which ours stands in.
    parsing.hires.upscaler = p.hiresUpscaler && p.hiresUpscaler->rfind("Latent", 0) == 0
                                 ? HiresUpscaler::latent
                                 : HiresUpscaler::image;
}

// What a PNG's parameters set, as if given by the options they stand for.
void takeSettingsOf(const std::filesystem::path& png, GenerateParsing& parsing) {
    GenerateOptions& options = parsing.options;
    std::optional<std::string> text;
    try {
        text = readPngText(png, "parameters");
    } catch (const std::runtime_error& error) {
        throw std::invalid_argument(std::string("--from-png: ") + error.what());
    }
    if (!text) {
        throw std::invalid_argument("--from-png: \"" + excerpt(png.string(), 200) +
                                    "\" holds no generation parameters.");
    }
    GenerationParameters p;
    try {
        p = parseGenerationParameters(*text);
    } catch (const ParametersError& error) {
        throw std::invalid_argument("--from-png: \"" + excerpt(png.string(), 200) + "\": " +
                                    error.what());
    }
    PipelineConfiguration& c = options.configuration;
    c.prompt = p.prompt;
    c.negativePrompt = p.negativePrompt;
    c.stepCount = *p.steps;
    parsing.hasPrompt = true;
    parsing.hasSteps = true;
    parsing.stepsText = std::to_string(c.stepCount);
    if (p.guidance) {
        c.guidanceScale = *p.guidance;
        parsing.hasGuidance = true;
    }
    if (p.seed) {
        c.seed = *p.seed;
    }
    c.clipSkip = p.clipSkip && *p.clipSkip <= kMostClipSkip ? *p.clipSkip : 1;
    options.fromPng.clipSkipFromPng = c.clipSkip != 1;
    // A size the networks cannot be given (another tool's odd size, a test
    // model's tiny one) leaves the network's own size.
    options.width.reset();
    options.height.reset();
    if (p.width && p.height) {
        try {
            checkImageSide("width", *p.width);
            checkImageSide("height", *p.height);
            options.width = *p.width;
            options.height = *p.height;
        } catch (const std::exception&) {
        }
    }
    options.fromPng.unknownSampler.clear();
    if (p.sampler) {
        if (const std::optional<SamplerChoice> choice = samplerChoice(*p.sampler, p.scheduleType)) {
            c.schedulerType = choice->scheduler;
            c.schedulerTimestepSpacing = choice->spacing;
            parsing.hasSpacing = true;
        } else {
            options.fromPng.unknownSampler =
                *p.sampler + (p.scheduleType ? " (" + *p.scheduleType + ")" : "");
        }
    }
    // The image's LoRAs come from the application's LoRA library.
    options.loras.clear();
    for (const PromptLora& lora : p.loras) {
        options.loras.push_back(
            {applicationFolder() / "LoRA" / (lora.name + ".safetensors"), lora.weight});
    }
    takeHiresOf(p, parsing);
    options.fromPng.given = true;
    options.fromPng.lorasFromPng = !p.loras.empty();
}

std::vector<std::string_view> schedulerNames() {
    std::vector<std::string_view> names;
    for (const SchedulerEntry& entry : schedulerTable()) {
        names.push_back(entry.commandLineName);
    }
    return names;
}

template <class Row>
std::vector<std::string_view> namesOf(const Row& rows) {
    std::vector<std::string_view> names;
    for (const auto& row : rows) {
        names.push_back(row.name);
    }
    return names;
}

// Every option of dravelin-cli, in the order --help lists them.
OptionTable generateOptionTable(GenerateParsing& p) {
    GenerateOptions& o = p.options;
    PipelineConfiguration& c = o.configuration;
    return {
        {"--model", "DIR|FILE",
         "model directory (default: the application's model), or a single-file SD 1.x or "
         "SDXL model (.safetensors)",
         [&o](const std::string& v) { o.model = v; }},
        {"--vae", "FILE", "with a single-file model: a VAE file in place of the model's own",
         [&o](const std::string& v) { o.vae = v; }},
        {"--refiner", "FILE",
         "with a single-file SDXL base model: an SDXL refiner file (see --refiner-start)",
         [&o](const std::string& v) { o.refiner = v; }},
        {"--tokenizer", "DIR",
         "with a single-file model: the folder holding vocab.json and merges.txt (default: "
         "the application's model directory)",
         [&o](const std::string& v) { o.tokenizer = v; }},
        {"--prompt", "TEXT", "what the image should show",
         [&](const std::string& v) {
             c.prompt = v;
             p.hasPrompt = true;
         }},
        {"--negative-prompt", "TEXT", "what it should not show",
         [&c](const std::string& v) { c.negativePrompt = v; }},
        {"--seed", "N", "0 to 4294967295 (default 0)",
         [&c](const std::string& v) {
             c.seed = static_cast<uint32_t>(
                 wholeNumber("--seed", v, 0, std::numeric_limits<uint32_t>::max()));
         }},
        {"--steps", "N",
         "denoising steps: 2 to 999 with pndm, 1 to 50 with lcm,\n"
         "1 to 1000 with the others (default 20; 4 with lcm)",
         [&](const std::string& v) {
             c.stepCount = wholeNumber("--steps", v, 1, kMostSteps);
             p.stepsText = v;
             p.hasSteps = true;
         }},
        {"--guidance", "X", "guidance scale, 0 to 100 (default 7.5; 1 with lcm)",
         [&](const std::string& v) {
             c.guidanceScale = decimal("--guidance", v, 0.0, kLargestGuidance);
             p.hasGuidance = true;
         }},
        {"--scheduler", choiceHint(schedulerNames()),
         "pndm (default), dpm (DPM++ 2M), euler, euler-a (Euler a),\n"
         "ddim, heun, unipc, dpm-sde (DPM++ 2M SDE) or lcm (wants\n"
         "LCM weights, such as the LoRA latent-consistency/lcm-lora-sdv1-5)",
         [&o, &c](const std::string& v) {
             c.schedulerType = schedulerTable()[chooseName("--scheduler", v, schedulerNames())].type;
             o.fromPng.unknownSampler.clear();
         }},
        {"--lora", "FILE[:SCALE]",
         "merge LoRA weights (.safetensors) at SCALE (default\n1); may be repeated",
         [&o](const std::string& v) {
             // LoRAs given after --from-png replace the image's.
             if (o.fromPng.lorasFromPng) {
                 o.loras.clear();
                 o.fromPng.lorasFromPng = false;
             }
             o.loras.push_back(parseLora(v));
         }},
        {"--embedding", "FILE",
         "a textual-inversion embedding (.safetensors); its file\n"
         "name without extension is the word that stands for it\n"
         "in the prompts; may be repeated",
         [&o](const std::string& v) {
             const std::filesystem::path file = v;
             if (file.extension() != ".safetensors" || file.stem().empty()) {
                 throw std::invalid_argument("--embedding takes a .safetensors file, not " +
                                             quotedValue(v) + ".");
             }
             o.embeddings.push_back(file);
         }},
        {"--no-emphasis", "",
         "read the prompts as they stand: brackets and BREAK are\n"
         "text (long prompts still go in 75-token chunks)",
         [&c](const std::string&) { c.promptSyntax = PromptSyntax::chunked; }},
        {"--clip-skip", "N",
         "SD 1.x: condition on the text encoder's N-th hidden\n"
         "state from the end (default 1, the last; 2 for many\n"
         "anime-style models)",
         [&c, &o](const std::string& v) {
             c.clipSkip = static_cast<int>(wholeNumber("--clip-skip", v, 1, kMostClipSkip));
             o.fromPng.clipSkipFromPng = false;
         }},
        {"--spacing", choiceHint(namesOf(kTimeStepSpacingNames)),
         "timestep spacing (default: the scheduler's own, leading for\n"
         "ddim, linspace for the others; pndm and lcm have only their\n"
         "own, euler-a and ddim no karras, dpm no trailing)",
         [&](const std::string& v) {
             c.schedulerTimestepSpacing =
                 kTimeStepSpacingNames[chooseName("--spacing", v, namesOf(kTimeStepSpacingNames))]
                     .spacing;
             p.hasSpacing = true;
         }},
        {"--rng", choiceHint(namesOf(kRandomSourceNames)), "noise generator (default numpy)",
         [&c](const std::string& v) {
             c.rngType =
                 kRandomSourceNames[chooseName("--rng", v, namesOf(kRandomSourceNames))].kind;
         }},
        {"--width", "W",
         "image width in pixels, a multiple of 8 from 64 to 2048\n"
         "(default: the network's own)",
         [&o](const std::string& v) {
             o.width = wholeNumber("--width", v, kSmallestImageSide, kLargestImageSide);
             checkImageSide("--width", *o.width);
         }},
        {"--height", "H", "image height, likewise",
         [&o](const std::string& v) {
             o.height = wholeNumber("--height", v, kSmallestImageSide, kLargestImageSide);
             checkImageSide("--height", *o.height);
         }},
        {"--count", "N", "images to generate (default 1)",
         [&c](const std::string& v) { c.imageCount = wholeNumber("--count", v, 1, 100); }},
        {"--output", "PATH",
         "PNG to write (default dravelin.png; several images are\nnumbered beside it)",
         [&o](const std::string& v) { o.output = v; }},
        {"--preview-dir", "DIR", "write a preview PNG every second step",
         [&o](const std::string& v) { o.previewDirectory = v; }},
        {"--controlnet", "NAME=IMAGE",
         "guide with the ControlNet controlnet/NAME.model on the\n"
         "PNG IMAGE (resized to the network's input); repeat\n"
         "for several, whose guidance adds up",
         [&o](const std::string& v) {
             const size_t split = v.find('=');
             if (split == std::string::npos || split == 0 || split + 1 == v.size() ||
                 v.substr(0, split).find('/') != std::string::npos) {
                 throw std::invalid_argument("--controlnet takes NAME=IMAGE, not " + quotedValue(v) +
                                             ".");
             }
             o.controlNets.push_back({v.substr(0, split), v.substr(split + 1)});
         }},
        {"--preview", "fast|full",
         "previews from the model's PreviewDecoder.model (or a\n"
         "colour projection without it), or from the full\ndecoder (default fast)",
         [&o](const std::string& v) {
             o.fullDecoderPreviews = chooseName("--preview", v, {"fast", "full"}) == 1;
         }},
        {"--reduce-memory", "", "keep each model loaded only while it is used",
         [&o](const std::string&) { o.reduceMemory = true; }},
        {"--no-safety", "",
         "skip the safety check (the model directory's\n"
         "SafetyChecker.model withholds images it flags)",
         [&c](const std::string&) { c.disableSafety = true; }},
        {"--precision", "float32|bfloat16|automatic",
         "compute precision (default automatic: bfloat16 where\n"
         "the processor has bfloat16 dot products; the\n"
         "environment variable DRAVELIN_PRECISION sets it too)",
         [&o](const std::string& v) {
             const std::optional<ComputePrecision> precision = parsePrecision(v);
             if (!precision) {
                 throw std::invalid_argument(
                     "--precision is float32, bfloat16 or automatic, not " + quotedValue(v) + ".");
             }
             o.precision = *precision;
         }},
        {"--refiner-start", "X",
         "SDXL with UnetRefiner.model: the fraction of the steps\n"
         "after which the refiner takes over (default 0.8; 1\nleaves it out)",
         [&o, &c](const std::string& v) {
             c.refinerStart = decimal("--refiner-start", v, 0.0, 1.0);
             o.xlOptions = true;
             o.refinerStartGiven = true;
         }},
        {"--init-image", "PNG",
         "start from this image (image-to-image), scaled to\ncover the generation size and "
         "cropped to its centre",
         [&o](const std::string& v) { o.initImage = v; }},
        {"--strength", "X",
         "how much of the image is repainted: above 0 and\nbelow 1 (default 0.75); with --mask "
         "up to 1",
         [&](const std::string& v) {
             c.strength = decimal("--strength", v, 0.0, 1.0);
             p.strengthGiven = true;
         }},
        {"--mask", "PNG",
         "inpainting: repaint where the mask is white (grey\nlevel 128 and above), keep where it "
         "is black; fitted\nlike the image; needs --init-image",
         [&o](const std::string& v) { o.mask = v; }},
        {"--hires", "SCALE",
         "hires fix: generate, enlarge by SCALE (above 1, up\nto 4) and repaint at the larger "
         "size (SD 1.5 models\nwith VAEEncoder.model)",
         [&p](const std::string& v) {
             p.hires.scale = decimal("--hires", v, 1.0, kLargestHiresScale);
             p.hiresGiven = true;
             p.hiresScaleFromPng = false;
         }},
        {"--hires-strength", "X", "strength of the enlarged pass (default 0.5)",
         [&p](const std::string& v) {
             p.hires.strength = decimal("--hires-strength", v, 0.0, 1.0);
             p.hiresDetailGiven = true;
             p.hiresStrengthFromPng = false;
         }},
        {"--hires-steps", "N", "steps of the enlarged pass (default: --steps)",
         [&p](const std::string& v) {
             p.hires.stepCount = wholeNumber("--hires-steps", v, 1, kMostSteps);
             p.hiresStepsGiven = true;
             p.hiresStepsFromPng = false;
             p.hiresDetailGiven = true;
         }},
        {"--hires-upscaler", "image|latent",
         "how the hires fix enlarges: the decoded image\n(default) or the latents (no decode "
         "and encode\nbetween the passes; wants --hires-strength 0.5 or\nmore)",
         [&p](const std::string& v) {
             if (v == "image") {
                 p.hires.upscaler = HiresUpscaler::image;
             } else if (v == "latent") {
                 p.hires.upscaler = HiresUpscaler::latent;
             } else {
                 throw std::invalid_argument("--hires-upscaler takes image or latent, not \"" + v +
                                             "\".");
             }
             p.hiresDetailGiven = true;
         }},
        {"--no-hires", "", "no hires fix, also where --from-png's image had one",
         [&p](const std::string&) { p.clearHires(); }},
        {"--aesthetic-score", "X", "SDXL refiner: the score asked for (default 6)",
         [&o, &c](const std::string& v) {
             c.aestheticScore = decimal("--aesthetic-score", v, 0.0, kLargestAestheticScore);
             o.xlOptions = true;
         }},
        {"--negative-aesthetic-score", "X", "and the one steered from (default 2.5)",
         [&o, &c](const std::string& v) {
             c.negativeAestheticScore =
                 decimal("--negative-aesthetic-score", v, 0.0, kLargestAestheticScore);
             o.xlOptions = true;
         }},
        {"--from-png", "FILE",
         "take prompt, negative prompt, seed, steps, guidance,\n"
         "sampler, size, hires fix and LoRAs (from the LoRA library)\n"
         "from the \"parameters\" text of a PNG; options after it\n"
         "win (--no-hires: no hires fix)",
         [&p](const std::string& v) { takeSettingsOf(v, p); }},
        {"--help", "", "show this text", [&o](const std::string&) { o.help = true; }},
    };
}

} // namespace

std::string generateUsage() {
    GenerateParsing parsing;
    return kUsageIntro + optionsUsage(generateOptionTable(parsing));
}

GenerateOptions parseGenerateOptions(const std::vector<std::string>& arguments) {
    GenerateParsing p;
    p.options.model = defaultModelDirectory();
    p.options.configuration.stepCount = 20;
    // Prompts are read as other generation tools read them unless
    // --no-emphasis says otherwise.
    p.options.configuration.promptSyntax = PromptSyntax::emphasis;
    std::vector<std::string> expanded = arguments;
    std::replace(expanded.begin(), expanded.end(), std::string("-h"), std::string("--help"));
    applyCommandLine(generateOptionTable(p), expanded);
    GenerateOptions& options = p.options;
    // Latent-consistency weights give their image in a few steps, without
    // guidance.
    if (options.configuration.schedulerType == StableDiffusionScheduler::lcmScheduler) {
        if (!p.hasSteps) {
            options.configuration.stepCount = 4;
        }
        if (!p.hasGuidance) {
            options.configuration.guidanceScale = 1.0f;
        }
    }
    // Each scheduler spaces its timesteps its own way unless told otherwise,
    // and takes only the spacings its class has.
    {
        PipelineConfiguration& c = options.configuration;
        const SchedulerEntry& entry = schedulerEntry(c.schedulerType);
        if (!p.hasSpacing) {
            c.schedulerTimestepSpacing = entry.defaultSpacing;
        } else if (!entry.takes(c.schedulerTimestepSpacing)) {
            std::string taken;
            for (TimeStepSpacing spacing : entry.spacings) {
                taken += (taken.empty() ? "" : ", ") + std::string(spacingName(spacing));
            }
            throw std::invalid_argument("the " + std::string(entry.commandLineName) +
                                        " scheduler takes --spacing " + taken + ", not " +
                                        std::string(spacingName(c.schedulerTimestepSpacing)) +
                                        ".");
        }
    }
    // The scheduler may come after --steps: the range is checked once both are known.
    if (!p.stepsText.empty() &&
        options.configuration.schedulerType == StableDiffusionScheduler::pndmScheduler) {
        wholeNumber("--steps with the pndm scheduler", p.stepsText, kFewestPndmSteps,
                    kMostPndmSteps);
    }
    if (!options.fromPng.unknownSampler.empty()) {
        throw std::invalid_argument("--from-png: the image was made with the sampler \"" +
                                    excerpt(options.fromPng.unknownSampler, 60) +
                                    "\", which dravelin-cli does not have; choose one with "
                                    "--scheduler after --from-png.");
    }
    checkImageInputOptions(options, p.strengthGiven);
    if (p.hiresDetailGiven && !p.hiresGiven) {
        throw std::invalid_argument(
            "--hires-strength, --hires-steps and --hires-upscaler need --hires SCALE.");
    }
    if (p.hiresGiven) {
        // Values from an image are checked here, so that options after
        // --from-png can replace them first.
        const std::string fromPng = "--from-png: the image's ";
        const std::string instead = " after --from-png, or --no-hires.";
        if (!(p.hires.scale > 1.0f)) {
            throw std::invalid_argument("--hires takes a scale above 1, such as 1.5 or 2.");
        }
        if (p.hires.scale > kLargestHiresScale) {
            throw std::invalid_argument(fromPng + "hires fix enlarged it " +
                                        formatNumber(p.hires.scale) +
                                        " times, more than dravelin-cli's 4; give --hires SCALE" +
                                        instead);
        }
        if (!(p.hires.strength > 0.0f && p.hires.strength < 1.0f)) {
            throw std::invalid_argument(
                p.hiresStrengthFromPng
                    ? fromPng + "denoising strength " + formatNumber(p.hires.strength) +
                          " is not above 0 and below 1; give --hires-strength X" + instead
                    : "--hires-strength must be above 0 and below 1.");
        }
        if (p.hiresStepsFromPng && p.hires.stepCount > kMostSteps) {
            throw std::invalid_argument(fromPng + std::to_string(p.hires.stepCount) +
                                        " hires steps are more than dravelin-cli's " +
                                        std::to_string(kMostSteps) + "; give --hires-steps N" +
                                        instead);
        }
        if (!p.hiresStepsGiven) {
            p.hires.stepCount = options.configuration.stepCount;
        }
        options.hires = p.hires;
    }
    if (!p.hasPrompt && !options.help) {
        throw std::invalid_argument("--prompt is required.");
    }
    if (options.output.extension() != ".png" && !options.help) {
        throw std::invalid_argument("--output must name a .png file, not " +
                                    quotedValue(options.output.string()) + ".");
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
                           const std::string& modelName, const std::vector<LoraFile>& loras,
                           const std::string& modelHash,
                           const std::optional<HiresFix>& hires) {
    GenerationParameters parameters = parametersOf(c, width, height);
    parameters.model = modelName;
    if (!modelHash.empty()) {
        parameters.modelHash = modelHash;
    }
    for (const LoraFile& lora : loras) {
        parameters.loras.push_back({lora.path.stem().string(), lora.scale, {}});
    }
    if (c.clipSkip != 1) {
        parameters.clipSkip = c.clipSkip;
    }
    if (hires) {
        // As other tools write it: the first pass's size, the enlarged
        // pass's strength.
        parameters.denoisingStrength = hires->strength;
        parameters.hiresUpscale = hires->scale;
        parameters.hiresSteps = hires->stepCount;
        if (hires->upscaler == HiresUpscaler::latent) {
            parameters.hiresUpscaler = "Latent";
        }
    } else if (c.mode() != PipelineMode::textToImage) {
        parameters.denoisingStrength = c.strength;
    }
    return writeGenerationParameters(parameters);
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
        out << generateUsage();
        return 0;
    }
    try {
        std::error_code modelError;
        if (!std::filesystem::is_directory(options.model, modelError) &&
            !isSingleFileModel(options.model)) {
            throw std::runtime_error("There is no model at \"" +
                                     excerpt(options.model.string(), 200) +
                                     "\"; download it with the application or pass --model.");
        }
        checkOutputLocation(options);
        std::string requested(precisionName(options.precision));
        if (options.precision == ComputePrecision::automatic &&
            std::getenv("DRAVELIN_PRECISION") != nullptr) {
            requested = std::string("DRAVELIN_PRECISION=") + std::getenv("DRAVELIN_PRECISION");
        }
        ComputePrecision precision = ComputePrecision::float32;
        try {
            precision = resolvePrecision(options.precision);
        } catch (const std::invalid_argument& error) {
            throw std::runtime_error(error.what());
        }
        err << "computing in " << precisionName(precision) << " (" << requested << ")\n";
        for (const LoraFile& lora : options.loras) {
            if (!std::filesystem::is_regular_file(lora.path)) {
                throw std::runtime_error("There is no LoRA file at \"" + lora.path.string() +
                                         "\".");
            }
        }
        // Without --no-safety a SafetyChecker.model in the directory checks
        // every image; the pipeline leaves out the checker when told to skip it.
        std::vector<std::string> controlNetNames;
        for (const GenerateOptions::ControlNetInput& controlNet : options.controlNets) {
            const std::filesystem::path bundle =
                options.model / "controlnet" / (controlNet.name + ".model");
            if (!std::filesystem::is_directory(bundle)) {
                throw std::runtime_error("There is no ControlNet \"" + controlNet.name + "\": \"" +
                                         bundle.string() + "\" does not exist.");
            }
            controlNetNames.push_back(controlNet.name);
        }
        // A single file's hash names it in the PNG; it is read beside the
        // load, which pages the same file in.
        std::future<std::optional<std::string>> modelHash;
        if (isSingleFileModel(options.model)) {
            inspectCheckpoint(options.model); // a hostile file is refused before anything else
            modelHash = std::async(std::launch::async,
                                   [file = options.model] { return sha256OfFile(file); });
        }
        const ChosenPipeline chosen = choosePipeline(
            options, {ComputeUnits::cpuAndGPU, precision, options.loras}, controlNetNames);
        const PipelineConfiguration& c = chosen.configuration;
        StableDiffusionPipelineProtocol& pipeline = *chosen.pipeline;
        using Clock = std::chrono::steady_clock;
        const auto loadStart = Clock::now();
        if (!options.reduceMemory) {
            pipeline.loadResources();
        }
        const auto start = Clock::now();
        auto lastStep = start;
        // The hires fix's enlarged pass counts its own steps.
        int64_t passSteps = c.stepCount;
        const ProgressHandler report = [&](const PipelineProgress& progress) {
                const auto now = Clock::now();
                const double perStep = std::chrono::duration<double>(now - start).count() /
                                       static_cast<double>(progress.step + 1);
                const double left =
                    perStep * static_cast<double>(progress.stepCount - progress.step - 1);
                // Counted in the steps asked for: PNDM's warm-up runs one
                // timestep more, which shares the first step's number.
                const int64_t asked = passSteps;
                const int64_t shown = std::max<int64_t>(
                    1, (progress.step + 1) * asked / std::max<int64_t>(progress.stepCount, 1));
                err << "step " << std::min(shown, asked) << " of " << asked << ", "
                    << formatSeconds(std::chrono::duration<double>(now - lastStep).count())
                    << " per step, " << formatSeconds(left) << " left\n";
                lastStep = now;
                if (options.previewDirectory && progress.step % 2 == 1) {
                    const GeneratedImages previews = options.fullDecoderPreviews
                                                         ? progress.currentImages()
                                                         : progress.previewImages();
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
            };
        GeneratedImages images;
        if (options.hires) {
            auto* plain = dynamic_cast<StableDiffusionPipeline*>(&pipeline);
            if (plain == nullptr) {
                throw std::runtime_error("--hires is for SD 1.x and 2.x models, not SDXL ones.");
            }
            images = generateWithHiresFix(*plain, c, *options.hires, report, [&](int pass) {
                passSteps = pass == 0 ? c.stepCount : options.hires->stepCount;
                if (pass == 1) {
                    err << "enlarging by " << formatNumber(options.hires->scale)
                        << " and repainting at strength "
                        << formatNumber(options.hires->strength) << "\n";
                }
            });
        } else {
            images = pipeline.generateImages(c, report);
        }
        const auto end = Clock::now();
        const auto seconds = [](auto from, auto to) {
            return formatSeconds(std::chrono::duration<double>(to - from).count());
        };
        err << "loading " << seconds(loadStart, start) << ", prompt and denoising "
            << seconds(start, lastStep) << ", decoding " << seconds(lastStep, end) << "\n";
        if (options.hires) {
            char peak[32];
            std::snprintf(peak, sizeof peak, "%.2f", peakMemoryGigabytes());
            err << "peak memory " << peak << " GB\n";
        }
        const std::string& modelName = chosen.modelName;
        const std::string shortHash =
            modelHash.valid() ? shortModelHash(modelHash.get().value_or("")) : std::string();
        for (size_t i = 0; i < images.size(); ++i) {
            if (!images[i]) {
                err << "Image " << i + 1 << " was withheld by the safety checker.\n";
                continue;
            }
            const std::filesystem::path path = outputPathFor(
                options.output, static_cast<int64_t>(i), static_cast<int64_t>(images.size()));
            // With the hires fix the size given is the first pass's.
            const double shrink = options.hires ? options.hires->scale : 1.0;
            const int width = static_cast<int>(std::lround(images[i]->width() / shrink));
            const int height = static_cast<int>(std::lround(images[i]->height() / shrink));
            writePng(path, *images[i],
                     {{"parameters", parametersText(c, width, height, modelName, options.loras,
                                                    shortHash, options.hires)}});
            out << path.string() << "\n";
        }
        return 0;
    } catch (const std::bad_alloc&) {
        err << "dravelin-cli: The generation ran out of memory; close other programs or try "
               "--reduce-memory.\n";
        return 1;
    } catch (const std::exception& error) {
        err << "dravelin-cli: " << error.what() << "\n";
        return 1;
    }
}

} // namespace dravelin
