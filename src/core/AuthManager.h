#pragma once

#include "core/Clock.h"
#include "core/LockoutTracker.h"
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
    void forgetSessionKey();

    bool recordFailedAttempt();
    void resetFailedAttempts();
    int lockoutSecondsRemaining();

    // Password-change transition.
    bool beginPasswordChange(const crypto::SecureBuffer& newVaultKey, const std::string& newPassword,
                             const QString& vaultId, quint64 vaultGenerationAtStart,
                             const crypto::Bytes& twoFactorWrappedSecret);
    bool markTransitionVaultRekeyed();
    bool transitionVaultRekeyed(std::optional<quint64> currentGeneration) const;
    bool hasPendingTransition() const;
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
};

} // namespace korvex::core
