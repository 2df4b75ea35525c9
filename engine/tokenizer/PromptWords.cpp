#include "tokenizer/PromptWords.h"

#include "tokenizer/HtmlEntities.h"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <array>
#include <limits>
#include <stdexcept>

namespace dravelin {

namespace {

// ICU counts in 32-bit indices; anything longer is refused rather than cut.
icu::UnicodeString fromUtf8(std::string_view text) {
    if (text.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        throw std::length_error("Cannot tokenize a text of " + std::to_string(text.size()) +
                                " bytes.");
    }
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

// Python's str.isspace(): the characters whose bidirectional class is white
// space, paragraph or segment separator, or whose category is Zs.
bool isSpace(UChar32 c) {
    if (c < 0x80) {
        return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
    }
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool isLetter(UChar32 c) {
    return (U_GET_GC_MASK(c) & U_GC_L_MASK) != 0;
}

bool isNumber(UChar32 c) {
    return (U_GET_GC_MASK(c) & U_GC_N_MASK) != 0;
}

icu::UnicodeString composed(const icu::UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) {
        throw std::runtime_error(std::string("Cannot load Unicode normalisation data (") +
                                 u_errorName(status) + ").");
    }
    icu::UnicodeString result = nfc->normalize(text, status);
    if (U_FAILURE(status)) {
        throw std::runtime_error(std::string("Cannot normalise a prompt (") + u_errorName(status) +
                                 ").");
    }
    return result;
}

icu::UnicodeString collapseSpaces(const icu::UnicodeString& text) {
    icu::UnicodeString result;
    bool pendingSpace = false;
    for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
        const UChar32 c = text.char32At(i);
        if (isSpace(c)) {
            pendingSpace = !result.isEmpty();
            continue;
        }
        if (pendingSpace) {
            result.append(u' ');
            pendingSpace = false;
        }
        result.append(c);
    }
    return result;
}

bool startsWithAt(const icu::UnicodeString& text, int32_t position, std::u16string_view prefix) {
    return text.compare(position, static_cast<int32_t>(prefix.size()), prefix.data(), 0,
                        static_cast<int32_t>(prefix.size())) == 0;
}

// The length of what the special tokens or the endings match at `position`.
int32_t fixedMatch(const icu::UnicodeString& text, int32_t position) {
    static constexpr std::array<std::u16string_view, 9> alternatives = {
        u"<|startoftext|>", u"<|endoftext|>", u"'s", u"'t", u"'re", u"'ve", u"'m", u"'ll", u"'d"};
    for (const std::u16string_view alternative : alternatives) {
        if (text.length() - position >= static_cast<int32_t>(alternative.size()) &&
            startsWithAt(text, position, alternative)) {
            return static_cast<int32_t>(alternative.size());
        }
    }
    return 0;
}

} // namespace

std::string cleanPrompt(std::string_view prompt) {
    icu::UnicodeString text = composed(fromUtf8(prompt));
    text = unescapeHtml(unescapeHtml(text));
    text = collapseSpaces(text);
    text.toLower(icu::Locale::getRoot());
    std::string cleaned;
    text.toUTF8String(cleaned);
    return cleaned;
}

std::vector<std::string> splitWords(std::string_view cleaned) {
    const icu::UnicodeString text = fromUtf8(cleaned);
    std::vector<std::string> words;
    const auto take = [&](int32_t start, int32_t end) {
        std::string word;
        text.tempSubStringBetween(start, end).toUTF8String(word);
        words.push_back(std::move(word));
    };
    int32_t position = 0;
    const int32_t length = text.length();
    while (position < length) {
        const UChar32 c = text.char32At(position);
        if (isSpace(c)) {
            position = text.moveIndex32(position, 1);
            continue;
        }
        int32_t end = position;
        if (const int32_t fixed = fixedMatch(text, position); fixed > 0) {
            end = position + fixed;
        } else if (isLetter(c)) {
            while (end < length && isLetter(text.char32At(end))) {
                end = text.moveIndex32(end, 1);
            }
        } else if (isNumber(c)) {
            end = text.moveIndex32(end, 1);
        } else {
            while (end < length) {
                const UChar32 other = text.char32At(end);
                if (isSpace(other) || isLetter(other) || isNumber(other)) {
                    break;
                }
                end = text.moveIndex32(end, 1);
            }
        }
        take(position, end);
        position = end;
    }
    return words;
}

} // namespace dravelin
