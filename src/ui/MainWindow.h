#pragma once

#include "core/IdleLockSetting.h"
#include "crypto/SecureBuffer.h"

#include <QMainWindow>
#include <QString>
#include <memory>

class QTimer;

namespace korvex::core {
class AuthManager;
class StorageConfigFile;
class TwoFactorManager;
} // namespace korvex::core
namespace korvex::platform {
class SessionLockWatcher;
}
namespace korvex::vault {
class VaultContainer;
}

// The one window of a signed-in session. Every way out of the session (sign-out, idle expiry,
// the desktop locking or the machine going to sleep, closing the window) passes through
// wipeSessionSynchronously(). The window then announces the end of the session once: with
// kSignOutExitCode for a sign-out (ask for a new sign-in), with 0 when it was closed (quit).
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int kSignOutExitCode = 42;
    static constexpr int kIdleWarningSeconds = 30;
    static constexpr int kRollbackGuardAdvanceMs = 3000;

    // Takes the container (possibly null: the vault could not be opened). lockWatcher, when
    // given, replaces the watcher on the desktop's own buses; the window takes it over.
    MainWindow(korvex::crypto::SecureBuffer vaultKey, const QString& username,
               const QString& machineId, std::unique_ptr<korvex::vault::VaultContainer> container,
               korvex::core::AuthManager& auth, korvex::core::TwoFactorManager& twoFactor,
               korvex::core::StorageConfigFile& storage, const QString& idleLockPath,
               const QString& generationRecordPath,
               korvex::platform::SessionLockWatcher* lockWatcher = nullptr,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    // Zeroes every key and decrypted byte the session holds, in the window, the container and
    // every dialog, then closes all windows. Only the first call acts.
    void wipeSessionSynchronously();
    bool isWiped() const { return wiped_; }

    korvex::vault::VaultContainer* container() const { return container_.get(); }
    const korvex::crypto::SecureBuffer& vaultKey() const { return vaultKey_; }
    // The generation storage.dat is bound to.
    quint64 lastRecordedGeneration() const;

    // (Re)arms the idle timer from idlelock.dat: stopped when the setting is 0.
    void applyIdleTimeout();

    bool eventFilter(QObject* watched, QEvent* event) override;

Q_SIGNALS:
    // The session is over and wiped; the event loop ends with exitCode.
    void sessionEnded(int exitCode);

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private Q_SLOTS:
    void onConfigureTriggered();
    void onAboutTriggered();
    void onHelpTriggered();
    void onSignOutTriggered();
    void onIdleTimeout();
    void onRollbackGuardAdvanceTimeout();
    void onOsSessionLockedOrSuspended();
    void onDebuggerCheckTimeout();

private:
    void buildMenus();
    void endSession(int exitCode);
    // The wipe itself, without closing any window; false when it had already run.
    bool wipeSecretsOnce();
    void announceSessionEnd();

    bool wiped_ = false;
    korvex::crypto::SecureBuffer vaultKey_;
    QString username_;
    QString machineId_;
    korvex::core::AuthManager& auth_;
    korvex::core::TwoFactorManager& twoFactor_;
    korvex::core::StorageConfigFile& storage_;
    QString generationRecordPath_;
    QString idleLockPath_;
    korvex::core::IdleTimeoutSource idleTimeout_;
    QTimer* idleTimer_ = nullptr;
    QTimer* rollbackGuardTimer_ = nullptr;
    QTimer* debuggerCheckTimer_ = nullptr;
    korvex::platform::SessionLockWatcher* lockWatcher_ = nullptr;
    std::unique_ptr<korvex::vault::VaultContainer> container_;
    int sessionExitCode_ = 0;
    bool sessionEndAnnounced_ = false;
    int reportedTracer_ = 0;
};
