// Finding an XL model directory's files and managing the pipeline's models.

#include "pipeline/StableDiffusionXLPipeline.h"

#include "pipeline/ManagedModelList.h"
#include "runtime/Checkpoint.h"

#include <iostream>

namespace dravelin {

namespace {

// A bundle directory, or a network a single-file checkpoint holds.
bool fileExists(const std::filesystem::path& path) {
    return bundleExists(path);
}

// Both chunks when both exist, else the single bundle.
Unet denoisingNetwork(const std::filesystem::path& single, const std::filesystem::path& chunk1,
                      const std::filesystem::path& chunk2,
                      const ModelConfiguration& configuration) {
    if (fileExists(chunk1) && fileExists(chunk2)) {
        return Unet(std::vector<std::filesystem::path>{chunk1, chunk2}, configuration);
    }
    return Unet(single, configuration);
}

// LoRA files are trained for the base network; the refiner's layers differ.
std::optional<Unet> refinerNetwork(const StableDiffusionXLPipeline::ResourceURLs& urls,
                                   ModelConfiguration configuration) {
    configuration.loras.clear();
    if ((fileExists(urls.unetRefinerChunk1URL) && fileExists(urls.unetRefinerChunk2URL)) ||
        fileExists(urls.unetRefinerURL)) {
        return denoisingNetwork(urls.unetRefinerURL, urls.unetRefinerChunk1URL,
                                urls.unetRefinerChunk2URL, configuration);
    }
    return std::nullopt;
}

ModelConfiguration onCpuAndGpu(ModelConfiguration configuration) {
    configuration.computeUnits = ComputeUnits::cpuAndGPU;
    return configuration;
}

// Runs one step for an optional model; a failure is printed and passed over.
template <typename Step> void optionalStep(const char* what, const char* name, Step step) {
    try {
        step();
    } catch (const std::exception& error) {
        std::cout << "Error " << what << " resources for " << name << ": " << error.what()
                  << std::endl;
    }
}

} // namespace

StableDiffusionXLPipeline::ResourceURLs::ResourceURLs(const std::filesystem::path& r)
    : textEncoderURL(r / "TextEncoder.model"), textEncoder2URL(r / "TextEncoder2.model"),
      unetURL(r / "Unet.model"), unetChunk1URL(r / "UnetChunk1.model"),
      unetChunk2URL(r / "UnetChunk2.model"), unetRefinerURL(r / "UnetRefiner.model"),
      unetRefinerChunk1URL(r / "UnetRefinerChunk1.model"),
      unetRefinerChunk2URL(r / "UnetRefinerChunk2.model"), decoderURL(r / "VAEDecoder.model"),
      previewDecoderURL(r / "PreviewDecoder.model"), encoderURL(r / "VAEEncoder.model"), vocabURL(r / "vocab.json"), mergesURL(r / "merges.txt") {}

StableDiffusionXLPipeline::StableDiffusionXLPipeline(const std::filesystem::path& resources,
                                                     const ModelConfiguration& configuration,
                                                     bool reduceMemory)
    : StableDiffusionXLPipeline(ResourceURLs(resources), configuration, reduceMemory) {}

StableDiffusionXLPipeline::StableDiffusionXLPipeline(const ResourceURLs& urls,
                                                     const ModelConfiguration& configuration,
                                                     bool reduceMemory)
    : unet(denoisingNetwork(urls.unetURL, urls.unetChunk1URL, urls.unetChunk2URL, configuration)),
      unetRefiner(refinerNetwork(urls, configuration)),
      decoder(urls.decoderURL, onCpuAndGpu(configuration)),
      previewDecoder(urls.previewDecoderURL, configuration, LatentSpace::sdxl),
      encoder(fileExists(urls.encoderURL) ? std::optional<Encoder>(std::in_place, urls.encoderURL,
                                                                   onCpuAndGpu(configuration))
                                          : std::nullopt),
      reduceMemory(reduceMemory) {
    const auto first =
        std::make_shared<const BPETokenizer>(urls.mergesURL, urls.vocabURL, "<|endoftext|>");
    if (fileExists(urls.textEncoderURL)) {
        textEncoder = std::make_shared<TextEncoderXL>(first, urls.textEncoderURL, configuration);
    }
    // The second encoder was trained with "!" as padding.
    const auto second = std::make_shared<const BPETokenizer>(urls.mergesURL, urls.vocabURL, "!");
    textEncoder2 = std::make_shared<TextEncoderXL>(second, urls.textEncoder2URL, configuration,
                                                   TextEncoderRole::second);
}

StableDiffusionXLPipeline::StableDiffusionXLPipeline(
    std::shared_ptr<TextEncoderXLModel> textEncoder,
    std::shared_ptr<TextEncoderXLModel> textEncoder2, Unet unet, std::optional<Unet> unetRefiner,
    Decoder decoder, std::optional<Encoder> encoder, bool reduceMemory)
    : textEncoder(std::move(textEncoder)), textEncoder2(std::move(textEncoder2)),
      unet(std::move(unet)), unetRefiner(std::move(unetRefiner)), decoder(std::move(decoder)),
      encoder(std::move(encoder)), reduceMemory(reduceMemory) {}

void StableDiffusionXLPipeline::loadResources() {
    if (reduceMemory) {
        prewarmResources();
        return;
    }
    // Released encoders load for the first prompt; a damaged file still
    // fails here.
    if (releaseTextEncoders) {
        textEncoder2->checkResources();
    } else {
        textEncoder2->loadResources();
    }
    unet.loadResources();
    decoder.loadResources();
    previewDecoder.loadResources();
    if (textEncoder) {
        optionalStep("loading", "textEncoder", [&] {
            releaseTextEncoders ? textEncoder->checkResources() : textEncoder->loadResources();
        });
    }
    if (unetRefiner) {
        // Loaded once, so a broken refiner shows now, but not kept.
        optionalStep("loading", "unetRefiner", [&] { unetRefiner->prewarmResources(); });
    }
    if (encoder) {
        optionalStep("loading", "vae encoder", [&] { encoder->loadResources(); });
    }
}

void StableDiffusionXLPipeline::prewarmResources() {
    textEncoder2->prewarmResources();
    unet.prewarmResources();
    decoder.prewarmResources();
    if (textEncoder) {
        optionalStep("prewarming", "textEncoder", [&] { textEncoder->prewarmResources(); });
    }
    if (unetRefiner) {
        optionalStep("prewarming", "unetRefiner", [&] { unetRefiner->prewarmResources(); });
    }
    if (encoder) {
        optionalStep("prewarming", "vae encoder", [&] { encoder->prewarmResources(); });
    }
}

void StableDiffusionXLPipeline::unloadResources() noexcept {
    if (textEncoder) {
        textEncoder->unloadResources();
    }
    textEncoder2->unloadResources();
    unet.unloadResources();
    if (unetRefiner) {
        unetRefiner->unloadResources();
    }
    decoder.unloadResources();
    previewDecoder.unloadResources();
    if (encoder) {
        encoder->unloadResources();
    }
}

std::vector<std::string> StableDiffusionXLPipeline::loadedModels() const {
    std::vector<std::shared_ptr<ManagedMLModel>> holders = unet.models();
    for (const auto& encoder : {textEncoder, textEncoder2}) {
        if (const auto* xl = dynamic_cast<const TextEncoderXL*>(encoder.get())) {
            holders.push_back(xl->model());
        }
    }
    if (unetRefiner) {
        holders.insert(holders.end(), unetRefiner->models().begin(), unetRefiner->models().end());
    }
    holders.push_back(decoder.model());
    holders.push_back(previewDecoder.model());
    if (encoder) {
        holders.push_back(encoder->model());
    }
    std::vector<std::string> names;
    appendLoadedModels(names, holders);
    return names;
}

} // namespace dravelin
