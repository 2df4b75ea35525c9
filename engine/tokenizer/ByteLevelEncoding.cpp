#include "tokenizer/ByteLevelEncoding.h"

#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <array>
#include <cstdint>
#include <limits>

namespace dravelin {

namespace {

// The stand-ins all lie below this code point.
constexpr int32_t kStandInLimit = 0x100 + 68;

struct Tables {
    std::array<std::string, 256> standIn;
    // Code point → byte, or -1 for a character that stands for no byte.
    std::array<int16_t, kStandInLimit> byteOf{};
};

bool standsForItself(int byte) {
    return (byte >= '!' && byte <= '~') || (byte >= 0xA1 && byte <= 0xAC) ||
           (byte >= 0xAE && byte <= 0xFF);
}

std::string utf8(int32_t codePoint) {
    char buffer[4];
    int32_t length = 0;
    U8_APPEND_UNSAFE(buffer, length, codePoint);
    return std::string(buffer, static_cast<size_t>(length));
}

const Tables& tables() {
    static const Tables built = [] {
        Tables result;
        result.byteOf.fill(-1);
        int32_t next = 0x100;
        for (int byte = 0; byte < 256; ++byte) {
            const int32_t codePoint = standsForItself(byte) ? byte : next++;
            result.standIn[static_cast<size_t>(byte)] = utf8(codePoint);
            result.byteOf[static_cast<size_t>(codePoint)] = static_cast<int16_t>(byte);
        }
        return result;
    }();
    return built;
}

} // namespace

std::string byteLevelEncoded(std::string_view bytes) {
    const Tables& table = tables();
    std::string encoded;
    encoded.reserve(bytes.size() * 2);
    for (const char byte : bytes) {
        encoded += table.standIn[static_cast<unsigned char>(byte)];
    }
    return encoded;
}

std::vector<std::string> byteLevelCharacters(std::string_view bytes) {
    const Tables& table = tables();
    std::vector<std::string> characters;
    characters.reserve(bytes.size());
    for (const char byte : bytes) {
        characters.push_back(table.standIn[static_cast<unsigned char>(byte)]);
    }
    return characters;
}

std::string byteLevelDecoded(std::string_view text) {
    const Tables& table = tables();
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    if (text.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        return std::string(text);
    }
    const auto length = static_cast<int32_t>(text.size());
    std::string decoded;
    decoded.reserve(text.size());
    int32_t index = 0;
    while (index < length) {
        const int32_t start = index;
        UChar32 c;
        U8_NEXT(bytes, index, length, c);
        if (c >= 0 && c < kStandInLimit && table.byteOf[static_cast<size_t>(c)] >= 0) {
            decoded += static_cast<char>(table.byteOf[static_cast<size_t>(c)]);
        } else {
            decoded.append(
                text.substr(static_cast<size_t>(start), static_cast<size_t>(index - start)));
        }
    }
    // The bytes of one character may be split across tokens that were cut
    // off; what does not form UTF-8 becomes U+FFFD, as CLIP's decoder does.
    std::string repaired;
    icu::UnicodeString::fromUTF8(
        icu::StringPiece(decoded.data(), static_cast<int32_t>(decoded.size())))
        .toUTF8String(repaired);
    return repaired;
}

} // namespace dravelin
