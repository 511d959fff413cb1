#include "core/AuthManager.h"
#include "core/LockoutTracker.h"
#include "core/PasswordPolicy.h"
#include "core/Totp.h"
#include "core/TwoFactorManager.h"
#include "crypto/AeadCipher.h"
#include "crypto/SecureWipe.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/RecoveryCode.h"
#include "support/ManualClock.h"
#include "support/PlatformDoubles.h"
#include "support/ProcessMemory.h"
#include "support/TestSupport.h"
#include "ui/FirstRunWizard.h"
#include "ui/LoginDialog.h"
#include "ui/TwoFactorPromptDialog.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <memory>

using namespace korvex;
using core::AuthManager;
using core::LoginFailureReason;
using crypto::SecureBuffer;

Q_DECLARE_METATYPE(LoginFailureReason)

namespace {

const std::string kPassword = "Correct-Horse-9";
// A literal, not a copy on the heap: the dialogs zero the buffer a field shares with whoever
// set its text, and this constant must survive them.
const QString kPasswordText = QStringLiteral("Correct-Horse-9");
const QString kVaultId = QStringLiteral("5c02c1aa-4212-41ea-b287-e0ddfc05c038");

template <typename T> T* child(const QWidget& parent, const char* name) {
    T* found = parent.findChild<T*>(QLatin1String(name));
    if (found == nullptr)
        qFatal("no child named %s", name);
    return found;
}

// Acts on the next modal dialog of type T that opens, from inside the nested event loop of the
// call that opens it (a click that runs QInputDialog::getText or QMessageBox::warning).
template <typename T> class NextModal {
public:
    explicit NextModal(std::function<void(T*)> act) : act_(std::move(act)) {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            T* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
            if (dialog == nullptr || !dialog->isVisible())
                return;
            timer_.stop();
            acted_ = true;
            act_(dialog);
        });
        timer_.start();
    }
    bool acted() const { return acted_; }

private:
    std::function<void(T*)> act_;
    QTimer timer_;
    bool acted_ = false;
};

// The text of the message box the next click opens, which is then dismissed.
class NextMessageBox : public NextModal<QMessageBox> {
public:
    NextMessageBox()
        : NextModal<QMessageBox>([this](QMessageBox* box) {
              text = box->text();
              title = box->windowTitle();
              icon = box->icon();
              box->accept();
          }) {}
    QString text;
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

void typeInto(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, text);
}

} // namespace

