#pragma once

#include "crypto/SecureBuffer.h"

#include <QDialog>
#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace korvex::core {
class AuthManager;
} // namespace korvex::core

// Creates the one local account (user name and master password) on first start. Ends Accepted
// only with the new account's vault key in hand; every way out scrubs the password fields.
class FirstRunWizard : public QDialog {
    Q_OBJECT

public:
    FirstRunWizard(korvex::core::AuthManager& auth, QWidget* parent = nullptr);
    ~FirstRunWizard() override;

    // The vault key of the account just created; empty unless the wizard was accepted, and
    // empty again once taken.
    std::optional<korvex::crypto::SecureBuffer> takeVaultKey();

public Q_SLOTS:
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private Q_SLOTS:
    void onCreateClicked();

private:
    void showError(const QString& message);
    void scrubPasswordFields();

    korvex::core::AuthManager& auth_;
    QLineEdit* usernameEdit_ = nullptr;
    QLineEdit* passwordEdit_ = nullptr;
    QLineEdit* confirmEdit_ = nullptr;
    QLabel* errorLabel_ = nullptr;
    QPushButton* createButton_ = nullptr;
    std::optional<korvex::crypto::SecureBuffer> vaultKey_;
};
