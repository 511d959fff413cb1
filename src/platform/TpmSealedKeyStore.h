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

// What the TPM says about wrong PINs, as far as it says: how many more wrong ones it takes
// before it locks its keys, and how long a locked key stays locked.
struct PinTries {
    std::optional<quint32> left;           // wrong PINs still allowed before the lockout
    std::optional<quint32> lockoutSeconds; // until a locked key takes a PIN again; 0: until the
                                           // TPM's lockout is cleared by its owner
};

// Asks the user for the PIN that authorises a sealing key. The application installs a dialog;
// the platform layer only sees this interface.
class ISealedKeyPinPrompt {
public:
    virtual ~ISealedKeyPinPrompt() = default;
    // No value when the user cancels.
    virtual std::optional<crypto::SecureBuffer>
    askForPin(const SealedKeyPrompt& words, PinRequest request, const PinTries& tries) = 0;
    // The TPM refuses every PIN for a while after too many wrong ones; the user is told so.
    virtual void tellLockedOut(const SealedKeyPrompt& words, const PinTries& tries) = 0;
};

// Sealing keys in a TPM 2.0, reached through the TSS2 TCTI loader (by default the kernel's
// resource manager, /dev/tpmrm0). Each key is a 2048-bit RSA decryption key (RSA-OAEP, SHA-256,
// no label) created under the owner hierarchy's standard storage primary key; its
// authorisation value is derived from a PIN the user chooses when the key is created and types
// whenever it is used, and the TPM's dictionary-attack protection counts wrong PINs. The key's
// public and (TPM-encrypted) private parts live in a per-user folder, one file per name, so
// that deleting the file deletes the key.
//
// Nothing secret crosses the bus (or the resource manager's socket) in the clear. Sealing is
// done here, in software, with the key's public part (RSA-OAEP, SHA-256, the padding the TPM
// decrypts), so the secret is never sent; a key is created in a session salted by the storage
// primary key that encrypts the PIN's authorisation value on its way in; unsealing proves the
// PIN with an HMAC in such a session, and the secret comes back encrypted under its key. Each
// key file records the name of the storage primary key it was made under, and a primary key of
// another name (a cleared TPM, or something between the program and the TPM posing as it) is
// never handed a session or a PIN for that key.
//
// Unsealing asks for the PIN, and asks again after a wrong one until the user cancels, saying
// how many tries are left. A TPM in dictionary-attack lockout is told to the user and ends as
// LockedOut, without asking. A TPM that stops answering (or whose connection faults) gives
// Unreachable, and is looked for anew by the next call; a TPM that answers with a warning (busy,
// out of memory just now) gives Unreachable too, as it says nothing about the key.
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

    // True when a TPM 2.0 answers through the TCTI and its storage primary key can be made. A
    // TPM this user may not open (on Debian the device belongs to the "tss" group) is no
    // provider.
    bool hasProvider() override;
    SealedKeyAvailability availability() override;
    void retry() override;
    SealedKeyResult keyExists(const QString& name, bool* exists) override;
    SealedKeyResult createKey(const QString& name, const SealedKeyPrompt& prompt) override;
    SealedKeyResult encrypt(const QString& name, const crypto::SecureBuffer& plaintext,
                            QByteArray* ciphertext) override;
    SealedKeyResult decrypt(const QString& name, const QByteArray& ciphertext,
                            crypto::SecureBuffer* plaintext) override;
    SealedKeyResult deleteKey(const QString& name) override;

    // The TCTI configuration this store reaches the TPM through.
    const QString& tctiConfig() const { return tctiConfig_; }

private:
    struct Tpm;
    // The open connection with the storage primary key loaded; null when there is no TPM.
    Tpm* tpm();
    // A command failed because the TPM no longer answers: the connection is dropped.
    SealedKeyResult lost();
    QString keyPath(const QString& name) const;

    QString tctiConfig_;
    QString keyFolder_;
    ISealedKeyPinPrompt* prompt_;
    std::unique_ptr<Tpm> tpm_;
    bool probed_ = false;
    SealedKeyAvailability availability_ = SealedKeyAvailability::Absent;
};

} // namespace korvex::platform
