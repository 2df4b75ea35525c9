#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace dravelin {

// A file that cannot be read whole: missing, unreadable, not a regular file,
// or larger than its kind of file can be. The message is a full sentence that
// starts with the file's description.
class BoundedFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads a whole regular file of at most `maximumBytes` bytes. Devices, named
// pipes, sockets and directories are refused by what they are before a byte
// is read (a pipe is never waited on), and a file that grows past the bound
// while it is read is refused too. `description` starts every message, as in
// "The vocabulary file \"/m/vocab.json\"".
std::string readBoundedFile(const std::filesystem::path& path, uint64_t maximumBytes,
                            std::string_view description);

// Opens a regular file for reading a piece at a time, refused as
// readBoundedFile refuses what is not one (never waiting on a pipe). Returns
// a descriptor the caller closes; throws BoundedFileError.
int openRegularFile(const std::filesystem::path& path, std::string_view description);

// "64 MB", "1.5 GB": a byte count for messages.
std::string describeByteCount(uint64_t bytes);

} // namespace dravelin
