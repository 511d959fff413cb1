// The signed-in window: the session wipe, the idle lock and its warning, the rollback-guard
// advance and sign-out.

#include "core/AuthManager.h"
#include "core/IdleLockSetting.h"
#include "core/LockoutTracker.h"
#include "core/StorageConfigFile.h"
#include "core/TwoFactorManager.h"
#include "crypto/SecureBuffer.h"
#include "platform/SessionLockWatcher.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/RollbackGuard.h"
#include "support/PlatformDoubles.h"
#include "support/TestSupport.h"
#include "ui/FileViewerDialog.h"
#include "ui/IdleLockWarningDialog.h"
#include "ui/LoginDialog.h"
#include "ui/MainWindow.h"
#include "ui/RecoveryCodeDialog.h"
#include "ui/VaultBrowserWidget.h"
#include "vault/FileBlockStore.h"
#include "vault/VaultContainer.h"

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <sodium.h>

using namespace korvex;

namespace {

const QString kMachine = QStringLiteral("main-window-test-machine");
const QString kPassword = QStringLiteral("Window-Test-Pass-9!");
const QByteArray kSecretContent("TOP SECRET CONTENT of the stored file");

QStringList gLog;
void captureLog(QtMsgType, const QMessageLogContext&, const QString& message) {
    gLog << message;
}

bool allZero(const crypto::SecureBuffer& buffer) {
    for (std::size_t i = 0; i < buffer.size(); ++i) {
        if (buffer.data()[i] != 0)
            return false;
    }
    return true;
}

// Runs act on the next modal widget of type T, from the event loop.
template <typename T> void whenModal(std::function<void(T*)> act, int attempts = 400) {
    QTimer::singleShot(10, qApp, [act, attempts] {
        if (auto* widget = qobject_cast<T*>(QApplication::activeModalWidget());
            widget && widget->isVisible())
            act(widget);
        else if (attempts > 0)
            whenModal<T>(act, attempts - 1);
    });
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

    test::FakeSealedKeyStore tpm_;
    test::FakeUserDataProtection user_;
    QTemporaryDir dir_;
    std::unique_ptr<core::AuthManager> auth_;
    std::unique_ptr<core::TwoFactorManager> twoFactor_;
    std::unique_ptr<core::StorageConfigFile> storage_;
    crypto::SecureBuffer vaultKey_;
    int vaults_ = 0;

    QString path(const char* name) const { return dir_.filePath(QString::fromLatin1(name)); }

    std::unique_ptr<vault::VaultContainer> newVault() {
        const QString file = dir_.filePath(QStringLiteral("vault%1.kvxs").arg(++vaults_));
        auto vault = vault::VaultContainer::create(std::make_unique<vault::FileBlockStore>(file),
                                                   vaultKey_, kMachine);
        const QString source = dir_.filePath(QStringLiteral("source.txt"));
        if (!vault || !test::writeFile(source, kSecretContent) ||
            !vault->importFile(source, QStringLiteral("secret-name.txt")))
            return nullptr;
        return vault;
    }

    // A window on the given vault with a watcher that is connected to no bus.
    std::unique_ptr<MainWindow> newWindow(std::unique_ptr<vault::VaultContainer> vault) {
        auto* watcher = new platform::SessionLockWatcher(QDBusConnection(QStringLiteral("none")),
                                                         QDBusConnection(QStringLiteral("none")));
        return std::make_unique<MainWindow>(
            vaultKey_.clone(), QStringLiteral("tester"), kMachine, std::move(vault), *auth_,
            *twoFactor_, *storage_, path("idlelock.dat"), path("vault_generation.dat"), watcher);
    }

private Q_SLOTS:
    void initTestCase() {
        tpm_.mode = test::FakeSealedKeyStore::Mode::NoProvider;
        protect::setLocalProtectionServices(&tpm_, &user_);
        auth_ =
            std::make_unique<core::AuthManager>(path("identity.dat"), core::systemClock(),
                                                core::createSettingsFloorStore(path("floor.conf")));
        twoFactor_ = std::make_unique<core::TwoFactorManager>(path("twofactor.dat"));
        storage_ = std::make_unique<core::StorageConfigFile>(path("storage.dat"), kMachine, 0);
        std::optional<crypto::SecureBuffer> key =
            auth_->createAccount(QStringLiteral("tester"), kPassword.toStdString());
        QVERIFY(key);
        vaultKey_ = std::move(*key);
    }
    void cleanupTestCase() { protect::setLocalProtectionServices(nullptr, nullptr); }

    void sessionWipeLeavesNothing() {
        std::unique_ptr<MainWindow> window = newWindow(newVault());
        QVERIFY(window->container());
        window->show();
        auto* browser = window->findChild<VaultBrowserWidget*>();
        auto* table = window->findChild<QTableWidget*>(QStringLiteral("vaultTable"));
        QVERIFY(browser && table);
        QCOMPARE(table->rowCount(), 1);
        auto* viewer =
            new FileViewerDialog(kSecretContent, QStringLiteral("secret-name.txt"), browser);
        viewer->show();
        auto* recovery = new RecoveryCodeDialog(QStringLiteral("ABCDEFGH-RECOVERY"), window.get());
        recovery->show();
        QSignalSpy ended(window.get(), &MainWindow::sessionEnded);

        gLog.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureLog);
        window->wipeSessionSynchronously();
        const QStringList firstLog = gLog;
        gLog.clear();
        window->wipeSessionSynchronously();
        qInstallMessageHandler(previous);

        QVERIFY(allZero(window->vaultKey()));
        QVERIFY(window->container()->isWiped());
        QVERIFY(window->container()->listEntries().isEmpty());
        QCOMPARE(table->rowCount(), 0);
        for (const char* button : {"viewButton", "exportButton", "removeButton"})
            QVERIFY(!window->findChild<QPushButton*>(QString::fromLatin1(button))->isEnabled());
        QVERIFY(viewer->findChild<QPlainTextEdit*>()->toPlainText().isEmpty());
        for (QLabel* label : recovery->findChildren<QLabel*>())
            QVERIFY(!label->text().contains(QStringLiteral("RECOVERY")));
        QVERIFY(!window->isVisible() && !viewer->isVisible() && !recovery->isVisible());
        // Closing the window was the end of the session: quit, not a new sign-in.
        QCOMPARE(ended.count(), 1);
        QCOMPARE(ended.first().first().toInt(), 0);

        QCOMPARE(firstLog.size(), 2);
        QVERIFY(firstLog[0].startsWith(
            QStringLiteral("MainWindow::wipeSessionSynchronously: starting at ")));
        QVERIFY(firstLog[1].startsWith(
            QStringLiteral("MainWindow::wipeSessionSynchronously: core wipe finished at ")));
        QVERIFY(gLog.isEmpty());
    }

