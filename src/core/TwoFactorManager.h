#pragma once

#include "core/Clock.h"
#include "core/TransitionFile.h"
#include "crypto/Bytes.h"
#include "crypto/SecureBuffer.h"

#include <QString>
#include <optional>

namespace korvex::core {

// The two-factor record (twofactor.dat), all in the file; nothing is cached between calls.
struct TwoFactorState {
    bool enabled = false;
    crypto::Bytes wrappedSecret;        // sealed TOTP secret in use
    crypto::Bytes pendingWrappedSecret; // sealed secret of an unconfirmed enrolment
    qint64 lastVerifiedCounter = -1;    // step of the last accepted login code
    crypto::Bytes wrapSalt;             // 16 bytes bound into the secret's associated data
};

// TOTP two-factor authentication: enrolment, single-use login codes, and the container key
// derived from the vault key and the TOTP secret while it is on. Turning it on or off goes
// through a crash-safe transition file (twofactor.dat.transition).
class TwoFactorManager {
public:
    explicit TwoFactorManager(const QString& path, const Clock& clock = systemClock());

    const QString& path() const { return path_; }
    QString transitionPath() const { return path_ + QStringLiteral(".transition"); }

    bool isEnabled() const;
    // The otpauth URI of a new enrolment, or nothing when the state cannot be saved.
    std::optional<QString> beginEnrollment(const crypto::SecureBuffer& vaultKey,
                                           const QString& account, const QString& issuer);
    bool cancelEnrollment();
    // Writes the enabling transition and returns the new effective (container) key.
    std::optional<crypto::SecureBuffer> confirmEnrollment(const crypto::SecureBuffer& vaultKey,
                                                          const QString& code,
                                                          quint64 vaultGenerationAtStart);
    bool beginDisable(quint64 vaultGenerationAtStart);
    std::optional<crypto::SecureBuffer> unwrapSecret(const crypto::SecureBuffer& vaultKey) const;
    std::optional<crypto::SecureBuffer>
    effectiveVaultKey(const crypto::SecureBuffer& vaultKey) const;
    static crypto::SecureBuffer deriveEffectiveKey(const crypto::SecureBuffer& vaultKey,
                                                   const crypto::SecureBuffer& secret);
    // Accepts a code once (the burned counter is saved before success is reported).
    bool verifyLoginCode(const crypto::SecureBuffer& vaultKey, const QString& code);
    crypto::Bytes currentWrapSalt() const;
    static crypto::Bytes wrapSecretForKey(const crypto::SecureBuffer& newVaultKey,
                                          const crypto::SecureBuffer& secret,
                                          const crypto::Bytes& wrapSalt);
    bool replaceWrappedSecret(const crypto::Bytes& wrappedSecret);
    bool restoreFromSecret(const crypto::SecureBuffer& vaultKey,
                           const crypto::SecureBuffer& secret);

    // Key transitions.
    bool markTransitionVaultRekeyed();
    RekeyEvidence transitionVaultRekeyed(std::optional<quint64> currentGeneration) const;
    // A transition that loads.
    bool hasPendingTransition() const;
    // A transition file is there, whether or not it loads now.
    bool transitionFileExists() const;
    bool commitTransition();
    void abandonTransition();

    // The record as stored; nothing when it cannot be read or verified.
    std::optional<TwoFactorState> loadState() const;
    bool saveState(const TwoFactorState& state);

private:
    QString path_;
    const Clock& clock_;
};

} // namespace korvex::core
