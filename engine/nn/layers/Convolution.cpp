#include "nn/layers/Convolution.h"

#include "nn/compute/Bfloat16.h"
#include "nn/compute/ComputeContext.h"
#include "nn/compute/ConfigReader.h"
#include "runtime/MatrixProduct.h"
#include "nn/compute/ParallelFailure.h"
#include "nn/compute/Profiler.h"

#include <omp.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace dravelin {

namespace {

// Bytes of input rows laid out for one run of oneDNN's convolution: a band
// stays in the last-level cache while the kernel reads it, and its rows are
// enough to keep both cores' tiles busy.
constexpr int64_t kBandBytes = int64_t{8} << 20;
// Maps at least this wide and high are convolved straight into the framed
// output, frame included (under 13 % more work); smaller ones into a dense
// result that is then copied into the frame.
constexpr int64_t kFramedOutputSize = 32;

// Output pixels per GEMM call. Measured with SD's VAE shapes on AVX2: calls of
// 512 pixels reach about 100 GFLOP/s on two cores, of 2048 to 8192 about 140;
// the GEMM's own packing of the weights is then a small share of each call.
constexpr int64_t kPositionsPerProduct = 4096;
// Output pixels per band of input rows produced (normalised, upsampled): the
// two extra rows a 3×3 kernel reads above and below a band stay few, and the
// band (under 5 MB at 256 channels) stays in the last-level cache.
constexpr int64_t kPositionsPerBand = 4096;

int64_t ceilDivide(int64_t a, int64_t b) {
    return (a + b - 1) / b;
}

// Rows per band for `rows` output rows, each reading `rowBytes` of input, with
// `halo` more rows read around a band: even bands under kBandBytes.
int64_t bandRowsFor(int64_t rows, int64_t rowBytes, int64_t halo) {
    const int64_t fitting = std::max<int64_t>(1, kBandBytes / std::max<int64_t>(1, rowBytes) - halo);
    const int64_t bands = ceilDivide(rows, fitting);
    return ceilDivide(rows, bands);
}

} // namespace

Convolution::Convolution(const WeightReader& weights, const std::string& prefix, int64_t inChannels,
                         int64_t outChannels, int kernel, int stride,
                         std::optional<ConvolutionPadding> padding)
    : Convolution(weights.read(prefix + ".weight", {outChannels, inChannels, kernel, kernel}),
                  weights.read(prefix + ".bias", {outChannels}), stride, padding,
                  weights.precision()) {}

Convolution::Convolution(const ShapedArray& weight, const ShapedArray& bias, int stride,
                         std::optional<ConvolutionPadding> givenPadding, ComputePrecision precision)
    : stride_(stride), precision_(precision) {
    const Shape& shape = weight.shape();
    if (shape.size() != 4 || shape[2] != shape[3] || (shape[2] != 1 && shape[2] != 3) ||
        bias.shape() != Shape{shape[0]}) {
        throw std::invalid_argument("A convolution takes a [out, in, 1 or 3, same] weight and an "
                                    "[out] bias, not " +
                                    describe(shape) + " and " + describe(bias.shape()) + ".");
    }
    const int ownPadding = static_cast<int>(shape[2] / 2);
    const ConvolutionPadding padding =
        givenPadding.value_or(ConvolutionPadding{ownPadding, ownPadding});
    padding_ = padding;
    if ((stride != 1 && stride != 2) || padding.before < 0 || padding.before > 1 ||
        padding.after < 0 || padding.after > 1 ||
        (stride == 1 && (padding.before != ownPadding || padding.after != ownPadding))) {
        throw std::invalid_argument("A convolution runs with stride 1 and its kernel's own "
                                    "padding, or with stride 2 and padding of 0 or 1.");
    }
    outChannels_ = shape[0];
    inChannels_ = shape[1];
    kernel_ = static_cast<int>(shape[2]);
    // Read once per layer; the benchmarks set it to compare the two ways.
    const char* choice = std::getenv("DRAVELIN_CONVOLUTION");
    if (choice == nullptr || std::string(choice) != "taps") {
        primitive_ = ConvolutionPrimitive(weight, bias, stride_, precision_);
        // Below AVX-512, oneDNN's convolution (jit:avx2) ran 0.85-0.92× the
        // speed of the tap products on the denoising network's shapes.
        if (primitive_.available() && primitive_.kernelName().find("avx512") == std::string::npos) {
            primitive_ = ConvolutionPrimitive();
        }
    }
    if (!primitive_.available()) {
        layOutTaps(weight);
    }
    bias_.assign(bias.data(), bias.data() + outChannels_);
}