    void windowWithoutVault() {
        std::unique_ptr<MainWindow> window = newWindow(nullptr);
        auto* label = qobject_cast<QLabel*>(window->centralWidget());
        QVERIFY(label);
        QVERIFY(label->text().startsWith(QStringLiteral("Could not open the vault.")));
        QVERIFY(!window->findChild<QTimer*>(QStringLiteral("rollbackGuardTimer")));
    }

    void idleTimerFollowsTheSetting() {
        QVERIFY(core::saveIdleTimeoutMinutes(path("idlelock.dat"), 0));
        std::unique_ptr<MainWindow> window = newWindow(nullptr);
        auto* idle = window->findChild<QTimer*>(QStringLiteral("idleTimer"));
        QVERIFY(idle && idle->isSingleShot());
        QVERIFY(!idle->isActive());

        // A change takes effect at the next activity anywhere in the application.
        QVERIFY(core::saveIdleTimeoutMinutes(path("idlelock.dat"), 1440));
        QWidget elsewhere;
        QTest::mouseMove(&elsewhere);
        QKeyEvent key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier);
        QApplication::sendEvent(&elsewhere, &key);
        QVERIFY(idle->isActive());
        QCOMPARE(idle->interval(), 86'400'000);

        // Damaged: the default of 15 minutes.
        QVERIFY(test::flipByte(path("idlelock.dat"),
                               test::readWholeFile(path("idlelock.dat")).size() - 3));
        QApplication::sendEvent(&elsewhere, &key);
        QCOMPARE(idle->interval(), 15 * 60'000);
        QVERIFY(QFile::remove(path("idlelock.dat")));
    }

