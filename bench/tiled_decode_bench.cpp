// Decodes one latent per image size with the model's decoder built for that
// size, once in bands of rows (what the application does on large images;
// every norm sees the whole map) and once as one pass over whole maps, each
// in a process of its own so that each peak resident memory is its own, and
// compares the two images: time, peak memory and the largest difference in
// 8-bit levels.
//   dravelin-bench-tiled-decode --model DIR [--sizes 512,1024,1536]

#include "pipeline/Decoder.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace dravelin;
using Clock = std::chrono::steady_clock;

namespace {

// A smooth latent field with some finer detail, so seams would show.
ShapedArray latentField(int64_t side) {
    ShapedArray latent(Shape{1, 4, side, side});
    for (int64_t c = 0; c < 4; ++c) {
        for (int64_t y = 0; y < side; ++y) {
            for (int64_t x = 0; x < side; ++x) {
                const double u = static_cast<double>(x) / side;
                const double v = static_cast<double>(y) / side;
                latent.data()[(c * side + y) * side + x] = static_cast<float>(
                    0.8 * std::sin(6.0 * u + 2.0 * c) * std::cos(5.0 * v - c) +
                    0.3 * std::sin(40.0 * u * v + c));
            }
        }
    }
    return latent;
}

// Processor time of every thread of this process so far: on a loaded
// machine far steadier than wall time.
double processorSeconds() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The child's part: decode, write the pixels to `output`, print the seconds.
int decodeOnce(const std::string& model, int64_t side, const std::string& output) {
    ModelConfiguration sized;
    sized.inputSizes["z"] = {side, side};
    Decoder decoder(std::filesystem::path(model) / "VAEDecoder.model", sized);
    decoder.loadResources();
    const ShapedArray latent = latentField(side);
    const double cpuBefore = processorSeconds();
    const auto start = Clock::now();
    const Image image = decoder.decode(std::vector<ShapedArray>{latent}, 1.0f).front();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = processorSeconds() - cpuBefore;
    std::ofstream(output, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.pixels().data()),
               static_cast<std::streamsize>(image.pixels().size()));
    std::printf("%.2f %.2f\n", seconds, cpu);
    return 0;
}

struct Run {
    double seconds = 0.0;
    double processorSeconds = 0.0;
    double peakGigabytes = 0.0;
    std::vector<uint8_t> pixels;
};

// Runs this program again as a child decoding one size one way, with its
// own peak resident memory.
Run runChild(const char* self, const std::string& model, int64_t side, const char* mode) {
    const std::string output = "/tmp/dravelin-tiled-decode-" + std::to_string(::getpid()) + ".rgb";
    int pipes[2];
    if (::pipe(pipes) != 0) {
        throw std::runtime_error("Cannot make a pipe.");
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipes[1], STDOUT_FILENO);
        ::close(pipes[0]);
        ::setenv("DRAVELIN_DECODE", mode, 1);
        const std::string sideText = std::to_string(side);
        ::execl(self, self, "--child", model.c_str(), sideText.c_str(), output.c_str(), nullptr);
        ::_exit(127);
    }
    ::close(pipes[1]);
    std::string text;
    char buffer[256];
    ssize_t got = 0;
    while ((got = ::read(pipes[0], buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(got));
    }
    ::close(pipes[0]);
    int status = 0;
    struct rusage usage {};
    ::wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(std::string("The ") + mode + " decode of " +
                                 std::to_string(side) + " latents failed.");
    }
    Run run;
    std::sscanf(text.c_str(), "%lf %lf", &run.seconds, &run.processorSeconds);
    run.peakGigabytes = static_cast<double>(usage.ru_maxrss) * 1024.0 / 1e9;
    std::ifstream in(output, std::ios::binary);
    run.pixels.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::remove(output.c_str());
    return run;
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 5 && std::string(argv[1]) == "--child") {
            return decodeOnce(argv[2], std::atoll(argv[3]), argv[4]);
        }
        std::string model;
        std::string sizes = "512,1024,1536";
        for (int i = 1; i < argc; ++i) {
            const std::string argument = argv[i];
            if (argument == "--model" && i + 1 < argc) {
                model = argv[++i];
            } else if (argument == "--sizes" && i + 1 < argc) {
                sizes = argv[++i];
            } else {
                model.clear();
                break;
            }
        }
        if (model.empty()) {
            std::fprintf(stderr,
                         "usage: dravelin-bench-tiled-decode --model DIR [--sizes 512,1024,1536]\n");
            return 2;
        }
        std::printf("%-6s %-8s %9s %9s %10s   %s\n", "pixels", "decode", "wall s", "CPU s",
                    "peak GB", "largest difference (8-bit levels)");
        std::stringstream list(sizes);
        std::string item;
        while (std::getline(list, item, ',')) {
            const int64_t pixels = std::atoll(item.c_str());
            if (pixels < 64 || pixels % 8 != 0) {
                throw std::invalid_argument("Sizes are multiples of 8 from 64, not " + item + ".");
            }
            const Run bands = runChild(argv[0], model, pixels / 8, "bands");
            const Run whole = runChild(argv[0], model, pixels / 8, "whole");
            if (bands.pixels.size() != whole.pixels.size() || bands.pixels.empty()) {
                throw std::runtime_error("The two decodes gave images of different sizes.");
            }
            int largest = 0;
            double total = 0.0;
            for (size_t i = 0; i < bands.pixels.size(); ++i) {
                const int difference = std::abs(int{bands.pixels[i]} - int{whole.pixels[i]});
                largest = std::max(largest, difference);
                total += difference;
            }
            std::printf("%-6lld %-8s %9.1f %9.1f %10.2f\n", static_cast<long long>(pixels),
                        "bands", bands.seconds, bands.processorSeconds, bands.peakGigabytes);
            std::printf("%-6lld %-8s %9.1f %9.1f %10.2f   largest %d, mean %.4f\n",
                        static_cast<long long>(pixels), "one pass", whole.seconds,
                        whole.processorSeconds, whole.peakGigabytes, largest,
                        total / static_cast<double>(bands.pixels.size()));
            std::fflush(stdout);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "dravelin-bench-tiled-decode: %s\n", error.what());
        return 1;
    }
    return 0;
}
