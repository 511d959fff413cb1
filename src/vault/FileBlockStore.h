#pragma once

#include "vault/IVaultBlockStore.h"

#include <QFile>
#include <QLockFile>

namespace korvex::vault {

// The vault's address space kept in one ordinary file, guarded against a second opener by a
// lock file beside it (path + ".lock"). Only a regular file is opened (never a link, FIFO or
// device), and the file and its lock are private to the user (0600).
class FileBlockStore final : public IVaultBlockStore {
public:
    enum class LastError { None = 0, AlreadyLocked = 1, OpenFailed = 2 };

    explicit FileBlockStore(const QString& path);
    ~FileBlockStore() override;

    bool exists() const override;
    bool create() override;
    bool open() override;
    void close() override;
    bool isOpen() const override;
    QString errorString() const override;
    bool remove() override;
    qint64 size() const override;
    bool resize(qint64 newSize) override;
    bool readAt(qint64 offset, void* buffer, qint64 length) override;
    bool writeAt(qint64 offset, const void* buffer, qint64 length) override;
    bool flush() override;
    void startWriteBack(qint64 offset, qint64 length) override;
    std::optional<platform::FileIdentity> backingFile() const override;

    QString path() const { return path_; }
    LastError lastError() const { return lastError_; }

private:
    bool takeLock();
    // Wraps an opened descriptor; false (descriptor closed, lock released) when that fails.
    bool adopt(int fileDescriptor);

    QString path_;
    QFile file_;
    QLockFile lock_;
    LastError lastError_ = LastError::None;
};

} // namespace korvex::vault