    void idleWarningSignsOutUnlessConfirmed() {
        // Escape (or the close button) signs out exactly as the countdown does.
        {
            std::unique_ptr<MainWindow> window = newWindow(newVault());
            window->show();
            QSignalSpy ended(window.get(), &MainWindow::sessionEnded);
            QString shown;
            whenModal<IdleLockWarningDialog>([&shown](IdleLockWarningDialog* warning) {
                shown =
                    warning->findChild<QLabel*>(QStringLiteral("idleLockCountdownLabel"))->text();
                QTest::keyClick(warning, Qt::Key_Escape);
            });
            QVERIFY(QMetaObject::invokeMethod(window.get(), "onIdleTimeout"));
            QCOMPARE(shown, QStringLiteral(
                                "Signing out in 30 second(s) unless you confirm your password."));
            QVERIFY(window->isWiped());
            QCOMPARE(ended.count(), 1);
            QCOMPARE(ended.first().first().toInt(), MainWindow::kSignOutExitCode);
        }
        // The countdown: "1" after 29 ticks, rejected at the 30th.
        {
            IdleLockWarningDialog warning(MainWindow::kIdleWarningSeconds, *auth_, *twoFactor_,
                                          QString());
            auto* label = warning.findChild<QLabel*>(QStringLiteral("idleLockCountdownLabel"));
            QSignalSpy rejected(&warning, &QDialog::rejected);
            for (int i = 0; i < 29; ++i)
                QVERIFY(QMetaObject::invokeMethod(&warning, "onTick"));
            QCOMPARE(
                label->text(),
                QStringLiteral("Signing out in 1 second(s) unless you confirm your password."));
            QCOMPARE(rejected.count(), 0);
            QVERIFY(QMetaObject::invokeMethod(&warning, "onTick"));
            QCOMPARE(rejected.count(), 1);
        }
        // A wrong password leaves the warning counting; the right one keeps the session.
        {
            std::unique_ptr<MainWindow> window = newWindow(newVault());
            // The account is bound to this window's vault, as a session's sign-in leaves it.
            QVERIFY(auth_->login(kPassword.toStdString(), true, QString(), nullptr, nullptr));
            QVERIFY(auth_->bindVaultId(vaultKey_, window->container()->vaultId()));
            window->show();
            QSignalSpy ended(window.get(), &MainWindow::sessionEnded);
            QStringList seen;
            whenModal<IdleLockWarningDialog>([&seen](IdleLockWarningDialog* warning) {
                seen << QString::number(warning->remainingSeconds());
                auto* stillHere =
                    warning->findChild<QPushButton*>(QStringLiteral("idleLockStillHereButton"));
                whenModal<LoginDialog>([&seen, warning](LoginDialog* login) {
                    auto* password =
                        login->findChild<QLineEdit*>(QStringLiteral("loginPasswordEdit"));
                    password->setText(QStringLiteral("Not-The-Password-1!"));
                    login->findChild<QPushButton*>(QStringLiteral("loginUnlockButton"))->click();
                    seen << login->findChild<QLabel*>(QStringLiteral("loginErrorLabel"))->text();
                    seen << (warning->isVisible() ? QStringLiteral("still warning")
                                                  : QStringLiteral("gone"));
                    password->setText(kPassword);
                    login->findChild<QPushButton*>(QStringLiteral("loginUnlockButton"))->click();
                });
                QTimer::singleShot(0, stillHere, &QPushButton::click);
            });
            QVERIFY(QMetaObject::invokeMethod(window.get(), "onIdleTimeout"));
            QCOMPARE(seen, QStringList({QStringLiteral("29"), QStringLiteral("Incorrect password."),
                                        QStringLiteral("still warning")}));
            QVERIFY(!window->isWiped());
            QCOMPARE(ended.count(), 0);
            QVERIFY(window->findChild<QTimer*>(QStringLiteral("idleTimer"))->isActive());
            window->wipeSessionSynchronously();
        }
    }

    void signOutAsksFirst() {
        std::unique_ptr<MainWindow> window = newWindow(newVault());
        window->show();
        QSignalSpy ended(window.get(), &MainWindow::sessionEnded);
        QAction* signOut = window->findChild<QAction*>(QStringLiteral("signOutAction"));
        QVERIFY(signOut);
        whenModal<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Cancel)->click(); });
        signOut->trigger();
        QVERIFY(!window->isWiped());
        QCOMPARE(ended.count(), 0);
        whenModal<QMessageBox>([](QMessageBox* box) {
            QCOMPARE(box->windowTitle(), QStringLiteral("Sign Out"));
            box->button(QMessageBox::Yes)->click();
        });
        signOut->trigger();
        QVERIFY(window->isWiped());
        QCOMPARE(ended.count(), 1);
        QCOMPARE(ended.first().first().toInt(), MainWindow::kSignOutExitCode);
    }

    // Ctrl+Q quits: the session is wiped and ends as closing the window ends it.
    void ctrlQQuitsThroughTheWipe() {
        std::unique_ptr<MainWindow> window = newWindow(newVault());
        window->show();
        QApplication::setActiveWindow(window.get());
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        QSignalSpy ended(window.get(), &MainWindow::sessionEnded);
        QTest::keyClick(window.get(), Qt::Key_Q, Qt::ControlModifier);
        QVERIFY(window->isWiped());
        QVERIFY(window->container()->isWiped());
        QCOMPARE(ended.count(), 1);
        QCOMPARE(ended.first().first().toInt(), 0);
    }

    void rollbackGuardAdvancesAndRebinds() {
        QVERIFY(storage_->save(core::StorageConfig()));
        std::unique_ptr<vault::VaultContainer> vault = newVault();
        const QString record = path("vault_generation.dat");
        QVERIFY(
            protect::checkAndAdvance(record, vault->vaultId(), vault->generationCounter(), true));
        // As the session does once the vault is open.
        QVERIFY(core::rebindToRollbackRecord(*storage_, record));
        std::unique_ptr<MainWindow> window = newWindow(std::move(vault));
        const quint64 before = window->lastRecordedGeneration();
        QCOMPARE(before, protect::highestGeneration(record));

        // A commit during the session moves the generation on; the next tick records it.
        QVERIFY(window->container()->removeFile(QStringLiteral("secret-name.txt")));
        const quint64 now = window->container()->generationCounter();
        QVERIFY(now > before);
        QVERIFY(QMetaObject::invokeMethod(window.get(), "onRollbackGuardAdvanceTimeout"));
        QCOMPARE(protect::highestGeneration(record), now);
        QCOMPARE(window->lastRecordedGeneration(), now);
        // The storage configuration is now bound to that generation.
        core::StorageConfig config;
        QVERIFY(core::StorageConfigFile(path("storage.dat"), kMachine, now).load(&config));
        QVERIFY(!core::StorageConfigFile(path("storage.dat"), kMachine, before).load(&config));
        window->wipeSessionSynchronously();
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
