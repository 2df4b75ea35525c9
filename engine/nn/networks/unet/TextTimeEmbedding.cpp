#include "nn/networks/unet/TextTimeEmbedding.h"

#include "nn/blocks/TimestepEmbedding.h"
#include "nn/compute/AlignedBuffer.h"

#include <algorithm>

namespace dravelin {

namespace {

int64_t inputWidth(const TextTimeEmbeddingSettings& settings) {
    return settings.textWidth + settings.timeIds * settings.timeIdWidth;
}

} // namespace

TextTimeEmbedding::TextTimeEmbedding(const WeightReader& weights, const std::string& prefix,
                                     const TextTimeEmbeddingSettings& settings)
    : settings_(settings), first_(weights, prefix + ".linear_1", inputWidth(settings), settings.dim,
                                  true, settings.batch, LinearOptions{Activation::silu, false}),
      second_(weights, prefix + ".linear_2", settings.dim, settings.dim, true, settings.batch) {}

void TextTimeEmbedding::declare(WeightList& list, const std::string& prefix, int64_t inputWidth,
                                int64_t dim) {
    Linear::declare(list, prefix + ".linear_1", inputWidth, dim, true);
    Linear::declare(list, prefix + ".linear_2", dim, dim, true);
}

std::vector<float> TextTimeEmbedding::forward(const float* textEmbeds, const float* timeIds) const {
    const TextTimeEmbeddingSettings& s = settings_;
    const int64_t width = inputWidth(s);
    const int64_t timeWidth = s.timeIds * s.timeIdWidth;
    const std::vector<float> times = sinusoidalFeatures(timeIds, s.batch * s.timeIds, s.timeIdWidth,
                                                        s.flipSinToCos, s.freqShift);
    AlignedBuffer joined(static_cast<size_t>(s.batch * width));
    for (int64_t n = 0; n < s.batch; ++n) {
        float* row = joined.data() + n * width;
        std::copy_n(textEmbeds + n * s.textWidth, s.textWidth, row);
        std::copy_n(times.data() + n * timeWidth, timeWidth, row + s.textWidth);
    }
    AlignedBuffer hidden(static_cast<size_t>(s.batch * s.dim));
    first_.forward(joined.data(), hidden.data());
    AlignedBuffer output(static_cast<size_t>(s.batch * s.dim));
    second_.forward(hidden.data(), output.data());
    return std::vector<float>(output.data(), output.data() + output.size());
}

} // namespace dravelin
