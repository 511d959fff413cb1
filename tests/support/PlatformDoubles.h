#pragma once

#include "crypto/SecureBuffer.h"
#include "platform/SealedKeyStore.h"
#include "platform/UserDataProtection.h"

#include <QByteArray>
#include <QMap>
#include <QString>

namespace korvex::test {

// A sealed key store that behaves like a TPM provider with prompt-guarded keys: keys are
// in-memory AEAD keys, and each call can be made to succeed, fail or report a cancelled prompt.
class FakeSealedKeyStore final : public platform::ISealedKeyStore {
public:
    enum class Mode { Works, Fails, Cancels, NoProvider, LocksOut };

    Mode mode = Mode::Works;
    int prompts = 0; // how many times a key was created or used (each would prompt)

    // Forgets every key, as a cleared TPM would.
    void reset() { keys_.clear(); }
    int keyCount() const { return int(keys_.size()); }
    bool has(const QString& name) const { return keys_.contains(name); }
    // Adds a key by name from outside, as something else on the machine might.
    void plantKey(const QString& name);

    bool hasProvider() override { return mode != Mode::NoProvider; }
    platform::SealedKeyResult keyExists(const QString& name, bool* exists) override;
    platform::SealedKeyResult createKey(const QString& name,
                                        const platform::SealedKeyPrompt& prompt) override;
    platform::SealedKeyResult encrypt(const QString& name, const crypto::SecureBuffer& plaintext,
                                      QByteArray* ciphertext) override;
    platform::SealedKeyResult decrypt(const QString& name, const QByteArray& ciphertext,
                                      crypto::SecureBuffer* plaintext) override;
    platform::SealedKeyResult deleteKey(const QString& name) override;

    platform::SealedKeyPrompt lastPrompt;

private:
    platform::SealedKeyResult gate();
    QMap<QString, QByteArray> keys_;
};

// Per-user protection under one in-memory key; "another user" is another instance.
class FakeUserDataProtection final : public platform::IUserDataProtection {
public:
    FakeUserDataProtection();
    bool refuse = false; // behave like a keyring that gives no key
    // Why, while refusing: a keyring that is not running, or an unlock prompt dismissed.
    platform::UserProtectionFailure refusal = platform::UserProtectionFailure::Unavailable;

    platform::UserProtectionKind kind() const override {
        return platform::UserProtectionKind::Keyring;
    }
    std::optional<QByteArray> protect(const crypto::SecureBuffer& data, const QString& description,
                                      const crypto::SecureBuffer* entropy) override;
    std::optional<crypto::SecureBuffer> unprotect(const QByteArray& blob,
                                                  const crypto::SecureBuffer* entropy) override;
    platform::UserProtectionFailure lastFailure() const override { return lastFailure_; }

private:
    crypto::SecureBuffer key_;
    platform::UserProtectionFailure lastFailure_ = platform::UserProtectionFailure::None;
};

} // namespace korvex::test
