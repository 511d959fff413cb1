#pragma once

#include "crypto/Bytes.h"
#include "crypto/SecureBuffer.h"
#include "protect/LocalIntegrityKey.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>

namespace korvex::protect {

// The two envelopes of the small settings files.
enum class EnvelopeKind {
    Authenticated, // "KVXSAJV2": magic, HMAC-SHA-512-256 tag, JSON payload in clear
    // "KVXSEJV1": magic, nonce, AEAD blob bound to caller-supplied associated data. On read an
    // authenticated envelope under the same key is accepted as a fallback.
    Encrypted,
};

inline constexpr char kAuthenticatedMagic[8] = {'K', 'V', 'X', 'S', 'A', 'J', 'V', '2'};
inline constexpr char kEncryptedMagic[8] = {'K', 'V', 'X', 'S', 'E', 'J', 'V', '1'};

// Empty when the key is not 32 bytes.
QByteArray sealAuthenticated(const QByteArray& payload, const crypto::SecureBuffer& key);
// Also reads the older unprefixed form (tag, payload) when the magic is absent.
std::optional<QByteArray> openAuthenticated(const QByteArray& file,
                                            const crypto::SecureBuffer& key);
// Empty when the key is not 32 bytes.
QByteArray sealEncrypted(const QByteArray& plaintext, const crypto::SecureBuffer& key,
                         const crypto::Bytes& associatedData);
std::optional<QByteArray> openEncrypted(const QByteArray& file, const crypto::SecureBuffer& key,
                                        const crypto::Bytes& associatedData);

// Seals a compact JSON object under the key of path + ".key" (created when missing) and
// replaces the file atomically. False leaves the old file untouched.
bool writeProtectedFile(const QString& path, const QJsonObject& object, EnvelopeKind kind,
                        const crypto::Bytes& associatedData = {});

enum class ProtectedReadStatus {
    Ok = 0,
    Missing = 1,      // the file cannot be opened
    Unverifiable = 2, // no usable key, too short, wrong magic, bad tag or failed decryption
    NotAnObject = 3,  // verified, but the payload is not a JSON object
    // The key is there but cannot be had just now: the prompt guarding it was dismissed, or
    // the keyring (or key file) protecting it cannot be reached. Says nothing about the file.
    KeyUnavailable = 4,
};

struct ProtectedReadResult {
    ProtectedReadStatus status = ProtectedReadStatus::Missing;
    QJsonObject object;
    KeyLoadFailure keyFailure = KeyLoadFailure::None; // why no key, when that is the reason
    bool ok() const { return status == ProtectedReadStatus::Ok; }
};

// Reads, verifies (with the key loaded from path + ".key", never created) and parses a file.
ProtectedReadResult readProtectedFile(const QString& path, EnvelopeKind kind,
                                      const crypto::Bytes& associatedData = {});

} // namespace korvex::protect
