#include "tokenizer/HtmlEntities.h"

#include <unicode/uchar.h>

#include <array>
#include <optional>
#include <string_view>
#include <unordered_map>

namespace dravelin {

namespace {

// U+00A0 to U+00FF in order; these also count without the final ";".
constexpr std::array<std::string_view, 96> kLatin1Names = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",
    "copy",   "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn",
    "sup2",   "sup3",   "acute",  "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",
    "raquo",  "frac14", "frac12", "frac34", "iquest", "Agrave", "Aacute", "Acirc",  "Atilde",
    "Auml",   "Aring",  "AElig",  "Ccedil", "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave",
    "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde",
    "Ouml",   "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",
    "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil",
    "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",   "eth",
    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave",
    "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml",
};

struct NamedCharacter {
    std::string_view name;
    UChar32 character;
    bool needsSemicolon;
};

constexpr NamedCharacter kOtherNames[] = {
    {"quot", 0x22, false},    {"amp", 0x26, false},     {"lt", 0x3C, false},
    {"gt", 0x3E, false},      {"QUOT", 0x22, false},    {"AMP", 0x26, false},
    {"LT", 0x3C, false},      {"GT", 0x3E, false},      {"COPY", 0xA9, false},
    {"REG", 0xAE, false},     {"apos", 0x27, true},     {"OElig", 0x152, true},
    {"oelig", 0x153, true},   {"Scaron", 0x160, true},  {"scaron", 0x161, true},
    {"Yuml", 0x178, true},    {"fnof", 0x192, true},    {"circ", 0x2C6, true},
    {"tilde", 0x2DC, true},   {"ensp", 0x2002, true},   {"emsp", 0x2003, true},
    {"thinsp", 0x2009, true}, {"zwnj", 0x200C, true},   {"zwj", 0x200D, true},
    {"lrm", 0x200E, true},    {"rlm", 0x200F, true},    {"ndash", 0x2013, true},
    {"mdash", 0x2014, true},  {"lsquo", 0x2018, true},  {"rsquo", 0x2019, true},
    {"sbquo", 0x201A, true},  {"ldquo", 0x201C, true},  {"rdquo", 0x201D, true},
    {"bdquo", 0x201E, true},  {"dagger", 0x2020, true}, {"Dagger", 0x2021, true},
    {"bull", 0x2022, true},   {"hellip", 0x2026, true}, {"permil", 0x2030, true},
    {"prime", 0x2032, true},  {"Prime", 0x2033, true},  {"lsaquo", 0x2039, true},
    {"rsaquo", 0x203A, true}, {"euro", 0x20AC, true},   {"trade", 0x2122, true},
    {"larr", 0x2190, true},   {"uarr", 0x2191, true},   {"rarr", 0x2192, true},
    {"darr", 0x2193, true},   {"harr", 0x2194, true},   {"spades", 0x2660, true},
    {"clubs", 0x2663, true},  {"hearts", 0x2665, true}, {"diams", 0x2666, true},
};

// Keys are names as written, "name;" for every entity and "name" alone for
// those that may go without the semicolon.
const std::unordered_map<std::u16string, UChar32>& namedCharacters() {
    static const std::unordered_map<std::u16string, UChar32> table = [] {
        std::unordered_map<std::u16string, UChar32> built;
        const auto add = [&](std::string_view name, UChar32 character, bool needsSemicolon) {
            const std::u16string key(name.begin(), name.end());
            built.emplace(key + u";", character);
            if (!needsSemicolon) {
                built.emplace(key, character);
            }
        };
        for (size_t i = 0; i < kLatin1Names.size(); ++i) {
            add(kLatin1Names[i], static_cast<UChar32>(0xA0 + i), false);
        }
        for (const NamedCharacter& named : kOtherNames) {
            add(named.name, named.character, named.needsSemicolon);
        }
        return built;
    }();
    return table;
}

// What browsers read for 0x80–0x9F, which HTML reserves for Windows-1252;
// 0 where that code page has no character.
constexpr std::array<UChar32, 32> kWindows1252 = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

bool isDigit(UChar c, bool hexadecimal) {
    return (c >= u'0' && c <= u'9') ||
           (hexadecimal && ((c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')));
}

int digitValue(UChar c) {
    if (c <= u'9') {
        return c - u'0';
    }
    return (c | 0x20) - u'a' + 10;
}

// The text a numeric reference stands for.
icu::UnicodeString numericCharacter(uint64_t value) {
    if (value == 0 || value == 0x0D) {
        return icu::UnicodeString(static_cast<UChar32>(value == 0 ? 0xFFFD : 0x0D));
    }
    if (value >= 0x80 && value <= 0x9F && kWindows1252[value - 0x80] != 0) {
        return icu::UnicodeString(kWindows1252[value - 0x80]);
    }
    if ((value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) {
        return icu::UnicodeString(static_cast<UChar32>(0xFFFD));
    }
    const auto c = static_cast<UChar32>(value);
    const bool control = (c >= 0x01 && c <= 0x08) || c == 0x0B || (c >= 0x0E && c <= 0x1F) ||
                         (c >= 0x7F && c <= 0x9F);
    const bool nonCharacter = (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE;
    if (control || nonCharacter) {
        return {};
    }
    return icu::UnicodeString(c);
}

bool endsName(UChar c) {
    return c == u'\t' || c == u'\n' || c == u'\f' || c == u' ' || c == u'<' || c == u'&' ||
           c == u'#' || c == u';';
}

// Reads the reference that starts with the "&" at `start`. Returns its text
// and moves `end` past it, or nothing when no reference starts there.
std::optional<icu::UnicodeString> readReference(const icu::UnicodeString& text, int32_t start,
                                                int32_t& end) {
    const int32_t length = text.length();
    int32_t position = start + 1;
    if (position < length && text.charAt(position) == u'#') {
        ++position;
        const bool hexadecimal =
            position < length && (text.charAt(position) == u'x' || text.charAt(position) == u'X');
        if (hexadecimal) {
            ++position;
        }
        const int32_t digitsStart = position;
        uint64_t value = 0;
        while (position < length && isDigit(text.charAt(position), hexadecimal)) {
            // Saturates: any value this large is out of range anyway.
            if (value <= 0x10FFFF) {
                value = value * (hexadecimal ? 16 : 10) +
                        static_cast<uint64_t>(digitValue(text.charAt(position)));
            }
            ++position;
        }
        if (position == digitsStart) {
            return std::nullopt;
        }
        if (position < length && text.charAt(position) == u';') {
            ++position;
        }
        end = position;
        return numericCharacter(value);
    }

    // A name of up to 32 characters, then perhaps ";".
    while (position < length && position - start - 1 < 32 && !endsName(text.charAt(position))) {
        ++position;
    }
    if (position == start + 1) {
        return std::nullopt;
    }
    if (position < length && text.charAt(position) == u';') {
        ++position;
    }
    const std::u16string written(text.getBuffer() + start + 1,
                                 static_cast<size_t>(position - start - 1));
    const auto& table = namedCharacters();
    if (const auto found = table.find(written); found != table.end()) {
        end = position;
        return icu::UnicodeString(found->second);
    }
    // The longest name that may go without ";", followed by the rest as is.
    for (size_t prefix = written.size() - 1; prefix >= 2; --prefix) {
        if (const auto found = table.find(written.substr(0, prefix)); found != table.end()) {
            end = start + 1 + static_cast<int32_t>(prefix);
            return icu::UnicodeString(found->second);
        }
    }
    return std::nullopt;
}

} // namespace

icu::UnicodeString unescapeHtml(const icu::UnicodeString& text) {
    if (text.indexOf(u'&') < 0) {
        return text;
    }
    icu::UnicodeString result;
    const int32_t length = text.length();
    int32_t position = 0;
    while (position < length) {
        const int32_t ampersand = text.indexOf(u'&', position);
        if (ampersand < 0) {
            result.append(text, position, length - position);
            break;
        }
        result.append(text, position, ampersand - position);
        int32_t end = ampersand + 1;
        if (const auto replacement = readReference(text, ampersand, end)) {
            result.append(*replacement);
            position = end;
        } else {
            result.append(u'&');
            position = ampersand + 1;
        }
    }
    return result;
}

} // namespace dravelin
