#include "pipeline/PromptEncodingMemo.h"

#include <algorithm>

namespace dravelin {

namespace {

// A prompt and its negative prompt (and an XL refiner's conditioning beside
// the base network's): a few megabytes at most.
constexpr size_t kKept = 2;

} // namespace

std::optional<std::vector<ShapedArray>> PromptEncodingMemo::find(const PromptEncodingKey& key) const {
    std::lock_guard lock(mutex_);
    for (const auto& [kept, encodings] : entries_) {
        if (kept == key) {
            return encodings;
        }
    }
    return std::nullopt;
}

void PromptEncodingMemo::keep(PromptEncodingKey key, std::vector<ShapedArray> encodings) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const auto& entry) { return entry.first == key; });
    entries_.insert(entries_.begin(), {std::move(key), std::move(encodings)});
    if (entries_.size() > kKept) {
        entries_.resize(kKept);
    }
}

void PromptEncodingMemo::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

} // namespace dravelin
