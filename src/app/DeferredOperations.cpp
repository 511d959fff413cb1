#include "app/DeferredOperations.h"

#include "app/DataFolder.h"
#include "core/AuthManager.h"
#include "core/StorageConfigFile.h"
#include "crypto/SecureWipe.h"
#include "platform/FileSync.h"
#include "platform/PrivatePaths.h"
#include "protect/FileProtection.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/MarkerKey.h"
#include "protect/RollbackGuard.h"
#include "ui/PasswordPrompt.h"
#include "vault/RawBlockStore.h"
#include "vault/VaultContainer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMessageBox>
#include <cerrno>
#include <functional>
#include <string>
#include <sys/stat.h>

namespace korvex::app {

namespace {

using core::StorageConfig;

const QString kIdentityBackupName = QStringLiteral("/identity.dat.oldcopy");

QString translated(const char* text) {
    return QCoreApplication::translate("Zelvora", text);
}

// Loads the configuration, applies change and saves it; false when it could not be read (it is
// then never overwritten) or saved.
bool updateConfig(const core::StorageConfigFile& storage,
                  const std::function<void(StorageConfig&)>& change) {
    StorageConfig config;
    if (!storage.load(&config))
        return false;
    change(config);
    return storage.save(config);
}

// Whether anything, even a dangling link, occupies path; a path that cannot be examined counts
// as taken.
bool pathTaken(const QString& path) {
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) == 0)
        return true;
    return errno != ENOENT && errno != ENOTDIR;
}

bool isUnaliasedFolder(const QString& path) {
    const QFileInfo info(path);
    if (!info.isDir())
        return false;
    const QString canonical = info.canonicalFilePath();
    return !canonical.isEmpty() &&
           QDir::cleanPath(canonical) == QDir::cleanPath(info.absoluteFilePath());
}

// The folder, or its nearest existing ancestor, exists and is reached without links.
bool isVerifiedFolder(const QString& folder) {
    QString path = QDir::cleanPath(folder);
    while (!path.isEmpty() && !QFileInfo::exists(path)) {
        const QString parent = QDir::cleanPath(QFileInfo(path).path());
        if (parent == path)
            break;
        path = parent;
    }
    return !path.isEmpty() && QFileInfo::exists(path) && isUnaliasedFolder(path);
}

enum class CopyResult { Copied, Failed, FailedAfterCreating };

// Copies from into a new file at to and makes the copy durable before reporting success, since
// the caller erases the original next. Never replaces an existing file.
CopyResult copyDurably(const QString& from, const QString& to) {
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly))
        return CopyResult::Failed;
    QFile target(to);
    if (!target.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                     QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return CopyResult::Failed;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 got = source.read(chunk.data(), chunk.size());
        if (got < 0)
            return CopyResult::FailedAfterCreating;
        if (got == 0)
            break;
        if (target.write(chunk.constData(), got) != got)
            return CopyResult::FailedAfterCreating;
    }
    if (!target.flush() || !platform::syncFileData(target.handle()))
        return CopyResult::FailedAfterCreating;
    target.close();
    if (target.error() != QFileDevice::NoError || !platform::syncParentFolder(to))
        return CopyResult::FailedAfterCreating;
    return CopyResult::Copied;
}

void eraseFiles(const QString& dataFolder, const QStringList& names, const char* eraseFailure,
                const QStringList& legacyKeyNames, const char* keyFailure) {
    for (const QString& name : names) {
        const QString path = dataFolder + name;
        if (pathTaken(path) && !protect::secureErase(path)) {
            qWarning(eraseFailure, qUtf8Printable(path));
            // A kept copy of the identity that stays would be put back as the account the
            // moment identity.dat is gone: it goes even when it cannot be overwritten first.
            if (name == kIdentityBackupName && !QFile::remove(path))
                qWarning("Could not remove the kept copy of the deleted identity: %s",
                         qUtf8Printable(path));
        }
    }
    for (const QString& name : legacyKeyNames) {
        const QString path = dataFolder + name;
        if (!protect::LocalIntegrityKey::deleteLegacyTpmKey(path))
            qWarning(keyFailure, qUtf8Printable(path));
    }
}

// --- the container move ---------------------------------------------------------------------

void persistMigration(const core::StorageConfigFile& storage, const QString& pendingFrom,
                      int attempts) {
    const bool saved = updateConfig(storage, [&](StorageConfig& config) {
        config.container.pendingMigrateFromPath = pendingFrom;
        config.container.pendingMigrateAttempts = attempts;
    });
    if (!saved)
        qWarning("applyPendingContainerMigration: failed to persist container config -- migration "
                 "state may not survive to the next launch.");
}

