#include "core/BoundedFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dravelin {

namespace {

// What a file that is not a regular one is, for "… is a directory".
const char* fileTypeName(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device";
    }
    if (S_ISFIFO(mode)) {
        return "a named pipe";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "a special file";
}

std::string reason(int error) {
    if (error == ENOENT) {
        return "it does not exist";
    }
    if (error == EACCES || error == EPERM) {
        return "permission is denied";
    }
    std::string text = std::strerror(error);
    if (!text.empty()) {
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    }
    return text;
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

} // namespace

std::string describeByteCount(uint64_t bytes) {
    char text[48];
    if (bytes < 1000) {
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    } else if (bytes < 1000'000) {
        std::snprintf(text, sizeof text, "%.3g kB", static_cast<double>(bytes) / 1e3);
    } else if (bytes < 1000'000'000) {
        std::snprintf(text, sizeof text, "%.3g MB", static_cast<double>(bytes) / 1e6);
    } else {
        std::snprintf(text, sizeof text, "%.3g GB", static_cast<double>(bytes) / 1e9);
    }
    return text;
}

int openRegularFile(const std::filesystem::path& path, std::string_view description) {
    const std::string where(description);
    // Non-blocking, so that opening a named pipe with no writer returns at once
    // and is then refused for what it is.
    Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (file.get() < 0) {
        throw BoundedFileError(where + " cannot be opened: " + reason(errno) + ".");
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        throw BoundedFileError(where + " cannot be examined: " + reason(errno) + ".");
    }
    if (!S_ISREG(info.st_mode)) {
        throw BoundedFileError(where + " is " + fileTypeName(info.st_mode) + ", not a file.");
    }
    return file.release();
}

std::string readBoundedFile(const std::filesystem::path& path, uint64_t maximumBytes,
                            std::string_view description) {
    const std::string where(description);
    const Descriptor file(openRegularFile(path, description));
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        throw BoundedFileError(where + " cannot be examined: " + reason(errno) + ".");
    }
    const auto size = static_cast<uint64_t>(info.st_size);
    if (size > maximumBytes) {
        throw BoundedFileError(where + " is " + describeByteCount(size) +
                               ", more than such a file can be (" +
                               describeByteCount(maximumBytes) + ").");
    }
    std::string bytes(static_cast<size_t>(size) + 1, '\0');
    size_t used = 0;
    for (;;) {
        if (used == bytes.size()) {
            // The file grew while it was read.
            if (used > maximumBytes) {
                throw BoundedFileError(where + " grew past " + describeByteCount(maximumBytes) +
                                       " while it was read.");
            }
            bytes.resize(std::min<uint64_t>(maximumBytes + 1, 2 * bytes.size()));
        }
        const ssize_t got = ::read(file.get(), bytes.data() + used, bytes.size() - used);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw BoundedFileError(where + " cannot be read: " + reason(errno) + ".");
        }
        if (got == 0) {
            break;
        }
        used += static_cast<size_t>(got);
    }
    if (used > maximumBytes) {
        throw BoundedFileError(where + " grew past " + describeByteCount(maximumBytes) +
                               " while it was read.");
    }
    bytes.resize(used);
    return bytes;
}

} // namespace dravelin
