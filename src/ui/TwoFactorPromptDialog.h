#pragma once

#include "crypto/SecureBuffer.h"

#include <QDialog>
#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace korvex::core {
class AuthManager;
class TwoFactorManager;
} // namespace korvex::core

// Asks for the six-digit one-time code after a correct password. Ends Accepted only with the
// effective (container) key. While the failed-attempt cooldown runs, the code edit and the
// Verify button are disabled; a one-second timer re-reads the cooldown and makes them usable
// again once it is over.
class TwoFactorPromptDialog : public QDialog {
    Q_OBJECT

public:
    // pendingKey is the vault key from the password step; it must outlive the dialog.
    TwoFactorPromptDialog(const korvex::crypto::SecureBuffer& pendingKey,
                          korvex::core::TwoFactorManager& twoFactor,
                          korvex::core::AuthManager& auth, QWidget* parent = nullptr);
    ~TwoFactorPromptDialog() override;

    // The effective vault key; empty unless the dialog was accepted, and empty again once taken.
    std::optional<korvex::crypto::SecureBuffer> takeVaultKey();

public Q_SLOTS:
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

private Q_SLOTS:
    void onVerifyClicked();
    void onCooldownTimerTimeout();

private:
    void refreshCooldown();

    const korvex::crypto::SecureBuffer& pendingKey_;
    korvex::core::TwoFactorManager& twoFactor_;
    korvex::core::AuthManager& auth_;
    std::optional<korvex::crypto::SecureBuffer> vaultKey_;
    QLineEdit* codeEdit_ = nullptr;
    QLabel* errorLabel_ = nullptr;
    QPushButton* verifyButton_ = nullptr;
    QTimer* cooldownTimer_ = nullptr;
    bool showingCooldown_ = false; // the error label holds the cooldown message
};