void failMigrationAttempt(const core::StorageConfigFile& storage, const QString& pendingFrom,
                          const QString& dataFolder, int attemptsSoFar, const QString& reason,
                          DeferredOperationPrompts& prompts) {
    const int attempts = attemptsSoFar + 1;
    if (attempts < kDeferredOperationAttemptLimit) {
        persistMigration(storage, pendingFrom, attempts);
        return;
    }
    // The configured place goes back to where the vault still is: it opens there, and another
    // location can be chosen in Configure.
    const QFileInfo source(pendingFrom);
    const bool saved = updateConfig(storage, [&](StorageConfig& config) {
        config.container.pendingMigrateFromPath.clear();
        config.container.pendingMigrateAttempts = 0;
        core::StorageConfigFile::setContainerLocation(config.container, source.absolutePath(),
                                                      source.fileName(), dataFolder);
    });
    if (!saved)
        qWarning("applyPendingContainerMigration: failed to persist container config -- migration "
                 "state may not survive to the next launch.");
    prompts.warning(translated("Vault Relocation Failed"),
                    translated("Zelvora could not move the vault to its new location after %1 "
                               "attempts (%2). It has been left at its original location; please "
                               "move it manually or try changing the location again in Configure.")
                        .arg(kDeferredOperationAttemptLimit)
                        .arg(reason));
}

// --- deletions ------------------------------------------------------------------------------

void persistDeletion(const core::StorageConfigFile& storage, const char* operation,
                     const std::function<void(StorageConfig&)>& change) {
    if (!updateConfig(storage, change))
        qWarning(
            "%s: failed to persist -- pending-delete state may not survive to the next launch.",
            operation);
}

// Counts a failed erase; the attempt that reaches the limit drops the request (dropRequest) and
// tells the user giveUpText.
void failDeletionAttempt(const core::StorageConfigFile& storage, const char* operation,
                         int attemptsSoFar, void (*dropRequest)(StorageConfig&),
                         const QString& giveUpText, DeferredOperationPrompts& prompts) {
    const int attempts = attemptsSoFar + 1;
    if (attempts < kDeferredOperationAttemptLimit) {
        persistDeletion(storage, operation,
                        [&](StorageConfig& c) { c.pendingDeleteAttempts = attempts; });
        return;
    }
    persistDeletion(storage, operation, [&](StorageConfig& c) {
        dropRequest(c);
        c.pendingDeleteAttempts = 0;
    });
    prompts.warning(translated("Vault Deletion Failed"), giveUpText);
}

} // namespace

void MessageBoxPrompts::warning(const QString& title, const QString& text) {
    QMessageBox::warning(nullptr, title, text);
}

void MessageBoxPrompts::information(const QString& title, const QString& text) {
    QMessageBox::information(nullptr, title, text);
}

std::optional<QString> MessageBoxPrompts::askPassword(const QString& title, const QString& label) {
    return ui::askForPassword(nullptr, title, label);
}

void applyPendingContainerMigration(const core::StorageConfigFile& storage,
                                    const QString& dataFolder, DeferredOperationPrompts& prompts) {
    const core::ContainerSettings settings = storage.containerSettings();
    const QString pendingFrom = settings.pendingMigrateFromPath;
    if (pendingFrom.isEmpty())
        return;
    // A vault waiting to be deleted stays where the deletion will look for it.
    if (!storage.pendingDeletePath().isEmpty())
        return;
    if (!QFileInfo::exists(pendingFrom)) {
        persistMigration(storage, QString(), 0);
        return;
    }
    if (vault::VaultContainer::resolveVaultFilePath(pendingFrom).isEmpty())
        return;

    const QString destination = storage.resolveVaultPath(dataFolder);
    const int attempts = settings.pendingMigrateAttempts;
    auto fail = [&](const char* reason) {
        failMigrationAttempt(storage, pendingFrom, dataFolder, attempts, translated(reason),
                             prompts);
    };

    // Moved back to where it already is: nothing to move.
    if (QFileInfo(destination).canonicalFilePath() ==
        vault::VaultContainer::resolveVaultFilePath(pendingFrom)) {
        persistMigration(storage, QString(), 0);
        return;
    }
    if (pathTaken(destination))
        return fail(
            QT_TRANSLATE_NOOP("Zelvora", "the destination already has a file at that path"));
    const QString destinationFolder = QFileInfo(destination).absolutePath();
    if (!isVerifiedFolder(destinationFolder))
        return fail(QT_TRANSLATE_NOOP("Zelvora", "the destination folder could not be verified"));
    // Folders made for the vault are the user's alone; one that exists keeps its permissions.
    if (!platform::createPrivateFolder(destinationFolder) || !isUnaliasedFolder(destinationFolder))
        return fail(QT_TRANSLATE_NOOP("Zelvora", "the destination folder could not be verified"));

    const QString source = vault::VaultContainer::resolveVaultFilePath(pendingFrom);
    if (source.isEmpty())
        return;

    if (!renameWithoutReplacing(source, destination)) {
        // Most likely another file system: copy, and let go of the original only once the copy
        // is complete and on the device.
        const CopyResult copied = copyDurably(source, destination);
        if (copied != CopyResult::Copied ||
            QFileInfo(source).size() != QFileInfo(destination).size()) {
            if (copied != CopyResult::Failed && !protect::secureErase(destination))
                qWarning("applyPendingContainerMigration: failed to securely erase a short/corrupt "
                         "copy at the new location: %s",
                         qUtf8Printable(destination));
            return fail(QT_TRANSLATE_NOOP("Zelvora", "the move itself failed"));
        }
        if (!protect::secureErase(source)) {
            qWarning("applyPendingContainerMigration: vault moved to %s, but the old copy at %s "
                     "could not be securely erased and was left in place.",
                     qUtf8Printable(destination), qUtf8Printable(source));
            prompts.information(
                translated("Vault Moved"),
                translated("The vault was copied to its new location, but the original file at "
                           "\"%1\" could not be securely erased and was left in place. Both copies "
                           "now contain your vault -- once you've confirmed the new location "
                           "works, you can delete the old one manually.")
                    .arg(QDir::toNativeSeparators(source)));
        }
    }
    persistMigration(storage, QString(), 0);
}

