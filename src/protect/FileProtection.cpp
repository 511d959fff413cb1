#include "protect/FileProtection.h"

#include "crypto/Sodium.h"
#include "platform/FileSync.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace korvex::protect {

namespace {

constexpr std::size_t kEraseChunkBytes = 65536;

enum class Access { Allowed, Denied, Unknown };

// Errors that mean "not permitted" rather than "could not tell".
bool isDenial(int error) {
    return error == EACCES || error == EPERM || error == EROFS || error == ETXTBSY;
}

Access effectiveAccess(const QByteArray& nativePath, int mode) {
    if (::faccessat(AT_FDCWD, nativePath.constData(), mode, AT_EACCESS) == 0)
        return Access::Allowed;
    return isDenial(errno) ? Access::Denied : Access::Unknown;
}

// Removing an entry takes write and search permission on its folder; in a folder with the
// sticky bit (such as /tmp) only the entry's owner, the folder's owner or root may remove it.
Access deleteAccess(const QString& path) {
    const QFileInfo info(path);
    const QByteArray file = QFile::encodeName(info.absoluteFilePath());
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    struct stat fileStat {};
    struct stat folderStat {};
    if (::lstat(file.constData(), &fileStat) != 0 || ::stat(folder.constData(), &folderStat) != 0)
        return Access::Unknown;
    const Access folderAccess = effectiveAccess(folder, W_OK | X_OK);
    if (folderAccess != Access::Allowed)
        return folderAccess;
    if ((folderStat.st_mode & S_ISVTX) != 0) {
        const uid_t me = ::geteuid();
        if (me != 0 && me != fileStat.st_uid && me != folderStat.st_uid)
            return Access::Denied;
    }
    return Access::Allowed;
}

bool writeWhole(int fd, const std::uint8_t* data, std::size_t length) {
    ssize_t written;
    do {
        written = ::write(fd, data, length);
    } while (written < 0 && errno == EINTR);
    // A short write is a failure here: the erase does not paper over a full or failing disk.
    return written == ssize_t(length);
}

enum class Pattern { Zeros, Ones, Random };

void fill(std::vector<std::uint8_t>& chunk, Pattern pattern) {
    switch (pattern) {
    case Pattern::Zeros:
        std::fill(chunk.begin(), chunk.end(), std::uint8_t(0x00));
        break;
    case Pattern::Ones:
        std::fill(chunk.begin(), chunk.end(), std::uint8_t(0xFF));
        break;
    case Pattern::Random:
        // The system's secure generator, one call per chunk.
        crypto::ensureSodiumInitialised();
        randombytes_buf(chunk.data(), chunk.size());
        break;
    }
}

// One pass over the first size bytes, then a sync: without it the kernel may simply drop the
// dirty pages of a file that is about to be unlinked, and nothing would reach the device.
bool overwritePass(int fd, off_t size, Pattern pattern, vault::TransferProgress* progress) {
    if (::lseek(fd, 0, SEEK_SET) != 0)
        return false;
    std::vector<std::uint8_t> chunk;
    for (off_t done = 0; done < size;) {
        chunk.resize(std::size_t(std::min<off_t>(off_t(kEraseChunkBytes), size - done)));
        fill(chunk, pattern);
        if (!writeWhole(fd, chunk.data(), chunk.size()))
            return false;
        done += off_t(chunk.size());
        vault::TransferProgress::advance(progress, qint64(chunk.size()));
    }
    return platform::syncFileData(fd);
}

} // namespace

bool hiddenAttributeSupported() {
    return false;
}

bool deleteRestrictionSupported() {
    return false;
}

bool setHidden(const QString& path, bool hidden) {
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    // Nothing is ever hidden, so only "not hidden" can be honoured.
    return !hidden;
}

bool isHidden(const QString& /*path*/) {
    return false;
}

bool isDeleteRestricted(const QString& /*file*/) {
    return false;
}

bool applyDeleteRestriction(const QString& /*file*/) {
    return false;
}

bool clearDeleteRestriction(const QString& /*file*/) {
    return true;
}

bool isAccessDenied(const QString& path, AccessRights rights) {
    const QByteArray native = QFile::encodeName(path);
    struct stat info {};
    if (::stat(native.constData(), &info) != 0)
        return false;
    if (rights.testFlag(AccessRight::Read) && effectiveAccess(native, R_OK) == Access::Denied)
        return true;
    if (rights.testFlag(AccessRight::Write) && effectiveAccess(native, W_OK) == Access::Denied)
        return true;
    if (rights.testFlag(AccessRight::Delete) && deleteAccess(path) == Access::Denied)
        return true;
    return false;
}

bool repairAccess(const QString& path) {
    const AccessRights all = AccessRight::Read | AccessRight::Write | AccessRight::Delete;
    if (!isAccessDenied(path, all))
        return true;
    const QByteArray native = QFile::encodeName(path);
    struct stat info {};
    if (::stat(native.constData(), &info) != 0 || info.st_uid != ::geteuid())
        return false;
    const mode_t mode = info.st_mode & 07777;
    const mode_t repaired = mode | S_IRUSR | S_IWUSR;
    if (repaired != mode && ::chmod(native.constData(), repaired) != 0)
        return false;
    // Still denied (say, by the folder, which is not ours to change here): not repaired.
    return !isAccessDenied(path, all);
}

bool canDelete(const QString& path) {
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    return deleteAccess(path) == Access::Allowed;
}

bool secureErase(const QString& path, vault::TransferProgress* progress) {
    // An erase is never left half done on request: the file is erased to the end, or, should
    // it fail, left for the user to see.
    vault::TransferProgress::setStoppable(progress, false);
    const QByteArray native = QFile::encodeName(path);
    struct stat info {};
    if (::lstat(native.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    // No following a link that replaced the file since: its target is not ours to erase.
    const int fd = ::open(native.constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    if (fd < 0)
        return false;
    bool overwritten = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (overwritten)
        vault::TransferProgress::beginStep(progress, vault::TransferStep::Erasing,
                                           3 * qint64(info.st_size));
    for (const Pattern pattern : {Pattern::Zeros, Pattern::Ones, Pattern::Random}) {
        if (!overwritten)
            break;
        overwritten = overwritePass(fd, info.st_size, pattern, progress);
    }
    ::close(fd);
    if (!overwritten)
        return false;
    if (::unlink(native.constData()) != 0)
        return false;
    // The file is gone and its bytes were overwritten on the device: that is the erase. Should
    // the unlink itself be lost to a power failure, what comes back holds only random bytes.
    if (!platform::syncParentFolder(path))
        qWarning("secureErase: %s was overwritten and deleted, but its folder could not be synced.",
                 qUtf8Printable(path));
    return true;
}

} // namespace korvex::protect