void Convolution::layOutTaps(const ShapedArray& weight) {
    ProfileScope profile("load: convolution taps laid out", 0);
    const int64_t taps = static_cast<int64_t>(kernel_) * kernel_;
    const int64_t in = inChannels_;
    const int64_t out = outChannels_;
    const int64_t count = taps * in * out;
    const bool narrow = precision_ == ComputePrecision::bfloat16;
    taps_ = AlignedBuffer(static_cast<size_t>(narrow ? (count + 1) / 2 : count));
    const float* source = weight.data();
    float* target = taps_.data();
    auto* target16 = reinterpret_cast<uint16_t*>(taps_.data());
    // A transpose in blocks of output channels, straight into the taps'
    // precision: each block reads its source rows front to back and fills
    // whole cache lines of every tap's rows.
    constexpr int64_t kBlock = 16;
    const int64_t blocks = ceilDivide(out, kBlock);
#pragma omp parallel for schedule(static) if (count > (1 << 16))
    for (int64_t block = 0; block < blocks; ++block) {
        const int64_t first = block * kBlock;
        const int64_t width = std::min(out, first + kBlock) - first;
        float gathered[kBlock];
        for (int64_t i = 0; i < in; ++i) {
            for (int64_t t = 0; t < taps; ++t) {
                for (int64_t o = 0; o < width; ++o) {
                    gathered[o] = source[((first + o) * in + i) * taps + t];
                }
                const int64_t offset = (t * in + i) * out + first;
                if (narrow) {
                    kernels::toBfloat16(gathered, target16 + offset, width);
                } else {
                    std::copy_n(gathered, width, target + offset);
                }
            }
        }
    }
    if (narrow) {
        tapProduct_ = TapProduct(inChannels_, outChannels_, stride_ * inChannels_);
    }
}

void Convolution::declare(WeightList& list, const std::string& prefix, int64_t inChannels,
                          int64_t outChannels, int kernel) {
    list.push_back({prefix + ".weight", {outChannels, inChannels, kernel, kernel}});
    list.push_back({prefix + ".bias", {outChannels}});
}

int64_t Convolution::outputSize(int64_t inputSize) const {
    return (inputSize + padding_.before + padding_.after - kernel_) / stride_ + 1;
}

double Convolution::flops(const ConvolutionInput& input) const {
    return 2.0 *
           static_cast<double>(input.batch() * outputSize(input.height()) *
                               outputSize(input.width())) *
           static_cast<double>(inChannels_ * outChannels_ * kernel_ * kernel_);
}

const char* Convolution::profileCategory(const ConvolutionInput& input) const {
    if (stride_ == 2) {
        return "convolution 3x3 stride 2";
    }
    if (kernel_ == 1) {
        return "convolution 1x1";
    }
    return input.upsampled ? "convolution 3x3 after 2x upsampling" : "convolution 3x3";
}

FeatureMap Convolution::forward(const ConvolutionInput& input) const {
    FeatureMap output(input.batch(), outChannels_, outputSize(input.height()),
                      outputSize(input.width()));
    run(input, output, false);
    return output;
}

void Convolution::accumulate(const ConvolutionInput& input, FeatureMap& output) const {
    run(input, output, true);
}

void Convolution::checkShapes(const ConvolutionInput& input, const FeatureMap& output) const {
    if (input.channels() != inChannels_ || output.channels() != outChannels_ ||
        output.batch() != input.batch() || output.height() != outputSize(input.height()) ||
        output.width() != outputSize(input.width()) || output.height() < 1 || output.width() < 1) {
        throw std::invalid_argument(
            "A convolution from " + std::to_string(inChannels_) + " to " +
            std::to_string(outChannels_) + " channels cannot map a " +
            std::to_string(input.channels()) + "-channel " + std::to_string(input.height()) + "×" +
            std::to_string(input.width()) + " input to a " + std::to_string(output.channels()) +
            "-channel " + std::to_string(output.height()) + "×" + std::to_string(output.width()) +
            " output.");
    }
    if (&input.map == &output) {
        throw std::invalid_argument("A convolution cannot write over its own input.");
    }
}

