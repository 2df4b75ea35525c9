#include "pipeline/GenerationParameters.h"

#include "core/TextExcerpt.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cmath>
#include <limits>
#include <map>

namespace dravelin {

namespace {

constexpr std::string_view kNegativePrefix = "Negative prompt:";
constexpr std::string_view kLoraOpen = "<lora:";
// Far above anything a generation uses; keeps the numbers sane.
constexpr int64_t kMostSteps = 1'000'000;
constexpr int kLargestSide = 65'536;
// Bounds that no model's text encoder or enlargement reaches; the reader of
// the values checks them against the model.
constexpr int kMostClipSkip = 1'000;
constexpr float kLargestUpscale = 64.0f;

std::string quoted(std::string_view text) {
    return "\"" + excerpt(text, 40) + "\"";
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool isKeyCharacter(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c == ' ' || c == '-' || c == '/' || u >= 0x80;
}

void appendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

std::optional<uint32_t> hexQuad(std::string_view text, size_t at) {
    if (at + 4 > text.size()) {
        return std::nullopt;
    }
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data() + at, text.data() + at + 4, value, 16);
    if (error != std::errc() || end != text.data() + at + 4) {
        return std::nullopt;
    }
    return value;
}

// A double-quoted value as JSON writes a string; `at` is on the opening quote
// and ends after the closing one.
std::string readQuoted(std::string_view line, size_t& at, std::string_view key) {
    const auto broken = [&] {
        return ParametersError("The parameters' value of " + quoted(key) +
                               " opens a quotation that is not closed properly.");
    };
    std::string value;
    ++at;
    while (at < line.size() && line[at] != '"') {
        const char c = line[at++];
        if (c != '\\') {
            value += c;
            continue;
        }
        if (at >= line.size()) {
            throw broken();
        }
        const char escaped = line[at++];
        switch (escaped) {
        case '"': value += '"'; break;
        case '\\': value += '\\'; break;
        case '/': value += '/'; break;
        case 'n': value += '\n'; break;
        case 't': value += '\t'; break;
        case 'r': value += '\r'; break;
        case 'b': value += '\b'; break;
        case 'f': value += '\f'; break;
        case 'u': {
            std::optional<uint32_t> unit = hexQuad(line, at);
            if (!unit) {
                throw broken();
            }
            at += 4;
            uint32_t codePoint = *unit;
            if (codePoint >= 0xD800 && codePoint < 0xDC00) {
                // A surrogate pair: the low half follows as its own escape.
                std::optional<uint32_t> low = line.substr(at, 2) == "\\u" ? hexQuad(line, at + 2)
                                                                          : std::nullopt;
                if (!low || *low < 0xDC00 || *low >= 0xE000) {
                    throw broken();
                }
                at += 6;
                codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (*low - 0xDC00);
            } else if (codePoint >= 0xDC00 && codePoint < 0xE000) {
                throw broken();
            }
            appendUtf8(value, codePoint);
            break;
        }
        default: throw broken();
        }
    }
    if (at >= line.size()) {
        throw broken();
    }
    ++at;
    return value;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

// "Key: value, Key: "quoted, value", …"; nullopt when the line is not of
// that form at all (so it is a prompt line), throws for a broken quotation.
std::optional<Pairs> readPairs(std::string_view line) {
    Pairs pairs;
    size_t at = 0;
    while (true) {
        while (at < line.size() && isSpace(line[at])) {
            ++at;
        }
        const size_t keyStart = at;
        while (at < line.size() && isKeyCharacter(line[at])) {
            ++at;
        }
        const std::string_view key = trimmed(line.substr(keyStart, at - keyStart));
        if (key.empty() || at >= line.size() || line[at] != ':') {
            return std::nullopt;
        }
        ++at;
        while (at < line.size() && isSpace(line[at])) {
            ++at;
        }
        std::string value;
        if (at < line.size() && line[at] == '"') {
            value = readQuoted(line, at, key);
            while (at < line.size() && isSpace(line[at])) {
                ++at;
            }
            if (at < line.size() && line[at] != ',') {
                throw ParametersError("The parameters' value of " + quoted(key) +
                                      " goes on after its closing quotation mark.");
            }
        } else {
            const size_t end = std::min(line.find(',', at), line.size());
            value = std::string(trimmed(line.substr(at, end - at)));
            at = end;
        }
        pairs.emplace_back(std::string(key), std::move(value));
        if (at >= line.size()) {
            return pairs;
        }
        ++at; // the comma
    }
}

ParametersError wrongForm(std::string_view key, std::string_view value, std::string_view form) {
    return ParametersError("The parameters give " + std::string(key) + " as " + quoted(value) +
                           ", which is not " + std::string(form) + ".");
}

template <typename Number>
std::optional<Number> wholeNumber(std::string_view text, Number low, Number high) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::optional<float> decimal(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        return std::nullopt;
    }
    float value = 0.0f;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::string numberText(float value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

// "name: 7ab3c2d1e0f4, other: 0123456789ab".
std::map<std::string, std::string> loraHashes(std::string_view value) {
    std::map<std::string, std::string> hashes;
    size_t at = 0;
    while (at <= value.size()) {
        const size_t end = std::min(value.find(',', at), value.size());
        const std::string_view entry = trimmed(value.substr(at, end - at));
        const size_t colon = entry.rfind(':');
        if (colon == std::string_view::npos || trimmed(entry.substr(0, colon)).empty() ||
            trimmed(entry.substr(colon + 1)).empty()) {
            throw wrongForm("Lora hashes", value, "a list of \"name: hash\"");
        }
        hashes[std::string(trimmed(entry.substr(0, colon)))] =
            std::string(trimmed(entry.substr(colon + 1)));
        at = end + 1;
    }
    return hashes;
}

void readPair(const std::string& key, const std::string& value, GenerationParameters& p,
              std::map<std::string, std::string>& hashes) {
    if (key == "Steps") {
        p.steps = wholeNumber<int64_t>(value, 1, kMostSteps);
        if (!p.steps) {
            throw wrongForm(key, value, "a whole number of steps");
        }
    } else if (key == "Sampler") {
        constexpr std::string_view kKarras = " Karras";
        std::string_view name = value;
        // All of a repeated suffix: what is left is written back without it.
        while (name.size() > kKarras.size() && name.ends_with(kKarras)) {
            name.remove_suffix(kKarras.size());
            p.scheduleType = "Karras";
        }
        if (name.empty()) {
            throw wrongForm(key, value, "the name of a sampler");
        }
        p.sampler = std::string(name);
    } else if (key == "Schedule type") {
        if (value.empty()) {
            throw wrongForm(key, value, "the name of a schedule");
        }
        if (value != "Automatic") {
            p.scheduleType = value;
        }
    } else if (key == "CFG scale") {
        p.guidance = decimal(value);
        if (!p.guidance || *p.guidance < 0.0f) {
            throw wrongForm(key, value, "a guidance scale (a number from 0 up)");
        }
    } else if (key == "Seed") {
        p.seed = wholeNumber<uint32_t>(value, 0, std::numeric_limits<uint32_t>::max());
        if (!p.seed) {
            throw wrongForm(key, value, "a seed from 0 to 4294967295");
        }
    } else if (key == "Size") {
        const size_t x = value.find('x');
        const std::optional<int> width =
            x == std::string::npos ? std::nullopt
                                   : wholeNumber<int>(std::string_view(value).substr(0, x), 1,
                                                      kLargestSide);
        const std::optional<int> height =
            x == std::string::npos ? std::nullopt
                                   : wholeNumber<int>(std::string_view(value).substr(x + 1), 1,
                                                      kLargestSide);
        if (!width || !height) {
            throw wrongForm(key, value, "a size such as 512x768");
        }
        p.width = width;
        p.height = height;
    } else if (key == "Model hash") {
        if (value.empty()) {
            throw wrongForm(key, value, "a hash");
        }
        p.modelHash = value;
    } else if (key == "Model") {
        p.model = value;
    } else if (key == "Lora hashes") {
        hashes = loraHashes(value);
    } else if (key == "Clip skip") {
        p.clipSkip = wholeNumber<int>(value, 1, kMostClipSkip);
        if (!p.clipSkip) {
            throw wrongForm(key, value, "a whole number of layers from 1");
        }
    } else if (key == "Denoising strength") {
        p.denoisingStrength = decimal(value);
        if (!p.denoisingStrength || *p.denoisingStrength < 0.0f || *p.denoisingStrength > 1.0f) {
            throw wrongForm(key, value, "a strength from 0 to 1");
        }
    } else if (key == "Hires upscale") {
        p.hiresUpscale = decimal(value);
        if (!p.hiresUpscale || *p.hiresUpscale <= 0.0f || *p.hiresUpscale > kLargestUpscale) {
            throw wrongForm(key, value, "a scale above 0");
        }
    } else if (key == "Hires steps") {
        p.hiresSteps = wholeNumber<int64_t>(value, 0, kMostSteps);
        if (!p.hiresSteps) {
            throw wrongForm(key, value, "a whole number of steps");
        }
    } else if (key == "Hires upscaler") {
        if (value.empty()) {
            throw wrongForm(key, value, "the name of an upscaler");
        }
        p.hiresUpscaler = value;
    }
}

bool needsQuotes(std::string_view value) {
    return value.find_first_of(",:\"\n\r\\") != std::string_view::npos ||
           trimmed(value) != value || value.find('\t') != std::string_view::npos;
}

std::string quotedValue(std::string_view value) {
    if (!needsQuotes(value)) {
        return std::string(value);
    }
    std::string text = "\"";
    for (const char c : value) {
        switch (c) {
        case '"': text += "\\\""; break;
        case '\\': text += "\\\\"; break;
        case '\n': text += "\\n"; break;
        case '\r': text += "\\r"; break;
        case '\t': text += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
                text += escape;
            } else {
                text += c;
            }
        }
    }
    return text + "\"";
}

} // namespace

bool isWritableLoraName(std::string_view name) {
    return !name.empty() && trimmed(name) == name &&
           name.find_first_of(":<>\n,\"\\") == std::string_view::npos;
}

namespace {

// One pass over the prompt; see takePromptLoras.
std::vector<PromptLora> takeTagsOnce(std::string& prompt) {
    std::vector<PromptLora> loras;
    size_t at = 0;
    while ((at = prompt.find(kLoraOpen, at)) != std::string::npos) {
        const size_t close = prompt.find('>', at);
        if (close == std::string::npos) {
            break; // not a tag: text, as the tools read it
        }
        const std::string_view inside =
            std::string_view(prompt).substr(at + kLoraOpen.size(), close - at - kLoraOpen.size());
        if (inside.find('<') != std::string_view::npos) {
            // An unclosed "<lora:" before a later tag is text; the tag is
            // the later one.
            at += 1;
            continue;
        }
        const size_t colon = inside.find(':');
        PromptLora lora{std::string(trimmed(inside.substr(0, colon))), 1.0f, {}};
        if (lora.name.empty()) {
            throw ParametersError("The prompt has a LoRA tag without a name: " +
                                  quoted(prompt.substr(at, close + 1 - at)) + ".");
        }
        if (colon != std::string_view::npos) {
            // Further values (a separate weight for the denoising network)
            // follow after another colon; one weight serves both here.
            std::string_view weight = inside.substr(colon + 1);
            weight = trimmed(weight.substr(0, weight.find(':')));
            const std::optional<float> value = decimal(weight);
            if (!value) {
                throw ParametersError("The prompt's LoRA tag " +
                                      quoted(prompt.substr(at, close + 1 - at)) +
                                      " has a weight that is not a number.");
            }
            lora.weight = *value;
        }
        loras.push_back(std::move(lora));
        const size_t from = at > 0 && prompt[at - 1] == ' ' ? at - 1 : at;
        prompt.erase(from, close + 1 - from);
        at = from;
    }
    return loras;
}

} // namespace

// Takes the "<lora:NAME:WEIGHT>" tags out of the prompt (each with the space
// written before it). Taking a tag out can join the text around it into a new
// tag; those are taken too, so what is left reads back as plain text once the
// tags are written after it.
std::vector<PromptLora> takePromptLoras(std::string& prompt) {
    std::vector<PromptLora> loras;
    for (std::vector<PromptLora> found = takeTagsOnce(prompt); !found.empty();
         found = takeTagsOnce(prompt)) {
        loras.insert(loras.end(), std::make_move_iterator(found.begin()),
                     std::make_move_iterator(found.end()));
    }
    return loras;
}

GenerationParameters parseGenerationParameters(std::string_view text) {
    while (!text.empty() && (isSpace(text.back()) || text.back() == '\n')) {
        text.remove_suffix(1);
    }
    const size_t lastBreak = text.rfind('\n');
    const std::string_view settingsLine =
        lastBreak == std::string_view::npos ? text : text.substr(lastBreak + 1);
    const std::optional<Pairs> pairs = readPairs(settingsLine);
    const bool hasSteps =
        pairs && std::any_of(pairs->begin(), pairs->end(),
                             [](const auto& pair) { return pair.first == "Steps"; });
    if (!hasSteps) {
        throw ParametersError("The text does not end in a line of settings such as \"Steps: 20, "
                              "Sampler: Euler a, CFG scale: 7, Seed: 1\", so it holds no "
                              "generation parameters.");
    }
    GenerationParameters parameters;
    std::map<std::string, std::string> hashes;
    for (const auto& [key, value] : *pairs) {
        readPair(key, value, parameters, hashes);
    }

    const std::string_view head =
        lastBreak == std::string_view::npos ? std::string_view() : text.substr(0, lastBreak);
    size_t negative = std::string_view::npos;
    if (head.starts_with(kNegativePrefix)) {
        negative = 0;
    } else if (const size_t found = head.find("\n" + std::string(kNegativePrefix));
               found != std::string_view::npos) {
        negative = found + 1;
    }
    std::string prompt(head.substr(0, negative == 0 ? 0 : negative - 1));
    if (negative != std::string_view::npos) {
        std::string_view rest = head.substr(negative + kNegativePrefix.size());
        if (!rest.empty() && rest.front() == ' ') {
            rest.remove_prefix(1);
        }
        parameters.negativePrompt = std::string(rest);
    } else {
        prompt = std::string(head);
    }
    parameters.loras = takePromptLoras(prompt);
    parameters.prompt = std::move(prompt);
    for (PromptLora& lora : parameters.loras) {
        if (const auto found = hashes.find(lora.name); found != hashes.end()) {
            lora.hash = found->second;
        }
    }
    return parameters;
}

std::string writeGenerationParameters(const GenerationParameters& p) {
    std::string text = p.prompt;
    std::string hashes;
    for (const PromptLora& lora : p.loras) {
        if (!isWritableLoraName(lora.name)) {
            throw std::invalid_argument("The LoRA name " + quoted(lora.name) +
                                        " cannot be written in a prompt tag.");
        }
        text += " <lora:" + lora.name + ":" + numberText(lora.weight) + ">";
        if (!lora.hash.empty()) {
            if (lora.hash.find_first_of(",:\"\\ \n") != std::string::npos) {
                throw std::invalid_argument("The LoRA hash " + quoted(lora.hash) +
                                            " is not a hash.");
            }
            hashes += (hashes.empty() ? "" : ", ") + lora.name + ": " + lora.hash;
        }
    }
    text += "\n";
    if (!p.negativePrompt.empty()) {
        text += std::string(kNegativePrefix) + " " + p.negativePrompt + "\n";
    }
    std::string pairs;
    const auto add = [&pairs](std::string_view key, const std::string& value) {
        pairs += (pairs.empty() ? "" : ", ") + std::string(key) + ": " + quotedValue(value);
    };
    if (p.steps) {
        add("Steps", std::to_string(*p.steps));
    }
    if (p.sampler) {
        add("Sampler", *p.sampler);
    }
    if (p.scheduleType) {
        add("Schedule type", *p.scheduleType);
    }
    if (p.guidance) {
        add("CFG scale", numberText(*p.guidance));
    }
    if (p.seed) {
        add("Seed", std::to_string(*p.seed));
    }
    if (p.width && p.height) {
        add("Size", std::to_string(*p.width) + "x" + std::to_string(*p.height));
    }
    if (p.modelHash) {
        add("Model hash", *p.modelHash);
    }
    if (p.model) {
        add("Model", *p.model);
    }
    if (p.clipSkip) {
        add("Clip skip", std::to_string(*p.clipSkip));
    }
    if (p.denoisingStrength) {
        add("Denoising strength", numberText(*p.denoisingStrength));
    }
    if (p.hiresUpscale) {
        add("Hires upscale", numberText(*p.hiresUpscale));
    }
    if (p.hiresSteps) {
        add("Hires steps", std::to_string(*p.hiresSteps));
    }
    if (p.hiresUpscaler) {
        add("Hires upscaler", *p.hiresUpscaler);
    }
    if (!hashes.empty()) {
        add("Lora hashes", hashes);
    }
    return text + pairs;
}

} // namespace dravelin
