#include "nn/support/ReferenceLoops.h"

#include <cmath>
#include <vector>

namespace dravelin::testing {

ShapedArray randomArray(Shape shape, std::mt19937& generator, float low, float high) {
    ShapedArray array(std::move(shape));
    std::uniform_real_distribution<float> distribution(low, high);
    for (float& value : array.values()) {
        value = distribution(generator);
    }
    return array;
}

ShapedArray referenceConvolution(const ShapedArray& input, const ShapedArray& weight,
                                 const ShapedArray& bias, int stride, int padBefore, int padAfter) {
    const int64_t n = input.shape()[0], c = input.shape()[1], h = input.shape()[2],
                  w = input.shape()[3];
    const int64_t o = weight.shape()[0], k = weight.shape()[2];
    const int64_t oh = (h + padBefore + padAfter - k) / stride + 1;
    const int64_t ow = (w + padBefore + padAfter - k) / stride + 1;
    ShapedArray output(Shape{n, o, oh, ow});
    for (int64_t b = 0; b < n; ++b) {
        for (int64_t oc = 0; oc < o; ++oc) {
            for (int64_t y = 0; y < oh; ++y) {
                for (int64_t x = 0; x < ow; ++x) {
                    double sum = bias.data()[oc];
                    for (int64_t ic = 0; ic < c; ++ic) {
                        for (int64_t dy = 0; dy < k; ++dy) {
                            for (int64_t dx = 0; dx < k; ++dx) {
                                const int64_t iy = y * stride + dy - padBefore;
                                const int64_t ix = x * stride + dx - padBefore;
                                if (iy < 0 || iy >= h || ix < 0 || ix >= w) {
                                    continue;
                                }
                                sum += static_cast<double>(input.at({b, ic, iy, ix})) *
                                       weight.at({oc, ic, dy, dx});
                            }
                        }
                    }
                    output.set({b, oc, y, x}, static_cast<float>(sum));
                }
            }
        }
    }
    return output;
}

ShapedArray referenceGroupNorm(const ShapedArray& input, int64_t groups, float epsilon,
                               const ShapedArray& gamma, const ShapedArray& beta) {
    const int64_t n = input.shape()[0], c = input.shape()[1];
    const int64_t pixels = input.shape()[2] * input.shape()[3];
    const int64_t perGroup = c / groups;
    ShapedArray output(input.shape());
    for (int64_t b = 0; b < n; ++b) {
        for (int64_t g = 0; g < groups; ++g) {
            const float* start = input.data() + (b * c + g * perGroup) * pixels;
            const int64_t count = perGroup * pixels;
            double mean = 0.0;
            for (int64_t i = 0; i < count; ++i) {
                mean += start[i];
            }
            mean /= static_cast<double>(count);
            double variance = 0.0;
            for (int64_t i = 0; i < count; ++i) {
                variance += (start[i] - mean) * (start[i] - mean);
            }
            variance /= static_cast<double>(count);
            const double inverse = 1.0 / std::sqrt(variance + epsilon);
            for (int64_t i = 0; i < count; ++i) {
                const int64_t channel = g * perGroup + i / pixels;
                output.data()[(b * c + g * perGroup) * pixels + i] = static_cast<float>(
                    (start[i] - mean) * inverse * gamma.data()[channel] + beta.data()[channel]);
            }
        }
    }
    return output;
}

ShapedArray referenceSilu(const ShapedArray& input) {
    ShapedArray output(input.shape());
    for (int64_t i = 0; i < input.count(); ++i) {
        const double x = input.data()[i];
        output.data()[i] = static_cast<float>(x / (1.0 + std::exp(-x)));
    }
    return output;
}

ShapedArray referenceUpsample(const ShapedArray& input) {
    const int64_t n = input.shape()[0], c = input.shape()[1], h = input.shape()[2],
                  w = input.shape()[3];
    ShapedArray output(Shape{n, c, 2 * h, 2 * w});
    for (int64_t b = 0; b < n; ++b) {
        for (int64_t ch = 0; ch < c; ++ch) {
            for (int64_t y = 0; y < 2 * h; ++y) {
                for (int64_t x = 0; x < 2 * w; ++x) {
                    output.set({b, ch, y, x}, input.at({b, ch, y / 2, x / 2}));
                }
            }
        }
    }
    return output;
}

ShapedArray referenceLayerNorm(const ShapedArray& input, float epsilon, const ShapedArray& gamma,
                               const ShapedArray& beta) {
    const int64_t rows = input.shape()[0], columns = input.shape()[1];
    ShapedArray output(input.shape());
    for (int64_t r = 0; r < rows; ++r) {
        const float* row = input.data() + r * columns;
        double mean = 0.0, variance = 0.0;
        for (int64_t i = 0; i < columns; ++i) {
            mean += row[i];
        }
        mean /= static_cast<double>(columns);
        for (int64_t i = 0; i < columns; ++i) {
            variance += (row[i] - mean) * (row[i] - mean);
        }
        variance /= static_cast<double>(columns);
        for (int64_t i = 0; i < columns; ++i) {
            output.data()[r * columns + i] = static_cast<float>(
                (row[i] - mean) / std::sqrt(variance + epsilon) * gamma.data()[i] + beta.data()[i]);
        }
    }
    return output;
}

ShapedArray referenceAttention(const ShapedArray& queries, const ShapedArray& keys,
                               const ShapedArray& values, int64_t heads, bool causal) {
    const int64_t tq = queries.shape()[0], tk = keys.shape()[0], width = queries.shape()[1];
    const int64_t d = width / heads;
    ShapedArray output(Shape{tq, width});
    std::vector<double> scores(static_cast<size_t>(tk));
    for (int64_t h = 0; h < heads; ++h) {
        for (int64_t i = 0; i < tq; ++i) {
            double largest = -INFINITY;
            const int64_t visible = causal ? i + 1 : tk;
            for (int64_t j = 0; j < visible; ++j) {
                double dot = 0.0;
                for (int64_t e = 0; e < d; ++e) {
                    dot +=
                        static_cast<double>(queries.at({i, h * d + e})) * keys.at({j, h * d + e});
                }
                scores[j] = dot / std::sqrt(static_cast<double>(d));
                largest = std::max(largest, scores[j]);
            }
            double total = 0.0;
            for (int64_t j = 0; j < visible; ++j) {
                scores[j] = std::exp(scores[j] - largest);
                total += scores[j];
            }
            for (int64_t e = 0; e < d; ++e) {
                double sum = 0.0;
                for (int64_t j = 0; j < visible; ++j) {
                    sum += scores[j] / total * values.at({j, h * d + e});
                }
                output.set({i, h * d + e}, static_cast<float>(sum));
            }
        }
    }
    return output;
}

} // namespace dravelin::testing
