#include "app/Startup.h"

#include "app/CrashWipe.h"
#include "app/DataFolder.h"
#include "app/KeyTransitionRecovery.h"
#include "app/LogFile.h"
#include "app/SingleInstance.h"
#include "app/StorageCheck.h"
#include "core/AuthManager.h"
#include "core/StorageConfigFile.h"
#include "core/TwoFactorManager.h"
#include "platform/PrivatePaths.h"
#include "platform/SealedKeyStore.h"
#include "platform/SecretServiceProtection.h"
#include "platform/TpmSealedKeyStore.h"
#include "platform/UserDataProtection.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/RollbackGuard.h"
#include "protect/TpmChoice.h"
#include "protect/UserProtectionChoice.h"
#include "ui/ChoiceBox.h"
#include "ui/Theme.h"
#include "ui/TpmPinDialog.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QStandardPaths>
#include <memory>

namespace korvex::app {

namespace {

const QString kProductName = QStringLiteral("Zelvora");

void setNames(const QString& organisation) {
    QCoreApplication::setOrganizationName(organisation);
    QCoreApplication::setApplicationName(kProductName);
}

QString tr(const char* text) {
    return QCoreApplication::translate("startAndRunSessions", text);
}

// A new data folder on a machine whose TPM answers but cannot be used: the user is told why,
// and chooses whether to go on with the per-user protection instead.
bool continueWithoutTpm(platform::SealedKeyAvailability why, platform::UserProtectionKind instead) {
    QString reason;
    switch (why) {
    case platform::SealedKeyAvailability::OwnerPasswordSet:
        reason = tr("This computer has a TPM, but its owner hierarchy is protected by a password "
                    "that Zelvora does not know, so Zelvora cannot make its key there.");
        break;
    case platform::SealedKeyAvailability::NoRoom:
        reason = tr("This computer has a TPM, but it has no room for another key just now.");
        break;
    case platform::SealedKeyAvailability::Faulty:
    case platform::SealedKeyAvailability::Usable:
    case platform::SealedKeyAvailability::Absent:
        reason = tr("This computer has a TPM, but it does not answer as a TPM 2.0 that Zelvora "
                    "can use.");
        break;
    }
    const QString weaker =
        instead == platform::UserProtectionKind::Keyring
            ? tr("your desktop keyring, which protects them for your user account")
            : tr("a private key file in your configuration folder, readable by your user "
                 "account");
    return ui::chooseToGoOn(
        {QMessageBox::Warning, tr("Zelvora - TPM Not Usable"),
         reason + tr("\n\nZelvora can protect its settings with %1 instead. That is weaker than a "
                     "TPM, and stays the protection of this data folder from now on. Continue "
                     "without the TPM?")
                      .arg(weaker),
         tr("Continue Without the TPM"), "tpmNotUsableMessage", "continueWithoutTpmButton", false});
}

} // namespace

int startAndRunSessions(const CriticalMessage& critical, const SessionServices& services,
                        const ProtectionSetup& setUpProtection) {
    const CriticalMessage refuse =
        critical ? critical : [](const QString& title, const QString& text) {
            QMessageBox::critical(nullptr, title, text);
        };
    // Sessions end through the main window's own signal, never by the last window closing.
    QApplication::setQuitOnLastWindowClosed(false);

    setNames(kProductName);
    const QString genericData =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);

    // One Zelvora per user and data folder, settled before anything on disk is touched and
    // before any dialog. The data folder is named as dataFolderPath() names it below.
    SingleInstance instance(genericData + QStringLiteral("/Zelvora"));
    const CriticalMessage warn =
        critical ? critical : [](const QString& title, const QString& text) {
            QMessageBox::warning(nullptr, title, text);
        };
    switch (instance.start()) {
    case SingleInstance::Outcome::First:
        break;
    case SingleInstance::Outcome::OtherSignedIn:
        // Its main window was asked to the front; nothing more to say.
        return 0;
    case SingleInstance::Outcome::OtherSignedOut:
        QMessageBox::information(nullptr, alreadyRunningTitle(), alreadyRunningSignedOutMessage());
        return 0;
    case SingleInstance::Outcome::OtherUnreachable:
        warn(alreadyRunningTitle(), alreadyRunningUnreachableMessage());
        return 1;
    case SingleInstance::Outcome::Unavailable:
        warn(instanceCheckFailedTitle(), instanceCheckFailedMessage());
        return 1;
    }
    QObject::connect(&instance, &SingleInstance::activationRequested, &instance,
                     [] { raiseApplicationWindow(); });
    SessionServices sessionServices = services;
    sessionServices.signedInChanged = [&instance,
                                       chained = services.signedInChanged](bool signedIn) {
        instance.setSignedIn(signedIn);
        if (chained)
            chained(signedIn);
    };

    migrateLegacyFolders(genericData);

