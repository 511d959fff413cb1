#include "ui/MainWindow.h"

#include "core/AuthManager.h"
#include "core/IdleLockSetting.h"
#include "core/StorageConfigFile.h"
#include "core/TwoFactorManager.h"
#include "crypto/SecureWipe.h"
#include "platform/CaptureExclusion.h"
#include "platform/ProcessInspection.h"
#include "platform/SessionLockWatcher.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/OwnFiles.h"
#include "protect/RollbackGuard.h"
#include "ui/AboutDialog.h"
#include "ui/BackgroundTask.h"
#include "ui/ConfigureDialog.h"
#include "ui/FileViewerDialog.h"
#include "ui/HelpDialog.h"
#include "ui/IdleLockWarningDialog.h"
#include "ui/RecoveryCodeDialog.h"
#include "ui/SecretClipboard.h"
#include "ui/Theme.h"
#include "ui/VaultBrowserWidget.h"
#include "vault/VaultContainer.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QEvent>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QTimer>
#include <sodium.h>

namespace {

constexpr int kDebuggerCheckMs = 5000;

} // namespace

MainWindow::MainWindow(korvex::crypto::SecureBuffer vaultKey, const QString& username,
                       const QString& machineId,
                       std::unique_ptr<korvex::vault::VaultContainer> container,
                       korvex::core::AuthManager& auth, korvex::core::TwoFactorManager& twoFactor,
                       korvex::core::StorageConfigFile& storage, const QString& idleLockPath,
                       const QString& generationRecordPath,
                       korvex::platform::SessionLockWatcher* lockWatcher, QWidget* parent)
    : QMainWindow(parent), vaultKey_(std::move(vaultKey)), username_(username),
      machineId_(machineId), auth_(auth), twoFactor_(twoFactor), storage_(storage),
      generationRecordPath_(generationRecordPath), idleLockPath_(idleLockPath),
      idleTimeout_(idleLockPath), container_(std::move(container)) {
    setWindowTitle(tr("Zelvora"));
    resize(900, 600);

    if (container_) {
        // The data folder holds the generation record; the vault file is where the storage
        // configuration puts it (none for a raw-disk vault).
        const QString dataFolder = QFileInfo(generationRecordPath).absolutePath();
        korvex::core::StorageConfig config;
        storage_.load(&config);
        const QString vaultPath =
            config.backend == korvex::vault::StorageBackend::Container
                ? korvex::core::currentContainerPath(config.container, dataFolder)
                : QString();
        setCentralWidget(new VaultBrowserWidget(
            container_.get(), this, korvex::protect::OwnFiles::of(dataFolder, vaultPath)));
    } else {
        auto* label = new QLabel(tr("Could not open the vault. This may be the wrong password, or "
                                    "this vault is locked to a different machine than the one it "
                                    "was created on."),
                                 this);
        label->setObjectName(QStringLiteral("vaultUnavailableLabel"));
        label->setAlignment(Qt::AlignCenter);
        label->setWordWrap(true);
        setCentralWidget(label);
    }

    buildMenus();

    idleTimer_ = new QTimer(this);
    idleTimer_->setObjectName(QStringLiteral("idleTimer"));
    idleTimer_->setSingleShot(true);
    connect(idleTimer_, &QTimer::timeout, this, &MainWindow::onIdleTimeout);
    qApp->installEventFilter(this);
    applyIdleTimeout();

    lockWatcher_ = lockWatcher ? lockWatcher : new korvex::platform::SessionLockWatcher(this);
    lockWatcher_->setParent(this);
    connect(lockWatcher_, &korvex::platform::SessionLockWatcher::sessionLockedOrSuspended, this,
            &MainWindow::onOsSessionLockedOrSuspended, Qt::DirectConnection);

    debuggerCheckTimer_ = new QTimer(this);
    debuggerCheckTimer_->setObjectName(QStringLiteral("debuggerCheckTimer"));
    connect(debuggerCheckTimer_, &QTimer::timeout, this, &MainWindow::onDebuggerCheckTimeout);
    debuggerCheckTimer_->start(kDebuggerCheckMs);
    onDebuggerCheckTimeout();

    if (container_) {
        rollbackGuardTimer_ = new QTimer(this);
        rollbackGuardTimer_->setObjectName(QStringLiteral("rollbackGuardTimer"));
        connect(rollbackGuardTimer_, &QTimer::timeout, this,
                &MainWindow::onRollbackGuardAdvanceTimeout);
        rollbackGuardTimer_->start(kRollbackGuardAdvanceMs);
    }
    // Keys must be gone before the machine sleeps: the suspend is held back for as long as this
    // window lives (the watcher lets go when it is destroyed with the window), which is after
    // the wipe and after every dialog that held a secret has returned.
    if (!lockWatcher_->holdSleepInhibitor())
        qWarning("MainWindow: could not delay suspend until the session is wiped -- the wipe on "
                 "sleep may race the suspend.");
}

