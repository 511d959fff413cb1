#pragma once

#include "core/AuthManager.h"
#include "crypto/SecureBuffer.h"

#include <QDialog>
#include <QString>
#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace korvex::ui {

// What the login dialog tells the user for each reason a login failed; a reason it does not
// know reads as a wrong password.
QString loginFailureMessage(korvex::core::LoginFailureReason reason);

} // namespace korvex::ui

// Asks for the master password and unlocks the vault key. Every failed login gets its own
// message, so that a damaged, unreadable or machine-bound account file never passes for a
// wrong password; when the account file's hardware key is lost it offers a restore from the
// recovery code. Ends Accepted only with the vault key in hand.
class LoginDialog : public QDialog {
    Q_OBJECT

public:
    // twoFactorEnabled: the verification prompt follows and clears the failed-attempt count,
    // so a correct password alone does not. vaultId is what the vault key is bound to.
    LoginDialog(korvex::core::AuthManager& auth, bool twoFactorEnabled, const QString& vaultId,
                QWidget* parent = nullptr);
    ~LoginDialog() override;

    // The unlocked vault key; empty unless the dialog was accepted, and empty again once taken.
    std::optional<korvex::crypto::SecureBuffer> takeVaultKey();
    // The vault identifier the login had to repair the given one to; empty when it needed none.
    QString recoveredVaultId() const { return recoveredVaultId_; }

public Q_SLOTS:
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

private Q_SLOTS:
    void onLoginClicked();
    void onRestoreRecoveryCodeClicked();

private:
    korvex::core::AuthManager& auth_;
    bool twoFactorEnabled_ = false;
    QString vaultId_;
    QLineEdit* passwordEdit_ = nullptr;
    QLabel* errorLabel_ = nullptr;
    std::optional<korvex::crypto::SecureBuffer> vaultKey_;
    QString recoveredVaultId_;
    QPushButton* unlockButton_ = nullptr;
    QPushButton* restoreButton_ = nullptr;
};