void Convolution::startPositions(float* output, int64_t positions, bool accumulate) const {
    const float* bias = bias_.data();
    const int64_t channels = outChannels_;
    for (int64_t p = 0; p < positions; ++p) {
        float* values = output + p * channels;
        if (accumulate) {
            for (int64_t o = 0; o < channels; ++o) {
                values[o] += bias[o];
            }
        } else {
            std::copy_n(bias, channels, values);
        }
    }
}

void Convolution::addTaps(const float* source, int64_t rowStride, int64_t pixelStride,
                          float* output, int64_t positions) const {
    const int64_t tapFloats = inChannels_ * outChannels_;
    for (int dy = 0; dy < kernel_; ++dy) {
        for (int dx = 0; dx < kernel_; ++dx) {
            multiplyMatrices('N', positions, outChannels_, inChannels_,
                             source + dy * rowStride + dx * inChannels_, pixelStride,
                             taps_.data() + (dy * kernel_ + dx) * tapFloats, outChannels_, 1.0f,
                             output, outChannels_);
        }
    }
}

void Convolution::addTapsBfloat16(const uint16_t* source, int64_t rowStride, float* output,
                                  int64_t positions) const {
    const auto* taps = reinterpret_cast<const uint16_t*>(taps_.data());
    const int64_t tapValues = inChannels_ * outChannels_;
    for (int dy = 0; dy < kernel_; ++dy) {
        for (int dx = 0; dx < kernel_; ++dx) {
            tapProduct_.multiplyAdd(source + dy * rowStride + dx * inChannels_, positions,
                                    taps + (dy * kernel_ + dx) * tapValues, output);
        }
    }
}

void Convolution::runBfloat16(const ConvolutionInput& input, FeatureMap& output,
                              bool accumulate) const {
    const int64_t height = input.height();
    const int64_t width = input.width();
    const int64_t paddedWidth = width + 2;
    const int64_t inRowFloats = paddedWidth * inChannels_;
    const int64_t outRowFloats = paddedWidth * outChannels_;
    const int64_t halo = kernel_ - 1;
    const bool plain = input.isPlain();

    const int64_t threads = omp_get_max_threads();
    int64_t bandRows = std::max<int64_t>(1, kPositionsPerBand / paddedWidth);
    bandRows = std::min(bandRows, std::max<int64_t>(1, input.batch() * height / (2 * threads)));
    const int64_t bandsPerImage = ceilDivide(height, bandRows);
    const int64_t tasks = input.batch() * bandsPerImage;

    ParallelFailure failure;
#pragma omp parallel
    {
        AlignedBuffer band;
        AlignedBuffer rounded;
        AlignedBuffer scratch;
        failure.run([&] {
            const int64_t bandFloats = (bandRows + halo) * inRowFloats;
            if (!plain) {
                band = AlignedBuffer(static_cast<size_t>(bandFloats));
                scratch = AlignedBuffer(static_cast<size_t>(input.map.width() * inChannels_));
            }
            rounded = AlignedBuffer(static_cast<size_t>((bandFloats + 1) / 2));
        });
#pragma omp for schedule(dynamic, 1)
        for (int64_t task = 0; task < tasks; ++task) {
            failure.run([&] {
                const int64_t n = task / bandsPerImage;
                const int64_t firstRow = (task % bandsPerImage) * bandRows;
                const int64_t rows = std::min(bandRows, height - firstRow);
                const int64_t firstInputRow = kernel_ == 3 ? firstRow : firstRow + 1;
                const float* source = nullptr;
                if (plain) {
                    source = input.map.image(n) + firstInputRow * inRowFloats;
                } else {
                    input.producePaddedRows(n, firstInputRow, rows + halo, band.data(),
                                            scratch.data());
                    source = band.data();
                }
                auto* values = reinterpret_cast<uint16_t*>(rounded.data());
                kernels::toBfloat16(source, values, (rows + halo) * inRowFloats);
                float* target = output.image(n) + (firstRow + 1) * outRowFloats +
                                (kernel_ == 3 ? outChannels_ : 0);
                const int64_t positions =
                    kernel_ == 3 ? (rows - 1) * paddedWidth + width : rows * paddedWidth;
                startPositions(target, positions, accumulate);
                addTapsBfloat16(values, inRowFloats, target, positions);
            });
        }
    }
    failure.rethrow();
    output.clearFrameColumns();
}

