#include "platform/RegularFile.h"

#include <QFile>
#include <cerrno>
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
    const int flags =
        (forWriting ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    int fd;
    do {
        fd = ::open(native.constData(), flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        setError(error, errorFromErrno(errno));
        return -1;
    }
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