// Every login and every account creation runs Argon2id at full cost, so the login cases share
// one account (created once, bound to kVaultId) wherever they can.
class SignInDialogsTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    test::FakeSealedKeyStore tpm_;
    test::FakeUserDataProtection user_;
    test::ManualClock clock_;
    std::unique_ptr<AuthManager> shared_;
    std::optional<SecureBuffer> sharedKey_;

    QString folder(const QString& name) {
        const QString path = dir_.filePath(name);
        QDir().mkpath(path);
        return path;
    }
    // A manager on its own folder with its own lockout floor, reading the test clock.
    std::unique_ptr<AuthManager> managerIn(const QString& name) {
        const QString path = folder(name);
        return std::make_unique<AuthManager>(
            path + QStringLiteral("/identity.dat"), clock_,
            core::createSettingsFloorStore(path + QStringLiteral("/floor.ini")));
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        tpm_.mode = test::FakeSealedKeyStore::Mode::NoProvider;
        protect::setLocalProtectionServices(&tpm_, &user_);
        shared_ = managerIn(QStringLiteral("shared"));
        sharedKey_ = shared_->createAccount(QStringLiteral("ada"), kPassword);
        QVERIFY(sharedKey_);
        QVERIFY(shared_->bindVaultId(*sharedKey_, kVaultId));
    }
    void init() {
        tpm_.mode = test::FakeSealedKeyStore::Mode::NoProvider;
        user_.refuse = false;
    }
    void cleanup() { shared_->resetFailedAttempts(); }
    void cleanupTestCase() {
        shared_.reset();
        protect::LocalIntegrityKey::clearRootCache();
        protect::setLocalProtectionServices(nullptr, nullptr);
    }

    // ---- first run ----

    void firstRunRefusesInOrder_data() {
        QTest::addColumn<QString>("username");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("confirmation");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty name")
            << QString() << kPasswordText << kPasswordText << QStringLiteral("Choose a username.");
        QTest::newRow("name of spaces, before any password check")
            << QStringLiteral("   \t ") << QStringLiteral("weak") << QStringLiteral("other")
            << QStringLiteral("Choose a username.");
        // The policy's own words, and the confirmation is never looked at.
        QTest::newRow("too short")
            << QStringLiteral("ada") << QStringLiteral("Short-1") << QStringLiteral("different")
            << core::passwordPolicyViolation(QStringLiteral("Short-1"));
        QTest::newRow("no symbol")
            << QStringLiteral("ada") << QStringLiteral("Abcdefghijk12")
            << QStringLiteral("Abcdefghijk12")
            << core::passwordPolicyViolation(QStringLiteral("Abcdefghijk12"));
        QTest::newRow("mismatch") << QStringLiteral("ada") << kPasswordText
                                  << kPasswordText + QStringLiteral(" ")
                                  << QStringLiteral("Passwords do not match.");
    }
    void firstRunRefusesInOrder() {
        QFETCH(QString, username);
        QFETCH(QString, password);
        QFETCH(QString, confirmation);
        QFETCH(QString, message);
        QVERIFY(!message.isEmpty());

        auto auth = managerIn(QStringLiteral("refused"));
        FirstRunWizard wizard(*auth);
        wizard.show();
        child<QLineEdit>(wizard, "firstRunUsernameEdit")->setText(username);
        child<QLineEdit>(wizard, "firstRunPasswordEdit")->setText(password);
        child<QLineEdit>(wizard, "firstRunConfirmEdit")->setText(confirmation);
        QTest::mouseClick(child<QPushButton>(wizard, "firstRunCreateButton"), Qt::LeftButton);

        auto* error = child<QLabel>(wizard, "firstRunErrorLabel");
        QCOMPARE(error->text(), message);
        QVERIFY(error->isVisible());
        QVERIFY(wizard.isVisible());
        QVERIFY(!wizard.takeVaultKey());
        QVERIFY(!auth->identityExists());
        // Refusals leave what the user typed in place.
        QCOMPARE(child<QLineEdit>(wizard, "firstRunPasswordEdit")->text(), password);
    }

    void firstRunCreatesTheTrimmedAccount() {
        auto auth = managerIn(QStringLiteral("created"));
        FirstRunWizard wizard(*auth);
        wizard.show();
        child<QLineEdit>(wizard, "firstRunUsernameEdit")
            ->setText(QStringLiteral("  ada lovelace \t"));
        typeInto(child<QLineEdit>(wizard, "firstRunPasswordEdit"), kPasswordText);
        auto* confirm = child<QLineEdit>(wizard, "firstRunConfirmEdit");
        typeInto(confirm, kPasswordText);
        QTest::keyClick(confirm, Qt::Key_Return);

        QCOMPARE(wizard.result(), int(QDialog::Accepted));
        QVERIFY(child<QLineEdit>(wizard, "firstRunPasswordEdit")->text().isEmpty());
        QVERIFY(confirm->text().isEmpty());
        std::optional<SecureBuffer> key = wizard.takeVaultKey();
        QVERIFY(key && key->size() == 32);
        QVERIFY(!wizard.takeVaultKey());

        // The account is the trimmed name, and the password opens the same vault key.
        auto fresh = std::make_unique<AuthManager>(
            auth->identityPath(), clock_,
            core::createSettingsFloorStore(folder(QStringLiteral("created")) +
                                           QStringLiteral("/floor.ini")));
        const auto loggedIn = fresh->login(kPassword, true, QString(), nullptr, nullptr);
        QVERIFY(loggedIn && loggedIn->equals(*key));
        QCOMPARE(fresh->username(), QStringLiteral("ada lovelace"));

        // A second wizard on the same folder finds the identity and says so.
        FirstRunWizard again(*auth);
        again.show();
        child<QLineEdit>(again, "firstRunUsernameEdit")->setText(QStringLiteral("eve"));
        child<QLineEdit>(again, "firstRunPasswordEdit")->setText(kPasswordText);
        child<QLineEdit>(again, "firstRunConfirmEdit")->setText(kPasswordText);
        QTest::mouseClick(child<QPushButton>(again, "firstRunCreateButton"), Qt::LeftButton);
        QCOMPARE(child<QLabel>(again, "firstRunErrorLabel")->text(),
                 QStringLiteral("Could not create the account. An identity already exists."));
        QVERIFY(again.isVisible());
        QVERIFY(!again.takeVaultKey());
    }

    void firstRunWithoutAUsableKeySaysSoAndKeepsTheFields() {
        user_.refuse = true; // a keyring that refuses to hand out its key
        auto auth = managerIn(QStringLiteral("nokey"));
        FirstRunWizard wizard(*auth);
        wizard.show();
        child<QLineEdit>(wizard, "firstRunUsernameEdit")->setText(QStringLiteral("ada"));
        child<QLineEdit>(wizard, "firstRunPasswordEdit")->setText(kPasswordText);
        child<QLineEdit>(wizard, "firstRunConfirmEdit")->setText(kPasswordText);
        QTest::mouseClick(child<QPushButton>(wizard, "firstRunCreateButton"), Qt::LeftButton);

        const QString message = child<QLabel>(wizard, "firstRunErrorLabel")->text();
        QVERIFY(message.startsWith(QStringLiteral("Could not create the account: Zelvora could not "
                                                  "obtain a usable security key")));
        QVERIFY(!message.contains(QStringLiteral("Windows")));
        QVERIFY(!auth->identityExists());
        QVERIFY(wizard.isVisible());
        QCOMPARE(child<QLineEdit>(wizard, "firstRunPasswordEdit")->text(), kPasswordText);
        QCOMPARE(child<QLineEdit>(wizard, "firstRunConfirmEdit")->text(), kPasswordText);
    }

    void firstRunEscapeScrubsThePasswords() {
        auto auth = managerIn(QStringLiteral("escaped"));
        FirstRunWizard wizard(*auth);
        wizard.show();
        auto* password = child<QLineEdit>(wizard, "firstRunPasswordEdit");
        typeInto(password, kPasswordText);
        typeInto(child<QLineEdit>(wizard, "firstRunConfirmEdit"), kPasswordText);
        QTest::keyClick(password, Qt::Key_Escape);
        QCOMPARE(wizard.result(), int(QDialog::Rejected));
        QVERIFY(password->text().isEmpty());
        QVERIFY(child<QLineEdit>(wizard, "firstRunConfirmEdit")->text().isEmpty());
        QVERIFY(!wizard.takeVaultKey());
        QVERIFY(!auth->identityExists());
    }

    // ---- login ----

    void loginMessageForEveryReason_data() {
        QTest::addColumn<LoginFailureReason>("reason");
        QTest::addColumn<QString>("message");
        QTest::newRow("0") << LoginFailureReason::WrongPassword
                           << QStringLiteral("Incorrect password.");
        QTest::newRow("1") << LoginFailureReason::LockedOut
                           << QStringLiteral("Too many attempts. Please wait before trying again.");
        QTest::newRow("2")
            << LoginFailureReason::IdentityUnreadable
            << QStringLiteral("Zelvora could not read your account file (permission denied or "
                              "the file is in use). This is not a wrong password -- check the "
                              "file's permissions, or restart Zelvora if another program may be "
                              "holding it open.");
        QTest::newRow("3")
            << LoginFailureReason::IdentityCorrupt
            << QStringLiteral("Zelvora's account file appears to be corrupted or tampered with, "
                              "and cannot be verified. This is not a wrong password. If you have "
                              "a backup of your account file, restore it; otherwise please "
                              "contact support.");
        QTest::newRow("4")
            << LoginFailureReason::IdentityLegacyFormat
            << QStringLiteral("This account was created by an older version of Zelvora that "
                              "protected its account file differently -- this version can no "
                              "longer read it, by design, not because anything is corrupted or "
                              "tampered with. You'll need to start with a fresh vault: exit "
                              "Zelvora, delete your existing account data, and relaunch to set "
                              "up again. If you need the data in your old vault, please contact "
                              "support before deleting anything.");
        QTest::newRow("5")
            << LoginFailureReason::HardwareKeyUnavailable
            << QStringLiteral("Zelvora could not obtain the hardware security key that protects "
                              "your account file on this device -- most likely your PC's TPM was "
                              "reset or cleared, or this data was moved from a different "
                              "computer. This is not a wrong password. If you saved a recovery "
                              "code for this account, use it below to restore access; otherwise "
                              "you'll need to start with a fresh vault.");
        // Without a TPM the prompt on the way to the key is the keyring's unlock prompt.
        QTest::newRow("6")
            << LoginFailureReason::SecurityPromptCancelled
            << QStringLiteral("The keyring prompt that unlocks your account file's key was "
                              "cancelled. This is not a wrong password. Select Unlock again and "
                              "approve the prompt this time.");
        QTest::newRow("7")
            << LoginFailureReason::VaultKeyUnwrapFailed
            << QStringLiteral("Your password was correct, but Zelvora could not unlock the vault "
                              "key on file. This usually means the account file doesn't match "
                              "this vault. Please contact support.");
        QTest::newRow("8")
            << LoginFailureReason::WrongPasswordNotRecorded
            << QStringLiteral("Incorrect password. Zelvora also could not save this attempt to "
                              "its data folder -- its protection against repeated guessing may "
                              "not be active right now. Check that the data folder is writable.");
        QTest::newRow("9") << LoginFailureReason::ProtectionUnavailable
                           << QStringLiteral(
                                  "The desktop keyring that protects Zelvora's settings is not "
                                  "available, so your account file cannot be read. This is not a "
                                  "wrong password. Sign in to your usual desktop session (or start "
                                  "its keyring), then select Unlock again.");
        QTest::newRow("unknown") << static_cast<LoginFailureReason>(42)
                                 << QStringLiteral("Incorrect password.");
    }
    void loginMessageForEveryReason() {
        QFETCH(LoginFailureReason, reason);
        QFETCH(QString, message);
        QCOMPARE(ui::loginFailureMessage(reason), message);
    }

    void loginWrongPasswordCountsOnceThenLocksOut() {
        LoginDialog dialog(*shared_, false, kVaultId);
        dialog.show();
        auto* password = child<QLineEdit>(dialog, "loginPasswordEdit");
        auto* error = child<QLabel>(dialog, "loginErrorLabel");
        auto* restore = child<QPushButton>(dialog, "restoreRecoveryCodeButton");
        QVERIFY(!error->isVisible());
        QVERIFY(!restore->isVisible());

        typeInto(password, QStringLiteral("Wrong-Horse-99"));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^AuthManager::login: password did "
                                                               "not verify")));
        QTest::ignoreMessage(QtWarningMsg,
                             "LoginDialog::onLoginClicked: login() failed, LoginFailureReason=0");
        QTest::keyClick(password, Qt::Key_Return);

        QCOMPARE(error->text(), QStringLiteral("Incorrect password."));
        QVERIFY(error->isVisible());
        QVERIFY(!restore->isVisible());
        QVERIFY(password->text().isEmpty());
        QVERIFY(dialog.isVisible());
        QVERIFY(!dialog.takeVaultKey());

        // One Return press was one attempt: the sixth failure is the one that starts a cooldown.
        for (int i = 0; i < 4; ++i)
            QVERIFY(shared_->recordFailedAttempt());
        QCOMPARE(shared_->lockoutSecondsRemaining(), 0);
        QVERIFY(shared_->recordFailedAttempt());
        QVERIFY(shared_->lockoutSecondsRemaining() >= 1);

        // Locked out: even the right password is turned away, and told why.
        typeInto(password, kPasswordText);
        QTest::ignoreMessage(QtWarningMsg,
                             "LoginDialog::onLoginClicked: login() failed, LoginFailureReason=1");
        QTest::mouseClick(child<QPushButton>(dialog, "loginUnlockButton"), Qt::LeftButton);
        QCOMPARE(error->text(),
                 QStringLiteral("Too many attempts. Please wait before trying again."));
        QVERIFY(password->text().isEmpty());
        QCOMPARE(dialog.focusWidget(), password); // taken back from the button
        QVERIFY(dialog.isVisible());
        clock_.advance(120);
    }

    void loginSucceedsAndClearsTheCountOnlyWithoutTwoFactor() {
        for (int i = 0; i < 5; ++i)
            QVERIFY(shared_->recordFailedAttempt());

        // With two-factor on the count stays for the verification prompt to clear. The vault id
        // given here has one damaged character, which the login repairs and reports.
        QString damaged = kVaultId;
        damaged[3] = QLatin1Char('3');
        LoginDialog withTwoFactor(*shared_, true, damaged);
        withTwoFactor.show();
        auto* password = child<QLineEdit>(withTwoFactor, "loginPasswordEdit");
        typeInto(password, kPasswordText);
        QTest::keyClick(password, Qt::Key_Return);
        QCOMPARE(withTwoFactor.result(), int(QDialog::Accepted));
        QVERIFY(password->text().isEmpty());
        QCOMPARE(withTwoFactor.recoveredVaultId(), kVaultId);
        std::optional<SecureBuffer> key = withTwoFactor.takeVaultKey();
        QVERIFY(key && key->equals(*sharedKey_));
        QVERIFY(!withTwoFactor.takeVaultKey());
        QVERIFY(shared_->recordFailedAttempt()); // the sixth in a row
        QVERIFY(shared_->lockoutSecondsRemaining() >= 1);
        clock_.advance(120);

        // Without it the correct password clears the count at once.
        LoginDialog withoutTwoFactor(*shared_, false, kVaultId);
        withoutTwoFactor.show();
        typeInto(child<QLineEdit>(withoutTwoFactor, "loginPasswordEdit"), kPasswordText);
        QTest::mouseClick(child<QPushButton>(withoutTwoFactor, "loginUnlockButton"),
                          Qt::LeftButton);
        QCOMPARE(withoutTwoFactor.result(), int(QDialog::Accepted));
        QVERIFY(withoutTwoFactor.recoveredVaultId().isEmpty());
        key = withoutTwoFactor.takeVaultKey();
        QVERIFY(key && key->equals(*sharedKey_));
        QVERIFY(shared_->recordFailedAttempt());
        QCOMPARE(shared_->lockoutSecondsRemaining(), 0);
    }

    void loginAgainstAnotherVaultIsNotAWrongPassword() {
        LoginDialog dialog(*shared_, false, QStringLiteral("0e9f3f6c-6a36-4a52-9d1e-3a8f2b6e4c11"));
        dialog.show();
        typeInto(child<QLineEdit>(dialog, "loginPasswordEdit"), kPasswordText);
        QTest::ignoreMessage(QtWarningMsg,
                             "LoginDialog::onLoginClicked: login() failed, LoginFailureReason=7");
        QTest::mouseClick(child<QPushButton>(dialog, "loginUnlockButton"), Qt::LeftButton);
        QCOMPARE(child<QLabel>(dialog, "loginErrorLabel")->text(),
                 ui::loginFailureMessage(LoginFailureReason::VaultKeyUnwrapFailed));
        QVERIFY(!dialog.takeVaultKey());
    }

    void loginNamesAnAccountFileFault_data() {
        QTest::addColumn<int>("damage");
        QTest::addColumn<LoginFailureReason>("reason");
        QTest::newRow("file missing") << 0 << LoginFailureReason::IdentityUnreadable;
        QTest::newRow("tag altered") << 1 << LoginFailureReason::IdentityCorrupt;
        QTest::newRow("retired key file") << 2 << LoginFailureReason::IdentityLegacyFormat;
    }
    void loginNamesAnAccountFileFault() {
        QFETCH(int, damage);
        QFETCH(LoginFailureReason, reason);
        const QString identity = shared_->identityPath();
        const QString keyFile = identity + QStringLiteral(".key");
        const QByteArray identityBytes = test::readWholeFile(identity);
        const QByteArray keyBytes = test::readWholeFile(keyFile);
        switch (damage) {
        case 0:
            QVERIFY(QFile::remove(identity));
            break;
        case 1:
            QVERIFY(test::flipByte(identity, 20));
            break;
        case 2:
            QVERIFY(test::writeFile(keyFile, QByteArray("KVXTPMK1") + QByteArray(256, 'k')));
            break;
        }

        LoginDialog dialog(*shared_, false, kVaultId);
        dialog.show();
        typeInto(child<QLineEdit>(dialog, "loginPasswordEdit"), kPasswordText);
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("LoginDialog::onLoginClicked: login() "
                                                       "failed, LoginFailureReason=%1")
                                            .arg(int(reason))));
        QTest::mouseClick(child<QPushButton>(dialog, "loginUnlockButton"), Qt::LeftButton);
        QCOMPARE(child<QLabel>(dialog, "loginErrorLabel")->text(), ui::loginFailureMessage(reason));
        QVERIFY(!child<QPushButton>(dialog, "restoreRecoveryCodeButton")->isVisible());
        QVERIFY(child<QLineEdit>(dialog, "loginPasswordEdit")->text().isEmpty());
        QVERIFY(!dialog.takeVaultKey());

        QVERIFY(test::writeFile(identity, identityBytes));
        QVERIFY(test::writeFile(keyFile, keyBytes));
    }

    void lostHardwareKeyOffersRestoreFromRecoveryCode() {
        tpm_.mode = test::FakeSealedKeyStore::Mode::Works;
        auto auth = managerIn(QStringLiteral("tpm"));
        const std::optional<SecureBuffer> created =
            auth->createAccount(QStringLiteral("ada"), kPassword);
        QVERIFY(created);
        const QString code =
            protect::recoveryCodeFor(auth->identityPath() + QStringLiteral(".key"));
        QVERIFY(!code.isEmpty());
        // The TPM is cleared: the key that seals the account file's root secret is gone.
        tpm_.reset();
        protect::LocalIntegrityKey::clearRootCache();

        LoginDialog dialog(*auth, false, QString());
        dialog.show();
        auto* password = child<QLineEdit>(dialog, "loginPasswordEdit");
        auto* error = child<QLabel>(dialog, "loginErrorLabel");
        auto* restore = child<QPushButton>(dialog, "restoreRecoveryCodeButton");
        auto* unlock = child<QPushButton>(dialog, "loginUnlockButton");
        typeInto(password, kPasswordText);
        QTest::ignoreMessage(QtWarningMsg,
                             "LoginDialog::onLoginClicked: login() failed, LoginFailureReason=5");
        QTest::mouseClick(unlock, Qt::LeftButton);
        QCOMPARE(error->text(),
                 ui::loginFailureMessage(LoginFailureReason::HardwareKeyUnavailable));
        QVERIFY(restore->isVisible());

        // Any other failure hides the offer again; reason 5 brings it back.
        tpm_.mode = test::FakeSealedKeyStore::Mode::Cancels;
        QTest::ignoreMessage(QtWarningMsg,
                             "LoginDialog::onLoginClicked: login() failed, LoginFailureReason=6");
        QTest::mouseClick(unlock, Qt::LeftButton);
        QCOMPARE(error->text(),
                 ui::loginFailureMessage(LoginFailureReason::SecurityPromptCancelled));
        QVERIFY(!restore->isVisible());
        tpm_.mode = test::FakeSealedKeyStore::Mode::Works;
        QTest::ignoreMessage(QtWarningMsg,
                             "LoginDialog::onLoginClicked: login() failed, LoginFailureReason=5");
        QTest::mouseClick(unlock, Qt::LeftButton);
        QVERIFY(restore->isVisible());

        // Cancelled, and blank: nothing is tried.
        const int keysBefore = tpm_.keyCount();
        for (const QString& entry : {QString(), QStringLiteral("   ")}) {
            NextModal<QInputDialog> input([&entry](QInputDialog* box) {
                QCOMPARE(box->windowTitle(), QStringLiteral("Restore From Recovery Code"));
                QCOMPARE(box->labelText(),
                         QStringLiteral("Enter the recovery code you saved when this device's "
                                        "secure key was first set up:"));
                QCOMPARE(box->textEchoMode(), QLineEdit::Normal);
                QVERIFY(box->textValue().isEmpty());
                if (entry.isNull()) {
                    box->reject();
                } else {
                    box->setTextValue(entry);
                    box->accept();
                }
            });
            QTest::mouseClick(restore, Qt::LeftButton);
            QVERIFY(input.acted());
            QVERIFY(restore->isVisible());
            QCOMPARE(tpm_.keyCount(), keysBefore);
        }

        // A code that is not this account's is refused with a warning.
        {
            NextModal<QInputDialog> input([](QInputDialog* box) {
                box->setTextValue(
                    QStringLiteral("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"));
                box->accept();
            });
            NextMessageBox box;
            QTest::mouseClick(restore, Qt::LeftButton);
            QVERIFY(input.acted() && box.acted());
            QCOMPARE(box.icon, QMessageBox::Warning);
            QCOMPARE(box.title, QStringLiteral("Restore From Recovery Code"));
            QCOMPARE(box.text, QStringLiteral("Could not restore from that code -- it may not be a "
                                              "valid recovery code for this account, or no usable "
                                              "TPM is available on this device right now to reseal "
                                              "it under."));
            QVERIFY(restore->isVisible());
            QVERIFY(error->isVisible());
        }

        // The saved code, with stray white space around it, restores; the password is still
        // needed to get in.
        {
            NextModal<QInputDialog> input([&code](QInputDialog* box) {
                box->setTextValue(QStringLiteral("  ") + code + QStringLiteral("\n"));
                box->accept();
            });
            NextMessageBox box;
            QTest::mouseClick(restore, Qt::LeftButton);
            QVERIFY(input.acted() && box.acted());
            QCOMPARE(box.icon, QMessageBox::Information);
            QCOMPARE(box.text, QStringLiteral("Restored. Enter your master password and select "
                                              "Unlock to continue."));
        }
        QVERIFY(!restore->isVisible());
        QVERIFY(!error->isVisible());
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.result(), 0);
        QVERIFY(!dialog.takeVaultKey());

        protect::LocalIntegrityKey::clearRootCache(); // the restored seal must work on its own
        typeInto(password, kPasswordText);
        QTest::keyClick(password, Qt::Key_Return);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        const std::optional<SecureBuffer> key = dialog.takeVaultKey();
        QVERIFY(key && key->equals(*created));
    }

    // The password, typed into the login dialog as a user types it, is found in memory while it
    // is in the field; once the dialog has signed in and is gone, no copy of it is left anywhere
    // in the process, as the field's UTF-16 or as UTF-8.
    void noCopyOfThePasswordOutlivesASignIn() {
        // In read-only data, so that looking for it does not find the test's own copy.
        static constexpr char16_t kText[] = u"Unique-Scan-Pw-71!";
        static constexpr char kBytes[] = "Unique-Scan-Pw-71!";
        constexpr qsizetype kLength = 18;
        auto auth = managerIn(QStringLiteral("scanned"));
        {
            std::string password(kBytes, kLength);
            QVERIFY(auth->createAccount(QStringLiteral("ada"), password));
            crypto::secureWipe(password);
        }
        int whileTyped = 0;
        {
            LoginDialog dialog(*auth, false, QString());
            dialog.show();
            auto* field = child<QLineEdit>(dialog, "loginPasswordEdit");
            QTest::keyClicks(field,
                             QString::fromRawData(reinterpret_cast<const QChar*>(kText), kLength));
            whileTyped = test::occurrencesInMemory(std::u16string_view(kText, kLength));
            QTest::mouseClick(child<QPushButton>(dialog, "loginUnlockButton"), Qt::LeftButton);
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
            QVERIFY(dialog.takeVaultKey());
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        auth->forgetSessionKey();
        QVERIFY(whileTyped >= 1);
        QCOMPARE(test::occurrencesInMemory(std::u16string_view(kText, kLength)), 0);
        QCOMPARE(test::occurrencesInMemory(std::string_view(kBytes, kLength)), 0);
    }

    void rejectingTheLoginLeavesNothing() {
        LoginDialog dialog(*shared_, false, kVaultId);
        dialog.show();
        auto* password = child<QLineEdit>(dialog, "loginPasswordEdit");
        typeInto(password, kPasswordText);
        QTest::keyClick(password, Qt::Key_Escape);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(password->text().isEmpty());
        QVERIFY(!dialog.takeVaultKey());
    }
};

