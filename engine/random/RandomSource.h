#pragma once

#include "core/Shape.h"
#include "random/RandomSourceKind.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace dravelin {

// Row-major doubles with a shape, as a random source hands out noise.
struct NormalArray {
    Shape shape;
    std::vector<double> values;
};

// A seeded source of Gaussian noise. Each implementation reproduces the
// normal-noise stream of one widely used numerical library.
class RandomSource {
public:
    virtual ~RandomSource() = default;

    virtual double nextNormal(double mean = 0.0, double stdev = 1.0) = 0;
    // `count` values in the source's bulk order; throws std::invalid_argument
    // for a negative count.
    virtual std::vector<double> normalArray(int64_t count, double mean = 0.0,
                                            double stdev = 1.0) = 0;

    // normalArray over the shape's element count (1 for an empty shape);
    // throws for a negative dimension or an element count that overflows.
    NormalArray normalShapedArray(const Shape& shape, double mean = 0.0, double stdev = 1.0);
};

// The source a configuration names, seeded with its 32-bit seed.
std::unique_ptr<RandomSource> makeRandomSource(StableDiffusionRNG kind, uint32_t seed);

} // namespace dravelin
