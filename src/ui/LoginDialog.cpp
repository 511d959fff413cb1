#include "ui/LoginDialog.h"

#include "crypto/SecureWipe.h"
#include "platform/CaptureExclusion.h"
#include "protect/LocalIntegrityKey.h"
#include "ui/BackgroundTask.h"
#include "ui/DialogHeader.h"
#include "ui/RecoveryCodeRestore.h"
#include "ui/SecretField.h"
#include "ui/Theme.h"
#include "ui/TpmPinDialog.h"

#include <QCoreApplication>
#include <QFormLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <string>

using korvex::core::LoginFailureReason;

namespace korvex::ui {

QString loginFailureMessage(LoginFailureReason reason) {
    auto tr = [](const char* text) { return QCoreApplication::translate("LoginDialog", text); };
    switch (reason) {
    case LoginFailureReason::WrongPassword:
        break;
    case LoginFailureReason::LockedOut:
        return tr("Too many attempts. Please wait before trying again.");
    case LoginFailureReason::IdentityUnreadable:
        return tr("Zelvora could not read your account file (permission denied or the file is in "
                  "use). This is not a wrong password -- check the file's permissions, or restart "
                  "Zelvora if another program may be holding it open.");
    case LoginFailureReason::IdentityCorrupt:
        return tr("Zelvora's account file appears to be corrupted or tampered with, and cannot be "
                  "verified. This is not a wrong password. If you have a backup of your account "
                  "file, restore it; otherwise please contact support.");
    case LoginFailureReason::IdentityLegacyFormat:
        return tr("This account was created by an older version of Zelvora that protected its "
                  "account file differently -- this version can no longer read it, by design, not "
                  "because anything is corrupted or tampered with. You'll need to start with a "
                  "fresh vault: exit Zelvora, delete your existing account data, and relaunch to "
                  "set up again. If you need the data in your old vault, please contact support "
                  "before deleting anything.");
    case LoginFailureReason::HardwareKeyUnavailable:
        return tr("Zelvora could not obtain the hardware security key that protects your account "
                  "file on this device -- most likely your PC's TPM was reset or cleared, or this "
                  "data was moved from a different computer. This is not a wrong password. If you "
                  "saved a recovery code for this account, use it below to restore access; "
                  "otherwise you'll need to start with a fresh vault.");
    case LoginFailureReason::SecurityPromptCancelled:
        // Without a TPM the only prompt on the way to the key is the keyring's unlock prompt.
        if (!korvex::protect::LocalIntegrityKey::sealedKeyStore().hasProvider())
            return tr("The keyring prompt that unlocks your account file's key was cancelled. This "
                      "is not a wrong password. Select Unlock again and approve the prompt this "
                      "time.");
        return tr("The PIN prompt for your account file's TPM key was cancelled. This is not a "
                  "wrong password. Select Unlock again and enter the key's PIN this time.");
    case LoginFailureReason::ProtectionUnavailable:
        if (korvex::protect::LocalIntegrityKey::userDataProtection().kind() ==
            korvex::platform::UserProtectionKind::UserKeyFile)
            return tr("The private key file that protects Zelvora's settings (in your "
                      "configuration folder) is missing or cannot be used, so your account file "
                      "cannot be read. This is not a wrong password. If you restored Zelvora's "
                      "data from a backup, restore that key file as well.");
        return tr("The desktop keyring that protects Zelvora's settings is not available, so your "
                  "account file cannot be read. This is not a wrong password. Sign in to your "
                  "usual desktop session (or start its keyring), then select Unlock again.");
    case LoginFailureReason::VaultKeyUnwrapFailed:
        return tr("Your password was correct, but Zelvora could not unlock the vault key on file. "
                  "This usually means the account file doesn't match this vault. Please contact "
                  "support.");
    case LoginFailureReason::WrongPasswordNotRecorded:
        return tr("Incorrect password. Zelvora also could not save this attempt to its data folder "
                  "-- its protection against repeated guessing may not be active right now. Check "
                  "that the data folder is writable.");
    case LoginFailureReason::Interrupted:
        return tr("The session was locked while signing in, so nothing was unlocked. Sign in "
                  "again.");
    case LoginFailureReason::HardwareKeyUnreachable:
        return korvex::ui::tpmUnreachableText(
                   korvex::platform::TpmSealedKeyStore::defaultTctiConfig(),
                   korvex::protect::LocalIntegrityKey::sealedKeyStore().availability()) +
               tr(" This is not a wrong password: once the TPM answers, select Unlock again.");
    case LoginFailureReason::HardwareKeyLockedOut:
        return tr("The TPM has locked the key that protects your account file after too many "
                  "wrong PINs. This is not a wrong password, and nothing has been lost: once the "
                  "TPM takes a PIN again, select Unlock and enter the key's PIN.");
    }
    return tr("Incorrect password.");
}

} // namespace korvex::ui

