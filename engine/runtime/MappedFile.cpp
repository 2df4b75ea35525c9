#include "runtime/MappedFile.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dravelin {

namespace {

[[noreturn]] void fail(const std::filesystem::path& path, const char* what, int error) {
    throw std::runtime_error("Cannot " + std::string(what) + " \"" + path.string() +
                             "\": " + std::strerror(error) + ".");
}

} // namespace

MappedFile::MappedFile(const std::filesystem::path& path) : path_(path) {
    // Non-blocking, so a named pipe is refused below instead of waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        fail(path, "open", errno);
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        fail(path, "read the size of", error);
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        throw std::runtime_error("\"" + path.string() + "\" is not a regular file.");
    }
    size_ = static_cast<size_t>(info.st_size);
    if (size_ > 0) {
        void* mapped = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapped == MAP_FAILED) {
            const int error = errno;
            ::close(fd);
            fail(path, "map", error);
        }
        data_ = static_cast<const uint8_t*>(mapped);
    }
    ::close(fd);
}

MappedFile::~MappedFile() {
    release();
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : path_(std::move(other.path_)), data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
    if (this != &other) {
        release();
        path_ = std::move(other.path_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

void releasePages(std::span<const uint8_t> bytes) {
    const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<uintptr_t>(bytes.data());
    const uintptr_t first = (begin + page - 1) / page * page;
    const uintptr_t last = (begin + bytes.size()) / page * page;
    if (last > first) {
        ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
    }
}

void MappedFile::release() noexcept {
    if (data_ != nullptr) {
        ::munmap(const_cast<uint8_t*>(data_), size_);
        data_ = nullptr;
    }
}

} // namespace dravelin
