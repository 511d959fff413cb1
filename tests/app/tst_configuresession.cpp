// The settings as a user reaches them: File > Configure in a running session, then sign-out and
// the next sign-in. Two-factor authentication switched on, the password changed with it on, the
// idle lock answered with the new credentials, two-factor switched off, the vault moved, and the
// vault deleted -- with the imported file read back byte for byte after every step.

#include "GuiScript.h"
#include "SessionTest.h"
#include "SessionWindows.h"
#include "app/SessionRunner.h"
#include "core/AuthManager.h"
#include "core/LockoutTracker.h"
#include "core/StorageConfigFile.h"
#include "core/TwoFactorManager.h"
#include "platform/PrivateSessionBus.h"
#include "platform/SealedKeyStore.h"
#include "platform/UserDataProtection.h"
#include "protect/LocalIntegrityKey.h"
#include "support/ManualClock.h"
#include "support/TestSupport.h"
#include "ui/ConfigureDialog.h"
#include "ui/FirstRunWizard.h"
#include "ui/IdleLockWarningDialog.h"
#include "ui/LoginDialog.h"
#include "ui/MainWindow.h"
#include "ui/TwoFactorPromptDialog.h"
#include "vault/VaultContainer.h"

#include <QAction>
#include <QApplication>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageAuthenticationCode>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace korvex;
using test::child;
using test::GuiScript;
using test::mainWindow;
using test::mainWindowReady;

namespace {

const QString kUser = QStringLiteral("carol");
const QString kPassword = QStringLiteral("Correct-Horse-42!");
const QString kNewPassword = QStringLiteral("Battery-Staple-77#");
const QString kMachine = QStringLiteral("0123456789abcdef0123456789abcdef");
const QByteArray kDocument("the document that must survive every key change\n");

// What an authenticator app does with the manual secret, written here from RFC 4648 and RFC 6238
// rather than with the program's own code, so that a fault shared by both cannot hide.
QByteArray fromBase32(const QString& text) {
    static const QByteArray alphabet("ABCDEFGHIJKLMNOPQRSTUVWXYZ234567");
    QByteArray bytes;
    quint32 buffer = 0;
    int bits = 0;
    for (const QChar c : text) {
        const qsizetype value = alphabet.indexOf(char(c.toUpper().toLatin1()));
        if (value < 0)
            return {};
        buffer = (buffer << 5) | quint32(value);
        bits += 5;
        if (bits >= 8) {
            bits -= 8;
            bytes.append(char((buffer >> bits) & 0xff));
        }
    }
    return bytes;
}

QString totp(const QByteArray& secret, qint64 unixSeconds) {
    const quint64 counter = quint64(unixSeconds / 30);
    QByteArray message(8, '\0');
    for (int i = 0; i < 8; ++i)
        message[7 - i] = char((counter >> (8 * i)) & 0xff);
    const QByteArray mac =
        QMessageAuthenticationCode::hash(message, secret, QCryptographicHash::Sha1);
    const int offset = mac[19] & 0x0f;
    const quint32 value = (quint32(uchar(mac[offset]) & 0x7f) << 24) |
                          (quint32(uchar(mac[offset + 1])) << 16) |
                          (quint32(uchar(mac[offset + 2])) << 8) | quint32(uchar(mac[offset + 3]));
    return QStringLiteral("%1").arg(value % 1000000, 6, 10, QLatin1Char('0'));
}

QString labelText(QWidget* parent, const char* name) {
    auto* label = child<QLabel>(parent, name);
    return label ? label->text() : QStringLiteral("<no %1>").arg(QLatin1String(name));
}

} // namespace

class TestConfigureSession : public test::SessionTest {
    Q_OBJECT

    QByteArray secret_;
    QStringList seen_;

    // The code an authenticator app shows now. Each step is accepted once, so time moves on
    // first.
    QString nextCode() {
        clock_.advance(30);
        return totp(secret_, clock_.unixSeconds());
    }