LoginDialog::LoginDialog(korvex::core::AuthManager& auth, bool twoFactorEnabled,
                         const QString& vaultId, QWidget* parent)
    : QDialog(parent), auth_(auth), twoFactorEnabled_(twoFactorEnabled), vaultId_(vaultId) {
    setWindowTitle(tr("Zelvora - Login"));
    setMinimumWidth(420);

    QWidget* header =
        korvex::ui::makeDialogHeader(this, QStringLiteral(":/icons/lock.svg"), tr("Welcome Back"),
                                     tr("Enter your master password to unlock your vault."));

    passwordEdit_ = new QLineEdit(this);
    passwordEdit_->setObjectName(QStringLiteral("loginPasswordEdit"));
    passwordEdit_->setEchoMode(QLineEdit::Password);
    korvex::ui::prepareSecretField(passwordEdit_);
    connect(passwordEdit_, &QLineEdit::returnPressed, this, &LoginDialog::onLoginClicked);

    auto* form = new QFormLayout;
    form->addRow(tr("Master password"), passwordEdit_);

    errorLabel_ = new QLabel(this);
    errorLabel_->setObjectName(QStringLiteral("loginErrorLabel"));
    errorLabel_->setStyleSheet(QStringLiteral("color: #FF7A7A;"));
    errorLabel_->setWordWrap(true);
    errorLabel_->hide();

    unlockButton_ = new QPushButton(tr("Unlock"), this);
    unlockButton_->setObjectName(QStringLiteral("loginUnlockButton"));
    unlockButton_->setProperty("accent", true);
    unlockButton_->setIcon(korvex::ui::loadIcon(QStringLiteral(":/icons/lock.svg")));
    unlockButton_->setIconSize(QSize(18, 18));
    connect(unlockButton_, &QPushButton::clicked, this, &LoginDialog::onLoginClicked);

    restoreButton_ = new QPushButton(tr("Restore From Recovery Code..."), this);
    restoreButton_->setObjectName(QStringLiteral("restoreRecoveryCodeButton"));
    restoreButton_->hide();
    connect(restoreButton_, &QPushButton::clicked, this,
            &LoginDialog::onRestoreRecoveryCodeClicked);

    // Return in the password edit logs in through returnPressed alone: a default button would
    // answer the same key press a second time and count a second, empty attempt.
    for (QPushButton* button : {unlockButton_, restoreButton_}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(16);
    layout->addWidget(header);
    layout->addLayout(form);
    layout->addWidget(errorLabel_);
    layout->addWidget(unlockButton_);
    layout->addWidget(restoreButton_);
}

LoginDialog::~LoginDialog() {
    korvex::ui::wipeLineEdit(passwordEdit_);
}

std::optional<korvex::crypto::SecureBuffer> LoginDialog::takeVaultKey() {
    std::optional<korvex::crypto::SecureBuffer> key = std::move(vaultKey_);
    vaultKey_.reset();
    return key;
}

void LoginDialog::onLoginClicked() {
    // Unlock again is the user's answer to a dismissed key prompt: it may ask once more.
    korvex::protect::LocalIntegrityKey::allowPromptsAgain();
    const korvex::crypto::SecureBuffer password = korvex::ui::secretOf(passwordEdit_);
    std::string bytes(reinterpret_cast<const char*>(password.data()), password.size());

    LoginFailureReason reason = LoginFailureReason::WrongPassword;
    QString recovered;
    std::optional<korvex::crypto::SecureBuffer> key;
    {
        // The key derivation runs on other threads while the dialog shows that it is working.
        const korvex::ui::WorkingState working(this, unlockButton_, tr("Signing in..."));
        // login zeroes its own copy of the password.
        key = auth_.login(bytes, !twoFactorEnabled_, vaultId_, &recovered, &reason);
    }
    korvex::crypto::secureWipe(bytes);
    korvex::ui::wipeLineEdit(passwordEdit_);

    if (key) {
        vaultKey_ = std::move(key);
        recoveredVaultId_ = recovered;
        accept();
        return;
    }

    qWarning("LoginDialog::onLoginClicked: login() failed, LoginFailureReason=%d",
             static_cast<int>(reason));
    restoreButton_->hide();
    errorLabel_->setText(korvex::ui::loginFailureMessage(reason));
    if (reason == LoginFailureReason::HardwareKeyUnavailable)
        restoreButton_->show();
    errorLabel_->show();
    // Grow to fit the wrapped message rather than squeeze the header.
    adjustSize();
    passwordEdit_->setFocus();
}

void LoginDialog::onRestoreRecoveryCodeClicked() {
    const korvex::ui::RestoreOutcome outcome = korvex::ui::restoreFromRecoveryCodeDialog(
        this, auth_.identityPath() + QStringLiteral(".key"));
    if (outcome != korvex::ui::RestoreOutcome::Restored)
        return;
    restoreButton_->hide();
    errorLabel_->hide();
    passwordEdit_->setFocus();
}

void LoginDialog::reject() {
    korvex::ui::wipeLineEdit(passwordEdit_);
    QDialog::reject();
}

void LoginDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Linux offers no capture exclusion; the call then does nothing and says so.
    korvex::platform::excludeFromCapture(static_cast<quintptr>(winId()));
}
