// The main window against a desktop that locks or sleeps: logind and a screen saver on private
// buses. Each event wipes the session once and signs out; the suspend inhibitor is held while a
// vault is open and let go only once the keys are gone.

#include "app/GuiScript.h"
#include "core/AuthManager.h"
#include "core/StorageConfigFile.h"
#include "core/Totp.h"
#include "core/TwoFactorManager.h"
#include "crypto/Base32.h"
#include "platform/FakeLogind.h"
#include "platform/PrivateBusDaemon.h"
#include "platform/PrivateSessionBus.h"
#include "platform/SessionLockWatcher.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/RollbackGuard.h"
#include "support/PlatformDoubles.h"
#include "ui/ConfigureDialog.h"
#include "ui/MainWindow.h"
#include "vault/FileBlockStore.h"
#include "vault/VaultContainer.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace korvex;
using test::FakeLogind;

namespace {

const QString kSessionId = QStringLiteral("c2");
const QString kSessionPath = QStringLiteral("/org/freedesktop/login1/session/c2");

// Set by the log handler at the moment the wipe reports itself finished.
FakeLogind* gLogind = nullptr;
QStringList gAtWipeEnd;
// What an open settings dialog still held when the wipe finished.
QStringList gConfigureAtWipeEnd;
QtMessageHandler gPrevious = nullptr;

void watchWipe(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(
            QStringLiteral("MainWindow::wipeSessionSynchronously: core wipe finished")))
        gAtWipeEnd << (gLogind->inhibitor(gLogind->inhibitorsGiven() - 1) ==
                               FakeLogind::Inhibitor::Held
                           ? QStringLiteral("inhibitor held")
                           : QStringLiteral("inhibitor released"));
    if (message.startsWith(
            QStringLiteral("MainWindow::wipeSessionSynchronously: core wipe finished"))) {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<ConfigureDialog*>(widget);
            if (!dialog)
                continue;
            gConfigureAtWipeEnd << (dialog->hasNewVaultKey() ? QStringLiteral("new key kept")
                                                             : QStringLiteral("no key"));
            for (const char* name : {"currentPasswordEdit", "newPasswordEdit",
                                     "confirmNewPasswordEdit", "twoFactorCodeEdit"}) {
                if (!dialog->findChild<QLineEdit*>(QLatin1String(name))->text().isEmpty())
                    gConfigureAtWipeEnd << QLatin1String(name);
            }
        }
    }
    if (gPrevious)
        gPrevious(type, context, message);
}

} // namespace

class TestSessionLock : public QObject {
    Q_OBJECT

    test::PrivateSessionBus sessionBus_;
    test::PrivateBusDaemon systemBus_;
    std::unique_ptr<FakeLogind> logind_;
    QDBusConnection screenSaver_{QString()};
    test::FakeSealedKeyStore tpm_;
    test::FakeUserDataProtection user_;
    QTemporaryDir dir_;
    std::unique_ptr<core::AuthManager> auth_;
    std::unique_ptr<core::TwoFactorManager> twoFactor_;
    std::unique_ptr<core::StorageConfigFile> storage_;
    int windows_ = 0;

    std::unique_ptr<MainWindow> newWindow() {
        const crypto::SecureBuffer key =
            crypto::SecureBuffer::copyOf("0123456789abcdef0123456789abcdef", 32);
        auto vault =
            vault::VaultContainer::create(std::make_unique<vault::FileBlockStore>(dir_.filePath(
                                              QStringLiteral("v%1.kvxs").arg(++windows_))),
                                          key, QStringLiteral("machine"));
        const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
        const QString suffix = QString::number(windows_);
        auto* watcher = new platform::SessionLockWatcher(
            QDBusConnection::connectToBus(systemBus_.address(),
                                          QStringLiteral("window-system-") + suffix),
            QDBusConnection::connectToBus(address, QStringLiteral("window-session-") + suffix));
        auto window = std::make_unique<MainWindow>(
            key.clone(), QStringLiteral("tester"), QStringLiteral("machine"), std::move(vault),
            *auth_, *twoFactor_, *storage_, dir_.filePath(QStringLiteral("idlelock.dat")),
            dir_.filePath(QStringLiteral("vault_generation.dat")), watcher);
        window->show();
        return window;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(sessionBus_.start(test::PrivateSessionBus::Keyring::None));
        QVERIFY(systemBus_.start());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", systemBus_.address().toUtf8());
        qputenv("XDG_SESSION_ID", kSessionId.toUtf8());
        logind_ = std::make_unique<FakeLogind>(systemBus_.address(), QStringLiteral("fake-logind"));
        QVERIFY(logind_->start());
        logind_->addSession(kSessionId, kSessionPath);
        screenSaver_ = QDBusConnection::connectToBus(
            qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("screensaver"));
        QVERIFY(screenSaver_.isConnected());

        tpm_.mode = test::FakeSealedKeyStore::Mode::NoProvider;
        protect::setLocalProtectionServices(&tpm_, &user_);
        auth_ = std::make_unique<core::AuthManager>(dir_.filePath(QStringLiteral("identity.dat")));
        twoFactor_ = std::make_unique<core::TwoFactorManager>(
            dir_.filePath(QStringLiteral("twofactor.dat")));
        storage_ = std::make_unique<core::StorageConfigFile>(
            dir_.filePath(QStringLiteral("storage.dat")), QStringLiteral("machine"), 0);
        gLogind = logind_.get();
        gPrevious = qInstallMessageHandler(watchWipe);
    }
    void cleanupTestCase() {
        qInstallMessageHandler(gPrevious);
        protect::setLocalProtectionServices(nullptr, nullptr);
        logind_.reset();
    }

