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
#include "rawstore/PhysicalDisks.h"
#include "ui/ChoiceBox.h"
#include "ui/PasswordPrompt.h"
#include "vault/RawBlockStore.h"
#include "vault/TransferProgress.h"
#include "vault/VaultContainer.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMessageBox>
#include <QProgressDialog>
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

// Asks for the master password; true only when the typed text is the account's password (a
// wrong one counts as a failed sign-in). answered, when given, tells a cancelled prompt (not
// set) from a wrong password (false).
bool passwordConfirmed(core::AuthManager& auth, DeferredOperationPrompts& prompts,
                       const QString& title, const QString& label,
                       std::optional<bool>* answered = nullptr) {
    std::optional<QString> typed = prompts.askPassword(title, label);
    if (!typed)
        return false;
    QByteArray utf8 = typed->toUtf8();
    crypto::secureWipe(*typed);
    // The string is built straight into the parameter, which the check wipes itself.
    const bool confirmed =
        auth.checkPassword(std::string(utf8.constData(), static_cast<std::size_t>(utf8.size())));
    crypto::secureWipe(utf8);
    if (answered)
        *answered = confirmed;
    return confirmed;
}

// A vault-layer progress told to the user through prompts, as step under title.
class ShownProgress {
public:
    ShownProgress(DeferredOperationPrompts& prompts, QString title, QString step)
        : prompts_(prompts), title_(std::move(title)), step_(std::move(step)) {
        progress_.setObserver([this](const vault::TransferProgress& progress) {
            prompts_.progress(title_, step_, quint64(std::max<qint64>(0, progress.done())),
                              quint64(std::max<qint64>(0, progress.total())));
        });
    }
    ~ShownProgress() { prompts_.finishProgress(); }
    ShownProgress(const ShownProgress&) = delete;
    ShownProgress& operator=(const ShownProgress&) = delete;

    vault::TransferProgress* get() { return &progress_; }
    void tell(quint64 done, quint64 total) { prompts_.progress(title_, step_, done, total); }

private:
    DeferredOperationPrompts& prompts_;
    QString title_;
    QString step_;
    vault::TransferProgress progress_;
};

enum class CopyResult { Copied, Failed, FailedAfterCreating };