bool confirmPendingDelete(core::AuthManager& auth, DeferredOperationPrompts& prompts) {
    std::optional<QString> typed = prompts.askPassword(
        translated("Confirm Your Password"),
        translated("A vault deletion is pending. Type your master password to complete it now, or "
                   "Cancel to be asked again next time you start Zelvora."));
    if (!typed)
        return false;
    QByteArray utf8 = typed->toUtf8();
    crypto::secureWipe(*typed);
    // The string is built straight into the parameter, which the check wipes itself.
    const bool confirmed =
        auth.checkPassword(std::string(utf8.constData(), static_cast<std::size_t>(utf8.size())));
    crypto::secureWipe(utf8);
    return confirmed;
}

void applyPendingContainerDelete(core::StorageConfigFile& storage, const QString& dataFolder,
                                 const QString& generationPath, DeferredOperationPrompts& prompts) {
    static const char* const kOperation = "applyPendingContainerDelete";
    StorageConfig config;
    if (!storage.load(&config) || config.pendingDeletePath.isEmpty())
        return;
    const QString pendingPath = config.pendingDeletePath;
    const QString path = vault::VaultContainer::resolveVaultFilePath(pendingPath);
    if (path.isEmpty()) {
        // Whatever is there now is not the vault that was meant: leave it, and the account.
        persistDeletion(storage, kOperation, [](StorageConfig& c) { c.pendingDeletePath.clear(); });
        return;
    }

    protect::clearDeleteRestriction(path);
    const QString vaultId = vault::VaultContainer::readVaultIdFromFile(path);
    if (QFileInfo::exists(path) && !protect::secureErase(path)) {
        failDeletionAttempt(
            storage, kOperation, config.pendingDeleteAttempts,
            [](StorageConfig& c) { c.pendingDeletePath.clear(); },
            translated("Zelvora could not securely erase the vault at:\n%1\nafter %2 attempts. It "
                       "has been left in place; please delete it manually, or check that it "
                       "isn't held open by another program or read-only media.")
                .arg(QDir::toNativeSeparators(pendingPath))
                .arg(kDeferredOperationAttemptLimit),
            prompts);
        return;
    }

    // The vault is gone: the next one, created at the first run, is bound afresh.
    persistDeletion(storage, kOperation, [](StorageConfig& c) {
        c.pendingDeletePath.clear();
        c.pendingDeleteAttempts = 0;
        c.boundVaultId.clear();
        c.boundVaultIdRecorded = false;
    });
    eraseAccountLeftovers(dataFolder);
    eraseTransitionLeftovers(dataFolder);
    if (!vaultId.isEmpty() && !protect::removeVault(generationPath, vaultId))
        qWarning("applyPendingContainerDelete: could not drop the deleted vault from the vault "
                 "generation record.");
    // Dropping the vault can lower the record's highest generation, which storage.dat is bound
    // to; the record keeps the old value for storage.dat until this rebinding is done.
    if (!core::rebindToRollbackRecord(storage, generationPath))
        qWarning("applyPendingContainerDelete: could not rebind storage.dat after the deletion.");
}