void Convolution::runStridedBfloat16(const ConvolutionInput& input, FeatureMap& output,
                                     bool accumulate) const {
    if (!input.isPlain()) {
        throw std::invalid_argument("A strided convolution reads a stored map only.");
    }
    const FeatureMap& map = input.map;
    const int64_t outHeight = output.height();
    const int64_t outWidth = output.width();
    const int64_t offset = 1 - padding_.before;
    const int64_t tasks = map.batch() * outHeight;
    const int64_t rowFloats = map.rowStride();
    ParallelFailure failure;
#pragma omp parallel
    {
        AlignedBuffer rounded;
        failure.run(
            [&] { rounded = AlignedBuffer(static_cast<size_t>((kernel_ * rowFloats + 1) / 2)); });
#pragma omp for schedule(dynamic, 1)
        for (int64_t task = 0; task < tasks; ++task) {
            failure.run([&] {
                const int64_t n = task / outHeight;
                const int64_t y = task % outHeight;
                // The kernel's rows of padded input (the last may be the frame
                // row below, inside the map's storage).
                const float* source = map.image(n) + (2 * y + offset) * rowFloats;
                auto* values = reinterpret_cast<uint16_t*>(rounded.data());
                const int64_t rows =
                    std::min<int64_t>(kernel_, map.paddedHeight() - (2 * y + offset));
                kernels::toBfloat16(source, values, rows * rowFloats);
                float* target = output.pixel(n, y, 0);
                startPositions(target, outWidth, accumulate);
                addTapsBfloat16(values + offset * inChannels_, rowFloats, target, outWidth);
            });
        }
    }
    failure.rethrow();
}

void Convolution::run(const ConvolutionInput& input, FeatureMap& output, bool accumulate) const {
    checkShapes(input, output);
    ProfileScope profile(profileCategory(input), flops(input));
    if (primitive_.available()) {
        if (stride_ == 2) {
            runStridedPrimitive(input, output, accumulate);
        } else {
            runPrimitive(input, output, accumulate);
        }
        return;
    }
    if (precision_ == ComputePrecision::bfloat16) {
        if (stride_ == 2) {
            runStridedBfloat16(input, output, accumulate);
        } else {
            runBfloat16(input, output, accumulate);
        }
        return;
    }
    if (stride_ == 2) {
        runStrided(input, output, accumulate);
        return;
    }
    const int64_t height = input.height();
    const int64_t width = input.width();
    const int64_t paddedWidth = width + 2;
    const int64_t inRowFloats = paddedWidth * inChannels_;
    const int64_t outRowFloats = paddedWidth * outChannels_;
    const int64_t halo = kernel_ - 1;
    const bool plain = input.isPlain();

    // Bands of output rows, as many as keep every thread busy.
    const int64_t threads = omp_get_max_threads();
    int64_t bandRows =
        std::max<int64_t>(1, (plain ? kPositionsPerProduct : kPositionsPerBand) / paddedWidth);
    bandRows = std::min(bandRows, std::max<int64_t>(1, input.batch() * height / (2 * threads)));
    const int64_t bandsPerImage = ceilDivide(height, bandRows);
    const int64_t tasks = input.batch() * bandsPerImage;

    ParallelFailure failure;
#pragma omp parallel
    {
        AlignedBuffer band;
        AlignedBuffer scratch;
        if (!plain) {
            failure.run([&] {
                band = AlignedBuffer(static_cast<size_t>((bandRows + halo) * inRowFloats));
                scratch = AlignedBuffer(static_cast<size_t>(input.map.width() * inChannels_));
            });
        }
#pragma omp for schedule(dynamic, 1)
        for (int64_t task = 0; task < tasks; ++task) {
            failure.run([&] {
                const int64_t n = task / bandsPerImage;
                const int64_t firstRow = (task % bandsPerImage) * bandRows;
                const int64_t rows = std::min(bandRows, height - firstRow);
                // A 1×1 kernel reads the band's own rows; a 3×3 one also the rows
                // above and below. Frame columns are read too and give scratch
                // values in the output's frame, cleared afterwards.
                const int64_t firstInputRow = kernel_ == 3 ? firstRow : firstRow + 1;
                const float* source = nullptr;
                if (plain) {
                    source = input.map.image(n) + firstInputRow * inRowFloats;
                } else {
                    input.producePaddedRows(n, firstInputRow, rows + halo, band.data(),
                                            scratch.data());
                    source = band.data();
                }
                float* target = output.image(n) + (firstRow + 1) * outRowFloats +
                                (kernel_ == 3 ? outChannels_ : 0);
                const int64_t positions =
                    kernel_ == 3 ? (rows - 1) * paddedWidth + width : rows * paddedWidth;
                for (int64_t start = 0; start < positions; start += kPositionsPerProduct) {
                    const int64_t count = std::min(kPositionsPerProduct, positions - start);
                    float* block = target + start * outChannels_;
                    startPositions(block, count, accumulate);
                    addTaps(source + start * inChannels_, inRowFloats, inChannels_, block, count);
                }
            });
        }
    }
    failure.rethrow();
    output.clearFrameColumns();
}

