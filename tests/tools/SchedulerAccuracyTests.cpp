// Each scheduler end to end through dravelin-cli against diffusers 0.25's
// pipeline with the same scheduler class (tools/reference/pipeline_reference.py):
// tiny SD and SDXL directories whose denoising networks were trained to
// predict noise, so samplers give visibly different images; torch's noise,
// the final image decoded from the last step's clean-sample estimate. Within
// 2 levels of 8 bits in float32.

#include "cli/GenerateCommand.h"
#include "core/PngReading.h"
#include "runtime/Safetensors.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

const std::filesystem::path kTrained =
    std::filesystem::path(DRAVELIN_PIPELINE_FIXTURES) / "Trained";

const std::map<std::string, ShapedArray>& expectedImages() {
    static const std::map<std::string, ShapedArray> images = [] {
        const SafetensorsFile file(kTrained / "Expected.safetensors");
        std::map<std::string, ShapedArray> read;
        for (const auto& [name, view] : file.tensors()) {
            read.emplace(name, toShapedArray(view));
        }
        return read;
    }();
    return images;
}

struct Case {
    std::string directory; // "sd" or "xl"
    std::string name;      // the fixture's, "euler+karras" for a spacing
    int steps;
};

// The largest difference of any channel of any pixel, in 8-bit levels.
int largestDifference(const Image& image, const ShapedArray& expected) {
    EXPECT_EQ(expected.shape(), (Shape{image.height(), image.width(), 3}));
    int largest = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            for (int c = 0; c < 3; ++c) {
                const int ours = image.pixels()[(static_cast<size_t>(y) * image.width() + x) *
                                                    image.channels() +
                                                c];
                const auto theirs = static_cast<int>(expected.at({y, x, c}));
                largest = std::max(largest, std::abs(ours - theirs));
            }
        }
    }
    return largest;
}

class AgainstDiffusersPipeline : public ::testing::TestWithParam<Case> {};

TEST_P(AgainstDiffusersPipeline, WithinTwoLevels) {
    const Case& param = GetParam();
    TemporaryDirectory directory;
    const std::filesystem::path output = directory.path() / "image.png";
    const size_t plus = param.name.find('+');
    std::vector<std::string> arguments{
        "--model",    (kTrained / param.directory).string(),
        "--prompt",   "a cat",
        "--negative-prompt", "dog",
        "--seed",     "5",
        "--rng",      "torch",
        "--guidance", "7.5",
        "--steps",    std::to_string(param.steps),
        "--scheduler", param.name.substr(0, plus),
        "--precision", "float32",
        "--no-safety",
        "--output",   output.string()};
    if (plus != std::string::npos) {
        arguments.insert(arguments.end(), {"--spacing", param.name.substr(plus + 1)});
    }
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(runGenerateCommand(arguments, out, err), 0) << err.str();
    const int difference =
        largestDifference(readPng(output), expectedImages().at(param.directory + "/" + param.name));
    RecordProperty("largest_difference", difference);
    std::cout << "  " << param.directory << " " << param.name << ": largest difference "
              << difference << " levels\n";
    EXPECT_LE(difference, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Schedulers, AgainstDiffusersPipeline,
    ::testing::Values(Case{"sd", "euler", 10}, Case{"sd", "euler-a", 10}, Case{"sd", "ddim", 10},
                      Case{"sd", "heun", 10}, Case{"sd", "unipc", 10}, Case{"sd", "dpm-sde", 10},
                      Case{"sd", "euler+karras", 10}, Case{"sd", "dpm", 10},
                      Case{"sd", "lcm", 4}, Case{"xl", "lcm", 4}, Case{"xl", "euler-a", 10},
                      Case{"xl", "heun", 10}),
    [](const ::testing::TestParamInfo<Case>& info) {
        std::string name = info.param.directory + "_" + info.param.name;
        for (char& c : name) {
            if (c == '-' || c == '+') {
                c = '_';
            }
        }
        return name;
    });

// The references are worth comparing against only where samplers differ:
// on a network that ignores its input every scheduler gives about the same
// image.
TEST(TrainedReference, SamplersGiveVisiblyDifferentImages) {
    const auto& images = expectedImages();
    const auto meanDifference = [&](const std::string& a, const std::string& b) {
        const ShapedArray& x = images.at(a);
        const ShapedArray& y = images.at(b);
        double sum = 0.0;
        for (int64_t i = 0; i < x.count(); ++i) {
            sum += std::fabs(x.data()[i] - y.data()[i]);
        }
        return sum / static_cast<double>(x.count());
    };
    for (const char* other : {"sd/euler-a", "sd/ddim", "sd/heun", "sd/unipc", "sd/dpm-sde"}) {
        EXPECT_GT(meanDifference("sd/euler", other), 1.0) << other;
    }
}

} // namespace
