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
#include "support/TestSupport.h"
#include "ui/BackgroundTask.h"
#include "ui/ConfigureDialog.h"
#include "ui/FileViewerDialog.h"
#include "ui/MainWindow.h"
#include "ui/VaultBrowserWidget.h"
#include "vault/FileBlockStore.h"
#include "vault/VaultContainer.h"

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDropEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUrl>
#include <atomic>
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

QByteArray randomBytes(qint64 size) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(bytes.data()),
                                          bytes.size() / qsizetype(sizeof(quint32)));
    return bytes;
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

    // A file dropped on the window, as from a file manager.
    static void dropOn(QWidget* target, const QString& path) {
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(path)});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &drop);
    }

    static crypto::SecureBuffer vaultKey() {
        return crypto::SecureBuffer::copyOf("0123456789abcdef0123456789abcdef", 32);
    }

    std::unique_ptr<MainWindow> newWindow() {
        const crypto::SecureBuffer key = vaultKey();
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

    // The desktop locks while an import, an export or a view is working on the vault: the work
    // stops at its next safe point (an erase under way is finished), the wipe waits for it with
    // the suspend still held back, and nothing decrypted is shown or left behind. The vault then
    // opens with every committed file and without the unfinished one; the original of an
    // unfinished import is still whole.
    void aLockDuringLongWorkStopsItAndWaits_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("step");
        QTest::newRow("import while encrypting")
            << "import" << int(vault::TransferStep::Encrypting);
        QTest::newRow("import while saving") << "import" << int(vault::TransferStep::Saving);
        QTest::newRow("import while erasing") << "import" << int(vault::TransferStep::Erasing);
        QTest::newRow("export while saving") << "export" << int(vault::TransferStep::Saving);
        QTest::newRow("view while decrypting") << "view" << int(vault::TransferStep::Decrypting);
    }
    void aLockDuringLongWorkStopsItAndWaits() {
        QFETCH(QString, operation);
        QFETCH(int, step);
        gAtWipeEnd.clear();
        const QByteArray content = randomBytes(3 * vault::kTransferChunkBytes);
        std::unique_ptr<MainWindow> window = newWindow();
        const QString vaultPath = dir_.filePath(QStringLiteral("v%1.kvxs").arg(windows_));
        QSignalSpy ended(window.get(), &MainWindow::sessionEnded);
        // The user's own files, outside the data folder.
        QTemporaryDir home;
        const QString kept = home.filePath(QStringLiteral("kept.pdf"));
        QVERIFY(test::writeFile(kept, content));
        auto* browser = window->findChild<VaultBrowserWidget*>();
        auto* table = window->findChild<QTableWidget*>(QStringLiteral("vaultTable"));
        dropOn(browser, kept);
        QTRY_COMPARE_WITH_TIMEOUT(table->rowCount(), 1, 30000);
        const QString original = home.filePath(QStringLiteral("new.pdf"));
        QVERIFY(test::writeFile(original, content));
        const QString exported = home.filePath(QStringLiteral("exported.pdf"));

        // The worker holds still at the chosen point until the wipe asks it to stop; the lock
        // arrives from logind meanwhile.
        std::atomic<bool> reached{false};
        std::atomic<bool> passedOn{false};
        ui::BackgroundTask::setObserver([&](const vault::TransferProgress& progress) {
            if (int(progress.step()) != step || progress.done() == 0 || reached.exchange(true))
                return;
            const QDeadlineTimer limit(30000);
            while (!progress.stopAsked() && !limit.hasExpired())
                QThread::msleep(2);
            passedOn = !progress.stopRequested();
        });
        QTimer lockWhenReached;
        connect(&lockWhenReached, &QTimer::timeout, this, [&] {
            if (reached) {
                lockWhenReached.stop();
                QVERIFY(logind_->sendLock(kSessionPath));
            }
        });
        lockWhenReached.start(5);

        test::GuiScript script;
        if (operation == QStringLiteral("import")) {
            dropOn(browser, original);
        } else {
            table->selectRow(0);
            if (operation == QStringLiteral("export")) {
                script.onModal<QFileDialog>(QStringLiteral("choose where"), [&](QFileDialog* d) {
                    d->selectFile(exported);
                    QMetaObject::invokeMethod(d, "accept", Qt::QueuedConnection);
                });
                script.start();
                test::GuiScript::clickLater(
                    window->findChild<QPushButton*>(QStringLiteral("exportButton")));
            } else {
                test::GuiScript::clickLater(
                    window->findChild<QPushButton*>(QStringLiteral("viewButton")));
            }
        }
        QTRY_VERIFY2_WITH_TIMEOUT(
            window->isWiped(),
            qPrintable(window->findChild<QLabel*>(QStringLiteral("vaultStatusLabel"))->text()),
            30000);
        QTRY_COMPARE(ended.count(), 1);
        ui::BackgroundTask::setObserver({});
        QVERIFY(reached);
        QVERIFY2(script.finished(), qPrintable(script.failure()));
        QCOMPARE(gAtWipeEnd, QStringList{QStringLiteral("inhibitor held")});
        // Only an erase goes on once asked to stop.
        QCOMPARE(bool(passedOn), step == int(vault::TransferStep::Erasing));
        QVERIFY(!ui::BackgroundTask::isRunning());
        QCOMPARE(table->rowCount(), 0);
        for (QWidget* widget : QApplication::topLevelWidgets())
            QVERIFY2(!qobject_cast<FileViewerDialog*>(widget) || !widget->isVisible(),
                     "a viewer was shown after the wipe");
        window.reset();

        const bool imported = step == int(vault::TransferStep::Erasing);
        QCOMPARE(QFile::exists(original), !imported);
        if (!imported)
            QCOMPARE(test::readWholeFile(original), content);
        QVERIFY(!QFile::exists(exported));
        auto reopened =
            vault::VaultContainer::open(std::make_unique<vault::FileBlockStore>(vaultPath),
                                        vaultKey(), QStringLiteral("machine"));
        QVERIFY(reopened);
        QStringList names;
        for (const vault::EntrySummary& entry : reopened->listEntries())
            names << entry.name;
        QCOMPARE(names, imported
                            ? (QStringList{QStringLiteral("kept.pdf"), QStringLiteral("new.pdf")})
                            : QStringList{QStringLiteral("kept.pdf")});
        for (const QString& name : names)
            QCOMPARE(test::bytesOf(*reopened->readFile(name)), content);
    }

    // Work that takes a while shows its progress dialog; Cancel there stops an import before
    // its commit, and the vault and the original stay as they were.
    void cancelInTheProgressDialogLeavesEverythingAsItWas() {
        const QByteArray content = randomBytes(2 * vault::kTransferChunkBytes);
        std::unique_ptr<MainWindow> window = newWindow();
        QTemporaryDir home;
        const QString original = home.filePath(QStringLiteral("cancelled.txt"));
        QVERIFY(test::writeFile(original, content));
        const quint64 generation = window->container()->generationCounter();
        ui::BackgroundTask::setObserver([](const vault::TransferProgress& progress) {
            // Held in its first piece until Cancel: the dialog is shown meanwhile.
            if (progress.step() != vault::TransferStep::Encrypting || progress.done() == 0)
                return;
            const QDeadlineTimer limit(30000);
            while (!progress.stopAsked() && !limit.hasExpired())
                QThread::msleep(2);
        });
        QStringList seen;
        test::GuiScript script;
        script.onModal<QDialog>(
            QStringLiteral("cancel in the progress dialog"),
            [&](QDialog* dialog) {
                seen << dialog->windowTitle()
                     << dialog->findChild<QLabel*>(QStringLiteral("transferStepLabel"))->text();
                dialog->findChild<QPushButton*>(QStringLiteral("transferCancelButton"))->click();
            },
            [](QDialog* dialog) {
                return dialog->objectName() == QStringLiteral("transferProgressDialog");
            });
        script.start();
        dropOn(window->findChild<VaultBrowserWidget*>(), original);
        auto* status = window->findChild<QLabel*>(QStringLiteral("vaultStatusLabel"));
        QTRY_VERIFY_WITH_TIMEOUT(!status->text().isEmpty(), 30000);
        ui::BackgroundTask::setObserver({});
        QVERIFY2(script.finished(), qPrintable(script.failure()));
        QCOMPARE(seen.value(0), QStringLiteral("Importing"));
        QVERIFY2(seen.value(1).startsWith(QStringLiteral("Encrypting -- ")),
                 qPrintable(seen.value(1)));
        QCOMPARE(status->text(), QStringLiteral("Import of \"cancelled.txt\" cancelled. The vault "
                                                "and the original are unchanged."));
        QCOMPARE(test::readWholeFile(original), content);
        QVERIFY(window->container()->listEntries().isEmpty());
        QCOMPARE(window->container()->generationCounter(), generation);
        window->wipeSessionSynchronously();
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