void applyPendingRawDiskDelete(const core::StorageConfigFile& storage, const QString& dataFolder,
                               DeferredOperationPrompts& prompts) {
    static const char* const kOperation = "applyPendingRawDiskDelete";
    StorageConfig config;
    if (!storage.load(&config) || config.backend != vault::StorageBackend::RawDisk ||
        !config.pendingDeleteRawDisk)
        return;

    if (secureEraseClaimedRegion(config.rawDiskClaim, dataFolder)) {
        // One save: the region is gone, so the configuration must not keep pointing at it.
        persistDeletion(storage, kOperation, [](StorageConfig& c) {
            c.pendingDeleteRawDisk = false;
            c.pendingDeleteAttempts = 0;
            c.backend = vault::StorageBackend::Container;
            c.rawDiskClaim = core::RawDiskClaim{};
            c.boundVaultId.clear();
            c.boundVaultIdRecorded = false;
        });
        eraseAccountLeftovers(dataFolder);
        eraseTransitionLeftovers(dataFolder);
        return;
    }

    failDeletionAttempt(
        storage, kOperation, config.pendingDeleteAttempts,
        [](StorageConfig& c) { c.pendingDeleteRawDisk = false; },
        translated("Zelvora could not securely erase the raw-disk vault after %1 attempts. It has "
                   "been left in place; make sure Zelvora may open the disk (approve the "
                   "administrator authorisation, or run it as root or in the disk group) and the "
                   "disk is connected, then try again from Configure.")
            .arg(kDeferredOperationAttemptLimit),
        prompts);
}

void removeInterruptedCreate(const QString& path, bool bound) {
    if (bound || !vault::VaultContainer::isInterruptedCreate(path))
        return;
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.tryLock(0)) {
        qWarning("runSession: an unfinished vault file is in use by another process; it is left "
                 "alone: %s",
                 qUtf8Printable(path));
        return;
    }
    // Judged again under the lock: the other process may have finished creating it.
    if (vault::VaultContainer::isInterruptedCreate(path)) {
        qWarning("runSession: removing an unfinished vault file (%lld bytes) left by an "
                 "interrupted create: %s",
                 static_cast<long long>(QFileInfo(path).size()), qUtf8Printable(path));
        if (!QFile::remove(path))
            qWarning("runSession: could not remove the unfinished vault file.");
    }
    lock.unlock();
}

void eraseAccountLeftovers(const QString& dataFolder) {
    // The kept copy goes before the identity itself: with identity.dat gone and the copy still
    // there, the next start would restore the deleted account from it.
    eraseFiles(
        dataFolder,
        {kIdentityBackupName, QStringLiteral("/identity.dat"), QStringLiteral("/identity.dat.key"),
         QStringLiteral("/identity.dat.key.entropy"), QStringLiteral("/identity.dat.lockout"),
         QStringLiteral("/identity.dat.lockout.key"),
         QStringLiteral("/identity.dat.lockout.key.entropy"), QStringLiteral("/twofactor.dat"),
         QStringLiteral("/twofactor.dat.key"), QStringLiteral("/twofactor.dat.key.entropy")},
        "Could not securely erase leftover identity/2FA file on vault deletion: %s",
        {QStringLiteral("/identity.dat.key"), QStringLiteral("/identity.dat.lockout.key"),
         QStringLiteral("/twofactor.dat.key")},
        "Could not remove a TPM-backed key for a deleted identity/2FA file: %s");
}

void eraseTransitionLeftovers(const QString& dataFolder) {
    eraseFiles(dataFolder,
               {QStringLiteral("/identity.dat.transition"),
                QStringLiteral("/identity.dat.transition.key"),
                QStringLiteral("/identity.dat.transition.key.entropy"),
                QStringLiteral("/twofactor.dat.transition"),
                QStringLiteral("/twofactor.dat.transition.key"),
                QStringLiteral("/twofactor.dat.transition.key.entropy")},
               "Could not securely erase leftover transition file: %s",
               {QStringLiteral("/identity.dat.transition.key"),
                QStringLiteral("/twofactor.dat.transition.key")},
               "Could not remove a TPM-backed key for a leftover transition file: %s");
}

bool secureEraseClaimedRegion(const vault::RawDiskClaim& claim, const QString& dataFolder) {
    if (vault::RawBlockStore::releaseClaim(claim, protect::markerKeyLoader(dataFolder)))
        return true;
    qWarning("secureEraseClaimedRegion: the region of %llu bytes at offset %llu on disk %u could "
             "not be erased.",
             static_cast<unsigned long long>(claim.claimedLength),
             static_cast<unsigned long long>(claim.claimedStartOffset), claim.diskNumber);
    return false;
}

} // namespace korvex::app
