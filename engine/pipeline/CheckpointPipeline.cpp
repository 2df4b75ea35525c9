#include "pipeline/CheckpointPipeline.h"

#include "core/TextExcerpt.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "pipeline/StableDiffusionXLPipeline.h"

namespace dravelin {

namespace {

std::string quoted(const std::filesystem::path& file) {
    std::string text(1, '"');
    text += excerpt(file.filename().string(), 120);
    text += '"';
    return text;
}

// The model's own autoencoder, or the VAE file's.
std::filesystem::path autoencoderFile(const CheckpointFiles& files,
                                      const CheckpointDescription& model) {
    if (!files.vae) {
        if (!model.hasOwnVae) {
            throw CheckpointError("The model " + quoted(files.model) +
                                  " has no VAE of its own; choose a VAE file to go with it.");
        }
        return files.model;
    }
    const CheckpointDescription vae = inspectCheckpoint(*files.vae);
    if (vae.kind != CheckpointKind::vae) {
        throw CheckpointError("The file " + quoted(*files.vae) + " is an " +
                              std::string(checkpointKindName(vae.kind)) +
                              " model, not a VAE; choose a VAE file instead.");
    }
    return *files.vae;
}

void checkTokenizer(const std::filesystem::path& directory) {
    std::error_code error;
    for (const char* file : {"vocab.json", "merges.txt"}) {
        if (!std::filesystem::is_regular_file(directory / file, error)) {
            throw CheckpointError("The tokenizer file \"" + (directory / file).string() +
                                  "\" is missing; single-file models read the tokenizer of the "
                                  "installed model, so download that model first.");
        }
    }
}

} // namespace

CheckpointPipeline makeCheckpointPipeline(const CheckpointFiles& files,
                                          const ModelConfiguration& runtime,
                                          PipelineConfiguration& configuration,
                                          bool reduceMemory) {
    CheckpointPipeline result;
    result.model = inspectCheckpoint(files.model);
    const CheckpointKind kind = result.model.kind;
    if (kind == CheckpointKind::vae) {
        throw CheckpointError("The file " + quoted(files.model) +
                              " is a VAE, not a model; choose it as the VAE of a model.");
    }
    if (kind == CheckpointKind::sdxlRefiner) {
        throw CheckpointError("The model " + quoted(files.model) +
                              " is an SDXL refiner, which finishes a base model's images; choose "
                              "an SDXL base model and this as its refiner.");
    }
    result.isXL = kind == CheckpointKind::sdxlBase;
    if (files.refiner) {
        if (!result.isXL) {
            throw CheckpointError("A refiner works with an SDXL base model, and " +
                                  quoted(files.model) + " is an " +
                                  std::string(checkpointKindName(kind)) + " model.");
        }
        const CheckpointDescription refiner = inspectCheckpoint(*files.refiner);
        if (refiner.kind != CheckpointKind::sdxlRefiner) {
            throw CheckpointError("The file " + quoted(*files.refiner) + " is an " +
                                  std::string(checkpointKindName(refiner.kind)) +
                                  " model, not an SDXL refiner.");
        }
    }
    const std::filesystem::path vae = autoencoderFile(files, result.model);
    checkTokenizer(files.tokenizerDirectory);
    const std::filesystem::path absent = files.model / "absent.model";
    const std::filesystem::path preview = files.previewDecoder.value_or(absent);

    configuration.decoderScaleFactor = result.model.latentScale;
    configuration.encoderScaleFactor = result.model.latentScale;
    if (result.isXL) {
        configuration.originalSize = static_cast<float>(result.model.imageSize);
        configuration.targetSize = static_cast<float>(result.model.imageSize);
        StableDiffusionXLPipeline::ResourceURLs urls(files.model);
        urls.textEncoderURL = checkpointPartPath(files.model, CheckpointPart::textEncoder);
        urls.textEncoder2URL = checkpointPartPath(files.model, CheckpointPart::textEncoder2);
        urls.unetURL = checkpointPartPath(files.model, CheckpointPart::unet);
        urls.unetChunk1URL = urls.unetChunk2URL = absent;
        urls.unetRefinerURL = files.refiner
                                  ? checkpointPartPath(*files.refiner, CheckpointPart::unet)
                                  : absent;
        urls.unetRefinerChunk1URL = urls.unetRefinerChunk2URL = absent;
        // A VAE file serves the model at the model's latent size.
        const bool own = vae == files.model;
        urls.decoderURL = checkpointPartPath(
            vae, own ? CheckpointPart::vaeDecoder : CheckpointPart::vaeDecoderXL);
        urls.encoderURL = checkpointPartPath(
            vae, own ? CheckpointPart::vaeEncoder : CheckpointPart::vaeEncoderXL);
        urls.vocabURL = files.tokenizerDirectory / "vocab.json";
        urls.mergesURL = files.tokenizerDirectory / "merges.txt";
        auto pipeline = std::make_shared<StableDiffusionXLPipeline>(urls, runtime, reduceMemory);
        result.pipeline = pipeline;
        return result;
    }
    StableDiffusionPipeline::ResourceURLs urls(files.model);
    urls.textEncoderURL = checkpointPartPath(files.model, CheckpointPart::textEncoder);
    urls.unetURL = checkpointPartPath(files.model, CheckpointPart::unet);
    urls.unetChunk1URL = urls.unetChunk2URL = absent;
    urls.decoderURL = checkpointPartPath(vae, CheckpointPart::vaeDecoder);
    urls.encoderURL = checkpointPartPath(vae, CheckpointPart::vaeEncoder);
    urls.previewDecoderURL = preview;
    urls.safetyCheckerURL = absent;
    urls.vocabURL = files.tokenizerDirectory / "vocab.json";
    urls.mergesURL = files.tokenizerDirectory / "merges.txt";
    urls.controlNetDirURL = absent;
    urls.controlledUnetURL = urls.controlledUnetChunk1URL = urls.controlledUnetChunk2URL = absent;
    urls.multilingualTextEncoderProjectionURL = absent;
    result.pipeline = std::make_shared<StableDiffusionPipeline>(
        urls, std::vector<std::string>{}, runtime, /*disableSafety=*/true, reduceMemory);
    return result;
}

} // namespace dravelin
