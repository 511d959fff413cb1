#pragma once

#include <QDialog>

namespace korvex::core {
class AuthManager;
} // namespace korvex::core

// The user guide: tabs "Manual", "Warnings" and "Local Security". The last says what actually
// protects the account file's key on this machine (TPM, desktop keyring or the user key file).
class HelpDialog : public QDialog {
    Q_OBJECT

public:
    // auth is used only to find the account file's key file.
    HelpDialog(korvex::core::AuthManager& auth, QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;
};
