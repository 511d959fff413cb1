#pragma once

#include "crypto/Bytes.h"
#include "crypto/PlaintextBuffer.h"
#include "crypto/SecureBuffer.h"
#include "vault/IVaultBlockStore.h"
#include "vault/TransferProgress.h"
#include "vault/VaultFormat.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <memory>
#include <optional>

namespace korvex::vault {

struct EntrySummary {
    QString name;
    qint64 size = 0;
    QDateTime importedAt;
};

// Why the last importFile, replaceFile or exportFile failed.
enum class TransferError {
    None = 0,
    Failed = 1,         // anything not listed below
    NotRegularFile = 2, // the source or destination is a folder, FIFO, device or symbolic link
    OwnStorage = 3,     // the path is the vault's own file
    OutOfMemory = 4,    // there was no memory for the whole file
    Cancelled = 5,      // stopped on request before anything was changed
};

enum class RekeyResult {
    Rekeyed = 0,   // success
    Unchanged = 1, // failed; the vault still works under the old key
    Unusable = 2,  // failed, and the container wiped itself; the session must end
};

// The one object through which stored files are listed, imported, read, exported and removed,
// and through which the vault is re-keyed. Every change is committed (index, flush, header,
// flush) before success is reported. Not thread-safe: one thread at a time
// may use it (a transfer may run on a worker while no other thread touches the container).
class VaultContainer {
public:
    // Both consume the store; they return nothing on failure.
    static std::unique_ptr<VaultContainer> create(std::unique_ptr<IVaultBlockStore> store,
                                                  const crypto::SecureBuffer& vaultKey,
                                                  const QString& machineId);
    static std::unique_ptr<VaultContainer> open(std::unique_ptr<IVaultBlockStore> store,
                                                const crypto::SecureBuffer& vaultKey,
                                                const QString& machineId,
                                                const QString& recoveredVaultId = QString(),
                                                QString* errorText = nullptr);

    ~VaultContainer();
    VaultContainer(const VaultContainer&) = delete;
    VaultContainer& operator=(const VaultContainer&) = delete;

    QString vaultId() const { return vaultId_; }
    quint64 generationCounter() const { return generationCounter_; }
    quint32 formatVersion() const { return formatVersion_; }
    // 0 or less means no limit.
    void setMaxVaultSizeBytes(qint64 maxBytes) { maxVaultSizeBytes_ = maxBytes; }
    bool isWiped() const { return wiped_; }
    TransferError lastTransferError() const { return lastTransferError_; }
    // When open found the newest index unreadable with the key it was given and opened the other
    // slot instead: the generation of the state it opened. The newest slot may be damaged, or
    // hold the vault under another key (a re-key whose outcome is not settled yet); open cannot
    // tell which and writes nothing. Callers tell the user that the newest change was lost.
    std::optional<quint64> fallbackGeneration() const { return fallbackGeneration_; }
    // Writes the state a fallback opened over the slot it passed over. Only for a caller that has
    // made sure this older state may be opened (the rollback record allows it): until then the
    // container must not be used, as every commit goes to that slot. True when the state is
    // committed or there was nothing to repair; a failure is logged, and the container stays
    // usable at the older state.
    bool repairFallback();

    // The file that holds the vault, when it is in a file (not in a disk region).
    std::optional<platform::FileIdentity> backingFile() const { return store_->backingFile(); }

    QList<EntrySummary> listEntries() const;
    // The transfers report to progress, when given, and stop when it asks them to: an import
    // until its commit begins (the vault is then as before), a read until it is decrypted, an
    // export until its copy is complete (a partial copy is removed). A stopped transfer fails
    // with TransferError::Cancelled.
    bool importFile(const QString& sourcePath, const QString& name,
                    TransferProgress* progress = nullptr);
    // importFile, except that an entry of that name is replaced in the same commit that stores
    // the new one: should anything fail, the old file is still in the vault. The replaced
    // record is overwritten afterwards.
    bool replaceFile(const QString& sourcePath, const QString& name,
                     TransferProgress* progress = nullptr);
    // The content where it was decrypted, in a buffer that zeroes itself when released.
    std::optional<crypto::PlaintextBuffer> readFile(const QString& name,
                                                    TransferProgress* progress = nullptr);
    bool exportFile(const QString& name, const QString& destinationPath,
                    TransferProgress* progress = nullptr);
    bool removeFile(const QString& name);
    RekeyResult rekey(const crypto::SecureBuffer& newVaultKey);
    void wipeSecrets();

