#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>
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

// A directory of this process's own, reused by every input and removed at
// exit: in memory (/dev/shm) where there is one, so that files written per
// input never touch a disk; else under /tmp.
inline const std::filesystem::path& scratchDirectory() {
    struct Scratch {
        std::filesystem::path path;
        Scratch() {
            std::error_code error;
            const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", error)
                                                   ? std::filesystem::path("/dev/shm")
                                                   : std::filesystem::temp_directory_path();
            path = base / ("dravelin-fuzz-" + std::to_string(::getpid()));
            std::filesystem::create_directories(path);
        }
        ~Scratch() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    };
    static const Scratch scratch;
    return scratch.path;
}

inline void writeFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

} // namespace dravelin::fuzz
