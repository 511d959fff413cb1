#include "app/Startup.h"

#include "app/CrashWipe.h"
#include "app/DataFolder.h"
#include "app/KeyTransitionRecovery.h"
#include "app/LogFile.h"
#include "core/AuthManager.h"
#include "core/StorageConfigFile.h"
#include "core/TwoFactorManager.h"
#include "platform/SealedKeyStore.h"
#include "platform/UserDataProtection.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/RollbackGuard.h"
#include "ui/Theme.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
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

int startAndRunSessions(const CriticalMessage& critical, const SessionServices& services) {
    const CriticalMessage refuse =
        critical ? critical : [](const QString& title, const QString& text) {
            QMessageBox::critical(nullptr, title, text);
        };
    // Sessions end through the main window's own signal, never by the last window closing.
    QApplication::setQuitOnLastWindowClosed(false);

    setNames(kProductName);
    migrateLegacyFolders(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));

    // From here on the application data location is the generic one followed by "/Zelvora".
    QCoreApplication::setOrganizationName(QString());
    const QString dataFolder = dataFolderPath();
    repairDataFolderAccess(dataFolder);
    QDir().mkpath(dataFolder);
    if (!isDataFolderWritable(dataFolder)) {
        refuse(dataFolderNotWritableTitle(), dataFolderNotWritableMessage(dataFolder));
        return 1;
    }

    core::AuthManager auth(dataFolder + QStringLiteral("/identity.dat"));
    const QString machineId = machineIdentifier(dataFolder);
    core::TwoFactorManager twoFactor(dataFolder + QStringLiteral("/twofactor.dat"));
    const QString idleLockPath = dataFolder + QStringLiteral("/idlelock.dat");
    const QString generationPath = dataFolder + QStringLiteral("/vault_generation.dat");

    core::StorageConfigFile storage(dataFolder + QStringLiteral("/storage.dat"), machineId,
                                    protect::highestGeneration(generationPath));
    if (storage.isUnreadable()) {
        refuse(storageConfigRefusalTitle(),
               storageConfigRefusalMessage(storage.path() + QStringLiteral(".key")));
        return 1;
    }
    recoverPendingKeyTransitions(auth, twoFactor, storage, dataFolder);

    const SessionInputs inputs{auth,           twoFactor,  storage,  idleLockPath,
                               generationPath, dataFolder, machineId};
    while (runSession(inputs, services) == 1) {
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

    // The machine's protection for the settings keys, for the life of the process. This build
    // has no TPM access: the keys are protected for the user (keyring, else the user key file).
    static platform::NoSealedKeyStore noTpm;
    static std::unique_ptr<platform::IUserDataProtection> userProtection =
        platform::createUserDataProtection();
    protect::setLocalProtectionServices(&noTpm, userProtection.get());

    return startAndRunSessions();
}

} // namespace korvex::app
