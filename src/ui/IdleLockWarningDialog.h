#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QTimer;

namespace korvex::core {
class AuthManager;
class TwoFactorManager;
} // namespace korvex::core

// Shown when the idle timer expires: counts down and rejects itself when the time is up, unless
// the user proves presence with the master password (and the code, when two-factor is on).
// Closing it in any other way (Escape, the window button) also rejects it.
class IdleLockWarningDialog : public QDialog {
    Q_OBJECT

public:
    IdleLockWarningDialog(int seconds, korvex::core::AuthManager& auth,
                          korvex::core::TwoFactorManager& twoFactor, const QString& vaultId,
                          QWidget* parent = nullptr);

    int remainingSeconds() const { return remainingSeconds_; }

protected:
    void showEvent(QShowEvent* event) override;

private Q_SLOTS:
    void onTick();
    void onStillHereClicked();

private:
    korvex::core::AuthManager& auth_;
    korvex::core::TwoFactorManager& twoFactor_;
    QString vaultId_;
    QLabel* countdownLabel_ = nullptr;
    QTimer* countdownTimer_ = nullptr;
    int remainingSeconds_ = 0;
};
