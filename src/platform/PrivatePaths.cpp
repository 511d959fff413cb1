#include "platform/PrivatePaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvex::platform {

namespace {

bool isFolder(const QByteArray& native) {
    struct stat info {};
    return ::stat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool tighten(const struct stat& info, int fd, const QByteArray& native) {
    if (info.st_uid != ::geteuid())
        return false;
    const mode_t mode = info.st_mode & 07777;
    const mode_t tightened = mode & ~mode_t(S_IRWXG | S_IRWXO);
    if (tightened == mode)
        return true;
    return fd >= 0 ? ::fchmod(fd, tightened) == 0 : ::chmod(native.constData(), tightened) == 0;
}

} // namespace

bool createPrivateFolder(const QString& path) {
    if (path.isEmpty())
        return false;
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    if (isFolder(QFile::encodeName(absolute)))
        return true;
    // The missing folders, from the deepest existing one down.
    QStringList missing;
    QString current = absolute;
    while (!isFolder(QFile::encodeName(current))) {
        missing.prepend(current);
        const QString parent = QFileInfo(current).path();
        if (parent == current)
            return false;
        current = parent;
    }
    for (const QString& folder : std::as_const(missing)) {
        const QByteArray native = QFile::encodeName(folder);
        if (::mkdir(native.constData(), kPrivateFolderMode) != 0 && errno != EEXIST)
            return false;
        // The umask may have taken owner bits away; a folder we just made is ours to set.
        struct stat info {};
        if (::lstat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
            info.st_uid == ::geteuid() && (info.st_mode & 07777) != kPrivateFolderMode)
            ::chmod(native.constData(), kPrivateFolderMode);
    }
    return isFolder(QFile::encodeName(absolute));
}

bool restrictToOwner(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    struct stat info {};
    if (::lstat(native.constData(), &info) != 0 || S_ISLNK(info.st_mode))
        return false;
    return tighten(info, -1, native);
}

bool restrictToOwner(int fileDescriptor) {
    struct stat info {};
    if (fileDescriptor < 0 || ::fstat(fileDescriptor, &info) != 0)
        return false;
    return tighten(info, fileDescriptor, QByteArray());
}

} // namespace korvex::platform