    // Keyless inspection of a store or a container file.
    static std::optional<quint64> readHeaderGeneration(IVaultBlockStore& store);
    static QString readVaultId(IVaultBlockStore& store);
    static std::optional<quint64> readHeaderGenerationFromFile(const QString& path);
    static QString readVaultIdFromFile(const QString& path);
    // The canonical path of an existing vault file, or empty when the path is empty, names no
    // file, is reached through a link, or has the vault magic at the start of neither header
    // slot.
    static QString resolveVaultFilePath(const QString& path);
    // A regular file at path that a create cut short left behind: no header slot was ever
    // committed and nothing lies past the index regions, so it holds nothing of the user's. Such
    // a file would otherwise block creating a vault at that place for good.
    static bool isInterruptedCreate(const QString& path);

private:
    struct Entry {
        QString name;
        qint64 size = 0;
        QDateTime importedAt;
        quint64 dataOffset = 0;
        quint64 dataLength = 0;
        crypto::Bytes wrappedFileKey;
        QString entryId;
    };

    VaultContainer(std::unique_ptr<IVaultBlockStore> store, const crypto::SecureBuffer& vaultKey,
                   const QString& machineId);

    void adoptHeader(const HeaderChoice& choice, bool keepVaultId);
    bool readIndex();
    bool writeIndex();
    bool commitIndexAndHeader();
    bool commitCurrentFormat();
    bool commitLegacyFormat();
    // Runs an import or export, saying in lastTransferError_ why it failed; running out of
    // memory is a failure, never an exception.
    template <typename Work> bool transfer(Work work);
    bool store(const QString& sourcePath, const QString& name, bool replace,
               TransferProgress* progress);
    bool storeUnguarded(const QString& sourcePath, const QString& name, bool replace,
                        TransferProgress* progress);
    bool exportFileUnguarded(const QString& name, const QString& destinationPath,
                             TransferProgress* progress);
    // A stop asked for through progress: the transfer fails as cancelled.
    bool cancelled(const TransferProgress* progress);
    // Runs piece(offset, length) over [0, total) in kTransferChunkBytes pieces, reported to
    // progress as step, looking for a stop before each; false when a piece failed or a stop came.
    template <typename Piece>
    bool inPieces(TransferStep step, quint64 total, TransferProgress* progress, Piece piece);
    bool clearFailedMigration();
    // Zeros both header slots and both index regions and flushes: what an earlier vault at the
    // same place left there must not outlive the new vault's first commit.
    bool clearLayoutArea();
    // Overwrites the range three times (0x00, 0xFF, random), best effort, no flush.
    void wipeRegion(quint64 offset, quint64 length);
    void overwriteRegion(quint64 offset, quint64 length);
    quint64 dataAreaStart() const;
    int findEntry(const QString& name) const;
    crypto::Bytes entryAd(const Entry& entry) const;
    static void wipeEntries(QList<Entry>& entries);

    std::unique_ptr<IVaultBlockStore> store_;
    crypto::SecureBuffer vaultKey_;
    QList<Entry> entries_;
    bool wiped_ = false;
    quint64 indexOffset_ = kFirstIndexRegionOffset;
    quint64 indexCapacity_ = kIndexRegionCapacity;
    quint64 indexLength_ = 0;
    quint64 nextAppendOffset_ = kDataAreaOffset;
    qint64 maxVaultSizeBytes_ = 0;
    int currentSlot_ = 1;
    QString vaultId_;
    quint64 generationCounter_ = 0;
    QString machineId_;
    int cipherSuiteVersion_ = 1;
    quint32 formatVersion_ = kCurrentFormatVersion;
    TransferError lastTransferError_ = TransferError::None;
    std::optional<quint64> fallbackGeneration_;
    // The slot a fallback passed over has not been written since.
    bool fallbackUnrepaired_ = false;
};

} // namespace korvex::vault
