#include "tokenizer/BPETokenizer.h"

#include "core/BoundedFile.h"

#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>

namespace dravelin {

namespace fs = std::filesystem;

namespace {

// Beyond any real tokenizer file (CLIP's vocabulary is 1.6 MB) by far.
constexpr uint64_t kMaximumFileSize = uint64_t{64} << 20;

// Built by appending: GCC 12 misreports "literal" + std::string&& under -Wrestrict.
std::string quoted(const fs::path& path) {
    std::string text = "\"";
    text += path.string();
    text += '"';
    return text;
}

std::string describe(std::string_view kind, const fs::path& path) {
    return "The " + std::string(kind) + " " + quoted(path);
}

// The whole file as bytes; special files and oversized ones are refused.
std::string readWholeFile(const fs::path& path, std::string_view kind) {
    try {
        return readBoundedFile(path, kMaximumFileSize, describe(kind, path));
    } catch (const BoundedFileError& error) {
        throw BPETokenizer::TokenizerFileError(path, error.what());
    }
}

bool isWellFormedUtf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t index = 0;
    while (index < length) {
        if (bytes[index] < 0x80) {
            ++index;
            continue;
        }
        UChar32 c;
        U8_NEXT(bytes, index, length, c);
        if (c < 0) {
            return false;
        }
    }
    return true;
}

// Merge pieces are text: a malformed byte sequence becomes U+FFFD, as it does
// in a prompt, so both sides compare alike.
std::string decodeUtf8(std::string_view piece) {
    if (isWellFormedUtf8(piece)) {
        return std::string(piece);
    }
    std::string repaired;
    icu::UnicodeString::fromUTF8(icu::StringPiece(piece.data(), static_cast<int32_t>(piece.size())))
        .toUTF8String(repaired);
    return repaired;
}

// Lines end at 0x0A only, so a CR stays in the last piece; bytes after the
// last line end are not a line. Pieces are views into the file's bytes.
BPETokenizer::MergeRanks parseMerges(std::string_view bytes, const fs::path& path) {
    const auto lineCount = static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
    if (lineCount > static_cast<size_t>(std::numeric_limits<int>::max())) {
        throw BPETokenizer::TokenizerFileError(path, describe("merges file", path) +
                                                         " has too many lines to rank.");
    }
    BPETokenizer::MergeRanks ranks;
    ranks.reserve(lineCount);

    int index = 0;
    size_t lineStart = 0;
    for (size_t lineEnd = bytes.find('\n'); lineEnd != std::string_view::npos;
         lineEnd = bytes.find('\n', lineStart), ++index) {
        const std::string_view line = bytes.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        // The header and empty lines hold no pair but still take a rank.
        // Only the first line can be the header: CLIP's table has real pairs
        // that begin with "#".
        if (line.empty() || (index == 0 && line.front() == '#')) {
            continue;
        }
        std::string_view pieces[2];
        int pieceCount = 0;
        size_t position = 0;
        while (position < line.size() && pieceCount <= 2) {
            if (line[position] == ' ') {
                ++position;
                continue;
            }
            const size_t stop = std::min(line.find(' ', position), line.size());
            if (pieceCount < 2) {
                pieces[pieceCount] = line.substr(position, stop - position);
            }
            ++pieceCount;
            position = stop;
        }
        if (pieceCount != 2) {
            throw BPETokenizer::FileReadError::invalidMergeFileLine(index + 1, path);
        }
        // A pair listed again takes its later rank.
        ranks.insert_or_assign(TokenPair{decodeUtf8(pieces[0]), decodeUtf8(pieces[1])}, index);
    }
    return ranks;
}

// Builds the vocabulary straight from parser events, without a document in
// between, and stops at the first thing that is not token → ID.
class VocabularyReader : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit VocabularyReader(BPETokenizer::Vocabulary& vocabulary) : vocabulary_(vocabulary) {}

    // What went wrong, worded to follow "The vocabulary file "…"".
    const std::string& problem() const { return problem_; }

    bool null() override { return refuse("null"); }
    bool boolean(bool value) override { return refuse(value ? "true" : "false"); }
    bool number_integer(number_integer_t value) override {
        if (value < 0) {
            return refuseID(std::to_string(value));
        }
        return take(static_cast<uint64_t>(value));
    }
    bool number_unsigned(number_unsigned_t value) override { return take(value); }
    bool number_float(number_float_t, const string_t& text) override { return refuse(text); }
    bool string(string_t& value) override { return refuse(nlohmann::json(value).dump()); }
    bool binary(binary_t&) override { return refuse("binary data"); }