// The verification prompt needs no account: the lockout lives beside the identity path, and
// the two-factor record is written directly with a known secret.
class TwoFactorPromptTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    test::FakeSealedKeyStore tpm_;
    test::FakeUserDataProtection user_;
    test::ManualClock clock_{QDateTime(QDate(2026, 3, 1), QTime(9, 30, 10), Qt::UTC)};
    std::unique_ptr<AuthManager> auth_;
    std::unique_ptr<core::TwoFactorManager> twoFactor_;
    SecureBuffer pendingKey_;
    SecureBuffer secret_;

    QString codeNow() const {
        return core::hotp({secret_.data(), secret_.size()},
                          quint64(clock_.unixSeconds() / core::kTotpStepSeconds),
                          core::kTotpDigits);
    }
    // A code certainly outside the accepted window.
    QString wrongCode() const {
        const qint64 step = clock_.unixSeconds() / core::kTotpStepSeconds;
        for (int candidate = 0;; ++candidate) {
            const QString code = QStringLiteral("%1").arg(candidate, 6, 10, QLatin1Char('0'));
            bool inWindow = false;
            for (qint64 s = step - 1; s <= step + 1; ++s)
                inWindow = inWindow || code == core::hotp({secret_.data(), secret_.size()},
                                                          quint64(s), core::kTotpDigits);
            if (!inWindow)
                return code;
        }
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        tpm_.mode = test::FakeSealedKeyStore::Mode::NoProvider;
        protect::setLocalProtectionServices(&tpm_, &user_);
    }
    void init() {
        static int round = 0;
        const QString folder = dir_.filePath(QString::number(++round));
        QVERIFY(QDir().mkpath(folder));
        auth_ = std::make_unique<AuthManager>(
            folder + QStringLiteral("/identity.dat"), clock_,
            core::createSettingsFloorStore(folder + QStringLiteral("/floor.ini")));
        twoFactor_ = std::make_unique<core::TwoFactorManager>(
            folder + QStringLiteral("/twofactor.dat"), clock_);
        pendingKey_ = crypto::AeadCipher::generateKey();
        secret_ = crypto::AeadCipher::generateKey();
        QVERIFY(twoFactor_->restoreFromSecret(pendingKey_, secret_));
        clock_.advance(core::kTotpStepSeconds); // a fresh step each case
    }
    void cleanupTestCase() {
        protect::LocalIntegrityKey::clearRootCache();
        protect::setLocalProtectionServices(nullptr, nullptr);
    }

    void wrongCodeIsOneFailedAttempt_data() {
        QTest::addColumn<bool>("recordable");
        QTest::addColumn<QString>("message");
        QTest::newRow("recorded") << true << QStringLiteral("Incorrect code.");
        QTest::newRow("not recorded")
            << false
            << QStringLiteral("Incorrect code. Zelvora also could not save this attempt to its "
                              "data folder -- its protection against repeated guessing may not be "
                              "active right now. Check that the data folder is writable.");
    }
    void wrongCodeIsOneFailedAttempt() {
        QFETCH(bool, recordable);
        QFETCH(QString, message);
        if (!recordable) // a folder stands where the lockout file must be written
            QVERIFY(QDir().mkpath(auth_->identityPath() + QStringLiteral(".lockout/blocker")));

        TwoFactorPromptDialog dialog(pendingKey_, *twoFactor_, *auth_);
        dialog.show();
        auto* code = child<QLineEdit>(dialog, "twoFactorPromptCodeEdit");
        auto* error = child<QLabel>(dialog, "twoFactorPromptErrorLabel");
        QCOMPARE(code->maxLength(), 6);
        QCOMPARE(code->placeholderText(), QStringLiteral("6-digit code"));
        QVERIFY(!error->isVisible());
        typeInto(code, wrongCode());
        QTest::keyClick(code, Qt::Key_Return);

        QCOMPARE(error->text(), message);
        QVERIFY(error->isVisible());
        QVERIFY(code->text().isEmpty());
        QVERIFY(code->isEnabled());
        QVERIFY(dialog.isVisible());
        QVERIFY(!dialog.takeVaultKey());
        if (recordable) {
            // One Return press, one attempt: four more failures still leave no cooldown.
            for (int i = 0; i < 4; ++i)
                QVERIFY(auth_->recordFailedAttempt());
            QCOMPARE(auth_->lockoutSecondsRemaining(), 0);
        }
    }

    void cooldownDisablesTheCodeUntilItEnds() {
        for (int i = 0; i < 5; ++i)
            QVERIFY(auth_->recordFailedAttempt());
        TwoFactorPromptDialog dialog(pendingKey_, *twoFactor_, *auth_);
        dialog.show();
        auto* code = child<QLineEdit>(dialog, "twoFactorPromptCodeEdit");
        auto* error = child<QLabel>(dialog, "twoFactorPromptErrorLabel");
        auto* verify = child<QPushButton>(dialog, "twoFactorPromptVerifyButton");
        QVERIFY(verify->isEnabled());

        typeInto(code, wrongCode());
        QTest::mouseClick(verify, Qt::LeftButton); // the sixth failure starts the cooldown
        const int seconds = auth_->lockoutSecondsRemaining();
        QVERIFY(seconds >= 1);
        QCOMPARE(error->text(),
                 QStringLiteral("Too many attempts. Try again in %1s.").arg(seconds));
        QVERIFY(error->isVisible());
        QVERIFY(!verify->isEnabled());
        QVERIFY(!code->isEnabled());

        // A prompt opened during the cooldown starts out disabled too.
        {
            TwoFactorPromptDialog another(pendingKey_, *twoFactor_, *auth_);
            another.show();
            QVERIFY(!child<QPushButton>(another, "twoFactorPromptVerifyButton")->isEnabled());
            QVERIFY(!child<QLineEdit>(another, "twoFactorPromptCodeEdit")->isEnabled());
            QVERIFY(child<QLabel>(another, "twoFactorPromptErrorLabel")->isVisible());
        }

        // Once the clock passes the cooldown the dialog's own timer makes it usable again.
        clock_.advance(seconds + 1);
        QTRY_VERIFY_WITH_TIMEOUT(verify->isEnabled(), 10000);
        QVERIFY(code->isEnabled());
        QVERIFY(!error->isVisible());

        // The right code now gets in with the effective key and clears the failure count.
        typeInto(code, codeNow());
        QTest::keyClick(code, Qt::Key_Return);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        const std::optional<SecureBuffer> key = dialog.takeVaultKey();
        QVERIFY(key);
        QVERIFY(key->equals(core::TwoFactorManager::deriveEffectiveKey(pendingKey_, secret_)));
        QVERIFY(!dialog.takeVaultKey());
        for (int i = 0; i < 5; ++i)
            QVERIFY(auth_->recordFailedAttempt());
        QCOMPARE(auth_->lockoutSecondsRemaining(), 0);
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    int status = 0;
    {
        SignInDialogsTest signIn;
        status |= QTest::qExec(&signIn, argc, argv);
    }
    {
        TwoFactorPromptTest twoFactor;
        status |= QTest::qExec(&twoFactor, argc, argv);
    }
    return status;
}

#include "tst_signindialogs.moc"