    void signIn(GuiScript& script, const QString& password, bool withCode) {
        test::signInWith(script, QStringLiteral("sign in"), password);
        if (withCode)
            script.onModal<TwoFactorPromptDialog>(
                QStringLiteral("the code"), [this](TwoFactorPromptDialog* prompt) {
                    child<QLineEdit>(prompt, "twoFactorPromptCodeEdit")->setText(nextCode());
                    child<QPushButton>(prompt, "twoFactorPromptVerifyButton")->click();
                });
    }

    // Checks the document reads back, then opens Configure.
    void openConfigure(GuiScript& script) {
        script.add(QStringLiteral("the document reads back; open Configure"), mainWindowReady,
                   [this] {
                       seen_ << documentState();
                       QAction* configure =
                           mainWindow()->findChild<QAction*>(QStringLiteral("configureAction"));
                       GuiScript::later([configure] { configure->trigger(); });
                   });
    }

    QString documentState() {
        return test::documentState(QStringLiteral("doc.txt"), kDocument);
    }

    void signOut(GuiScript& script) {
        script.add(QStringLiteral("sign out"), mainWindowReady, [this] {
            seen_ << documentState();
            QAction* signOut = mainWindow()->findChild<QAction*>(QStringLiteral("signOutAction"));
            GuiScript::later([signOut] { signOut->trigger(); });
        });
        script.onModal<QMessageBox>(QStringLiteral("confirm sign-out"), [](QMessageBox* box) {
            box->button(QMessageBox::Yes)->click();
        });
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(makeSession(kMachine));
        useSoftwareProtection();

        // An account with one imported document.
        QVERIFY(firstRunWithDocument(kUser, kPassword, QStringLiteral("doc.txt"), kDocument));
    }
    void cleanupTestCase() { protect::setLocalProtectionServices(nullptr, nullptr); }

    // Enrolment with the secret an app would scan; then the code is needed at sign-in.
    void enableTwoFactorThenSignInWithACode() {
        seen_.clear();
        GuiScript script;
        signIn(script, kPassword, false);
        openConfigure(script);
        script.onModal<ConfigureDialog>(QStringLiteral("enrol"), [this](ConfigureDialog* dialog) {
            child<QTabWidget>(dialog, "configureTabs")->setCurrentIndex(1);
            child<QPushButton>(dialog, "enableTwoFactorButton")->click();
            const QString manual = labelText(dialog, "manualSecretLabel");
            secret_ = fromBase32(manual.section(QStringLiteral(": "), 1));
            QCOMPARE(secret_.size(), 20);
            QVERIFY(!child<QLabel>(dialog, "qrCodeLabel")->pixmap().isNull());
            // A wrong code keeps the enrolment open.
            child<QLineEdit>(dialog, "twoFactorCodeEdit")->setText(QStringLiteral("000000"));
            child<QPushButton>(dialog, "confirmTwoFactorButton")->click();
            seen_ << labelText(dialog, "twoFactorStatusLabel");
            auto* qr = child<QLabel>(dialog, "qrCodeLabel");
            seen_ << (qr->isVisibleTo(dialog) && !qr->pixmap().isNull()
                          ? QStringLiteral("qr kept")
                          : QStringLiteral("qr gone"));
            child<QLineEdit>(dialog, "twoFactorCodeEdit")->setText(nextCode());
            child<QPushButton>(dialog, "confirmTwoFactorButton")->click();
            seen_ << labelText(dialog, "twoFactorStatusLabel");
            seen_ << (dialog->hasNewVaultKey() ? QStringLiteral("new key")
                                               : QStringLiteral("no new key"));
            GuiScript::later([dialog] { dialog->reject(); });
        });
        signOut(script);
        QCOMPARE(run(script), 1);
        QVERIFY2(script.finished(), qPrintable(script.nextStep()));
        QCOMPARE(seen_,
                 QStringList({QStringLiteral("document intact"),
                              QStringLiteral("That code didn't match. Check your app and "
                                             "try again."),
                              QStringLiteral("qr kept"),
                              QStringLiteral("Two-factor authentication is enabled."),
                              QStringLiteral("new key"), QStringLiteral("document intact")}));
        QVERIFY(twoFactor_->isEnabled());

        seen_.clear();
        GuiScript next;
        signIn(next, kPassword, true);
        next.add(QStringLiteral("signed in with the code"), mainWindowReady, [this] {
            seen_ << documentState();
            MainWindow* window = mainWindow();
            GuiScript::later([window] { window->close(); });
        });
        QCOMPARE(run(next), 0);
        QVERIFY2(next.finished(), qPrintable(next.nextStep()));
        QCOMPARE(seen_, QStringList{QStringLiteral("document intact")});
    }

