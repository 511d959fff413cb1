#pragma once

#include "vault/IVaultBlockStore.h"

#include <QFile>
#include <QLockFile>

namespace korvex::vault {

// The vault's address space kept in one ordinary file, guarded against a second opener by a
// lock file beside it (path + ".lock").
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

    QString path() const { return path_; }
    LastError lastError() const { return lastError_; }

private:
    bool lockAndOpen(QIODevice::OpenMode mode);

    QString path_;
    QFile file_;
    QLockFile lock_;
    LastError lastError_ = LastError::None;
};

} // namespace korvex::vault
