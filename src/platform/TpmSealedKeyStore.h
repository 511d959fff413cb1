#pragma once

#include "platform/SealedKeyStore.h"

#include <QString>
#include <memory>
#include <optional>

namespace korvex::platform {

// What the PIN prompt asks for.
enum class PinRequest {
    NewPin = 0,   // a key is being created: the PIN chosen for it (typed twice)
    Pin = 1,      // a key is about to be used
    WrongPin = 2, // the PIN just typed was wrong; asked again
};

// Asks the user for the PIN that authorises a sealing key. The application installs a dialog;
// the platform layer only sees this interface.
class ISealedKeyPinPrompt {
public:
    virtual ~ISealedKeyPinPrompt() = default;
    // No value when the user cancels.
    virtual std::optional<crypto::SecureBuffer> askForPin(const SealedKeyPrompt& words,
                                                          PinRequest request) = 0;
    // The TPM refuses every PIN for a while after too many wrong ones; the user is told so.
    virtual void tellLockedOut(const SealedKeyPrompt& words) = 0;
};

// Sealing keys in a TPM 2.0, reached through the TSS2 TCTI loader (by default the kernel's
// resource manager, /dev/tpmrm0). Each key is a 2048-bit RSA decryption key (RSA-OAEP, SHA-256,
// no label) created under the owner hierarchy's standard storage primary key; its
// authorisation value is derived from a PIN the user chooses when the key is created and types
// whenever it is used, and the TPM's dictionary-attack protection counts wrong PINs. The key's
// public and (TPM-encrypted) private parts live in a per-user folder, one file per name, so
// that deleting the file deletes the key.
//
// Sealing needs no PIN: it uses only the public part. Unsealing asks for it, and asks again
// after a wrong one until the user cancels. A TPM in dictionary-attack lockout is told to the
// user and ends as PromptCancelled, without asking. The secret comes back from the TPM
// encrypted for this session, so it does not cross the bus in the clear.
class TpmSealedKeyStore final : public ISealedKeyStore {
public:
    // The environment variable that names another TCTI (a software TPM, for example
    // "swtpm:host=127.0.0.1,port=2321").
    static constexpr const char* kTctiVariable = "ZELVORA_TPM_TCTI";
    // kTctiVariable when set, else "device:/dev/tpmrm0".
    static QString defaultTctiConfig();
    // The per-user key folder in the XDG data location, outside the data folder.
    static QString defaultKeyFolder();

    TpmSealedKeyStore(QString tctiConfig, QString keyFolder, ISealedKeyPinPrompt* prompt);
    ~TpmSealedKeyStore() override;
    TpmSealedKeyStore(const TpmSealedKeyStore&) = delete;
    TpmSealedKeyStore& operator=(const TpmSealedKeyStore&) = delete;

    // True when a TPM 2.0 answers through the TCTI. A TPM this user may not open (on Debian
    // the device belongs to the "tss" group) is no provider.
    bool hasProvider() override;
    SealedKeyResult keyExists(const QString& name, bool* exists) override;
    SealedKeyResult createKey(const QString& name, const SealedKeyPrompt& prompt) override;
    SealedKeyResult encrypt(const QString& name, const crypto::SecureBuffer& plaintext,
                            QByteArray* ciphertext) override;
    SealedKeyResult decrypt(const QString& name, const QByteArray& ciphertext,
                            crypto::SecureBuffer* plaintext) override;
    SealedKeyResult deleteKey(const QString& name) override;

private:
    struct Tpm;
    // The open connection with the storage primary key loaded; null when there is no TPM.
    Tpm* tpm();
    QString keyPath(const QString& name) const;

    QString tctiConfig_;
    QString keyFolder_;
    ISealedKeyPinPrompt* prompt_;
    std::unique_ptr<Tpm> tpm_;
    bool probed_ = false;
};

} // namespace korvex::platform
