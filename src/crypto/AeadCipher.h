#pragma once

#include "crypto/Bytes.h"
#include "crypto/SecureBuffer.h"

#include <cstddef>
#include <optional>
#include <span>

namespace korvex::crypto {

inline constexpr std::size_t kKeyBytes = 32;
inline constexpr std::size_t kNonceBytes = 24;
inline constexpr std::size_t kTagBytes = 16;
// Suite byte plus tag: an AEAD blob is this much longer than its plaintext.
inline constexpr std::size_t kAeadOverheadBytes = 1 + kTagBytes;
// Nonce plus AEAD blob of an empty plaintext: the shortest sealed secret.
inline constexpr std::size_t kSealedOverheadBytes = kNonceBytes + kAeadOverheadBytes;

enum class CipherSuite : std::uint8_t { Aes256Gcm = 0, XChaCha20Poly1305 = 1 };

using ByteView = std::span<const std::uint8_t>;

// Authenticated encryption with a leading cipher-suite byte. Encryption picks AES-256-GCM when
// the processor supports it and XChaCha20-Poly1305 otherwise; decryption follows the stored
// byte, so one store can hold blobs of both suites.
class AeadCipher {
public:
    // Returns suite byte, ciphertext and 16-byte tag. Throws std::invalid_argument for a key
    // that is not kKeyBytes or a nonce that is not kNonceBytes long (the key is checked first).
    static Bytes encrypt(const SecureBuffer& key, ByteView nonce, ByteView plaintext,
                         ByteView associatedData);
    // No value for a short blob, an unknown suite, a suite this processor cannot run, or any
    // failed authentication.
    static std::optional<Bytes> decrypt(const SecureBuffer& key, ByteView nonce, ByteView blob,
                                        ByteView associatedData);

    static SecureBuffer generateKey();
    static Bytes generateNonce();

    // A sealed secret is a fresh random nonce followed by the AEAD blob of the secret.
    static Bytes seal(const SecureBuffer& key, const SecureBuffer& secret, ByteView associatedData);
    static std::optional<SecureBuffer> open(const SecureBuffer& key, ByteView sealed,
                                            ByteView associatedData);

    // The suite encrypt would choose on this processor.
    static CipherSuite preferredSuite();
};

} // namespace korvex::crypto
