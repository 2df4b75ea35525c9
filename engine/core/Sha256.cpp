#include "core/Sha256.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace dravelin {

namespace {

// Big enough that a 7 GB file is read in a few thousand pieces, small enough
// that a cancel is noticed within milliseconds.
constexpr size_t kPieceBytes = size_t{4} << 20;

} // namespace

struct Sha256::Context {
    EVP_MD_CTX* digest = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(digest); }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    if (context_->digest == nullptr ||
        EVP_DigestInit_ex(context_->digest, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("The SHA-256 digest is not available.");
    }
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const uint8_t> bytes) {
    EVP_DigestUpdate(context_->digest, bytes.data(), bytes.size());
}

std::array<uint8_t, 32> Sha256::finish() {
    std::array<uint8_t, 32> digest{};
    unsigned int size = 0;
    EVP_DigestFinal_ex(context_->digest, digest.data(), &size);
    return digest;
}

std::string toHex(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

std::optional<std::string> sha256OfFile(const std::filesystem::path& file,
                                        const ByteProgress& progress) {
    std::error_code error;
    const uint64_t total = std::filesystem::file_size(file, error);
    if (error) {
        throw std::runtime_error("Cannot read \"" + file.string() + "\": " + error.message() +
                                 ".");
    }
    std::ifstream stream(file, std::ios::binary);
    if (!stream) {
        throw std::runtime_error("Cannot open \"" + file.string() + "\": " +
                                 std::strerror(errno) + ".");
    }
    Sha256 hash;
    std::vector<uint8_t> piece(kPieceBytes);
    uint64_t done = 0;
    while (stream) {
        stream.read(reinterpret_cast<char*>(piece.data()), static_cast<std::streamsize>(piece.size()));
        const auto got = static_cast<size_t>(stream.gcount());
        if (got == 0) {
            break;
        }
        hash.update({piece.data(), got});
        done += got;
        if (progress && !progress(done, std::max(done, total))) {
            return std::nullopt;
        }
    }
    if (stream.bad()) {
        throw std::runtime_error("Reading \"" + file.string() + "\" failed after " +
                                 std::to_string(done) + " bytes.");
    }
    const std::array<uint8_t, 32> digest = hash.finish();
    return toHex(digest);
}

std::string shortModelHash(const std::string& sha256Hex) {
    return sha256Hex.substr(0, 10);
}

} // namespace dravelin
