// First load of a single-file checkpoint against the same weights as bundles,
// and hashing the file as an import does:
//   dravelin-bench-checkpoint MODEL_DIR CHECKPOINT [--precision P]
// (dravelin-make-model DIR --full-size --checkpoint FILE writes both). Each
// network is loaded alone, after the kernel has been told to drop the files'
// cached pages, so "first load" reads from the disk as after a reboot (as far
// as the kernel honours the advice), then once more from the page cache.
#include "core/Sha256.h"
#include "runtime/Checkpoint.h"
#include "runtime/ComputePrecision.h"
#include "runtime/Model.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace dravelin;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Asks the kernel to forget the file's cached pages (clean pages go at once).
void dropCachedPages(const std::filesystem::path& path) {
    std::error_code error;
    const auto drop = [](const std::filesystem::path& file) {
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::fdatasync(fd);
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            ::close(fd);
        }
    };
    if (std::filesystem::is_directory(path, error)) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(path, error)) {
            if (entry.is_regular_file()) {
                drop(entry.path());
            }
        }
    } else {
        drop(path);
    }
}

struct Source {
    std::string name;
    std::filesystem::path path;
};

double loadSeconds(const std::filesystem::path& bundle, const ModelConfiguration& configuration) {
    const auto start = std::chrono::steady_clock::now();
    const std::unique_ptr<Model> model = Model::load(bundle, configuration);
    return secondsSince(start);
}

long peakResidentMegabytes() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 3) {
        std::fprintf(stderr, "usage: dravelin-bench-checkpoint MODEL_DIR CHECKPOINT [--precision P]\n");
        return 2;
    }
    const std::filesystem::path directory = argv[1];
    const std::filesystem::path file = argv[2];
    ModelConfiguration configuration;
    if (argc >= 5 && std::string(argv[3]) == "--precision") {
        const auto precision = parsePrecision(argv[4]);
        if (!precision) {
            std::fprintf(stderr, "--precision is float32, bfloat16 or automatic\n");
            return 2;
        }
        configuration.computePrecision = *precision;
    }
    try {
        struct stat before {};
        ::stat(file.c_str(), &before);

        auto start = std::chrono::steady_clock::now();
        const CheckpointDescription description = inspectCheckpoint(file);
        std::printf("inspect: %.1f ms, %s\n", secondsSince(start) * 1e3, description.summary.c_str());

        std::printf("precision: %s\n",
                    std::string(precisionName(resolvePrecision(configuration.computePrecision))).c_str());
        const bool xl = description.kind == CheckpointKind::sdxlBase;
        std::vector<std::pair<std::string, CheckpointPart>> parts{
            {"TextEncoder.model", CheckpointPart::textEncoder},
            {"Unet.model", CheckpointPart::unet},
            {"VAEDecoder.model", CheckpointPart::vaeDecoder}};
        if (xl) {
            parts.insert(parts.begin() + 1, {"TextEncoder2.model", CheckpointPart::textEncoder2});
        }
        std::printf("%-20s %12s %12s %12s %12s\n", "network", "bundle cold", "file cold",
                    "bundle warm", "file warm");
        double totals[4] = {0, 0, 0, 0};
        for (const auto& [bundleName, part] : parts) {
            const std::filesystem::path bundle = directory / bundleName;
            const std::filesystem::path inFile = checkpointPartPath(file, part);
            double times[4];
            dropCachedPages(directory);
            dropCachedPages(file);
            times[0] = loadSeconds(bundle, configuration);
            dropCachedPages(directory);
            dropCachedPages(file);
            times[1] = loadSeconds(inFile, configuration);
            times[2] = loadSeconds(bundle, configuration);
            times[3] = loadSeconds(inFile, configuration);
            std::printf("%-20s %11.2fs %11.2fs %11.2fs %11.2fs\n", bundleName.c_str(), times[0],
                        times[1], times[2], times[3]);
            for (int i = 0; i < 4; ++i) {
                totals[i] += times[i];
            }
        }
        std::printf("%-20s %11.2fs %11.2fs %11.2fs %11.2fs\n", "all", totals[0], totals[1],
                    totals[2], totals[3]);
        std::printf("first load from the file / from bundles: %.2f (cold), %.2f (warm)\n",
                    totals[1] / totals[0], totals[3] / totals[2]);

        dropCachedPages(file);
        start = std::chrono::steady_clock::now();
        const std::string hash = sha256OfFile(file).value_or("");
        const double hashSeconds = secondsSince(start);
        std::printf("SHA-256 of %.2f GB (cold): %.1f s, %.0f MB/s; model hash %s\n",
                    static_cast<double>(description.fileBytes) / 1e9, hashSeconds,
                    static_cast<double>(description.fileBytes) / 1e6 / hashSeconds,
                    shortModelHash(hash).c_str());
        start = std::chrono::steady_clock::now();
        sha256OfFile(file);
        std::printf("SHA-256 again (warm): %.1f s\n", secondsSince(start));

        struct stat after {};
        ::stat(file.c_str(), &after);
        const bool untouched = before.st_size == after.st_size &&
                               before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
                               before.st_mtim.tv_nsec == after.st_mtim.tv_nsec;
        std::printf("file untouched: %s; peak resident memory %ld MB\n", untouched ? "yes" : "NO",
                    peakResidentMegabytes());
        return untouched ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "dravelin-bench-checkpoint: %s\n", error.what());
        return 1;
    }
}
