#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace dravelin {

// SHA-256 over bytes given in any number of pieces.
class Sha256 {
public:
    Sha256();
    void update(std::span<const uint8_t> bytes);
    // The digest; the object is spent afterwards.
    std::array<uint8_t, 32> finish();

private:
    void block(const uint8_t* bytes);

    std::array<uint32_t, 8> state_;
    std::array<uint8_t, 64> pending_{};
    size_t pendingSize_ = 0;
    uint64_t totalBytes_ = 0;
};

// Lower-case hexadecimal digits, two per byte.
std::string toHex(std::span<const uint8_t> bytes);

// Called after each piece of a long job with the bytes done and the total;
// returning false cancels the job.
using ByteProgress = std::function<bool(uint64_t done, uint64_t total)>;

// The file's SHA-256 in hexadecimal, read in pieces of a few megabytes; absent
// when `progress` cancelled. Throws std::runtime_error naming an unreadable
// file.
std::optional<std::string> sha256OfFile(const std::filesystem::path& file,
                                        const ByteProgress& progress = {});

// The "Model hash" image tools write into a PNG's parameters: the first ten
// hexadecimal digits of the file's SHA-256.
std::string shortModelHash(const std::string& sha256Hex);

} // namespace dravelin
