#pragma once

#include "crypto/SecureBuffer.h"

#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>

namespace korvex::platform {

// Which mechanism protects data for the current user. The interface names it to the user, so
// it must be the truth.
enum class UserProtectionKind {
    Keyring,     // the desktop's Secret Service keyring holds the wrapping key
    UserKeyFile, // no Secret Service on the session bus: a 0600 key file in the user's config
                 // folder
};

// Why the last protect or unprotect of an IUserDataProtection gave nothing.
enum class UserProtectionFailure {
    None = 0,
    Unavailable = 1,     // the key's holder cannot be reached (no keyring running, no key file)
    PromptCancelled = 2, // the keyring is locked and its unlock prompt was dismissed (or could
                         // not be shown)
    Refused = 3,         // the key was there but the blob does not open under it, or the key
                         // holder refused for another reason
};

// Protects small blobs for the current user: only this user, on this machine, can unprotect
// them. The description travels inside the blob; the optional entropy must be presented again
// to unprotect.
class IUserDataProtection {
public:
    virtual ~IUserDataProtection() = default;

    virtual UserProtectionKind kind() const = 0;
    // Nothing when the protecting key cannot be obtained (a keyring that is locked, refuses, or
    // whose prompt was dismissed) — never a weaker fallback.
    virtual std::optional<QByteArray> protect(const crypto::SecureBuffer& data,
                                              const QString& description,
                                              const crypto::SecureBuffer* entropy) = 0;
    // Nothing when the key cannot be obtained or the blob does not authenticate (another user,
    // another machine, different entropy, any altered byte).
    virtual std::optional<crypto::SecureBuffer> unprotect(const QByteArray& blob,
                                                          const crypto::SecureBuffer* entropy) = 0;
    // Why the last call gave nothing; None after a success.
    virtual UserProtectionFailure lastFailure() const { return UserProtectionFailure::None; }
};

// The current user's protection on this machine: the Secret Service keyring when one exists on
// the session bus, otherwise the per-user key file.
std::unique_ptr<IUserDataProtection> createUserDataProtection();
// The protection of the given kind, whether or not it can be reached right now.
std::unique_ptr<IUserDataProtection> createUserDataProtection(UserProtectionKind kind);

} // namespace korvex::platform