void Convolution::runStrided(const ConvolutionInput& input, FeatureMap& output,
                             bool accumulate) const {
    if (!input.isPlain()) {
        throw std::invalid_argument("A strided convolution reads a stored map only.");
    }
    const FeatureMap& map = input.map;
    const int64_t outHeight = output.height();
    const int64_t outWidth = output.width();
    // Padded coordinates of the input pixel under the first tap of output
    // pixel (0, 0): the frame supplies one row or column of zeros.
    const int64_t offset = 1 - padding_.before;
    const int64_t tasks = map.batch() * outHeight;
    ParallelFailure failure;
#pragma omp parallel for schedule(dynamic, 1)
    for (int64_t task = 0; task < tasks; ++task) {
        failure.run([&] {
            const int64_t n = task / outHeight;
            const int64_t y = task % outHeight;
            const float* source =
                map.image(n) + (2 * y + offset) * map.rowStride() + offset * inChannels_;
            float* target = output.pixel(n, y, 0);
            for (int64_t start = 0; start < outWidth; start += kPositionsPerProduct) {
                const int64_t count = std::min(kPositionsPerProduct, outWidth - start);
                float* block = target + start * outChannels_;
                startPositions(block, count, accumulate);
                addTaps(source + 2 * start * inChannels_, map.rowStride(), 2 * inChannels_, block,
                        count);
            }
        });
    }
    failure.rethrow();
}

