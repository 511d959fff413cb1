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

// How long the TPM keeps a key locked, in words ("about 10 minutes").
QString lockoutDuration(quint32 seconds);

// What to tell when the TPM that protects the settings cannot be used (why: it does not answer,
// or answers but refuses), and what to check; it names the way this program looks for it
// (tctiConfig).
QString tpmUnreachableText(const QString& tctiConfig, platform::SealedKeyAvailability why);

// The prompt that guards the TPM key: the key's title, name and description, and the PIN
// (typed twice when the key is created). OK stays off until the PIN is long enough and, at
// creation, both fields match. After a wrong PIN, and whenever few tries are left, it says how
// many the TPM still allows before it locks the key.
class TpmPinDialog : public QDialog {
    Q_OBJECT

public:
    TpmPinDialog(const platform::SealedKeyPrompt& words, platform::PinRequest request,
                 const platform::PinTries& tries = {}, QWidget* parent = nullptr);
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
                                                  platform::PinRequest request,
                                                  const platform::PinTries& tries) override;
    void tellLockedOut(const platform::SealedKeyPrompt& words,
                       const platform::PinTries& tries) override;

    // The lockout message, shared with tests.
    static QString lockedOutText(const platform::PinTries& tries);
};

} // namespace korvex::ui
