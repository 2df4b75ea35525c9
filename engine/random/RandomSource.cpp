#include "random/RandomSource.h"

#include "random/NumPyRandomSource.h"
#include "random/NvRandomSource.h"
#include "random/TorchRandomSource.h"

namespace dravelin {

NormalArray RandomSource::normalShapedArray(const Shape& shape, double mean, double stdev) {
    const int64_t count = elementCount(shape);
    return NormalArray{shape, normalArray(count, mean, stdev)};
}

std::unique_ptr<RandomSource> makeRandomSource(StableDiffusionRNG kind, uint32_t seed) {
    switch (kind) {
    case StableDiffusionRNG::numpyRNG:
        return std::make_unique<NumPyRandomSource>(seed);
    case StableDiffusionRNG::torchRNG:
        return std::make_unique<TorchRandomSource>(seed);
    case StableDiffusionRNG::nvidiaRNG:
        return std::make_unique<NvRandomSource>(uint64_t{seed}, 0u);
    }
    return std::make_unique<NumPyRandomSource>(seed);
}

} // namespace dravelin
