#include "state/ModelLoader.h"

#include "pipeline/CheckpointPipeline.h"
#include "pipeline/ImageSize.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "pipeline/StableDiffusionXLPipeline.h"
#include "runtime/BundleDescription.h"
#include "runtime/Checkpoint.h"
#include "state/MemoryPlan.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <stdexcept>

namespace dravelin {

namespace {

constexpr float kXLLatentScale = 0.13025f;

std::filesystem::path native(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

// Stored weight bytes of a model: all of them, and its largest network's.
struct WeightSizes {
    uint64_t total = 0;
    uint64_t largest = 0;
};

WeightSizes directoryWeights(const QString& directory) {
    WeightSizes sizes;
    const QFileInfoList bundles =
        QDir(directory).entryInfoList({QStringLiteral("*.model")}, QDir::Dirs);
    for (const QFileInfo& bundle : bundles) {
        uint64_t bytes = 0;
        QDirIterator files(bundle.filePath(), {QStringLiteral("*.safetensors")}, QDir::Files,
                           QDirIterator::Subdirectories);
        while (files.hasNext()) {
            files.next();
            bytes += static_cast<uint64_t>(files.fileInfo().size());
        }
        sizes.total += bytes;
        sizes.largest = std::max(sizes.largest, bytes);
    }
    return sizes;
}

WeightSizes weightsOf(const LibraryEntry& entry) {
    if (!entry.isFile()) {
        return directoryWeights(entry.path);
    }
    // A checkpoint holds every network in one file; the denoising network is
    // the largest, at most about 85 % of the weights.
    const auto bytes = static_cast<uint64_t>(entry.size);
    return {bytes, bytes / 20 * 17};
}

// SDXL's VAE records its own latent scale.
float xlLatentScale(const QString& modelDirectory) {
    QFile file(modelDirectory + QStringLiteral("/VAEDecoder.model/config.json"));
    if (file.size() > 1024 * 1024 || !file.open(QIODevice::ReadOnly)) {
        return kXLLatentScale;
    }
    const double scale =
        QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("scaling_factor"))
            .toDouble(0.0);
    return scale > 0.0 ? static_cast<float>(scale) : kXLLatentScale;
}

// The networks of the choice: its LoRAs merged, sized for its image size.
ModelConfiguration runtimeConfiguration(const ModelChoice& choice) {
    ModelConfiguration configuration{ComputeUnits::cpuAndGPU, ComputePrecision::automatic,
                                     choice.loras};
    if (!choice.imageSize.isEmpty()) {
        configuration = sizedForImages(configuration, choice.imageSize.width(),
                                       choice.imageSize.height());
    }
    return configuration;
}

// Parts added beside the model (a refiner, a VAE) take no LoRAs but the size.
ModelConfiguration partConfiguration(const ModelChoice& choice) {
    ModelConfiguration configuration = runtimeConfiguration(choice);
    configuration.loras.clear();
    return configuration;
}

// The tiny autoencoder a directory brings, else the shared one, else none.
QString previewDecoderFor(const QString& modelDirectory, const QString& shared) {
    const QString own = modelDirectory + QStringLiteral("/PreviewDecoder.model");
    if (QFileInfo(own).isDir()) {
        return own;
    }
    return QFileInfo(shared).isDir() ? shared : QString();
}

// The SDXL geometry a directory's network was trained for: its own latent
// size in pixels (8 per latent cell), read from the bundle without loading.
void readXLGeometry(const StableDiffusionXLPipeline& pipeline, LoadedModel& loaded) {
    if (pipeline.unet.models().empty()) {
        return;
    }
    const std::optional<FeatureDescription> input =
        describeBundle(pipeline.unet.models().front()->modelURL()).input("sample");
    if (input && input->shape.size() == 4) {
        loaded.originalSize = loaded.targetSize = static_cast<float>(8 * input->shape[2]);
    }
}

LoadedModel buildFromDirectory(const ModelChoice& choice, bool reduceMemory) {
    const ModelConfiguration runtime = runtimeConfiguration(choice);
    LoadedModel loaded;
    const QString directory = choice.model.path;
    if (choice.model.kind == ModelKind::sd1) {
        auto pipeline = std::make_shared<StableDiffusionPipeline>(
            native(directory), std::vector<std::string>{}, runtime, /*disableSafety=*/true,
            reduceMemory);
        const QString preview = previewDecoderFor(
            directory, choice.hubDirectory + QStringLiteral("/PreviewDecoder.model"));
        if (!preview.isEmpty()) {
            pipeline->previewDecoder = PreviewDecoder(native(preview), runtime, LatentSpace::sd1);
        }
        loaded.pipeline = pipeline;
        return loaded;
    }
    auto pipeline =
        std::make_shared<StableDiffusionXLPipeline>(native(directory), runtime, reduceMemory);
    const QString preview = previewDecoderFor(directory, choice.xlPreviewDecoder);
    if (!preview.isEmpty()) {
        pipeline->previewDecoder = PreviewDecoder(native(preview), runtime, LatentSpace::sdxl);
    }
    loaded.pipeline = pipeline;
    loaded.isXL = true;
    loaded.encoderScaleFactor = loaded.decoderScaleFactor = xlLatentScale(directory);
    readXLGeometry(*pipeline, loaded);
    return loaded;
}

LoadedModel buildFromCheckpoint(const ModelChoice& choice, bool reduceMemory) {
    const ModelConfiguration runtime = runtimeConfiguration(choice);
    CheckpointFiles files;
    files.model = native(choice.model.path);
    if (choice.refiner && choice.refiner->isFile()) {
        files.refiner = native(choice.refiner->path);
    }
    if (choice.vae) {
        files.vae = native(choice.vae->path);
    }
    files.tokenizerDirectory = native(choice.hubDirectory);
    const bool xl = isXL(choice.model.kind);
    const QString preview =
        xl ? choice.xlPreviewDecoder : choice.hubDirectory + QStringLiteral("/PreviewDecoder.model");
    if (QFileInfo(preview).isDir()) {
        files.previewDecoder = native(preview);
    }
    PipelineConfiguration completed("");
    const CheckpointPipeline made = makeCheckpointPipeline(files, runtime, completed, reduceMemory);
    LoadedModel loaded;
    loaded.pipeline = made.pipeline;
    loaded.isXL = made.isXL;
    loaded.encoderScaleFactor = completed.encoderScaleFactor;
    loaded.decoderScaleFactor = completed.decoderScaleFactor;
    loaded.originalSize = completed.originalSize;
    loaded.targetSize = completed.targetSize;
    if (const auto pipeline = std::dynamic_pointer_cast<StableDiffusionXLPipeline>(made.pipeline);
        pipeline && files.previewDecoder) {
        pipeline->previewDecoder = PreviewDecoder(*files.previewDecoder, runtime, LatentSpace::sdxl);
    }
    return loaded;
}

// What a checkpoint pipeline does not take from the files: a refiner folder
// beside a checkpoint, a refiner file beside a model folder, a VAE file
// beside a model folder.
void addParts(const ModelChoice& choice, LoadedModel& loaded) {
    const ModelConfiguration runtime = partConfiguration(choice);
    if (const auto xl = std::dynamic_pointer_cast<StableDiffusionXLPipeline>(loaded.pipeline)) {
        if (choice.refiner && !choice.refiner->isFile()) {
            xl->unetRefiner.emplace(native(choice.refiner->path + QStringLiteral("/UnetRefiner.model")),
                                    runtime);
        } else if (choice.refiner && !choice.model.isFile()) {
            xl->unetRefiner.emplace(
                checkpointPartPath(native(choice.refiner->path), CheckpointPart::unet), runtime);
        }
        if (choice.vae && !choice.model.isFile()) {
            xl->decoder = Decoder(
                checkpointPartPath(native(choice.vae->path), CheckpointPart::vaeDecoder),
                runtime);
        }
    } else if (const auto sd = std::dynamic_pointer_cast<StableDiffusionPipeline>(loaded.pipeline)) {
        if (choice.vae && !choice.model.isFile()) {
            sd->decoder = Decoder(
                checkpointPartPath(native(choice.vae->path), CheckpointPart::vaeDecoder),
                runtime);
        }
    }
}

} // namespace

void releaseTextEncodersAfterEncoding(StableDiffusionPipelineProtocol& pipeline) {
    // SDXL's two encoders are a quarter of its weights (1.6 GB in bfloat16),
    // the room a 1024 × 1024 generation's working memory needs; SD 1.5's is
    // about 0.4 GB, an eighth of a generation's peak, and loads again in
    // well under a second. The same prompt again needs no encoder.
    if (auto* xl = dynamic_cast<StableDiffusionXLPipeline*>(&pipeline)) {
        xl->releaseTextEncoders = true;
    } else if (auto* sd = dynamic_cast<StableDiffusionPipeline*>(&pipeline)) {
        sd->releaseTextEncoders = true;
    }
}

void LoadedModel::adjust(PipelineConfiguration& configuration) const {
    configuration.encoderScaleFactor = encoderScaleFactor;
    configuration.decoderScaleFactor = decoderScaleFactor;
    if (isXL) {
        configuration.originalSize = originalSize;
        configuration.targetSize = targetSize;
        // SDXL is told the size it makes, as the command line tells it.
        if (!imageSize.isEmpty()) {
            configuration.originalSize = configuration.targetSize =
                static_cast<float>(imageSize.height());
            configuration.originalWidth = configuration.targetWidth =
                static_cast<float>(imageSize.width());
        }
    }
}

std::optional<QSize> ownImageSize(const LibraryEntry& model) {
    try {
        if (model.isFile()) {
            const int side = inspectCheckpoint(native(model.path)).imageSize;
            return side > 0 ? std::optional<QSize>(QSize(side, side)) : std::nullopt;
        }
        const std::optional<FeatureDescription> sample =
            describeBundle(native(model.path + QStringLiteral("/Unet.model"))).input("sample");
        if (sample && sample->shape.size() == 4) {
            return QSize(static_cast<int>(kLatentCell * sample->shape[3]),
                         static_cast<int>(kLatentCell * sample->shape[2]));
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

LoadedModel loadChosenModel(const ModelChoice& choice) {
    if (choice.preloaded) {
        LoadedModel loaded;
        loaded.pipeline = choice.preloaded;
        return loaded;
    }
    const bool xl = isXL(choice.model.kind);
    WeightSizes sizes = weightsOf(choice.model);
    for (const std::optional<LibraryEntry>& part : {choice.refiner, choice.vae}) {
        if (part) {
            const WeightSizes more = weightsOf(*part);
            sizes.total += more.total;
            sizes.largest = std::max(sizes.largest, more.largest);
        }
    }
    const uint64_t physical = physicalMemoryBytes();
    const MemoryPlan plan =
        planMemory(sizes.total, sizes.largest, xl, physical, applicationPrecision());
    if (!plan.fits) {
        throw std::runtime_error(
            tooLittleMemoryMessage(choice.model.name, xl, plan.neededBytes, physical)
                .toStdString());
    }
    LoadedModel loaded = choice.model.isFile() ? buildFromCheckpoint(choice, !plan.resident)
                                               : buildFromDirectory(choice, !plan.resident);
    addParts(choice, loaded);
    loaded.imageSize = choice.imageSize;
    releaseTextEncodersAfterEncoding(*loaded.pipeline);
    loaded.pipeline->loadResources();
    return loaded;
}

} // namespace dravelin