void Convolution::runPrimitive(const ConvolutionInput& input, FeatureMap& output,
                               bool accumulate) const {
    const int64_t batch = input.batch();
    const int64_t height = input.height();
    const int64_t width = input.width();
    const int64_t paddedWidth = width + 2;
    const int64_t inRowValues = paddedWidth * inChannels_;
    const int64_t outRowFloats = paddedWidth * outChannels_;
    const bool narrow = precision_ == ComputePrecision::bfloat16;
    const int64_t valueBytes = narrow ? 2 : 4;
    const FeatureMap& map = input.map;
    const bool plain = input.isPlain();

    // Where the padded rows the kernel reads come from when they are not the
    // map's own: one row's rounding, or the input's row production.
    const int threads = omp_get_max_threads();
    std::vector<AlignedBuffer> rowBuffers(static_cast<size_t>(threads));
    std::vector<AlignedBuffer> scratch(static_cast<size_t>(threads));
    if (!plain) {
        for (size_t t = 0; t < rowBuffers.size(); ++t) {
            if (narrow) {
                rowBuffers[t] = AlignedBuffer(static_cast<size_t>(inRowValues));
            }
            scratch[t] = AlignedBuffer(static_cast<size_t>(map.width() * inChannels_));
        }
    }
    // Lays out padded rows [firstRow, firstRow + count) of every image in
    // `images` into `target` ([images][count][paddedWidth][in]). An upsampled
    // row that repeats the row above it is copied, not produced again.
    const auto produce = [&](int64_t firstImage, int64_t images, int64_t firstRow, int64_t count,
                             AlignedBuffer& target) {
        auto* target16 = reinterpret_cast<uint16_t*>(target.data());
        const int64_t rowBytes = inRowValues * valueBytes;
        auto* bytes = reinterpret_cast<char*>(target.data());
        const auto repeatsRowAbove = [&](int64_t index) {
            const int64_t paddedRow = firstRow + index;
            const int64_t y = paddedRow - 1;
            return input.upsampled && index > 0 && paddedRow >= 2 && paddedRow <= height &&
                   (y - 1) / 2 == y / 2;
        };
        const int64_t tasks = images * count;
        ParallelFailure failure;
#pragma omp parallel
        {
#pragma omp for schedule(static)
            for (int64_t task = 0; task < tasks; ++task) {
                const int64_t index = task % count;
                if (repeatsRowAbove(index)) {
                    continue;
                }
                failure.run([&] {
                    const int64_t n = firstImage + task / count;
                    const int64_t paddedRow = firstRow + index;
                    if (plain) {
                        kernels::toBfloat16(map.image(n) + paddedRow * map.rowStride(),
                                            target16 + task * inRowValues, inRowValues);
                        return;
                    }
                    const auto t = static_cast<size_t>(omp_get_thread_num());
                    float* row = narrow ? rowBuffers[t].data() : target.data() + task * inRowValues;
                    input.producePaddedRows(n, paddedRow, 1, row, scratch[t].data());
                    if (narrow) {
                        kernels::toBfloat16(row, target16 + task * inRowValues, inRowValues);
                    }
                });
            }
#pragma omp for schedule(static)
            for (int64_t task = 0; task < tasks; ++task) {
                if (repeatsRowAbove(task % count)) {
                    std::copy_n(bytes + (task - 1) * rowBytes, rowBytes, bytes + task * rowBytes);
                }
            }
        }
        failure.rethrow();
    };
    const auto bufferFor = [&](int64_t values) {
        return AlignedBuffer(static_cast<size_t>(narrow ? (values + 1) / 2 : values));
    };

    const int64_t imageValues = (height + 2) * inRowValues;
    if (imageValues * valueBytes <= kBandBytes) {
        // Whole framed images, the batch in one run: the weights are read once
        // for every image, which is most of the work on small maps.
        AlignedBuffer laidOut;
        const void* source = map.image(0);
        if (!plain || narrow) {
            laidOut = bufferFor(batch * imageValues);
            produce(0, batch, 0, height + 2, laidOut);
            source = laidOut.data();
        }
        if (kernel_ == 1 || (height >= kFramedOutputSize && width >= kFramedOutputSize)) {
            // Straight into the framed output; the frame is computed too and
            // cleared after.
            primitive_.run(source, batch, height + 2, paddedWidth, kernel_ / 2, kernel_ / 2,
                           output.image(0), accumulate);
            output.clearFrame();
            return;
        }
        // On small maps the frame would be a large share of the work: the
        // interior goes to a dense result, copied into the frame.
        AlignedBuffer result(static_cast<size_t>(batch * height * width * outChannels_));
        primitive_.run(source, batch, height + 2, paddedWidth, 0, 0, result.data(), false);
        const int64_t rowFloats = width * outChannels_;
#pragma omp parallel for schedule(static)
        for (int64_t row = 0; row < batch * height; ++row) {
            const float* values = result.data() + row * rowFloats;
            float* target = output.pixel(row / height, row % height, 0);
            if (accumulate) {
                for (int64_t i = 0; i < rowFloats; ++i) {
                    target[i] += values[i];
                }
            } else {
                std::copy_n(values, rowFloats, target);
            }
        }
        return;
    }

    // Large images: bands of rows, each image on its own. A 3×3 kernel reads
    // one more row above and below a band and pads the frame columns, so that
    // it writes whole framed rows; a 1×1 one maps the framed rows as they are.
    const int64_t halo = kernel_ - 1;
    const int padColumns = kernel_ / 2;
    const int64_t rowOffset = kernel_ == 3 ? 0 : 1;
    const int64_t bandRows = bandRowsFor(height, inRowValues * valueBytes, halo);
    AlignedBuffer band;
    if (!plain || narrow) {
        band = bufferFor((bandRows + halo) * inRowValues);
    }
    for (int64_t n = 0; n < batch; ++n) {
        for (int64_t firstRow = 0; firstRow < height; firstRow += bandRows) {
            const int64_t rows = std::min(bandRows, height - firstRow);
            const void* source = map.image(n) + (firstRow + rowOffset) * map.rowStride();
            if (!plain || narrow) {
                produce(n, 1, firstRow + rowOffset, rows + halo, band);
                source = band.data();
            }
            primitive_.run(source, 1, rows + halo, paddedWidth, 0, padColumns,
                           output.image(n) + (firstRow + 1) * outRowFloats, accumulate);
        }
    }
    output.clearFrameColumns();
}

