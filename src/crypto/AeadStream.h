#pragma once

#include "crypto/AeadCipher.h"

#include <cstddef>
#include <cstdint>
#include <optional>

struct evp_cipher_ctx_st;

namespace korvex::crypto {

// One AEAD blob encrypted or decrypted in pieces, so that a large file never has to be in
// memory whole to be sealed, and can be opened while it is still being read. The result is
// byte for byte what AeadCipher produces in one call: the suite byte (which the caller writes
// or reads), the ciphertext, and the 16-byte tag after it. A piece may be encrypted or
// decrypted where it lies (in == out).
//
// Decrypted pieces are not yet authenticated: a caller keeps them to itself until verify()
// has accepted the tag, and wipes them when it does not.
class AeadStream {
public:
    // No value for an unknown suite or one this processor cannot run (the same rule as
    // AeadCipher). Throws std::invalid_argument for a key that is not kKeyBytes or a nonce
    // that is not kNonceBytes long, and std::bad_alloc when no cipher context can be made.
    static std::optional<AeadStream> encrypting(std::uint8_t suite, const SecureBuffer& key,
                                                ByteView nonce, ByteView associatedData);
    static std::optional<AeadStream> decrypting(std::uint8_t suite, const SecureBuffer& key,
                                                ByteView nonce, ByteView associatedData);

    AeadStream(AeadStream&& other) noexcept;
    AeadStream& operator=(AeadStream&& other) noexcept;
    AeadStream(const AeadStream&) = delete;
    AeadStream& operator=(const AeadStream&) = delete;
    // Frees the context, which clears the key schedule.
    ~AeadStream();

    // The next length bytes of the message; false only when the cipher library fails.
    [[nodiscard]] bool update(const std::uint8_t* in, std::uint8_t* out, std::size_t length);
    // Encrypting: ends the message and writes its kTagBytes tag.
    [[nodiscard]] bool finish(std::uint8_t* tag);
    // Decrypting: ends the message; true only when the tag authenticates everything decrypted.
    [[nodiscard]] bool verify(const std::uint8_t* tag);

private:
    explicit AeadStream(evp_cipher_ctx_st* context) noexcept : context_(context) {}
    static std::optional<AeadStream> begin(bool encrypt, std::uint8_t suite,
                                           const SecureBuffer& key, ByteView nonce,
                                           ByteView associatedData);

    evp_cipher_ctx_st* context_ = nullptr;
    bool encrypt_ = true;
};

} // namespace korvex::crypto
