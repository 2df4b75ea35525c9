#include "pipeline/PipelineConfiguration.h"

#include <bit>
#include <functional>

namespace {

// Boost-style mixing; good enough for hash tables of configurations.
void combine(size_t& seed, size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

// Equal floats must hash alike, and 0.0 == -0.0.
size_t hashFloat(float value) {
    return value == 0.0f ? 0 : std::bit_cast<uint32_t>(value);
}

// Images hash by their size and format only: equal images agree on those, and
// hashing every pixel of a starting image would cost more than it saves.
size_t hashImage(const dravelin::Image& image) {
    size_t seed = 0;
    combine(seed, static_cast<size_t>(image.width()));
    combine(seed, static_cast<size_t>(image.height()));
    combine(seed, static_cast<size_t>(image.channels()));
    combine(seed, static_cast<size_t>(image.alpha()));
    return seed;
}

} // namespace

size_t std::hash<dravelin::PipelineConfiguration>::operator()(
    const dravelin::PipelineConfiguration& c) const noexcept {
    size_t seed = 0;
    combine(seed, std::hash<std::string>{}(c.prompt));
    combine(seed, std::hash<std::string>{}(c.negativePrompt));
    combine(seed, c.startingImage ? hashImage(*c.startingImage) + 1 : 0);
    combine(seed, c.maskImage ? hashImage(*c.maskImage) + 1 : 0);
    combine(seed, c.startingLatent ? static_cast<size_t>(c.startingLatent->count()) + 1 : 0);
    combine(seed, hashFloat(c.strength));
    combine(seed, hashFloat(c.refinerStart));
    combine(seed, static_cast<size_t>(c.imageCount));
    combine(seed, static_cast<size_t>(c.stepCount));
    combine(seed, c.seed);
    combine(seed, hashFloat(c.guidanceScale));
    combine(seed, c.controlNetInputs.size());
    for (const dravelin::Image& image : c.controlNetInputs) {
        combine(seed, hashImage(image));
    }
    combine(seed, c.disableSafety);
    combine(seed, c.useDenoisedIntermediates);
    combine(seed, static_cast<size_t>(c.schedulerType));
    combine(seed, static_cast<size_t>(c.schedulerTimestepSpacing));
    combine(seed, static_cast<size_t>(c.rngType));
    combine(seed, static_cast<size_t>(c.promptSyntax));
    combine(seed, static_cast<size_t>(c.clipSkip));
    for (float value :
         {c.encoderScaleFactor, c.decoderScaleFactor, c.originalSize, c.cropsCoordsTopLeft,
          c.targetSize, c.aestheticScore, c.negativeAestheticScore}) {
        combine(seed, hashFloat(value));
    }
    for (const std::optional<float>& width : {c.originalWidth, c.targetWidth}) {
        combine(seed, width ? hashFloat(*width) + 1 : 0);
    }
    return seed;
}
