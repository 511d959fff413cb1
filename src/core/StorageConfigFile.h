#pragma once

#include "crypto/Bytes.h"
#include "vault/VaultLocation.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace korvex::core {

// The container file's name when the configuration names none.
inline constexpr char kDefaultVaultFileName[] = "vault.kvxs";

using vault::StorageBackend;

using vault::RawDiskClaim;

struct ContainerSettings {
    QString overrideDirectory;
    QString overrideFileName;
    bool hidden = false;
    bool deleteRestricted = false;
    QString pendingMigrateFromPath;
    int pendingMigrateAttempts = 0;
};

// Where and how the vault is stored, its size limit, protections and pending deferred work.
struct StorageConfig {
    StorageBackend backend = StorageBackend::Container;
    RawDiskClaim rawDiskClaim;
    ContainerSettings container;
    qint64 maxVaultSizeBytes = 0;
    QString pendingDeletePath;
    int pendingDeleteAttempts = 0;
    bool pendingDeleteRawDisk = false;
    QString boundVaultId;
    bool boundVaultIdRecorded = false;
};

// Handle on storage.dat: an encrypted file bound to this machine (binding text) and to the
// newest vault generation (binding number). Every getter and setter reads the file afresh;
// a setter never replaces a file that exists but cannot be read.
class StorageConfigFile {
public:
    StorageConfigFile(const QString& path, const QString& bindingText, quint64 bindingNumber);

    const QString& path() const { return path_; }

    // Fills config (starting from the defaults) and says whether the file loaded.
    bool load(StorageConfig* config) const;
    bool save(const StorageConfig& config) const;
    // The file exists but cannot be opened, verified, decrypted or parsed.
    bool isUnreadable() const;

    StorageBackend backend() const;
    RawDiskClaim rawDiskClaim() const;
    ContainerSettings containerSettings() const;
    qint64 maxVaultSizeBytes() const;
    QString pendingDeletePath() const;
    int pendingDeleteAttempts() const;
    bool pendingDeleteRawDisk() const;
    QString boundVaultId() const;
    bool boundVaultIdRecorded() const;

    bool setRawDiskClaim(const RawDiskClaim& claim);
    bool switchToContainer();
    bool setContainerSettings(const ContainerSettings& settings);
    bool setMaxVaultSizeBytes(qint64 bytes);
    bool setPendingDeletePath(const QString& path);
    bool setPendingDeleteAttempts(int attempts);
    bool setPendingDeleteRawDisk(bool pending);
    bool setBoundVaultId(const QString& vaultId);
    // Re-saves the unchanged record under a new binding.
    bool setBinding(const QString& bindingText, quint64 bindingNumber);
    const QString& bindingText() const { return bindingText_; }
    quint64 bindingNumber() const { return bindingNumber_; }
    // For a file that does not load under this handle's binding (the caller has found that
    // out) but may have been written under one of earlierNumbers (same binding text): when one
    // of them reads it, the file is written again under this handle's binding, or, should that
    // save fail, the handle moves to the binding that reads it. True when the file loads
    // through this handle afterwards.
    bool recoverBinding(const QList<quint64>& earlierNumbers);

    // The container file path: the valid override folder or defaultDirectory, then the valid
    // override name or "vault.kvxs".
    QString resolveVaultPath(const QString& defaultDirectory) const;
    // The same rule on settings already read.
    static QString resolveVaultPath(const ContainerSettings& settings,
                                    const QString& defaultDirectory);

    static bool isValidOverrideDirectory(const QString& directory);
    // Points settings at folder/fileName: the overrides stay empty for the default folder and
    // the default file name, so that the configuration keeps following the defaults there.
    static void setContainerLocation(ContainerSettings& settings, const QString& folder,
                                     const QString& fileName, const QString& defaultDirectory);
    static bool isValidOverrideFileName(const QString& fileName);

private:
    crypto::Bytes associatedData() const;

    QString path_;
    QString bindingText_;
    quint64 bindingNumber_;
};

// Where the container file is now: a move that was asked for and has not happened yet leaves
// the vault at its old path (while a vault file is still there); otherwise the configured path.
QString currentContainerPath(const ContainerSettings& settings, const QString& defaultDirectory);

// The container vault an account left in its data folder when its vault moved to a disk
// region: the canonical path of the vault file at the container's current place, when it holds
// a vault and lies inside dataFolder; empty otherwise.
QString containerVaultInDataFolder(const ContainerSettings& settings, const QString& dataFolder);

// Binds storage (keeping its binding text, the machine identifier) to the highest generation of
// the rollback record at recordPath and, once
// storage.dat is written under it, lets the record forget the earlier bindings it kept in case
// of a crash in between. False when storage.dat could not be rewritten.
bool rebindToRollbackRecord(StorageConfigFile& storage, const QString& recordPath);

// A handle whose binding is the one storage.dat was last written under: the record's highest
// generation, or an earlier value the record still keeps (the file is then rebound at once).
// unreadable, when given, says whether the file exists and still cannot be read.
StorageConfigFile openStorageConfig(const QString& path, const QString& machineId,
                                    const QString& recordPath, bool* unreadable = nullptr);

} // namespace korvex::core
