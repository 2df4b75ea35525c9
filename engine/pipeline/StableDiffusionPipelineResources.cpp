// Finding a model directory's files and managing the pipeline's models.

#include "pipeline/StableDiffusionPipeline.h"

#include "runtime/Bundle.h"
#include "runtime/Safetensors.h"
#include "runtime/Checkpoint.h"

namespace dravelin {

namespace {

// A bundle directory, or a network a single-file checkpoint holds.
bool fileExists(const std::filesystem::path& path) {
    return bundleExists(path);
}

} // namespace

StableDiffusionPipeline::ResourceURLs::ResourceURLs(const std::filesystem::path& r)
    : textEncoderURL(r / "TextEncoder.model"), unetURL(r / "Unet.model"),
      unetChunk1URL(r / "UnetChunk1.model"), unetChunk2URL(r / "UnetChunk2.model"),
      decoderURL(r / "VAEDecoder.model"), previewDecoderURL(r / "PreviewDecoder.model"),
      encoderURL(r / "VAEEncoder.model"), safetyCheckerURL(r / "SafetyChecker.model"),
      vocabURL(r / "vocab.json"), mergesURL(r / "merges.txt"), controlNetDirURL(r / "controlnet"),
      controlledUnetURL(r / "ControlledUnet.model"),
      controlledUnetChunk1URL(r / "ControlledUnetChunk1.model"),
      controlledUnetChunk2URL(r / "ControlledUnetChunk2.model"),
      multilingualTextEncoderProjectionURL(r / "MultilingualTextEncoderProjection.model") {}

namespace {

Unet denoisingNetwork(const StableDiffusionPipeline::ResourceURLs& urls, bool controlled,
                      const ModelConfiguration& configuration) {
    const auto& single = controlled ? urls.controlledUnetURL : urls.unetURL;
    const auto& chunk1 = controlled ? urls.controlledUnetChunk1URL : urls.unetChunk1URL;
    const auto& chunk2 = controlled ? urls.controlledUnetChunk2URL : urls.unetChunk2URL;
    if (fileExists(chunk1) && fileExists(chunk2)) {
        return Unet(std::vector<std::filesystem::path>{chunk1, chunk2}, configuration);
    }
    return Unet(single, configuration);
}

// The image encoder: its own bundle, or else the encoder half of the
// decoder's bundle where that bundle's weights hold it (the hub's vae/ file,
// which the application installs as the decoder, holds the whole
// autoencoder), so a downloaded model can start from an image too.
std::optional<Encoder> imageEncoder(const StableDiffusionPipeline::ResourceURLs& urls,
                                    const ModelConfiguration& configuration) {
    if (fileExists(urls.encoderURL)) {
        return Encoder(urls.encoderURL, configuration);
    }
    try {
        const Bundle bundle = Bundle::read(urls.decoderURL);
        for (const std::filesystem::path& file : bundle.weightFiles) {
            if (SafetensorsFile(file).contains("encoder.conv_in.weight")) {
                ModelConfiguration encoding = configuration;
                encoding.networkKind = "AutoencoderKL.encoder";
                return Encoder(urls.decoderURL, encoding);
            }
        }
    } catch (const std::exception&) {
        // A decoder bundle that cannot be read fails when it is used.
    }
    return std::nullopt;
}

std::optional<ControlNet> controlNets(const StableDiffusionPipeline::ResourceURLs& urls,
                                      const std::vector<std::string>& names,
                                      const ModelConfiguration& configuration) {
    if (names.empty()) {
        return std::nullopt;
    }
    std::vector<std::filesystem::path> bundles;
    for (const std::string& name : names) {
        bundles.push_back(urls.controlNetDirURL / (name + ".model"));
    }
    return ControlNet(bundles, configuration);
}

} // namespace

StableDiffusionPipeline::StableDiffusionPipeline(const std::filesystem::path& resources,
                                                 const std::vector<std::string>& controlNetNames,
                                                 const ModelConfiguration& configuration,
                                                 bool disableSafety, bool reduceMemory,
                                                 bool useMultilingualTextEncoder,
                                                 std::optional<Script> script)
    : StableDiffusionPipeline(ResourceURLs(resources), controlNetNames, configuration,
                              disableSafety, reduceMemory, useMultilingualTextEncoder, script) {}

StableDiffusionPipeline::StableDiffusionPipeline(const ResourceURLs& urls,
                                                 const std::vector<std::string>& controlNetNames,
                                                 const ModelConfiguration& configuration,
                                                 bool disableSafety, bool reduceMemory,
                                                 bool useMultilingualTextEncoder,
                                                 std::optional<Script> script)
    : textEncoder(std::make_shared<TextEncoder>(
          std::make_shared<const BPETokenizer>(urls.mergesURL, urls.vocabURL, "<|endoftext|>"),
          urls.textEncoderURL, configuration)),
      unet(denoisingNetwork(urls, !controlNetNames.empty(), configuration)),
      decoder(urls.decoderURL, configuration),
      previewDecoder(urls.previewDecoderURL, configuration),
      encoder(imageEncoder(urls, configuration)),
      safetyChecker(
          !disableSafety && fileExists(urls.safetyCheckerURL)
              ? std::optional<SafetyChecker>(std::in_place, urls.safetyCheckerURL, configuration)
              : std::nullopt),
      controlNet(controlNets(urls, controlNetNames, configuration)), reduceMemory(reduceMemory),
      useMultilingualTextEncoder(useMultilingualTextEncoder), script(script) {}

StableDiffusionPipeline::StableDiffusionPipeline(std::shared_ptr<TextEncoderModel> textEncoder,
                                                 Unet unet, Decoder decoder,
                                                 std::optional<Encoder> encoder,
                                                 std::optional<ControlNet> controlNet,
                                                 std::optional<SafetyChecker> safetyChecker,
                                                 bool reduceMemory, bool useMultilingualTextEncoder,
                                                 std::optional<Script> script)
    : textEncoder(std::move(textEncoder)), unet(std::move(unet)), decoder(std::move(decoder)),
      encoder(std::move(encoder)), safetyChecker(std::move(safetyChecker)),
      controlNet(std::move(controlNet)), reduceMemory(reduceMemory),
      useMultilingualTextEncoder(useMultilingualTextEncoder), script(script) {}

void StableDiffusionPipeline::loadResources() {
    if (reduceMemory) {
        prewarmResources();
        return;
    }
    unet.loadResources();
    if (releaseTextEncoders) {
        // Loaded for the first prompt; a damaged file still fails here.
        textEncoder->checkResources();
    } else {
        textEncoder->loadResources();
    }
    decoder.loadResources();
    previewDecoder.loadResources();
    if (encoder) {
        encoder->loadResources();
    }
    if (controlNet) {
        controlNet->loadResources();
    }
    if (safetyChecker) {
        safetyChecker->loadResources();
    }
}

void StableDiffusionPipeline::prewarmResources() {
    textEncoder->prewarmResources();
    unet.prewarmResources();
    decoder.prewarmResources();
    if (encoder) {
        encoder->prewarmResources();
    }
    if (controlNet) {
        controlNet->prewarmResources();
    }
    if (safetyChecker) {
        safetyChecker->prewarmResources();
    }
}

void StableDiffusionPipeline::unloadResources() noexcept {
    textEncoder->unloadResources();
    unet.unloadResources();
    decoder.unloadResources();
    previewDecoder.unloadResources();
    if (encoder) {
        encoder->unloadResources();
    }
    if (controlNet) {
        controlNet->unloadResources();
    }
    if (safetyChecker) {
        safetyChecker->unloadResources();
    }
}

std::vector<std::string> StableDiffusionPipeline::loadedModels() const {
    std::vector<std::shared_ptr<ManagedMLModel>> holders = unet.models();
    if (const auto* encoder = dynamic_cast<const TextEncoder*>(textEncoder.get())) {
        holders.push_back(encoder->model());
    }
    holders.push_back(decoder.model());
    holders.push_back(previewDecoder.model());
    if (encoder) {
        holders.push_back(encoder->model());
    }
    if (controlNet) {
        holders.insert(holders.end(), controlNet->models().begin(), controlNet->models().end());
    }
    if (safetyChecker) {
        holders.push_back(safetyChecker->model());
    }
    std::vector<std::string> names;
    appendLoadedModels(names, holders);
    return names;
}

} // namespace dravelin
