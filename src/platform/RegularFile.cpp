#include "platform/RegularFile.h"

#include <QFile>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvex::platform {

namespace {

void setError(RegularFileError* out, RegularFileError error) {
    if (out)
        *out = error;
}

RegularFileError errorFromErrno(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return RegularFileError::Missing;
    case ELOOP: // O_NOFOLLOW met a link
    case EISDIR:
    case ENXIO: // a FIFO opened for writing without a reader, a socket
        return RegularFileError::NotRegular;
    case EACCES:
    case EPERM:
    case EROFS:
        return RegularFileError::Denied;
    default:
        return RegularFileError::Failed;
    }
}

// Keeps fd when it is a regular file, made blocking again; closes it and says why otherwise.
int keepIfRegular(int fd, RegularFileError* error) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        setError(error, RegularFileError::NotRegular);
        return -1;
    }
    const int statusFlags = ::fcntl(fd, F_GETFL);
    if (statusFlags < 0 || ::fcntl(fd, F_SETFL, statusFlags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        setError(error, RegularFileError::Failed);
        return -1;
    }
    return fd;
}

int openNoFollow(const QByteArray& native, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(native.constData(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

int openRegularFile(const QString& path, bool forWriting, RegularFileError* error) {
    setError(error, RegularFileError::None);
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty()) {
        setError(error, RegularFileError::Missing);
        return -1;
    }
    // O_NONBLOCK keeps the open itself from waiting for the other end of a FIFO; the type is
    // checked on the descriptor, so nothing can be swapped in between.
    const int fd = openNoFollow(native, (forWriting ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK |
                                            O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        setError(error, errorFromErrno(errno));
        return -1;
    }
    return keepIfRegular(fd, error);
}

int openRegularFileForWriting(const QString& path, int extraFlags, bool* created,
                              RegularFileError* error) {
    setError(error, RegularFileError::None);
    if (created)
        *created = false;
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty()) {
        setError(error, RegularFileError::Missing);
        return -1;
    }
    const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | extraFlags;
    // Exclusive first, so that a file made here is known to be new.
    int fd = openNoFollow(native, flags | O_CREAT | O_EXCL, S_IRUSR | S_IWUSR);
    if (fd >= 0 && created)
        *created = true;
    if (fd < 0 && errno == EEXIST)
        fd = openNoFollow(native, flags);
    if (fd < 0) {
        setError(error, errorFromErrno(errno));
        return -1;
    }
    return keepIfRegular(fd, error);
}

bool readFully(int fileDescriptor, void* buffer, std::size_t length) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (length > 0) {
        const ssize_t got = ::read(fileDescriptor, out, length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        out += got;
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

bool writeFully(int fileDescriptor, const void* buffer, std::size_t length) {
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    while (length > 0) {
        const ssize_t put = ::write(fileDescriptor, in, length);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        in += put;
        length -= static_cast<std::size_t>(put);
    }
    return true;
}

bool atEndOfFile(int fileDescriptor) {
    std::uint8_t probe = 0;
    ssize_t got;
    do {
        got = ::read(fileDescriptor, &probe, 1);
    } while (got < 0 && errno == EINTR);
    return got == 0;
}

bool isRegularFile(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

std::optional<FileIdentity> identityOf(int fileDescriptor) {
    struct stat info {};
    if (fileDescriptor < 0 || ::fstat(fileDescriptor, &info) != 0)
        return std::nullopt;
    return FileIdentity{quint64(info.st_dev), quint64(info.st_ino)};
}

std::optional<FileIdentity> identityOfPath(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return FileIdentity{quint64(info.st_dev), quint64(info.st_ino)};
}

} // namespace korvex::platform
