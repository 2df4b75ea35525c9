#include "state/SeedText.h"

namespace dravelin {

std::optional<uint32_t> parseSeed(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (begin < end && blank(text[begin])) {
        ++begin;
    }
    while (end > begin && blank(text[end - 1])) {
        --end;
    }
    if (begin == end) {
        return std::nullopt;
    }
    bool negative = false;
    if (text[begin] == QLatin1Char('+') || text[begin] == QLatin1Char('-')) {
        negative = text[begin] == QLatin1Char('-');
        ++begin;
    }
    if (begin == end) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (qsizetype i = begin; i < end; ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint64_t>(c - u'0');
        if (value > 0xffffffffULL) {
            return std::nullopt;
        }
    }
    if (negative && value != 0) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

} // namespace dravelin
