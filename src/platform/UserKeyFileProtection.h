#pragma once

#include "crypto/SecureBuffer.h"
#include "platform/UserDataProtection.h"

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <optional>
#include <vector>

namespace korvex::platform {

// The blob every per-user protection writes, whatever holds its wrapping key:
//
//   "ZVUDPB01" (8 bytes) | description length (uint16 LE) | description (UTF-8) |
//   nonce (24 bytes) | AEAD blob (suite byte, ciphertext, tag)
//
// The AEAD blob encrypts the protected bytes under the user's 32-byte wrapping key with that
// nonce. Its associated data binds everything else in the blob and the caller's entropy:
//   "zelvora.user-data-protection.v1" | description length | description | nonce | entropy
// so no byte of the blob can change, and neither the description nor the entropy can be
// swapped or dropped, without the blob failing to open. (The nonce is bound explicitly because
// AES-256-GCM uses only its first 12 bytes.)
inline constexpr char kUserBlobMagic[8] = {'Z', 'V', 'U', 'D', 'P', 'B', '0', '1'};
inline constexpr std::size_t kUserBlobHeaderBytes = sizeof(kUserBlobMagic) + 2;
inline constexpr std::size_t kUserWrappingKeyBytes = 32;

// Implements protect and unprotect over the blob format above; subclasses say where the user's
// wrapping key lives.
class WrappedUserDataProtection : public IUserDataProtection {
public:
    std::optional<QByteArray> protect(const crypto::SecureBuffer& data, const QString& description,
                                      const crypto::SecureBuffer* entropy) final;
    std::optional<crypto::SecureBuffer> unprotect(const QByteArray& blob,
                                                  const crypto::SecureBuffer* entropy) final;
    UserProtectionFailure lastFailure() const final { return lastFailure_; }

    // Whether blob has the shape of a protected blob (magic, lengths); says nothing about whether
    // it authenticates.
    static bool isWellFormed(const QByteArray& blob);

protected:
    // The wrapping key to seal new blobs with; a user who has none yet gets one. Empty when no
    // key can be had.
    virtual crypto::SecureBuffer sealingKey() = 0;
    // Every wrapping key a blob may have been sealed with (normally one). Never creates a key.
    virtual std::vector<crypto::SecureBuffer> openingKeys() = 0;
    // Why the last sealingKey or openingKeys call gave no key.
    virtual UserProtectionFailure keyFailure() const = 0;

private:
    UserProtectionFailure lastFailure_ = UserProtectionFailure::None;
};

// Per-user protection for a machine without a Secret Service: the wrapping key is a private
// 32-byte file of the user's, by default in the user's configuration folder (outside the data
// folder). The file is created 0600 in a 0700 folder on first protect; a key file with another
// size, another owner, or any access for group or others is refused, never trusted or replaced.
class UserKeyFileDataProtection final : public WrappedUserDataProtection {
public:
    explicit UserKeyFileDataProtection(QString keyFilePath = defaultKeyFilePath());

    // The generic configuration location + "/Zelvora/user-data-protection.key"; empty when the
    // user has no configuration folder (every call then refuses).
    static QString defaultKeyFilePath();
    // The folder of the default key file as the user should read it: the home folder written
    // as "~" ("~/.config/Zelvora" on most systems).
    static QString defaultKeyFolderShown();
    const QString& keyFilePath() const { return keyFilePath_; }

    UserProtectionKind kind() const override { return UserProtectionKind::UserKeyFile; }

protected:
    crypto::SecureBuffer sealingKey() override;
    std::vector<crypto::SecureBuffer> openingKeys() override;
    // A key file that is missing or refused makes the protection unavailable.
    UserProtectionFailure keyFailure() const override { return UserProtectionFailure::Unavailable; }

private:
    enum class LoadResult { Loaded, Missing, Refused };
    LoadResult loadKey(crypto::SecureBuffer* key) const;
    crypto::SecureBuffer createKey() const;

    QString keyFilePath_;
};

} // namespace korvex::platform