// Copies from into a new file at to and makes the copy durable before reporting success, since
// the caller erases the original next. Never replaces an existing file.
CopyResult copyDurably(const QString& from, const QString& to, ShownProgress& shown) {
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly))
        return CopyResult::Failed;
    QFile target(to);
    if (!target.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                     QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return CopyResult::Failed;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    const quint64 total = quint64(std::max<qint64>(0, source.size()));
    quint64 copied = 0;
    for (;;) {
        const qint64 got = source.read(chunk.data(), chunk.size());
        if (got < 0)
            return CopyResult::FailedAfterCreating;
        if (got == 0)
            break;
        if (target.write(chunk.constData(), got) != got)
            return CopyResult::FailedAfterCreating;
        copied += quint64(got);
        shown.tell(std::min(copied, total), total);
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

// Why a release wrote nothing, in the user's words, when waiting may not mend it (the user may
// then forget the vault without the wipe); empty for a failure worth trying again, and for a
// release that was done.
QString unwipedReason(const vault::ReleaseResult& released, const QString& place) {
    switch (released.outcome) {
    case vault::ReleaseOutcome::Overlapped: {
        QStringList partitions;
        for (const rawstore::PartitionExtent& partition : released.overlapping)
            partitions << translated("partition %1 (%2 to %3)")
                              .arg(partition.partitionNumber)
                              .arg(rawstore::sizeText(partition.startingOffset))
                              .arg(rawstore::sizeText(partition.startingOffset + partition.length));
        // No partition over it, yet not free: the partitions around it changed (the one before
        // it went, or the whole table).
        if (partitions.isEmpty())
            return translated("The raw-disk vault waiting to be deleted is in %1. The partitions "
                              "around that space have changed, so Zelvora cannot tell that it is "
                              "still unallocated and has written nothing to the disk.")
                .arg(place);
        return translated("The raw-disk vault waiting to be deleted is in %1. That space is no "
                          "longer free -- %2 now lies over it -- so Zelvora has written nothing "
                          "to the disk.")
            .arg(place, partitions.join(translated(", ")));
    }
    case vault::ReleaseOutcome::DiskNotFound:
        return translated("The disk that holds the raw-disk vault waiting to be deleted cannot be "
                          "found (%1). Connect it and start Zelvora again to wipe the vault.")
            .arg(place);
    case vault::ReleaseOutcome::NotOurs:
        return translated("The space of the raw-disk vault waiting to be deleted (%1) no longer "
                          "holds this vault's marker, so Zelvora cannot tell that it is still the "
                          "vault's and has written nothing to the disk.")
            .arg(place);
    case vault::ReleaseOutcome::InvalidSettings:
        return translated("The settings that say where the raw-disk vault waiting to be deleted "
                          "lies are not valid, so Zelvora cannot tell what to wipe and has written "
                          "nothing to the disk.");
    case vault::ReleaseOutcome::KeyUnavailable:
        return translated("The key that tells the raw-disk vault's space (%1) as this vault's "
                          "cannot be loaded now (the TPM or keyring that protects it is not "
                          "available), so Zelvora has written nothing to the disk. If it is only "
                          "unavailable for now, keep the deletion pending.")
            .arg(place);
    case vault::ReleaseOutcome::Unverifiable:
        return translated("The partition table of the disk that holds the raw-disk vault waiting "
                          "to be deleted (%1) could not be read, so Zelvora cannot tell that the "
                          "vault's space is still free and has written nothing to the disk.")
            .arg(place);
    case vault::ReleaseOutcome::Released:
    case vault::ReleaseOutcome::NotOpened:
    case vault::ReleaseOutcome::IoFailed:
        break;
    }
    return QString();
}

// The raw-disk vault is gone (wiped, or forgotten by the user's choice): the configuration goes
// back to a container file, and the account goes with everything it left behind -- the container
// vault the claim abandoned, the account's files, and both vaults' records in the generation
// record -- so that the next start is a first run that creates a new container.
void finishRawDiskDeletion(core::StorageConfigFile& storage, const QString& dataFolder,
                           const QString& generationPath, const StorageConfig& config,
                           DeferredOperationPrompts& prompts) {
    static const char* const kOperation = "applyPendingRawDiskDelete";
    // One save: the region is gone, so the configuration must not keep pointing at it.
    persistDeletion(storage, kOperation, [](StorageConfig& c) {
        c.pendingDeleteRawDisk = false;
        c.pendingDeleteAttempts = 0;
        c.backend = vault::StorageBackend::Container;
        c.rawDiskClaim = core::RawDiskClaim{};
        c.boundVaultId.clear();
        c.boundVaultIdRecorded = false;
    });
    const QString journal = protect::releaseJournalPath(dataFolder);
    if (QFileInfo::exists(journal) && !QFile::remove(journal))
        qWarning("applyPendingRawDiskDelete: could not remove the release's record: %s",
                 qUtf8Printable(journal));

    QStringList vaultIds;
    if (!config.boundVaultId.isEmpty())
        vaultIds << config.boundVaultId;
    // The container vault the claim abandoned goes with the account, in the data folder. One
    // that lies elsewhere (a folder the user chose) is left where it is, and the next vault is
    // made in the data folder instead, where nothing of the old account is in its way.
    const QString leftover = core::containerVaultInDataFolder(config.container, dataFolder);
    const QString elsewhere = vault::VaultContainer::resolveVaultFilePath(
        core::currentContainerPath(config.container, dataFolder));
    if (leftover.isEmpty() && !elsewhere.isEmpty()) {
        qWarning("applyPendingRawDiskDelete: the account's earlier vault file outside the data "
                 "folder is left in place: %s",
                 qUtf8Printable(elsewhere));
        persistDeletion(storage, kOperation, [](StorageConfig& c) {
            c.container.overrideDirectory.clear();
            c.container.overrideFileName.clear();
            c.container.pendingMigrateFromPath.clear();
            c.container.pendingMigrateAttempts = 0;
        });
    }
    if (!leftover.isEmpty()) {
        protect::clearDeleteRestriction(leftover);
        const QString leftoverId = vault::VaultContainer::readVaultIdFromFile(leftover);
        bool erased = false;
        {
            ShownProgress erasing(prompts, translated("Deleting the Vault"),
                                  translated("Securely erasing the vault file the account "
                                             "left..."));
            erased = protect::secureErase(leftover, erasing.get());
        }
        if (erased) {
            if (!leftoverId.isEmpty())
                vaultIds << leftoverId;
        } else {
            qWarning("applyPendingRawDiskDelete: could not securely erase the account's container "
                     "vault: %s",
                     qUtf8Printable(leftover));
        }
    }
    eraseAccountLeftovers(dataFolder);
    eraseTransitionLeftovers(dataFolder);
    for (const QString& vaultId : std::as_const(vaultIds)) {
        if (!protect::removeVault(generationPath, vaultId))
            qWarning("applyPendingRawDiskDelete: could not drop a deleted vault from the vault "
                     "generation record.");
    }
    if (!core::rebindToRollbackRecord(storage, generationPath))
        qWarning("applyPendingRawDiskDelete: could not rebind storage.dat after the deletion.");
}

} // namespace

// A progress window that stays up until the work ends: the work cannot be stopped half-way (it
// resumes at the next start if the program is cut short), so neither Escape nor the title bar
// closes it.
class StartUpProgressDialog final : public QProgressDialog {
public:
    StartUpProgressDialog() {
        setWindowFlag(Qt::WindowCloseButtonHint, false);
        setCancelButton(nullptr);
    }
    void reject() override {}

protected:
    void closeEvent(QCloseEvent* event) override { event->ignore(); }
};

struct MessageBoxPrompts::Window {
    std::unique_ptr<QProgressDialog> dialog;
    QElapsedTimer sinceShown;
};

MessageBoxPrompts::MessageBoxPrompts() : window_(std::make_unique<Window>()) {}

MessageBoxPrompts::~MessageBoxPrompts() = default;

void MessageBoxPrompts::warning(const QString& title, const QString& text) {
    QMessageBox::warning(nullptr, title, text);
}

void MessageBoxPrompts::information(const QString& title, const QString& text) {
    QMessageBox::information(nullptr, title, text);
}

std::optional<QString> MessageBoxPrompts::askPassword(const QString& title, const QString& label) {
    return ui::askForPassword(nullptr, title, label);
}

bool MessageBoxPrompts::choose(const QString& title, const QString& text, const QString& acceptText,
                               const QString& rejectText) {
    ui::Choice choice;
    choice.icon = QMessageBox::Warning;
    choice.title = title;
    choice.text = text;
    choice.goText = acceptText;
    choice.boxName = "deferredChoiceBox";
    choice.goName = "deferredChoiceAccept";
    choice.goIsDefault = false;
    return ui::chooseToGoOn(choice, rejectText, "deferredChoiceReject");
}

void MessageBoxPrompts::progress(const QString& title, const QString& step, quint64 done,
                                 quint64 total) {
    constexpr int kScale = 1000;
    if (!window_->dialog) {
        window_->dialog = std::make_unique<StartUpProgressDialog>();
        window_->dialog->setObjectName(QStringLiteral("startupProgress"));
        window_->dialog->setRange(0, kScale);
        // Work that is over in a moment shows nothing.
        window_->dialog->setMinimumDuration(400);
        window_->dialog->setAutoClose(false);
        window_->dialog->setAutoReset(false);
        window_->dialog->setWindowModality(Qt::ApplicationModal);
        window_->sinceShown.invalidate();
    }
    // Painting is what costs here: the window is brought up to date a few times a second.
    if (window_->sinceShown.isValid() && window_->sinceShown.elapsed() < 100 && done < total)
        return;
    window_->sinceShown.start();
    QProgressDialog& dialog = *window_->dialog;
    dialog.setWindowTitle(title);
    const QString amount =
        total > 0 ? translated("%1 of %2").arg(rawstore::sizeText(done), rawstore::sizeText(total))
                  : QString();
    dialog.setLabelText(amount.isEmpty() ? step : step + QLatin1Char('\n') + amount);
    dialog.setValue(total > 0 ? int(std::min<quint64>(done, total) * kScale / total) : 0);
    QCoreApplication::processEvents();
}

void MessageBoxPrompts::finishProgress() {
    window_->dialog.reset();
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
        CopyResult copied = CopyResult::Failed;
        {
            ShownProgress copying(prompts, translated("Moving the Vault"),
                                  translated("Copying the vault to its new location..."));
            copied = copyDurably(source, destination, copying);
        }
        if (copied != CopyResult::Copied ||
            QFileInfo(source).size() != QFileInfo(destination).size()) {
            if (copied != CopyResult::Failed && !protect::secureErase(destination))
                qWarning("applyPendingContainerMigration: failed to securely erase a short/corrupt "
                         "copy at the new location: %s",
                         qUtf8Printable(destination));
            return fail(QT_TRANSLATE_NOOP("Zelvora", "the move itself failed"));
        }
        bool erased = false;
        {
            ShownProgress erasing(prompts, translated("Moving the Vault"),
                                  translated("Securely erasing the vault at its old location..."));
            erased = protect::secureErase(source, erasing.get());
        }
        if (!erased) {
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
    return passwordConfirmed(
        auth, prompts, translated("Confirm Your Password"),
        translated("A vault deletion is pending. Type your master password to complete it now, or "
                   "Cancel to be asked again next time you start Zelvora."));
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
    bool erased = true;
    if (QFileInfo::exists(path)) {
        ShownProgress erasing(prompts, translated("Deleting the Vault"),
                              translated("Securely erasing the vault file..."));
        erased = protect::secureErase(path, erasing.get());
    }
    if (!erased) {
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

void applyPendingRawDiskDelete(core::StorageConfigFile& storage, const QString& dataFolder,
                               const QString& generationPath, DeferredOperationPrompts& prompts) {
    static const char* const kOperation = "applyPendingRawDiskDelete";
    StorageConfig config;
    if (!storage.load(&config) || config.backend != vault::StorageBackend::RawDisk ||
        !config.pendingDeleteRawDisk)
        return;

    vault::ReleaseResult released;
    {
        ShownProgress wiping(prompts, translated("Deleting the Vault"),
                             translated("Securely erasing the raw-disk vault (three passes over "
                                        "%1)...")
                                 .arg(rawstore::sizeText(config.rawDiskClaim.claimedLength)));
        vault::ReleaseJournal journal;
        journal.path = protect::releaseJournalPath(dataFolder);
        journal.progress = [&wiping](quint64 done, quint64 total) { wiping.tell(done, total); };
        released = vault::RawBlockStore::releaseClaim(
            config.rawDiskClaim, protect::markerKeyLoader(dataFolder), journal);
    }
    const QString place = vault::claimedRegionText(config.rawDiskClaim, &released.disk);
    // Nothing was written, and waiting may not change that: the user may finish the deletion
    // without the wipe. True when they did.
    const auto forgetOrKeep = [&](const QString& title, const QString& why) {
        if (!prompts.choose(title,
                            why + QStringLiteral("\n\n") +
                                translated("Choose Forget Without Wiping to finish the deletion "
                                           "without writing to that disk: Zelvora forgets the "
                                           "vault and its account, and the vault's files cannot "
                                           "be read without that account. Otherwise the deletion "
                                           "stays pending, and Zelvora asks again at the next "
                                           "start."),
                            translated("Forget Without Wiping"), translated("Keep Pending")))
            return false;
        qWarning("applyPendingRawDiskDelete: the deleted vault is forgotten without wiping its "
                 "region, as the user chose.");
        finishRawDiskDeletion(storage, dataFolder, generationPath, config, prompts);
        return true;
    };
    if (released.outcome == vault::ReleaseOutcome::Released) {
        finishRawDiskDeletion(storage, dataFolder, generationPath, config, prompts);
        return;
    }
    if (const QString why = unwipedReason(released, place); !why.isEmpty()) {
        qWarning("applyPendingRawDiskDelete: nothing was written: %s", qUtf8Printable(why));
        forgetOrKeep(translated("Vault Deletion Waiting"), why);
        return;
    }
    qWarning("applyPendingRawDiskDelete: the region of %llu bytes at offset %llu on disk %u could "
             "not be erased.",
             static_cast<unsigned long long>(config.rawDiskClaim.claimedLength),
             static_cast<unsigned long long>(config.rawDiskClaim.claimedStartOffset),
             config.rawDiskClaim.diskNumber);
    const int attempts = config.pendingDeleteAttempts + 1;
    if (attempts < kDeferredOperationAttemptLimit) {
        persistDeletion(storage, kOperation,
                        [&](StorageConfig& c) { c.pendingDeleteAttempts = attempts; });
        return;
    }
    // The account's key was replaced when the deletion was asked for: dropping the request would
    // leave a vault nobody can open or delete. It stays pending unless the user forgets it.
    if (!forgetOrKeep(
            translated("Vault Deletion Failed"),
            translated("Zelvora could not securely erase the raw-disk vault after %1 attempts. It "
                       "has been left in place; make sure Zelvora may open the disk (approve the "
                       "administrator authorisation, or run it as root or in the disk group) and "
                       "the disk is connected and not in use.")
                .arg(kDeferredOperationAttemptLimit)))
        persistDeletion(storage, kOperation, [](StorageConfig& c) { c.pendingDeleteAttempts = 0; });
}

bool offerToDeleteUnusableRawVault(const QString& refusal, core::AuthManager& auth,
                                   core::StorageConfigFile& storage, const QString& dataFolder,
                                   const QString& generationPath,
                                   DeferredOperationPrompts& prompts) {
    if (!prompts.choose(translated("Vault Unavailable"),
                        refusal + QStringLiteral("\n\n") +
                            translated("If this vault is gone for good, you can delete it: after "
                                       "your master password, Zelvora forgets the vault and its "
                                       "account, and wipes the vault's space only if it is still "
                                       "this vault's and still free. Zelvora then starts again "
                                       "with a new vault."),
                        translated("Delete This Vault..."), translated("Quit")))
        return false;
    std::optional<bool> answered;
    if (!passwordConfirmed(auth, prompts, translated("Delete Vault"),
                           translated("Type your master password to delete the vault:"),
                           &answered)) {
        if (answered) // typed, but not the password
            prompts.warning(translated("Delete Vault"),
                            translated("Incorrect password. Vault not deleted."));
        return false;
    }
    // Recorded first, as Delete Vault records it: whatever happens next, the next start
    // finds the deletion and asks again.
    if (!storage.setPendingDeleteRawDisk(true)) {
        prompts.warning(translated("Delete Vault"),
                        translated("Could not schedule the deletion. Please try again."));
        return false;
    }
    applyPendingRawDiskDelete(storage, dataFolder, generationPath, prompts);
    if (!auth.identityExists())
        return true;
    if (storage.pendingDeleteRawDisk())
        prompts.information(translated("Vault Deletion Pending"),
                            translated("The vault has not been deleted yet: Zelvora could not "
                                       "wipe it now. The deletion stays pending, and Zelvora "
                                       "tries again after your password at the next start."));
    return false;
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

} // namespace korvex::app
