#include "app/Startup.h"

#include "app/CrashWipe.h"
#include "app/DataFolder.h"
#include "app/KeyTransitionRecovery.h"
#include "app/LogFile.h"
#include "app/SingleInstance.h"
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
#include "protect/UserProtectionChoice.h"
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
    if (setUpProtection)
        setUpProtection(dataFolder);

    core::AuthManager auth(dataFolder + QStringLiteral("/identity.dat"));
    const QString machineId = machineIdentifier(dataFolder);
    core::TwoFactorManager twoFactor(dataFolder + QStringLiteral("/twofactor.dat"));
    const QString idleLockPath = dataFolder + QStringLiteral("/idlelock.dat");
    const QString generationPath = dataFolder + QStringLiteral("/vault_generation.dat");

    // Bound to the generation storage.dat was last written under (normally the record's
    // highest; an earlier one after a crash between the two files' updates).
    bool unreadable = false;
    core::StorageConfigFile storage = core::openStorageConfig(
        dataFolder + QStringLiteral("/storage.dat"), machineId, generationPath, &unreadable);
    if (unreadable) {
        refuse(storageConfigRefusalTitle(),
               storageConfigRefusalMessage(storage.path() + QStringLiteral(".key")));
        return 1;
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

    // The machine's protection for the settings keys, for the life of the process: the TPM
    // when one answers and this user may use it (its key's PIN asked through a dialog), and
    // otherwise, as for files made before, protection for the user, by the kind recorded for
    // the data folder (the keyring, or the user key file), chosen once when the folder is first
    // used.
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
        platform::ISealedKeyStore* sealedKeys = &noTpm;
        if (tpm.hasProvider())
            sealedKeys = &tpm;
        protect::setLocalProtectionServices(sealedKeys, userProtection.get());
    };
    return startAndRunSessions({}, {}, setUp);
}

} // namespace korvex::app