    // With two-factor on: the new password (and the same code) open the vault, also from the
    // idle lock of the same session; the old password no longer does.
    void changePasswordWithTwoFactorOn() {
        QVERIFY(!secret_.isEmpty());
        seen_.clear();
        GuiScript script;
        signIn(script, kPassword, true);
        openConfigure(script);
        script.onModal<ConfigureDialog>(
            QStringLiteral("change the password"), [this](ConfigureDialog* dialog) {
                child<QLineEdit>(dialog, "currentPasswordEdit")->setText(kPassword);
                child<QLineEdit>(dialog, "newPasswordEdit")->setText(kNewPassword);
                child<QLineEdit>(dialog, "confirmNewPasswordEdit")->setText(kNewPassword);
                child<QPushButton>(dialog, "changePasswordButton")->click();
                seen_ << labelText(dialog, "changePasswordStatusLabel");
                GuiScript::later([dialog] { dialog->reject(); });
            });
        script.add(QStringLiteral("the idle lock"), mainWindowReady, [this] {
            seen_ << documentState();
            MainWindow* window = mainWindow();
            GuiScript::later([window] { QMetaObject::invokeMethod(window, "onIdleTimeout"); });
        });
        script.onModal<IdleLockWarningDialog>(
            QStringLiteral("I'm still here"), [](IdleLockWarningDialog* warning) {
                GuiScript::clickLater(child<QPushButton>(warning, "idleLockStillHereButton"));
            });
        script.onModal<LoginDialog>(QStringLiteral("the old password fails, the new one works"),
                                    [this](LoginDialog* login) {
                                        auto* edit = child<QLineEdit>(login, "loginPasswordEdit");
                                        edit->setText(kPassword);
                                        child<QPushButton>(login, "loginUnlockButton")->click();
                                        seen_ << labelText(login, "loginErrorLabel");
                                        edit->setText(kNewPassword);
                                        child<QPushButton>(login, "loginUnlockButton")->click();
                                    });
        script.onModal<TwoFactorPromptDialog>(
            QStringLiteral("the code after the idle lock"), [this](TwoFactorPromptDialog* prompt) {
                child<QLineEdit>(prompt, "twoFactorPromptCodeEdit")->setText(nextCode());
                child<QPushButton>(prompt, "twoFactorPromptVerifyButton")->click();
            });
        signOut(script);
        QCOMPARE(run(script), 1);
        QVERIFY2(script.finished(), qPrintable(script.nextStep()));
        QCOMPARE(
            seen_,
            QStringList({QStringLiteral("document intact"), QStringLiteral("Password changed."),
                         QStringLiteral("document intact"), QStringLiteral("Incorrect password."),
                         QStringLiteral("document intact")}));
    }

