#include "crypto/AeadCipher.h"

#include "crypto/SecureWipe.h"
#include "crypto/Sodium.h"

#include <sodium.h>
#include <stdexcept>

namespace korvex::crypto {

namespace {

void checkKeyAndNonce(const SecureBuffer& key, ByteView nonce, const char* keyMessage,
                      const char* nonceMessage) {
    if (key.size() != kKeyBytes)
        throw std::invalid_argument(keyMessage);
    if (nonce.size() != kNonceBytes)
        throw std::invalid_argument(nonceMessage);
}

// libsodium takes a null pointer for "no associated data".
const unsigned char* adPointer(ByteView ad) {
    return ad.empty() ? nullptr : ad.data();
}

// Opens a combined ciphertext-and-tag under the given suite byte into plain. No value for an
// unknown suite or one this processor cannot run; otherwise the length of the authenticated
// plaintext, or no value when authentication failed.
std::optional<std::size_t> openSuite(std::uint8_t suite, std::uint8_t* plain,
                                     const std::uint8_t* cipher, std::size_t cipherLength,
                                     ByteView associatedData, ByteView nonce,
                                     const SecureBuffer& key) {
    unsigned long long plainLength = 0;
    int rc = -1;
    if (suite == static_cast<std::uint8_t>(CipherSuite::Aes256Gcm)) {
        // A processor without the AES instructions cannot open this suite here.
        if (crypto_aead_aes256gcm_is_available() == 0)
            return std::nullopt;
        rc = crypto_aead_aes256gcm_decrypt(plain, &plainLength, nullptr, cipher, cipherLength,
                                           adPointer(associatedData), associatedData.size(),
                                           nonce.data(), key.data());
    } else if (suite == static_cast<std::uint8_t>(CipherSuite::XChaCha20Poly1305)) {
        rc = crypto_aead_xchacha20poly1305_ietf_decrypt(
            plain, &plainLength, nullptr, cipher, cipherLength, adPointer(associatedData),
            associatedData.size(), nonce.data(), key.data());
    }
    if (rc != 0)
        return std::nullopt;
    return static_cast<std::size_t>(plainLength);
}

} // namespace

CipherSuite AeadCipher::preferredSuite() {
    ensureSodiumInitialised();
    return crypto_aead_aes256gcm_is_available() != 0 ? CipherSuite::Aes256Gcm
                                                     : CipherSuite::XChaCha20Poly1305;
}

Bytes AeadCipher::encrypt(const SecureBuffer& key, ByteView nonce, ByteView plaintext,
                          ByteView associatedData) {
    checkKeyAndNonce(key, nonce, "AeadCipher::encrypt: key must be kKeyBytes long",
                     "AeadCipher::encrypt: nonce must be kNonceBytes long");
    const CipherSuite suite = preferredSuite();
    Bytes blob(kAeadOverheadBytes + plaintext.size());
    blob[0] = static_cast<std::uint8_t>(suite);
    unsigned long long cipherLength = 0;
    if (suite == CipherSuite::Aes256Gcm) {
        crypto_aead_aes256gcm_encrypt(blob.data() + 1, &cipherLength, plaintext.data(),
                                      plaintext.size(), adPointer(associatedData),
                                      associatedData.size(), nullptr, nonce.data(), key.data());
    } else {
        crypto_aead_xchacha20poly1305_ietf_encrypt(
            blob.data() + 1, &cipherLength, plaintext.data(), plaintext.size(),
            adPointer(associatedData), associatedData.size(), nullptr, nonce.data(), key.data());
    }
    blob.resize(1 + static_cast<std::size_t>(cipherLength));
    return blob;
}

std::optional<Bytes> AeadCipher::decrypt(const SecureBuffer& key, ByteView nonce, ByteView blob,
                                         ByteView associatedData) {
    checkKeyAndNonce(key, nonce, "AeadCipher::decrypt: key must be kKeyBytes long",
                     "AeadCipher::decrypt: nonce must be kNonceBytes long");
    if (blob.size() < kAeadOverheadBytes)
        return std::nullopt;
    ensureSodiumInitialised();
    const ByteView cipher = blob.subspan(1);
    Bytes plaintext(cipher.size() - kTagBytes);
    const std::optional<std::size_t> plainLength = openSuite(
        blob[0], plaintext.data(), cipher.data(), cipher.size(), associatedData, nonce, key);
    if (!plainLength) {
        secureWipe(plaintext);
        return std::nullopt;
    }
    plaintext.resize(*plainLength);
    return plaintext;
}

SecureBuffer AeadCipher::generateKey() {
    ensureSodiumInitialised();
    SecureBuffer key(kKeyBytes);
    randombytes_buf(key.data(), key.size());
    return key;
}

Bytes AeadCipher::generateNonce() {
    ensureSodiumInitialised();
    Bytes nonce(kNonceBytes);
    randombytes_buf(nonce.data(), nonce.size());
    return nonce;
}

Bytes AeadCipher::seal(const SecureBuffer& key, const SecureBuffer& secret,
                       ByteView associatedData) {
    Bytes nonce = generateNonce();
    Bytes copy(secret.data(), secret.data() + secret.size());
    Bytes blob;
    try {
        blob = encrypt(key, nonce, copy, associatedData);
    } catch (...) {
        secureWipe(copy);
        throw;
    }
    secureWipe(copy);
    nonce.insert(nonce.end(), blob.begin(), blob.end());
    return nonce;
}

std::optional<SecureBuffer> AeadCipher::open(const SecureBuffer& key, ByteView sealed,
                                             ByteView associatedData) {
    if (sealed.size() < kSealedOverheadBytes)
        return std::nullopt;
    std::optional<Bytes> plain =
        decrypt(key, sealed.first(kNonceBytes), sealed.subspan(kNonceBytes), associatedData);
    if (!plain)
        return std::nullopt;
    std::optional<SecureBuffer> secret;
    try {
        secret = SecureBuffer::copyOf(plain->data(), plain->size());
    } catch (...) {
        secureWipe(*plain);
        throw;
    }
    secureWipe(*plain);
    return secret;
}

} // namespace korvex::crypto