MainWindow::~MainWindow() {
    qApp->removeEventFilter(this);
    wipeSecretsOnce();
}

void MainWindow::buildMenus() {
    QMenu* file = menuBar()->addMenu(tr("&File"));
    QAction* configure = file->addAction(korvex::ui::loadIcon(QStringLiteral(":/icons/key.svg")),
                                         tr("&Configure..."));
    configure->setObjectName(QStringLiteral("configureAction"));
    connect(configure, &QAction::triggered, this, &MainWindow::onConfigureTriggered);
    file->addSeparator();
    QAction* signOut =
        file->addAction(korvex::ui::loadIcon(QStringLiteral(":/icons/lock.svg")), tr("Sign &Out"));
    signOut->setObjectName(QStringLiteral("signOutAction"));
    connect(signOut, &QAction::triggered, this, &MainWindow::onSignOutTriggered);
    // Quitting ends the session the way closing the window does: wiped first, then gone.
    QAction* quit = file->addAction(tr("&Quit"));
    quit->setObjectName(QStringLiteral("quitAction"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &MainWindow::close);

    QMenu* help = menuBar()->addMenu(tr("&Help"));
    QAction* guide = help->addAction(korvex::ui::loadIcon(QStringLiteral(":/icons/key.svg")),
                                     tr("&User Guide..."));
    guide->setObjectName(QStringLiteral("userGuideAction"));
    connect(guide, &QAction::triggered, this, &MainWindow::onHelpTriggered);
    help->addSeparator();
    QAction* about = help->addAction(korvex::ui::loadIcon(QStringLiteral(":/icons/app.svg")),
                                     tr("&About Zelvora..."));
    about->setObjectName(QStringLiteral("aboutAction"));
    connect(about, &QAction::triggered, this, &MainWindow::onAboutTriggered);
}

void MainWindow::applyIdleTimeout() {
    if (wiped_) {
        idleTimer_->stop();
        return;
    }
    const int minutes = idleTimeout_.minutes();
    if (minutes > 0)
        idleTimer_->start(korvex::core::idleTimeoutMilliseconds(minutes));
    else
        idleTimer_->stop();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseMove:
    case QEvent::KeyPress:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
        applyIdleTimeout();
        break;
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    korvex::platform::excludeFromCapture(winId());
    if (!lockWatcher_->registerFor(winId()))
        qWarning("SessionLockWatcher::registerFor failed -- explicit lock/fast-switch/disconnect "
                 "detection is inactive for this session; idle timeout is still active.");
}

void MainWindow::closeEvent(QCloseEvent* event) {
    wipeSessionSynchronously();
    QMainWindow::closeEvent(event);
    announceSessionEnd();
}

void MainWindow::announceSessionEnd() {
    if (sessionEndAnnounced_)
        return;
    sessionEndAnnounced_ = true;
    Q_EMIT sessionEnded(sessionExitCode_);
}

void MainWindow::onConfigureTriggered() {
    if (wiped_)
        return;
    {
        ConfigureDialog dialog(vaultKey_, username_, machineId_, auth_, twoFactor_, storage_,
                               idleLockPath_, generationRecordPath_, container_.get(), this);
        dialog.exec();
        // A re-keyed vault opens only with the new key from here on. After a wipe there is no
        // session left to take it into.
        std::optional<korvex::crypto::SecureBuffer> newKey = dialog.takeNewVaultKey();
        if (newKey && !wiped_)
            vaultKey_ = std::move(*newKey);
    }
    applyIdleTimeout();
}

void MainWindow::onAboutTriggered() {
    AboutDialog dialog(this);
    dialog.exec();
}

void MainWindow::onHelpTriggered() {
    HelpDialog dialog(auth_, this);
    dialog.exec();
}

void MainWindow::onSignOutTriggered() {
    const auto answer = QMessageBox::question(
        this, tr("Sign Out"),
        tr("Sign out of Zelvora? You'll need to log in again to access the vault."),
        QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
    if (answer == QMessageBox::Yes)
        endSession(kSignOutExitCode);
}

void MainWindow::onOsSessionLockedOrSuspended() {
    endSession(kSignOutExitCode);
}

void MainWindow::onIdleTimeout() {
    if (wiped_)
        return;
    const QString vaultId = container_ ? container_->vaultId() : QString();
    IdleLockWarningDialog warning(kIdleWarningSeconds, auth_, twoFactor_, vaultId, this);
    if (warning.exec() != QDialog::Accepted) {
        endSession(kSignOutExitCode);
        return;
    }
    applyIdleTimeout();
}

quint64 MainWindow::lastRecordedGeneration() const {
    return storage_.bindingNumber();
}

void MainWindow::onRollbackGuardAdvanceTimeout() {
    // A worker that has the vault is not disturbed; the next tick comes soon enough.
    if (!container_ || wiped_ || korvex::ui::BackgroundTask::isRunning())
        return;
    korvex::protect::checkAndAdvance(generationRecordPath_, container_->vaultId(),
                                     container_->generationCounter(), false);
    // storage.dat follows the record's highest generation; the record keeps the old value
    // until storage.dat is rewritten, so a crash in between leaves both readable.
    if (korvex::protect::highestGeneration(generationRecordPath_) != storage_.bindingNumber())
        korvex::core::rebindToRollbackRecord(storage_, generationRecordPath_);
}

void MainWindow::onDebuggerCheckTimeout() {
    const int tracer = korvex::platform::tracerPid();
    if (tracer != 0 && tracer != reportedTracer_)
        qWarning("MainWindow: process %d is tracing Zelvora (a debugger may be reading its "
                 "memory).",
                 tracer);
    reportedTracer_ = tracer;
}

void MainWindow::endSession(int exitCode) {
    sessionExitCode_ = exitCode;
    wipeSessionSynchronously();
    announceSessionEnd();
}

void MainWindow::wipeSessionSynchronously() {
    if (wipeSecretsOnce())
        QApplication::closeAllWindows();
}

bool MainWindow::wipeSecretsOnce() {
    if (wiped_)
        return false;
    wiped_ = true;
    const QDateTime started = QDateTime::currentDateTimeUtc();
    qWarning("MainWindow::wipeSessionSynchronously: starting at %s",
             qUtf8Printable(started.toString(Qt::ISODate)));

    idleTimer_->stop();
    if (rollbackGuardTimer_)
        rollbackGuardTimer_->stop();
    // Long work on the vault stops at its next safe point (an erase or a commit under way is
    // finished) before anything it uses is wiped; the suspend stays held back meanwhile.
    korvex::ui::BackgroundTask::stopAndWait();
    if (!vaultKey_.empty())
        sodium_memzero(vaultKey_.data(), vaultKey_.size());
    auth_.forgetSessionKey();
    if (container_)
        container_->wipeSecrets();
    for (VaultBrowserWidget* browser : findChildren<VaultBrowserWidget*>())
        browser->clear();
    for (FileViewerDialog* viewer : findChildren<FileViewerDialog*>())
        viewer->overwriteContent();
    for (RecoveryCodeDialog* recovery : findChildren<RecoveryCodeDialog*>())
        recovery->wipe();
    korvex::ui::SecretClipboard::instance().clearNow();
    for (ConfigureDialog* configure : findChildren<ConfigureDialog*>())
        configure->wipe();
    korvex::protect::LocalIntegrityKey::clearRootCache();

    const QDateTime finished = QDateTime::currentDateTimeUtc();
    qWarning("MainWindow::wipeSessionSynchronously: core wipe finished at %s (%lld ms after "
             "starting)",
             qUtf8Printable(finished.toString(Qt::ISODate)),
             static_cast<long long>(started.msecsTo(finished)));
    return true;
}
