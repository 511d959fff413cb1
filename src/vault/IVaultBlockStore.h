#pragma once

#include "platform/RegularFile.h"

#include <QString>
#include <QtGlobal>
#include <optional>

namespace korvex::vault {

// One flat, random-access address space under a vault. Offset 0 is the first byte the vault
// may use. Reads and writes are all-or-nothing in their result; after flush() returns true,
// everything written before it survives power loss, and no write is reordered across it.
class IVaultBlockStore {
public:
    virtual ~IVaultBlockStore() = default;

    // The backing storage already holds (or is expected to hold) a vault.
    virtual bool exists() const = 0;
    // Prepares backing storage for a brand-new vault and opens it; fails if one exists there.
    virtual bool create() = 0;
    virtual bool open() = 0;
    // Closes the storage and releases any lock; harmless when not open.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // A user-facing message for the last failed create()/open(), or an empty text.
    virtual QString errorString() const = 0;
    // Closes and deletes the backing storage (rolls back a failed creation).
    virtual bool remove() = 0;
    // Current length of the address space, negative on error.
    virtual qint64 size() const = 0;
    virtual bool resize(qint64 newSize) = 0;
    virtual bool readAt(qint64 offset, void* buffer, qint64 length) = 0;
    virtual bool writeAt(qint64 offset, const void* buffer, qint64 length) = 0;
    virtual bool flush() = 0;
    // Starts putting a written range on the disk without waiting for it, so that a later
    // flush() has less left to wait for. Only a hint: flush() is still what makes it durable.
    virtual void startWriteBack(qint64 offset, qint64 length) {
        Q_UNUSED(offset);
        Q_UNUSED(length);
    }

    // While open: the identity of the file that holds the address space, when it is a file,
    // so that the vault's own file is never taken for an import source or export target.
    virtual std::optional<platform::FileIdentity> backingFile() const { return std::nullopt; }

protected:
    IVaultBlockStore() = default;
    IVaultBlockStore(const IVaultBlockStore&) = delete;
    IVaultBlockStore& operator=(const IVaultBlockStore&) = delete;
};

} // namespace korvex::vault
