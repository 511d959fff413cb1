#pragma once

#include "crypto/Bytes.h"
#include "crypto/PlaintextBuffer.h"
#include "crypto/SecureBuffer.h"
#include "vault/IVaultBlockStore.h"
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

enum class RekeyResult {
    Rekeyed = 0,   // success
    Unchanged = 1, // failed; the vault still works under the old key
    Unusable = 2,  // failed, and the container wiped itself; the session must end
};

// The one object through which stored files are listed, imported, read, exported and removed,
// and through which the vault is re-keyed. Every change is committed (index, flush, header,
// flush) before success is reported. Not thread-safe.
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

    QList<EntrySummary> listEntries() const;
    bool importFile(const QString& sourcePath, const QString& name);
    // The content where it was decrypted, in a buffer that zeroes itself when released.
    std::optional<crypto::PlaintextBuffer> readFile(const QString& name);
    bool exportFile(const QString& name, const QString& destinationPath);
    bool removeFile(const QString& name);
    RekeyResult rekey(const crypto::SecureBuffer& newVaultKey);
    void wipeSecrets();

    // Keyless inspection of a store or a container file.
    static std::optional<quint64> readHeaderGeneration(IVaultBlockStore& store);
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
    void wipeRegion(quint64 offset, quint64 length);
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
};

} // namespace korvex::vault
