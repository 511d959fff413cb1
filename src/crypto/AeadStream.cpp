#include "crypto/AeadStream.h"

#include "crypto/Sodium.h"

#include <algorithm>
#include <new>
#include <openssl/evp.h>
#include <sodium.h>
#include <stdexcept>
#include <utility>

namespace korvex::crypto {

namespace {

// AES-256-GCM takes the first 12 of the 24 nonce bytes, as libsodium does.
constexpr std::size_t kGcmIvBytes = 12;
// The cipher library counts in int.
constexpr std::size_t kLargestUpdate = std::size_t{1} << 30;

} // namespace

std::optional<AeadStream> AeadStream::encrypting(std::uint8_t suite, const SecureBuffer& key,
                                                 ByteView nonce, ByteView associatedData) {
    return begin(true, suite, key, nonce, associatedData);
}

std::optional<AeadStream> AeadStream::decrypting(std::uint8_t suite, const SecureBuffer& key,
                                                 ByteView nonce, ByteView associatedData) {
    return begin(false, suite, key, nonce, associatedData);
}

std::optional<AeadStream> AeadStream::begin(bool encrypt, std::uint8_t suite,
                                            const SecureBuffer& key, ByteView nonce,
                                            ByteView associatedData) {
    if (key.size() != kKeyBytes)
        throw std::invalid_argument("AeadStream: key must be kKeyBytes long");
    if (nonce.size() != kNonceBytes)
        throw std::invalid_argument("AeadStream: nonce must be kNonceBytes long");
    ensureSodiumInitialised();

    // XChaCha20-Poly1305 is ChaCha20-Poly1305 under a subkey derived from the key and the
    // nonce's first 16 bytes, with four zero bytes and the nonce's last 8 as its nonce.
    SecureBuffer subkey(kKeyBytes);
    std::uint8_t iv[kGcmIvBytes] = {};
    const EVP_CIPHER* cipher = nullptr;
    const std::uint8_t* cipherKey = key.data();
    if (suite == static_cast<std::uint8_t>(CipherSuite::Aes256Gcm)) {
        if (crypto_aead_aes256gcm_is_available() == 0)
            return std::nullopt;
        cipher = EVP_aes_256_gcm();
        std::copy_n(nonce.data(), kGcmIvBytes, iv);
    } else if (suite == static_cast<std::uint8_t>(CipherSuite::XChaCha20Poly1305)) {
        cipher = EVP_chacha20_poly1305();
        crypto_core_hchacha20(subkey.data(), nonce.data(), key.data(), nullptr);
        std::copy_n(nonce.data() + crypto_core_hchacha20_INPUTBYTES, 8, iv + 4);
        cipherKey = subkey.data();
    } else {
        return std::nullopt;
    }

    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    if (context == nullptr)
        throw std::bad_alloc();
    AeadStream stream(context);
    stream.encrypt_ = encrypt;
    const int direction = encrypt ? 1 : 0;
    int unused = 0;
    if (EVP_CipherInit_ex(context, cipher, nullptr, cipherKey, iv, direction) != 1)
        return std::nullopt;
    for (std::size_t done = 0; done < associatedData.size(); done += kLargestUpdate) {
        const std::size_t length = std::min(associatedData.size() - done, kLargestUpdate);
        if (EVP_CipherUpdate(context, nullptr, &unused, associatedData.data() + done,
                             static_cast<int>(length)) != 1)
            return std::nullopt;
    }
    return stream;
}

AeadStream::AeadStream(AeadStream&& other) noexcept
    : context_(std::exchange(other.context_, nullptr)), encrypt_(other.encrypt_) {}

AeadStream& AeadStream::operator=(AeadStream&& other) noexcept {
    if (this != &other) {
        EVP_CIPHER_CTX_free(context_);
        context_ = std::exchange(other.context_, nullptr);
        encrypt_ = other.encrypt_;
    }
    return *this;
}

AeadStream::~AeadStream() {
    EVP_CIPHER_CTX_free(context_);
}

bool AeadStream::update(const std::uint8_t* in, std::uint8_t* out, std::size_t length) {
    if (context_ == nullptr)
        return false;
    for (std::size_t done = 0; done < length; done += kLargestUpdate) {
        const std::size_t piece = std::min(length - done, kLargestUpdate);
        int written = 0;
        // Both constructions are stream ciphers here: each call gives back as many bytes as it
        // takes.
        if (EVP_CipherUpdate(context_, out + done, &written, in + done, static_cast<int>(piece)) !=
                1 ||
            written != static_cast<int>(piece))
            return false;
    }
    return true;
}

bool AeadStream::finish(std::uint8_t* tag) {
    int unused = 0;
    std::uint8_t none[1];
    return context_ != nullptr && encrypt_ && EVP_CipherFinal_ex(context_, none, &unused) == 1 &&
           EVP_CIPHER_CTX_ctrl(context_, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kTagBytes), tag) ==
               1;
}

bool AeadStream::verify(const std::uint8_t* tag) {
    int unused = 0;
    std::uint8_t none[1];
    std::uint8_t expected[kTagBytes];
    std::copy_n(tag, kTagBytes, expected);
    return context_ != nullptr && !encrypt_ &&
           EVP_CIPHER_CTX_ctrl(context_, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kTagBytes),
                               expected) == 1 &&
           EVP_CipherFinal_ex(context_, none, &unused) == 1;
}

} // namespace korvex::crypto
