#include "state/download/DownloadFileSystem.h"

#include <QFile>

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace dravelin {

namespace {

std::filesystem::path nativePath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

QString reason(const std::error_code& error) {
    return QString::fromLocal8Bit(error.message());
}

} // namespace

std::optional<QString> createDirectories(const QString& path) {
    std::error_code error;
    std::filesystem::create_directories(nativePath(path), error);
    if (error) {
        return QStringLiteral("Could not create the folder %1: %2.").arg(path, reason(error));
    }
    return std::nullopt;
}

std::optional<QString> moveFileReplacing(const QString& source, const QString& target) {
    std::error_code error;
    std::filesystem::rename(nativePath(source), nativePath(target), error);
    if (error) {
        return QStringLiteral("Could not move %1 to %2: %3.").arg(source, target, reason(error));
    }
    return std::nullopt;
}

std::optional<QString> replaceDirectory(const QString& source, const QString& target) {
    std::error_code error;
    const std::filesystem::path targetPath = nativePath(target);
    if (std::filesystem::exists(std::filesystem::symlink_status(targetPath, error))) {
        std::filesystem::remove_all(targetPath, error);
        if (error) {
            return QStringLiteral("Could not remove %1: %2.").arg(target, reason(error));
        }
    }
    std::filesystem::rename(nativePath(source), targetPath, error);
    if (error) {
        return QStringLiteral("Could not move %1 to %2: %3.").arg(source, target, reason(error));
    }
    return std::nullopt;
}

int writeWhole(QFile& file, const QByteArray& data) {
    const int descriptor = file.handle();
    if (descriptor < 0) {
        return EBADF;
    }
    const char* next = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(descriptor, next, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        next += written;
        left -= written;
    }
    return 0;
}

QString systemReason(int error) {
    return reason(std::error_code(error, std::generic_category()));
}

std::optional<QString> flushToDisk(QFile& file) {
    if (!file.flush()) {
        return QStringLiteral("Could not write %1: %2.").arg(file.fileName(), file.errorString());
    }
    if (::fsync(file.handle()) != 0) {
        const std::error_code error(errno, std::generic_category());
        return QStringLiteral("Could not write %1: %2.").arg(file.fileName(), reason(error));
    }
    return std::nullopt;
}

} // namespace dravelin