    // From here on the application data location is the generic one followed by "/Zelvora".
    QCoreApplication::setOrganizationName(QString());
    const QString dataFolder = dataFolderPath();
    repairDataFolderAccess(dataFolder);
    // Again, in case it vanished meanwhile (dataFolderPath() has made it private already).
    platform::createPrivateFolder(dataFolder);
    if (!isDataFolderWritable(dataFolder)) {
        refuse(dataFolderNotWritableTitle(), dataFolderNotWritableMessage(dataFolder));
        return 1;
    }
    // Nothing reads a settings key before this point.
    if (setUpProtection && !setUpProtection(dataFolder))
        return 1;

    core::AuthManager auth(dataFolder + QStringLiteral("/identity.dat"));
    const QString machineId = machineIdentifier(dataFolder);
    core::TwoFactorManager twoFactor(dataFolder + QStringLiteral("/twofactor.dat"));
    const QString idleLockPath = dataFolder + QStringLiteral("/idlelock.dat");
    const QString generationPath = dataFolder + QStringLiteral("/vault_generation.dat");

    // Bound to the generation storage.dat was last written under (normally the record's
    // highest; an earlier one after a crash between the two files' updates).
    bool unreadable = false;
    const QString storagePath = dataFolder + QStringLiteral("/storage.dat");
    core::StorageConfigFile storage =
        core::openStorageConfig(storagePath, machineId, generationPath, &unreadable);
    if (unreadable) {
        // A TPM that was cleared or replaced lost the key: the recovery code brings it back,
        // and start-up goes on once it has.
        const QString storageKey = storagePath + QStringLiteral(".key");
        const bool offered = restoreIsPossible(storageKey, auth.identityPath());
        const QString message = storageConfigRefusalMessage(
            storageKey, offered ? RefusalContext::StartWithRestore : RefusalContext::Start);
        if (!offered) {
            refuse(storageConfigRefusalTitle(), message);
            return 1;
        }
        if (!offerRestore(storageConfigRefusalTitle(), message,
                          auth.identityPath() + QStringLiteral(".key")))
            return 1;
        storage = core::openStorageConfig(storagePath, machineId, generationPath, &unreadable);
        if (unreadable) {
            refuse(storageConfigRefusalTitle(), storageConfigRefusalMessage(storageKey));
            return 1;
        }
    }
    recoverPendingKeyTransitions(auth, twoFactor, storage, dataFolder);

    const SessionInputs inputs{auth,           twoFactor,  storage,  idleLockPath,
                               generationPath, dataFolder, machineId};
    while (runSession(inputs, sessionServices) == 1) {
    }
    return 0;
}

int runApplication(int argc, char** argv) {
    setNames(kProductName);
    installCrashWipe();
    installLogFile();

    QApplication app(argc, argv);
    setNames(kProductName);
    ui::applyApplicationStyle(app);

    // The machine's protection for the settings keys, for the life of the process, by what the
    // data folder records: the TPM for a folder of the TPM's (whether or not it answers today:
    // one that does not is told as unreachable, never replaced), or for a new folder when one
    // answers and this user may use it (its key's PIN asked through a dialog); otherwise
    // protection for the user, by the kind recorded for the data folder (the keyring, or the
    // user key file), chosen once when the folder is first used. A TPM that answers but cannot
    // be used is told, and the user chooses.
    static ui::TpmPinPrompt pinPrompt;
    static platform::TpmSealedKeyStore tpm(platform::TpmSealedKeyStore::defaultTctiConfig(),
                                           platform::TpmSealedKeyStore::defaultKeyFolder(),
                                           &pinPrompt);
    static platform::NoSealedKeyStore noTpm;
    static std::unique_ptr<platform::IUserDataProtection> userProtection;
    const ProtectionSetup setUp = [](const QString& dataFolder) {
        userProtection = protect::selectUserProtection(
            dataFolder, [] { return platform::SecretServiceUserDataProtection::isAvailable(); },
            [](platform::UserProtectionKind kind) {
                return platform::createUserDataProtection(kind);
            });
        const protect::TpmDecision decision = protect::decideTpmUse(dataFolder, tpm);
        if (decision.use == protect::TpmUse::AskUser) {
            if (!continueWithoutTpm(decision.availability, userProtection->kind()))
                return false;
            // The user's choice stands for this folder.
            if (!protect::recordUserProtection(dataFolder, userProtection->kind()))
                qWarning("runApplication: could not record the choice to go on without the TPM; "
                         "it is asked again at the next start.");
        }
        protect::setLocalProtectionServices(decision.use == protect::TpmUse::Use
                                                ? static_cast<platform::ISealedKeyStore*>(&tpm)
                                                : &noTpm,
                                            userProtection.get());
        return true;
    };
    return startAndRunSessions({}, {}, setUp);
}

} // namespace korvex::app
