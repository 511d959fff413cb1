#pragma once

#include "crypto/SecureBuffer.h"

#include <QByteArray>
#include <QString>

namespace korvex::platform {

// Outcome of an operation on the sealed key store. A store whose provider is missing reports
// NoProvider; one that exists but refuses or faults reports Failed (the key is not usable, as
// after the hardware was cleared); a user who dismisses the consent prompt gives
// PromptCancelled. A provider that answered earlier in this process and has stopped answering
// gives Unreachable, and one that refuses every authorisation for a while after too many wrong
// ones gives LockedOut: neither says anything about the key. Callers treat each differently.
enum class SealedKeyResult {
    Ok = 0,
    NoProvider = 1,
    Failed = 2,
    PromptCancelled = 3,
    Unreachable = 4,
    LockedOut = 5,
};

// Whether the store can create and use keys now, and if not, why. A provider that answers but
// cannot be used by this program is told apart from one that is not there, so that the user can
// be told rather than silently given a weaker protection.
enum class SealedKeyAvailability {
    Usable = 0,
    Absent = 1,           // nothing answers (no device, no access to it, nothing listening)
    OwnerPasswordSet = 2, // the storage hierarchy has a password this program does not know
    NoRoom = 3,           // the provider has no room for another key just now
    Faulty = 4,           // it answers, but not as a usable provider
};

// Words shown by the consent prompt when a sealing key is created or used.
struct SealedKeyPrompt {
    QString title;        // "Zelvora"
    QString friendlyName; // "Zelvora local integrity key"
    QString description;  // why the key is needed
};

// Named 2048-bit RSA keys held by the machine's security hardware (a TPM), usable only after
// the user's consent, with RSA-OAEP (SHA-256, no label) to seal and unseal small secrets.
// Key material never leaves the store.
class ISealedKeyStore {
public:
    virtual ~ISealedKeyStore() = default;

    // Whether this machine has a usable provider. Everything else reports NoProvider without one.
    virtual bool hasProvider() = 0;
    virtual SealedKeyAvailability availability() {
        return hasProvider() ? SealedKeyAvailability::Usable : SealedKeyAvailability::Absent;
    }
    // The user chose to try again: a provider that could not be reached is looked for anew.
    virtual void retry() {}
    virtual SealedKeyResult keyExists(const QString& name, bool* exists) = 0;
    // Creates and persists a new key under name; its later use is guarded by the prompt.
    virtual SealedKeyResult createKey(const QString& name, const SealedKeyPrompt& prompt) = 0;
    virtual SealedKeyResult encrypt(const QString& name, const crypto::SecureBuffer& plaintext,
                                    QByteArray* ciphertext) = 0;
    virtual SealedKeyResult decrypt(const QString& name, const QByteArray& ciphertext,
                                    crypto::SecureBuffer* plaintext) = 0;
    // Deleting a key that does not exist succeeds.
    virtual SealedKeyResult deleteKey(const QString& name) = 0;
};

// The store of a machine without security hardware: there is no provider.
class NoSealedKeyStore final : public ISealedKeyStore {
public:
    bool hasProvider() override { return false; }
    SealedKeyResult keyExists(const QString&, bool* exists) override {
        if (exists)
            *exists = false;
        return SealedKeyResult::NoProvider;
    }
    SealedKeyResult createKey(const QString&, const SealedKeyPrompt&) override {
        return SealedKeyResult::NoProvider;
    }
    SealedKeyResult encrypt(const QString&, const crypto::SecureBuffer&, QByteArray*) override {
        return SealedKeyResult::NoProvider;
    }
    SealedKeyResult decrypt(const QString&, const QByteArray&, crypto::SecureBuffer*) override {
        return SealedKeyResult::NoProvider;
    }
    SealedKeyResult deleteKey(const QString&) override { return SealedKeyResult::NoProvider; }
};

} // namespace korvex::platform
