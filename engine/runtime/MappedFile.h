#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>

namespace dravelin {

// A whole file mapped read-only into memory. Pages are read on first touch, so
// opening a multi-gigabyte weight file costs almost nothing until its tensors
// are used.
class MappedFile {
public:
    // Throws std::runtime_error naming the file when it cannot be opened or mapped.
    explicit MappedFile(const std::filesystem::path& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;

    std::span<const uint8_t> bytes() const { return {data_, size_}; }
    size_t size() const { return size_; }
    const std::filesystem::path& path() const { return path_; }

private:
    void release() noexcept;

    std::filesystem::path path_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// Tells the kernel the whole pages inside `bytes` (of a read-only file
// mapping) are not needed now; touching them again reads them back.
void releasePages(std::span<const uint8_t> bytes);

} // namespace dravelin
