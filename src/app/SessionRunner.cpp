#include "app/SessionRunner.h"

#include "app/DeferredOperations.h"
#include "app/StorageCheck.h"
#include "core/AuthManager.h"
#include "core/StorageConfigFile.h"
#include "core/TwoFactorManager.h"
#include "crypto/Base32.h"
#include "crypto/SecureBuffer.h"
#include "crypto/SecureWipe.h"
#include "platform/SessionLockWatcher.h"
#include "protect/FileProtection.h"
#include "protect/MarkerKey.h"
#include "protect/RollbackGuard.h"
#include "ui/FirstRunWizard.h"
#include "ui/LoginDialog.h"
#include "ui/MainWindow.h"
#include "ui/TwoFactorPromptDialog.h"
#include "vault/RawBlockStore.h"
#include "vault/VaultContainer.h"
#include "vault/VaultLocation.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <QStringList>
#include <memory>
#include <optional>

namespace korvex::app {

namespace {

using crypto::SecureBuffer;
using vault::StorageBackend;
using vault::VaultContainer;

QString tr(const char* text) {
    return QCoreApplication::translate("runSession", text);
}

// Whether a password or two-factor change is still pending (start-up recovery could not settle
// it): the vault may then be under a key this sign-in does not have.
bool keyChangeUnsettled(const SessionInputs& in) {
    return in.auth.hasPendingTransition() || in.twoFactor.hasPendingTransition();
}

struct RestoredVault {
    std::unique_ptr<VaultContainer> container;
    SecureBuffer key;
    QString notice; // the vault opened, but at its previous state
};

// The vault opened with a two-factor secret the user kept, after this install lost its record.
std::optional<RestoredVault> tryRestoreTwoFactorAndReopen(const SessionInputs& in,
                                                          const vault::VaultLocation& location,
                                                          qint64 maxVaultSizeBytes,
                                                          const SecureBuffer& loginKey) {
    const QString title = QCoreApplication::translate("tryRestoreTwoFactorAndReopen",
                                                      "Restore Two-Factor Authentication");
    const auto answer = QMessageBox::question(
        nullptr, title,
        QCoreApplication::translate(
            "tryRestoreTwoFactorAndReopen",
            "The vault could not be opened, and this install's two-factor authentication data is "
            "missing or unreadable. If you saved the backup secret shown when you first set up "
            "two-factor authentication, you can restore it now to regain access. Do you have that "
            "secret?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return std::nullopt;

    bool ok = false;
    QString text =
        QInputDialog::getText(nullptr, title,
                              QCoreApplication::translate("tryRestoreTwoFactorAndReopen",
                                                          "Enter your saved two-factor secret:"),
                              QLineEdit::Normal, QString(), &ok);
    QString trimmed = text.trimmed();
    crypto::secureWipe(text);
    if (!ok || trimmed.isEmpty()) {
        crypto::secureWipe(trimmed);
        return std::nullopt;
    }
    std::optional<SecureBuffer> secret = crypto::decodeBase32(trimmed);
    crypto::secureWipe(trimmed);
    if (!secret) {
        QMessageBox::warning(nullptr, title,
                             QCoreApplication::translate(
                                 "tryRestoreTwoFactorAndReopen",
                                 "That doesn't look like a valid secret. Nothing was changed."));
        return std::nullopt;
    }

    SecureBuffer candidate = core::TwoFactorManager::deriveEffectiveKey(loginKey, *secret);
    QString notice;
    std::unique_ptr<VaultContainer> container = protect::openVaultGuarded(
        location, candidate, in.machineId, in.generationRecordPath, QString(), maxVaultSizeBytes,
        nullptr, &notice, keyChangeUnsettled(in));
    if (!container) {
        QMessageBox::warning(nullptr, title,
                             QCoreApplication::translate(
                                 "tryRestoreTwoFactorAndReopen",
                                 "That secret did not open this vault. Nothing was changed."));
        return std::nullopt;
    }
    if (!in.twoFactor.restoreFromSecret(loginKey, *secret))
        qWarning("tryRestoreTwoFactorAndReopen: restored two-factor secret opened the vault but "
                 "failed to persist -- this recovery flow will be needed again on the next "
                 "launch.");
    return RestoredVault{std::move(container), std::move(candidate), notice};
}

// Whether a raw-disk vault's open was refused for a reason that approving a prompt does not
// mend: its disk cannot be found or has changed, its space is no longer free or cannot be told
// free, its marker is not this install's, its settings are not valid, or the key that tells its
// marker cannot be had.
bool rawVaultUnusable(const QString& message) {
    for (const vault::RawStoreError error :
         {vault::RawStoreError::DiskNotFound, vault::RawStoreError::DiskAmbiguous,
          vault::RawStoreError::LayoutChanged, vault::RawStoreError::MarkerMismatch,
          vault::RawStoreError::InvalidSettings, vault::RawStoreError::KeyUnavailable,
          vault::RawStoreError::DiskChanged, vault::RawStoreError::LayoutUnreadable}) {
        if (message == vault::rawStoreErrorText(error))
            return true;
    }
    return false;
}

// Hidden attribute and delete restriction of the container file, as configured; each failure
// adds its sentence to problems.
void reapplyContainerProtections(const core::ContainerSettings& settings, const QString& path,
                                 QStringList& problems) {
    if (VaultContainer::resolveVaultFilePath(path).isEmpty())
        return;
    if (!protect::setHidden(path, settings.hidden)) {
        qWarning("Could not set the vault container's hidden attribute.");
        problems
            << tr("Could not %1 the vault file.").arg(settings.hidden ? tr("hide") : tr("unhide"));
    }
    if (settings.deleteRestricted) {
        if (!protect::applyDeleteRestriction(path)) {
            qWarning("Could not apply the vault container's delete restriction.");
            problems << tr("Could not restrict who can delete the vault file.");
        }
    } else if (!protect::clearDeleteRestriction(path)) {
        qWarning("Could not clear the vault container's delete restriction.");
        problems << tr("Could not clear the vault file's delete restriction.");
    }
}

} // namespace

int runSession(const SessionInputs& in, const SessionServices& services) {
    MessageBoxPrompts messageBoxes;
    DeferredOperationPrompts& prompts = services.prompts ? *services.prompts : messageBoxes;
    // Whichever way the session ends, the account lets go of the key its sign-in derived.
    struct ForgetSessionKey {
        core::AuthManager& auth;
        ~ForgetSessionKey() { auth.forgetSessionKey(); }
    } forgetSessionKey{in.auth};

    // The session needs its settings, read now: a storage.dat that exists but cannot be read
    // (its key's prompt dismissed, a TPM cleared) is never taken for the defaults.
    core::StorageConfig config;
    if (!loadSessionStorage(in.storage, in.auth.identityPath(), &config))
        return 0;
    // Deferred storage work recorded by an earlier session. Each read of storage.dat unwraps its
    // key; the session reads it again after each step that may change it.
    if (!config.container.pendingMigrateFromPath.isEmpty()) {
        applyPendingContainerMigration(in.storage, in.dataFolder, prompts);
        in.storage.load(&config);
    }
    const bool deletionPending =
        !config.pendingDeletePath.isEmpty() ||
        (config.backend == StorageBackend::RawDisk && config.pendingDeleteRawDisk);
    if (deletionPending && in.auth.identityExists() && confirmPendingDelete(in.auth, prompts)) {
        applyPendingContainerDelete(in.storage, in.dataFolder, in.generationRecordPath, prompts);
        applyPendingRawDiskDelete(in.storage, in.dataFolder, in.generationRecordPath, prompts);
        in.storage.load(&config);
    }

    vault::VaultLocation location;
    location.backend = config.backend;
    if (location.backend == StorageBackend::RawDisk) {
        location.rawDisk = config.rawDiskClaim;
        location.markerKey = protect::markerKeyLoader(in.dataFolder);
    }
    if (location.backend == StorageBackend::Container) {
        // Until a requested move has happened, the vault is opened where it is.
        location.containerPath = core::currentContainerPath(config.container, in.dataFolder);
        removeInterruptedCreate(location.containerPath, config.boundVaultIdRecorded);
        // Only a vault file that is itself at its place is opened: a link could lead anywhere.
        // Said plainly here, rather than as a vault that does not match or cannot be opened.
        if (QFileInfo(location.containerPath).isSymLink()) {
            QMessageBox::critical(
                nullptr, tr("Zelvora - Vault Path Is a Link"),
                tr("The vault file's place is taken by a symbolic link:\n%1\n\nZelvora only "
                   "opens a vault file that is itself at its configured place, so that nothing "
                   "can point it at another file. Move the vault file itself there (or choose its "
                   "real folder as the vault location), then start Zelvora again.")
                    .arg(QDir::toNativeSeparators(location.containerPath)));
            return 0;
        }
    }

    std::optional<SecureBuffer> sessionKey;
    std::optional<SecureBuffer> identityKey;
    QString recoveredVaultId;
    const bool accountExisted = in.auth.identityExists();
    if (accountExisted) {
        const bool twoFactorOn = in.twoFactor.isEnabled();
        const QString currentVaultId =
            location.backend == StorageBackend::Container
                ? VaultContainer::readVaultIdFromFile(location.containerPath)
                : config.boundVaultId;
        if (location.backend == StorageBackend::Container) {
            const QString& bound = config.boundVaultId;
            const bool mismatch = (config.boundVaultIdRecorded && bound.isEmpty()) ||
                                  (!bound.isEmpty() && bound != currentVaultId);
            if (mismatch) {
                QMessageBox::critical(
                    nullptr, tr("Zelvora - Vault Identity Mismatch"),
                    tr("The vault file at this location does not match the one Zelvora's "
                       "configuration expects. This can happen if the vault file was replaced, "
                       "restored from a backup, or copied in from another install. To avoid "
                       "logging in against the wrong vault, Zelvora is not starting.\n\nIf you "
                       "intentionally replaced the vault file, contact support for how to safely "
                       "re-bind it."));
                return 0;
            }
        }
        {
            LoginDialog login(in.auth, twoFactorOn, currentVaultId);
            if (login.exec() != QDialog::Accepted)
                return 0;
            sessionKey = login.takeVaultKey();
            recoveredVaultId = login.recoveredVaultId();
        }
        if (sessionKey)
            identityKey = sessionKey->clone();
        if (twoFactorOn && sessionKey) {
            TwoFactorPromptDialog prompt(*sessionKey, in.twoFactor, in.auth);
            if (prompt.exec() != QDialog::Accepted)
                return 0;
            std::optional<SecureBuffer> effective = prompt.takeVaultKey();
            if (!effective)
                return 0;
            sessionKey = std::move(effective);
        }
    } else {
        FirstRunWizard wizard(in.auth);
        if (wizard.exec() != QDialog::Accepted)
            return 0;
        sessionKey = wizard.takeVaultKey();
        if (sessionKey)
            identityKey = sessionKey->clone();
    }
    if (!sessionKey)
        return 0;

    QString message;
    QString notice;
    std::unique_ptr<VaultContainer> container = protect::openVaultGuarded(
        location, *sessionKey, in.machineId, in.generationRecordPath, recoveredVaultId,
        config.maxVaultSizeBytes, &message, &notice, keyChangeUnsettled(in));
    if (container && identityKey && !in.auth.bindVaultId(*identityKey, container->vaultId()))
        qWarning("runSession: failed to bind identity.dat's vault key to this vault's real "
                 "identity -- the F-7 replay protection may not be fully applied until this "
                 "succeeds.");
    if (!container) {
        if (!message.isEmpty()) {
            // A raw-disk vault that will not open again by itself has a way out here, so that
            // no state needs the data folder edited by hand.
            if (location.backend == StorageBackend::RawDisk && rawVaultUnusable(message))
                return offerToDeleteUnusableRawVault(message, in.auth, in.storage, in.dataFolder,
                                                     in.generationRecordPath, prompts)
                           ? 1
                           : 0;
            QMessageBox::critical(nullptr, tr("Vault Unavailable"), message);
            return 0;
        }
        // Only a vault that existed before this session can have lost its two-factor record;
        // a first run has nothing to restore.
        if (accountExisted && identityKey && !in.twoFactor.isEnabled()) {
            std::optional<RestoredVault> restored =
                tryRestoreTwoFactorAndReopen(in, location, config.maxVaultSizeBytes, *identityKey);
            if (restored) {
                container = std::move(restored->container);
                sessionKey = std::move(restored->key);
                notice = restored->notice;
                if (!in.auth.bindVaultId(*identityKey, container->vaultId()))
                    qWarning("runSession: failed to bind identity.dat's vault key to this vault's "
                             "real identity after 2FA-secret recovery -- the F-7 replay "
                             "protection may not be fully applied until this succeeds.");
            }
        }
    }

    QStringList problems;
    if (container) {
        if (!core::rebindToRollbackRecord(in.storage, in.generationRecordPath)) {
            qWarning("runSession: failed to rebind storage.dat's machine/generation identity.");
            problems << tr("Could not refresh the storage configuration's device binding. This "
                           "protection may not be fully up to date until it succeeds on a future "
                           "launch.");
        }
        const QString& bound = config.boundVaultId;
        const bool recordBinding = location.backend == StorageBackend::Container
                                       ? bound.isEmpty()
                                       : bound != container->vaultId();
        if (recordBinding && !in.storage.setBoundVaultId(container->vaultId())) {
            qWarning("runSession: failed to record storage.dat's bound vault identity.");
            problems << tr("Could not record which vault this configuration belongs to. This "
                           "protection will stay inactive until it succeeds on a future launch.");
        }
        if (location.backend == StorageBackend::Container)
            reapplyContainerProtections(config.container, location.containerPath, problems);
    }

    // The window's own copy of the key; the session's copies are wiped when this returns.
    auto window = std::make_unique<MainWindow>(
        sessionKey->clone(), in.auth.username(), in.machineId, std::move(container), in.auth,
        in.twoFactor, in.storage, in.idleLockPath, in.generationRecordPath,
        services.makeLockWatcher ? services.makeLockWatcher() : nullptr);
    int exitCode = -1;
    bool looping = false;
    QObject::connect(window.get(), &MainWindow::sessionEnded, window.get(),
                     [&exitCode, &looping](int code) {
                         exitCode = code;
                         if (looping)
                             QCoreApplication::exit(code);
                     });
    window->show();
    if (services.signedInChanged)
        services.signedInChanged(true);
    if (!problems.isEmpty() && exitCode < 0)
        QMessageBox::warning(window.get(), tr("Vault Protection"),
                             tr("Some vault file protections could not be re-applied this "
                                "launch:\n\n%1\n\nCheck Configure > Storage for the vault's "
                                "current protection state.")
                                 .arg(problems.join(QLatin1Char('\n'))));
    if (!notice.isEmpty() && exitCode < 0)
        QMessageBox::warning(window.get(), tr("Vault Opened at Its Previous State"), notice);
    if (exitCode < 0) {
        // The window may already have ended the session while a warning was up.
        looping = true;
        QApplication::exec();
        looping = false;
    }
    // The keys go first: the window holds the sleep inhibitor, and a suspend it was holding
    // back must not find a key still in memory.
    sessionKey.reset();
    identityKey.reset();
    window.reset();
    if (services.signedInChanged)
        services.signedInChanged(false);
    return exitCode == MainWindow::kSignOutExitCode ? 1 : 0;
}

} // namespace korvex::app