    bool start_object(size_t) override {
        if (inObject_) {
            return refuse("an object");
        }
        inObject_ = true;
        return true;
    }
    bool key(string_t& key) override {
        key_ = key;
        return true;
    }
    bool end_object() override { return true; }
    bool start_array(size_t) override { return refuse("an array"); }
    bool end_array() override { return true; }

    bool parse_error(size_t, const std::string&,
                     const nlohmann::detail::exception& error) override {
        // Drops the library's "[json.exception.parse_error.101] " prefix.
        std::string_view detail = error.what();
        if (const size_t bracket = detail.find("] "); bracket != std::string_view::npos) {
            detail.remove_prefix(bracket + 2);
        }
        problem_ = "is not valid JSON (" + std::string(detail) + ")";
        return false;
    }

private:
    bool take(uint64_t value) {
        if (!inObject_) {
            return refuse(std::to_string(value));
        }
        if (value > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
            return refuseID(std::to_string(value));
        }
        vocabulary_.insert_or_assign(key_, static_cast<int>(value));
        return true;
    }
    bool refuse(const std::string& value) {
        if (!inObject_) {
            problem_ = "does not hold a JSON object (it starts with " + value + ")";
        } else {
            problem_ = "maps the token " + nlohmann::json(key_).dump() + " to " + value +
                       ", which is not an integer ID";
        }
        return false;
    }
    bool refuseID(const std::string& value) {
        problem_ = "maps the token " + nlohmann::json(key_).dump() + " to " + value +
                   ", outside the IDs 0 to 2147483647";
        return false;
    }

    BPETokenizer::Vocabulary& vocabulary_;
    bool inObject_ = false;
    std::string key_;
    std::string problem_;
};

std::string describeMergeLine(int line, const fs::path& path) {
    const std::string file = path.empty() ? "the merges file" : "the merges file " + quoted(path);
    return "Line " + std::to_string(line) + " of " + file + " does not hold exactly two tokens.";
}

} // namespace

BPETokenizer::FileReadError
BPETokenizer::FileReadError::invalidMergeFileLine(int line, const fs::path& path) {
    return FileReadError(Case::invalidMergeFileLine, line, path);
}

BPETokenizer::FileReadError::FileReadError(Case errorCase, int line, fs::path path)
    : std::runtime_error(describeMergeLine(line, path)), case_(errorCase), line_(line),
      path_(std::move(path)) {}

BPETokenizer::TokenizerFileError::TokenizerFileError(fs::path path, const std::string& message)
    : std::runtime_error(message), path_(std::move(path)) {}

BPETokenizer::MergeRanks BPETokenizer::readMerges(const fs::path& path) {
    return mergesFromBytes(readWholeFile(path, "merges file"), path);
}

BPETokenizer::MergeRanks BPETokenizer::mergesFromBytes(std::string_view bytes,
                                                       const fs::path& path) {
    // A character-level tokenizer has no merges but still a version line; an
    // empty file is a failed download or a mistake.
    if (bytes.empty()) {
        throw TokenizerFileError(path, describe("merges file", path) + " is empty.");
    }
    return parseMerges(bytes, path);
}

BPETokenizer::Vocabulary BPETokenizer::readVocabulary(const fs::path& path) {
    return vocabularyFromBytes(readWholeFile(path, "vocabulary file"), path);
}

BPETokenizer::Vocabulary BPETokenizer::vocabularyFromBytes(std::string_view bytes,
                                                           const fs::path& path) {
    Vocabulary vocabulary;
    VocabularyReader reader(vocabulary);
    bool complete = false;
    try {
        complete = nlohmann::json::sax_parse(bytes, &reader);
    } catch (const nlohmann::json::exception& error) {
        throw TokenizerFileError(path, describe("vocabulary file", path) +
                                           " cannot be decoded: " + error.what() + ".");
    }
    if (!complete) {
        throw TokenizerFileError(path,
                                 describe("vocabulary file", path) + " " + reader.problem() + ".");
    }
    // An empty table would quietly give every token the ID 0.
    if (vocabulary.empty()) {
        throw TokenizerFileError(path, describe("vocabulary file", path) + " holds no tokens.");
    }
    return vocabulary;
}

} // namespace dravelin