    // Two-factor off again, and a new folder for the vault: the next start moves it there and
    // the password alone opens it.
    void disableTwoFactorAndMoveTheVault() {
        QVERIFY(!secret_.isEmpty());
        seen_.clear();
        const QString newFolder = root_.filePath(QStringLiteral("elsewhere"));
        GuiScript script;
        signIn(script, kNewPassword, true);
        openConfigure(script);
        script.onModal<ConfigureDialog>(QStringLiteral("disable"), [](ConfigureDialog* dialog) {
            GuiScript::clickLater(child<QPushButton>(dialog, "disableTwoFactorButton"));
        });
        script.onModal<QInputDialog>(QStringLiteral("confirm with the password"),
                                     [this](QInputDialog* input) {
                                         seen_ << input->windowTitle();
                                         input->setTextValue(kNewPassword);
                                         static_cast<QDialog*>(input)->accept();
                                     });
        script.onModal<ConfigureDialog>(
            QStringLiteral("disabled; move the vault"),
            [this, newFolder](ConfigureDialog* dialog) {
                seen_ << labelText(dialog, "twoFactorStatusLabel");
                child<QLineEdit>(dialog, "locationDirectoryEdit")->setText(newFolder);
                child<QPushButton>(dialog, "applyLocationButton")->click();
                seen_ << labelText(dialog, "locationStatusLabel");
                GuiScript::later([dialog] { dialog->reject(); });
            },
            [](ConfigureDialog* dialog) {
                return !labelText(dialog, "twoFactorStatusLabel").isEmpty();
            });
        signOut(script);
        QCOMPARE(run(script), 1);
        QVERIFY2(script.finished(), qPrintable(script.nextStep()));
        QCOMPARE(
            seen_,
            QStringList({QStringLiteral("document intact"), QStringLiteral("Confirm Your Password"),
                         QStringLiteral("Two-factor authentication is disabled."),
                         QStringLiteral("Location updated. Restart Zelvora to move the vault "
                                        "there."),
                         QStringLiteral("document intact")}));
        QVERIFY(!twoFactor_->isEnabled());

        seen_.clear();
        GuiScript next;
        signIn(next, kNewPassword, false);
        next.add(QStringLiteral("the moved vault"), mainWindowReady, [this] {
            seen_ << documentState();
            MainWindow* window = mainWindow();
            GuiScript::later([window] { window->close(); });
        });
        QCOMPARE(run(next), 0);
        QVERIFY2(next.finished(), qPrintable(next.nextStep()));
        QCOMPARE(seen_, QStringList{QStringLiteral("document intact")});
        QVERIFY(!QFile::exists(data_ + QStringLiteral("/vault.kvxs")));
        QVERIFY(
            !vault::VaultContainer::resolveVaultFilePath(newFolder + QStringLiteral("/vault.kvxs"))
                 .isEmpty());
        QVERIFY(storage_->containerSettings().pendingMigrateFromPath.isEmpty());
    }

    // A move that cannot happen yet (someone else's file is at the destination) leaves the
    // vault usable where it is; moving it back there then counts as no change.
    void aBlockedMoveLeavesTheVaultWhereItIs() {
        seen_.clear();
        const QString here = root_.filePath(QStringLiteral("elsewhere"));
        const QString blocked = root_.filePath(QStringLiteral("blocked"));
        QVERIFY(QDir().mkpath(blocked));
        QVERIFY(test::writeFile(blocked + QStringLiteral("/vault.kvxs"), "someone else's file"));
        auto applyLocation = [this](const QString& folder) {
            return [this, folder](ConfigureDialog* dialog) {
                seen_ << labelText(dialog, "generalVaultStatsLabel");
                child<QLineEdit>(dialog, "locationDirectoryEdit")->setText(folder);
                child<QPushButton>(dialog, "applyLocationButton")->click();
                seen_ << labelText(dialog, "locationStatusLabel");
                GuiScript::later([dialog] { dialog->reject(); });
            };
        };
        GuiScript script;
        signIn(script, kNewPassword, false);
        openConfigure(script);
        script.onModal<ConfigureDialog>(QStringLiteral("move to the blocked folder"),
                                        applyLocation(blocked));
        signOut(script);
        QCOMPARE(run(script), 1);
        QVERIFY2(script.finished(), qPrintable(script.nextStep()));

        GuiScript next;
        signIn(next, kNewPassword, false);
        openConfigure(next);
        next.onModal<ConfigureDialog>(QStringLiteral("move back"), applyLocation(here));
        next.add(QStringLiteral("quit"), mainWindowReady, [] {
            MainWindow* window = mainWindow();
            GuiScript::later([window] { window->close(); });
        });
        QCOMPARE(run(next), 0);
        QVERIFY2(next.finished(), qPrintable(next.nextStep()));
        QCOMPARE(seen_,
                 QStringList({QStringLiteral("document intact"),
                              QStringLiteral("1 file(s), 48 bytes total"),
                              QStringLiteral("Location updated. Restart Zelvora to move the "
                                             "vault there."),
                              QStringLiteral("document intact"), QStringLiteral("document intact"),
                              QStringLiteral("1 file(s), 48 bytes total"),
                              QStringLiteral("No change.")}));
        const core::ContainerSettings settings = storage_->containerSettings();
        QCOMPARE(settings.pendingMigrateFromPath, QString());
        QCOMPARE(storage_->resolveVaultPath(data_), here + QStringLiteral("/vault.kvxs"));
        QCOMPARE(test::readWholeFile(blocked + QStringLiteral("/vault.kvxs")),
                 QByteArray("someone else's file"));
    }

