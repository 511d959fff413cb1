#include "vault/FileBlockStore.h"

#include "platform/FileSync.h"
#include "platform/PrivatePaths.h"
#include "platform/RegularFile.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvex::vault {

FileBlockStore::FileBlockStore(const QString& path)
    : path_(path), lock_(path + QStringLiteral(".lock")) {
    // No stale lock is removed here: tryLock() itself takes over a lock whose owner is gone
    // (its process id and host are in the file), and removing a lock that merely could be
    // locked would delete one another process has just created and not yet locked.
}

FileBlockStore::~FileBlockStore() {
    close();
}

bool FileBlockStore::exists() const {
    // A dangling link or any other entry at the path is something a create must not replace.
    return QFileInfo::exists(path_) || QFileInfo(path_).isSymLink();
}

bool FileBlockStore::create() {
    lastError_ = LastError::None;
    if (exists())
        return false;
    if (!takeLock())
        return false;
    // O_EXCL makes creation exclusive even if another process creates the file between the
    // test above and the open; O_NOFOLLOW refuses a link planted there.
    const QByteArray native = QFile::encodeName(path_);
    const int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          S_IRUSR | S_IWUSR);
    // The umask can only have taken bits away; make sure the owner can read and write.
    if (fd < 0 || ::fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
        if (fd >= 0) {
            ::close(fd);
            ::unlink(native.constData());
        }
        lastError_ = LastError::OpenFailed;
        lock_.unlock();
        return false;
    }
    if (!adopt(fd))
        return false;
    // The new file's folder entry must survive power loss as well as its contents.
    platform::syncParentFolder(path_);
    return true;
}

bool FileBlockStore::open() {
    lastError_ = LastError::None;
    if (!takeLock())
        return false;
    const int fd = platform::openRegularFile(path_, true);
    if (fd < 0) {
        lastError_ = LastError::OpenFailed;
        lock_.unlock();
        return false;
    }
    // A vault file someone made readable by others (or one from before files were kept
    // private) is tightened; one that belongs to someone else is used as it is.
    platform::restrictToOwner(fd);
    return adopt(fd);
}

bool FileBlockStore::takeLock() {
    if (!lock_.tryLock(0)) {
        // Only a lock held by someone else means "open already"; a lock file that cannot be
        // created at all (missing folder, no permission) is a failure to open.
        lastError_ = lock_.error() == QLockFile::LockFailedError ? LastError::AlreadyLocked
                                                                 : LastError::OpenFailed;
        return false;
    }
    // The lock file names this process and host; it is nobody else's business.
    platform::restrictToOwner(path_ + QStringLiteral(".lock"));
    return true;
}

bool FileBlockStore::adopt(int fileDescriptor) {
    // Unbuffered: every write goes straight to the kernel, so flush() has nothing of ours left
    // to push and large reads are not copied through a user-space buffer.
    if (!file_.open(fileDescriptor, QIODevice::ReadWrite | QIODevice::Unbuffered,
                    QFileDevice::AutoCloseHandle)) {
        ::close(fileDescriptor);
        lastError_ = LastError::OpenFailed;
        lock_.unlock();
        return false;
    }
    return true;
}

void FileBlockStore::close() {
    file_.close();
    if (lock_.isLocked())
        lock_.unlock();
}

bool FileBlockStore::isOpen() const {
    return file_.isOpen();
}

QString FileBlockStore::errorString() const {
    switch (lastError_) {
    case LastError::AlreadyLocked:
        return QCoreApplication::translate(
            "FileBlockStore",
            "The vault file appears to be open already -- either in another Zelvora window, or "
            "in a previous session that hasn't finished closing yet. Wait a few seconds and try "
            "again.");
    case LastError::OpenFailed:
        return QCoreApplication::translate("FileBlockStore", "The vault file could not be opened.");
    case LastError::None:
        break;
    }
    return QString();
}

bool FileBlockStore::remove() {
    close();
    return QFile::remove(path_);
}

qint64 FileBlockStore::size() const {
    return file_.size();
}

bool FileBlockStore::resize(qint64 newSize) {
    return newSize >= 0 && file_.resize(newSize);
}

bool FileBlockStore::readAt(qint64 offset, void* buffer, qint64 length) {
    if (!file_.isOpen() || offset < 0 || length < 0 || !file_.seek(offset))
        return false;
    char* out = static_cast<char*>(buffer);
    qint64 done = 0;
    while (done < length) {
        const qint64 got = file_.read(out + done, length - done);
        if (got <= 0)
            return false;
        done += got;
    }
    return true;
}

bool FileBlockStore::writeAt(qint64 offset, const void* buffer, qint64 length) {
    if (!file_.isOpen() || offset < 0 || length < 0 || !file_.seek(offset))
        return false;
    const char* in = static_cast<const char*>(buffer);
    qint64 done = 0;
    while (done < length) {
        const qint64 put = file_.write(in + done, length - done);
        if (put <= 0)
            return false;
        done += put;
    }
    return true;
}

std::optional<platform::FileIdentity> FileBlockStore::backingFile() const {
    if (!file_.isOpen())
        return std::nullopt;
    return platform::identityOf(file_.handle());
}

bool FileBlockStore::flush() {
    if (!file_.isOpen() || !file_.flush())
        return false;
    return platform::syncFileData(file_.handle());
}

void FileBlockStore::startWriteBack(qint64 offset, qint64 length) {
    if (file_.isOpen() && offset >= 0 && length > 0)
        (void)::sync_file_range(file_.handle(), offset, length, SYNC_FILE_RANGE_WRITE);
}

} // namespace korvex::vault
