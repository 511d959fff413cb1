#include "vault/FileBlockStore.h"

#include "platform/FileSync.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace korvex::vault {

FileBlockStore::FileBlockStore(const QString& path)
    : path_(path), file_(path), lock_(path + QStringLiteral(".lock")) {
    // A lock left behind by a crashed process must not block the next start. A lock that a
    // live holder still owns is not touched.
    lock_.removeStaleLockFile();
}

FileBlockStore::~FileBlockStore() { close(); }

bool FileBlockStore::exists() const { return QFileInfo::exists(path_); }

bool FileBlockStore::create() {
    lastError_ = LastError::None;
    if (exists())
        return false;
    // NewOnly makes creation exclusive even if another process creates the file between the
    // test above and the open.
    if (!lockAndOpen(QIODevice::ReadWrite | QIODevice::NewOnly))
        return false;
    // The new file's folder entry must survive power loss as well as its contents.
    platform::syncParentFolder(path_);
    return true;
}

bool FileBlockStore::open() {
    lastError_ = LastError::None;
    return lockAndOpen(QIODevice::ReadWrite);
}

bool FileBlockStore::lockAndOpen(QIODevice::OpenMode mode) {
    if (!lock_.tryLock(0)) {
        // Only a lock held by someone else means "open already"; a lock file that cannot be
        // created at all (missing folder, no permission) is a failure to open.
        lastError_ = lock_.error() == QLockFile::LockFailedError ? LastError::AlreadyLocked
                                                                  : LastError::OpenFailed;
        return false;
    }
    // Unbuffered: every write goes straight to the kernel, so flush() has nothing of ours left
    // to push and large reads are not copied through a user-space buffer.
    if (!file_.open(mode | QIODevice::Unbuffered)) {
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

bool FileBlockStore::isOpen() const { return file_.isOpen(); }

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

qint64 FileBlockStore::size() const { return file_.size(); }

bool FileBlockStore::resize(qint64 newSize) { return newSize >= 0 && file_.resize(newSize); }

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

bool FileBlockStore::flush() {
    if (!file_.isOpen() || !file_.flush())
        return false;
    return platform::syncFileData(file_.handle());
}

} // namespace korvex::vault
