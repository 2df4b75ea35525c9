#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace dravelin::fuzz {

// The fuzzer's bytes split at NUL bytes into at most `count` parts (the last
// part keeps any further NULs), for targets that read several files.
inline std::vector<std::string_view> splitInput(const uint8_t* data, size_t size, size_t count) {
    std::vector<std::string_view> parts;
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (parts.size() + 1 < count) {
        const size_t nul = rest.find('\0');
        if (nul == std::string_view::npos) {
            break;
        }
        parts.push_back(rest.substr(0, nul));
        rest.remove_prefix(nul + 1);
    }
    parts.push_back(rest);
    parts.resize(count);
    return parts;
}

} // namespace dravelin::fuzz