    void eachEventWipesOnceAndSignsOut_data() {
        QTest::addColumn<QString>("event");
        QTest::newRow("session locked") << "lock";
        QTest::newRow("going to sleep") << "sleep";
        QTest::newRow("screen saver active") << "screensaver";
    }
    void eachEventWipesOnceAndSignsOut() {
        QFETCH(QString, event);
        gAtWipeEnd.clear();
        std::unique_ptr<MainWindow> window = newWindow();
        QVERIFY(logind_->inhibitorsGiven() >= 1);
        QCOMPARE(logind_->inhibitor(logind_->inhibitorsGiven() - 1), FakeLogind::Inhibitor::Held);
        QSignalSpy ended(window.get(), &MainWindow::sessionEnded);

        // What does not lock comes first and is ignored; the event itself then ends the session,
        // and a repeat of it changes nothing.
        QVERIFY(logind_->sendSignal(kSessionPath, FakeLogind::kSessionInterface,
                                    QStringLiteral("Unlock"), {}));
        QVERIFY(logind_->sendPrepareForSleep(false));
        for (int i = 0; i < 2; ++i) {
            if (event == QStringLiteral("lock"))
                QVERIFY(logind_->sendLock(kSessionPath));
            else if (event == QStringLiteral("sleep"))
                QVERIFY(logind_->sendPrepareForSleep(true));
            else
                QVERIFY(FakeLogind::sendInOrder(screenSaver_,
                                                QStringLiteral("/org/freedesktop/ScreenSaver"),
                                                QStringLiteral("org.freedesktop.ScreenSaver"),
                                                QStringLiteral("ActiveChanged"), {true}));
        }
        QTRY_VERIFY(window->isWiped());
        QTRY_COMPARE(ended.count(), 1);
        QCOMPARE(ended.first().first().toInt(), MainWindow::kSignOutExitCode);
        QVERIFY(window->container()->isWiped());
        QCOMPARE(ended.count(), 1);
        // The suspend is held back through the wipe, until the session's window is gone (and
        // with it every dialog frame that held a secret); then it may go ahead.
        QCOMPARE(gAtWipeEnd, QStringList{QStringLiteral("inhibitor held")});
        QCOMPARE(logind_->inhibitor(logind_->inhibitorsGiven() - 1), FakeLogind::Inhibitor::Held);
        window.reset();
        QCOMPARE(logind_->inhibitor(logind_->inhibitorsGiven() - 1),
                 FakeLogind::Inhibitor::Released);
    }

    // The desktop locks while the settings are open, after two-factor authentication was
    // switched on there and with passwords typed in: the wipe reaches the dialog's new key and its
    // fields, and the window does not take the key afterwards.
    void aLockWhileConfiguringWipesTheDialogToo() {
        gConfigureAtWipeEnd.clear();
        std::unique_ptr<MainWindow> window = newWindow();
        QSignalSpy ended(window.get(), &MainWindow::sessionEnded);
        vault::VaultContainer* vault = window->container();
        QVERIFY(protect::checkAndAdvance(dir_.filePath(QStringLiteral("vault_generation.dat")),
                                         vault->vaultId(), vault->generationCounter(), true));
        test::GuiScript script;
        script.onModal<ConfigureDialog>(
            QStringLiteral("switch on two-factor, then lock"), [this](ConfigureDialog* dialog) {
                dialog->findChild<QPushButton*>(QStringLiteral("enableTwoFactorButton"))->click();
                const QString manual =
                    dialog->findChild<QLabel*>(QStringLiteral("manualSecretLabel"))->text();
                const std::optional<crypto::SecureBuffer> secret =
                    crypto::decodeBase32(manual.section(QStringLiteral(": "), 1));
                QVERIFY(secret);
                const QString code =
                    core::hotp({secret->data(), secret->size()},
                               quint64(QDateTime::currentSecsSinceEpoch() / core::kTotpStepSeconds),
                               core::kTotpDigits);
                dialog->findChild<QLineEdit*>(QStringLiteral("twoFactorCodeEdit"))->setText(code);
                dialog->findChild<QPushButton*>(QStringLiteral("confirmTwoFactorButton"))->click();
                QVERIFY2(
                    dialog->hasNewVaultKey(),
                    qPrintable(dialog->findChild<QLabel*>(QStringLiteral("twoFactorStatusLabel"))
                                   ->text()));
                for (const char* name : {"currentPasswordEdit", "newPasswordEdit"})
                    dialog->findChild<QLineEdit*>(QLatin1String(name))
                        ->setText(QStringLiteral("Half-Typed-Secret-1"));
                QVERIFY(logind_->sendLock(kSessionPath));
            });
        QAction* configure = window->findChild<QAction*>(QStringLiteral("configureAction"));
        script.start();
        configure->trigger();
        QVERIFY2(script.finished(), qPrintable(script.failure()));
        QTRY_COMPARE(ended.count(), 1);
        QCOMPARE(gConfigureAtWipeEnd, QStringList{QStringLiteral("no key")});
        const crypto::SecureBuffer& key = window->vaultKey();
        QVERIFY(std::all_of(key.data(), key.data() + key.size(), [](auto b) { return b == 0; }));
        QVERIFY(window->container()->isWiped());
        QFile::remove(twoFactor_->path());
    }
};

QTEST_MAIN(TestSessionLock)
#include "tst_sessionlock.moc"