    // A wrong password changes nothing; the right one schedules the deletion, and the next
    // start erases the vault and the account and begins again with the first-run wizard.
    void deleteTheVault() {
        seen_.clear();
        const QString vaultPath = root_.filePath(QStringLiteral("elsewhere/vault.kvxs"));
        GuiScript script;
        signIn(script, kNewPassword, false);
        openConfigure(script);
        auto clickDelete = [](ConfigureDialog* dialog) {
            GuiScript::clickLater(child<QPushButton>(dialog, "deleteVaultButton"));
        };
        script.onModal<ConfigureDialog>(QStringLiteral("delete"), clickDelete);
        script.onModal<QInputDialog>(QStringLiteral("a wrong password"), [](QInputDialog* input) {
            input->setTextValue(QStringLiteral("Not-The-Password-1"));
            static_cast<QDialog*>(input)->accept();
        });
        script.onModal<ConfigureDialog>(
            QStringLiteral("refused; delete again"),
            [this, clickDelete](ConfigureDialog* dialog) {
                seen_ << labelText(dialog, "deleteVaultStatusLabel");
                seen_ << (storage_->pendingDeletePath().isEmpty()
                              ? QStringLiteral("nothing pending")
                              : QStringLiteral("pending"));
                clickDelete(dialog);
            },
            [](ConfigureDialog* dialog) {
                return !labelText(dialog, "deleteVaultStatusLabel").isEmpty();
            });
        script.onModal<QInputDialog>(QStringLiteral("the password"), [](QInputDialog* input) {
            input->setTextValue(kNewPassword);
            static_cast<QDialog*>(input)->accept();
        });
        script.onModal<QMessageBox>(
            QStringLiteral("the warning"), [this, vaultPath](QMessageBox* box) {
                seen_ << box->windowTitle();
                seen_ << (box->text().contains(vaultPath) ? QStringLiteral("names the vault")
                                                          : box->text());
                box->button(QMessageBox::Yes)->click();
            });
        script.onModal<ConfigureDialog>(
            QStringLiteral("scheduled"),
            [this](ConfigureDialog* dialog) {
                seen_ << labelText(dialog, "deleteVaultStatusLabel");
                seen_ << (child<QPushButton>(dialog, "deleteVaultButton")->isEnabled()
                              ? QStringLiteral("button enabled")
                              : QStringLiteral("button disabled"));
                GuiScript::later([dialog] { dialog->reject(); });
            },
            [](ConfigureDialog* dialog) {
                return labelText(dialog, "deleteVaultStatusLabel")
                    .startsWith(QStringLiteral("The"));
            });
        script.add(QStringLiteral("quit"), mainWindowReady, [] {
            MainWindow* window = mainWindow();
            GuiScript::later([window] { window->close(); });
        });
        QCOMPARE(run(script), 0);
        QVERIFY2(script.finished(), qPrintable(script.nextStep()));
        QCOMPARE(seen_,
                 QStringList({QStringLiteral("document intact"),
                              QStringLiteral("Incorrect password. Vault not deleted."),
                              QStringLiteral("nothing pending"), QStringLiteral("Delete Vault"),
                              QStringLiteral("names the vault"),
                              QStringLiteral("The vault will be permanently deleted the next time "
                                             "you start Zelvora. Restart now to complete this."),
                              QStringLiteral("button disabled")}));
        QCOMPARE(storage_->pendingDeletePath(), vaultPath);

        QVERIFY(startAfterDeletion(kNewPassword));
        QVERIFY(!QFile::exists(vaultPath));
        QVERIFY(!auth_->identityExists());
    }
};

int main(int argc, char** argv) {
    // A private HOME and data folders, and no session bus, before anything reads them.
    test::PrivateSessionBus session;
    if (!session.isolate())
        return 2;
    QApplication app(argc, argv);
    TestConfigureSession test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_configuresession.moc"
