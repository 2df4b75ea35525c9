#pragma once

#include <QString>

#include <optional>

class QFile;

namespace dravelin {

// File-system steps of the download. Each returns nothing on success and a
// description of the failure (naming the path and the system's reason)
// otherwise.

// Creates the folder and any missing parents; an existing folder is fine.
std::optional<QString> createDirectories(const QString& path);

// Moves the file at `source` to `target` in one step, replacing a file that
// is already there.
std::optional<QString> moveFileReplacing(const QString& source, const QString& target);

// Removes `target` with its content if it exists, then renames `source` to it.
std::optional<QString> replaceDirectory(const QString& source, const QString& target);

// Writes all of `data` to the open, unbuffered `file` with the system's own
// calls, so the reason of a failure is exact. Returns 0, or the system's
// error number (ENOSPC: the disk is full).
int writeWhole(QFile& file, const QByteArray& data);

// The system's description of an error number.
QString systemReason(int error);

// Forces what was written to `file` onto the disk, so a renamed file never
// turns out truncated after a power loss.
std::optional<QString> flushToDisk(QFile& file);

} // namespace dravelin
