#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace dravelin {

// SHA-256 over bytes given in any number of pieces (OpenSSL's, which uses the
// processor's SHA instructions where it has them: a multi-gigabyte model is
// hashed at disk speed).
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void update(std::span<const uint8_t> bytes);
    // The digest; the object is spent afterwards.
    std::array<uint8_t, 32> finish();

private:
    struct Context;
    std::unique_ptr<Context> context_;
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
