#pragma once

#include "core/Clock.h"
#include "core/LockoutTracker.h"
#include "core/TransitionFile.h"
#include "crypto/Bytes.h"
#include "crypto/SecureBuffer.h"

#include <QString>
#include <memory>
#include <optional>
#include <string>

namespace korvex::core {

class TwoFactorManager;

enum class LoginFailureReason {
    WrongPassword = 0,
    LockedOut = 1,
    IdentityUnreadable = 2,
    IdentityCorrupt = 3,
    IdentityLegacyFormat = 4,
    HardwareKeyUnavailable = 5,
    SecurityPromptCancelled = 6,
    VaultKeyUnwrapFailed = 7,
    WrongPasswordNotRecorded = 8,
    // What protects the account file's key (the desktop keyring, or the user's key file) cannot
    // be reached: nothing is wrong with the file or the password.
    ProtectionUnavailable = 9,
    // The password was right, but the session was wiped (a lock, a suspend) while it was being
    // checked: the keys were dropped. Not a failed attempt.
    Interrupted = 10,
    // The TPM that seals the account file's key does not answer now: nothing is lost.
    HardwareKeyUnreachable = 11,
    // The TPM refuses the key's PIN for a while after too many wrong ones: nothing is lost.
    HardwareKeyLockedOut = 12,
};

// The account record of identity.dat.
struct IdentityRecord {
    QString username;
    std::string passwordHash; // Argon2id encoded hash
    crypto::Bytes keySalt;    // 16 bytes
    crypto::Bytes wrappedVaultKey;
};

// The one local account: verifies the master password, unwraps the vault key (bound to the
// vault's identifier), keeps the key-encryption key of the signed-in session, owns the
// failed-attempt lockout, and runs the crash-safe password-change transition.
// Passwords are UTF-8 byte strings; callers wipe their copies.
class AuthManager {
public:
    explicit AuthManager(const QString& identityPath, const Clock& clock = systemClock(),
                         std::shared_ptr<LockoutFloorStore> floor = nullptr);
    ~AuthManager();

    const QString& identityPath() const { return identityFilePath_; }
    QString transitionPath() const { return identityFilePath_ + QStringLiteral(".transition"); }
    const QString& username() const { return username_; }

    bool identityExists() const;
    std::optional<crypto::SecureBuffer> login(std::string password, bool resetLockoutOnSuccess,
                                              const QString& vaultId, QString* recoveredVaultId,
                                              LoginFailureReason* reason);
    std::optional<crypto::SecureBuffer> createAccount(const QString& username,
                                                      const std::string& password);
    // The password step of login alone (cooldown, verification, failure counting): whether
    // password is the account's master password. A correct one resets the failure count; the
    // wrapped vault key is not touched.
    bool checkPassword(std::string password, LoginFailureReason* reason = nullptr);
    bool bindVaultId(const crypto::SecureBuffer& vaultKey, const QString& vaultId);
    std::optional<crypto::SecureBuffer> verifyPasswordAndGenerateKey(const std::string& password);
    bool rewrapVaultKey(const crypto::SecureBuffer& vaultKey, const std::string& password,
                        const QString& vaultId);
    // Drops the held key, and with it the result of any sign-in still being worked out.
    void forgetSessionKey();

    bool recordFailedAttempt();
    void resetFailedAttempts();
    int lockoutSecondsRemaining();

    // Password-change transition. twoFactorWrapSalt is the two-factor record's salt that
    // twoFactorWrappedSecret was sealed with (both empty with two-factor off); the commit leaves
    // a two-factor record alone whose salt has changed since (it was restored or re-enrolled,
    // and already holds the secret under the right key), and waits while the record cannot be
    // read.
    bool beginPasswordChange(const crypto::SecureBuffer& newVaultKey,
                             const std::string& newPassword, const QString& vaultId,
                             quint64 vaultGenerationAtStart,
                             const crypto::Bytes& twoFactorWrappedSecret,
                             const crypto::Bytes& twoFactorWrapSalt);
    bool markTransitionVaultRekeyed();
    RekeyEvidence transitionVaultRekeyed(std::optional<quint64> currentGeneration) const;
    // A transition that loads.
    bool hasPendingTransition() const;
    // A transition file is there, whether or not it loads now.
    bool transitionFileExists() const;
    bool commitTransition(TwoFactorManager& twoFactor);
    void abandonTransition();

    // The associated data that binds a wrapped vault key to its salt and vault.
    static crypto::Bytes vaultKeyBinding(const crypto::Bytes& keySalt, const QString& vaultId);

private:
    std::optional<IdentityRecord> loadIdentity(LoginFailureReason* reason) const;
    void restoreInterruptedSave() const;
    bool saveIdentity(const IdentityRecord& record);

    QString identityFilePath_;
    LockoutTracker lockout_;
    QString username_;
    std::optional<crypto::SecureBuffer> heldKek_;
    // Counts forgetSessionKey calls, so that a sign-in that outlives one knows.
    quint64 keyForgets_ = 0;
};

} // namespace korvex::core
