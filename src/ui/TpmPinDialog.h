#pragma once

#include "crypto/SecureBuffer.h"
#include "platform/TpmSealedKeyStore.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace korvex::ui {

// The shortest PIN a TPM key takes.
inline constexpr int kMinimumTpmPinLength = 4;

// The prompt that guards the TPM key: the key's title, name and description, and the PIN
// (typed twice when the key is created). OK stays off until the PIN is long enough and, at
// creation, both fields match.
class TpmPinDialog : public QDialog {
    Q_OBJECT

public:
    TpmPinDialog(const platform::SealedKeyPrompt& words, platform::PinRequest request,
                 QWidget* parent = nullptr);
    ~TpmPinDialog() override;

    // The PIN as UTF-8; the fields are emptied, so the dialog keeps no copy.
    crypto::SecureBuffer takePin();

private:
    void check();
    void clearFields();

    platform::PinRequest request_;
    QLineEdit* pin_ = nullptr;
    QLineEdit* confirm_ = nullptr;
    QLabel* problem_ = nullptr;
    QPushButton* ok_ = nullptr;
};

// The TPM store's prompt in this application: each request is a modal TpmPinDialog over the
// active window. Only the interface thread shows dialogs; a request from any other thread is
// refused as if cancelled.
class TpmPinPrompt final : public platform::ISealedKeyPinPrompt {
public:
    std::optional<crypto::SecureBuffer> askForPin(const platform::SealedKeyPrompt& words,
                                                  platform::PinRequest request) override;
    void tellLockedOut(const platform::SealedKeyPrompt& words) override;

    // The lockout message, shared with tests.
    static QString lockedOutText();
};

} // namespace korvex::ui
