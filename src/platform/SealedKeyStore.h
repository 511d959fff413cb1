#pragma once

#include "crypto/SecureBuffer.h"

#include <QByteArray>
#include <QString>

namespace korvex::platform {

// Outcome of an operation on the sealed key store. A store whose provider is missing reports
// NoProvider; one that exists but refuses or faults reports Failed; a user who dismisses the
// consent prompt gives PromptCancelled. Callers treat the three differently.
enum class SealedKeyResult { Ok = 0, NoProvider = 1, Failed = 2, PromptCancelled = 3 };

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

    // Whether this machine has a provider at all. Everything else reports NoProvider without one.
    virtual bool hasProvider() = 0;
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
