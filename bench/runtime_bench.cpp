// Times the model runtime's file handling: opening and validating a
// full-size (1.7 GB) weight file, and converting F16 weights to F32.

#include "runtime/Safetensors.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

using namespace dravelin;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A sparse file laid out like a full-size F16 denoising network: 686 tensors,
// 1.7 GB of data that the file system does not store.
std::filesystem::path writeSparseWeights(const std::filesystem::path& directory) {
    constexpr int kTensors = 686;
    constexpr uint64_t kElements = 1'720'000'000ULL / 2 / kTensors;
    nlohmann::ordered_json header = nlohmann::ordered_json::object();
    uint64_t offset = 0;
    for (int i = 0; i < kTensors; ++i) {
        header["down_blocks." + std::to_string(i) + ".weight"] = {
            {"dtype", "F16"},
            {"shape", {kElements}},
            {"data_offsets", {offset, offset + kElements * 2}}};
        offset += kElements * 2;
    }
    std::string text = header.dump();
    text.append((8 - text.size() % 8) % 8, ' ');
    const auto path = directory / "sparse.safetensors";
    {
        std::ofstream stream(path, std::ios::binary | std::ios::trunc);
        const uint64_t length = text.size();
        stream.write(reinterpret_cast<const char*>(&length), 8);
        stream.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    std::filesystem::resize_file(path, 8 + text.size() + offset);
    return path;
}

} // namespace

int main() {
    const auto directory = std::filesystem::temp_directory_path() / "dravelin-runtime-bench";
    std::filesystem::create_directories(directory);
    const auto path = writeSparseWeights(directory);
    std::printf("Weight file: %.2f GB, 686 tensors\n",
                static_cast<double>(std::filesystem::file_size(path)) / 1e9);

    double best = 1e9;
    for (int run = 0; run < 5; ++run) {
        const auto start = Clock::now();
        SafetensorsFile file(path);
        best = std::min(best, secondsSince(start));
    }
    std::printf("  open and validate (best of 5): %.2f ms\n", best * 1e3);

    // 64 Mi half values in memory, converted to float.
    constexpr size_t kCount = size_t{64} << 20;
    std::vector<uint8_t> bytes(kCount * 2);
    for (size_t i = 0; i < kCount; ++i) {
        const uint16_t bits = static_cast<uint16_t>(0x3c00 + (i & 0x3ff));
        std::memcpy(bytes.data() + 2 * i, &bits, 2);
    }
    const TensorView view{"w", DType::F16, {static_cast<int64_t>(kCount)}, bytes};
    std::vector<float> out(kCount);
    best = 1e9;
    for (int run = 0; run < 3; ++run) {
        const auto start = Clock::now();
        convertToFloat32(view, out);
        best = std::min(best, secondsSince(start));
    }
    std::printf("  F16 -> F32 conversion: %.1f M values/s (%.0f ms for 64 Mi)\n",
                static_cast<double>(kCount) / best / 1e6, best * 1e3);
    std::filesystem::remove_all(directory);
    return 0;
}