void Convolution::runStridedPrimitive(const ConvolutionInput& input, FeatureMap& output,
                                      bool accumulate) const {
    if (!input.isPlain()) {
        throw std::invalid_argument("A strided convolution reads a stored map only.");
    }
    const FeatureMap& map = input.map;
    const int64_t batch = map.batch();
    const int64_t outHeight = output.height();
    const int64_t outWidth = output.width();
    // The padded input the kernel reads, from the frame where padding is 1
    // and from the first interior pixel where it is 0.
    const int64_t offset = 1 - padding_.before;
    const int64_t readColumns = 2 * outWidth + 1;
    const int64_t rowValues = readColumns * inChannels_;
    const bool narrow = precision_ == ComputePrecision::bfloat16;
    const int64_t valueBytes = narrow ? 2 : 4;
    // Output rows per band (each reads two input rows and one more below);
    // small maps go whole, the batch in one run.
    const int64_t bandRows = bandRowsFor(outHeight, 2 * rowValues * valueBytes, 0);
    const int64_t images = bandRows == outHeight ? batch : 1;
    const int64_t bandValues = images * (2 * bandRows + 1) * rowValues;
    AlignedBuffer band(static_cast<size_t>(narrow ? (bandValues + 1) / 2 : bandValues));
    auto* band16 = reinterpret_cast<uint16_t*>(band.data());
    AlignedBuffer result(static_cast<size_t>(images * bandRows * outWidth * outChannels_));
    const int64_t outRowFloats = outWidth * outChannels_;
    for (int64_t firstImage = 0; firstImage < batch; firstImage += images) {
        for (int64_t firstRow = 0; firstRow < outHeight; firstRow += bandRows) {
            const int64_t rows = std::min(bandRows, outHeight - firstRow);
            const int64_t count = 2 * rows + 1;
#pragma omp parallel for schedule(static)
            for (int64_t task = 0; task < images * count; ++task) {
                const int64_t n = firstImage + task / count;
                const float* source =
                    map.image(n) + (2 * firstRow + offset + task % count) * map.rowStride() +
                    offset * inChannels_;
                if (narrow) {
                    kernels::toBfloat16(source, band16 + task * rowValues, rowValues);
                } else {
                    std::copy_n(source, rowValues, band.data() + task * rowValues);
                }
            }
            primitive_.run(band.data(), images, count, readColumns, 0, 0, result.data(), false);
#pragma omp parallel for schedule(static)
            for (int64_t task = 0; task < images * rows; ++task) {
                const float* values = result.data() + task * outRowFloats;
                float* target = output.pixel(firstImage + task / rows, firstRow + task % rows, 0);
                if (accumulate) {
                    for (int64_t i = 0; i < outRowFloats; ++i) {
                        target[i] += values[i];
                    }
                } else {
                    std::copy_n(values, outRowFloats, target);
                }
            }
        }
    }
}

} // namespace dravelin
