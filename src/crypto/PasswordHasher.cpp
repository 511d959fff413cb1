#include "crypto/PasswordHasher.h"

#include "crypto/Sodium.h"

#include <sodium.h>

#include <stdexcept>

namespace korvex::crypto {

SecureBuffer PasswordHasher::deriveKey(const std::string& passwordUtf8, const Bytes& salt,
                                       std::size_t outLen) {
    if (salt.size() != kSaltBytes)
        throw std::invalid_argument("PasswordHasher::deriveKey: salt must be kSaltBytes long");
    ensureSodiumInitialised();
    SecureBuffer key(outLen);
    if (crypto_pwhash(key.data(), outLen, passwordUtf8.data(), passwordUtf8.size(), salt.data(),
                      kArgon2OpsLimit, kArgon2MemLimit, crypto_pwhash_ALG_ARGON2ID13) != 0)
        throw std::runtime_error("PasswordHasher: out of memory deriving key");
    return key;
}

Bytes PasswordHasher::generateSalt() {
    ensureSodiumInitialised();
    Bytes salt(kSaltBytes);
    randombytes_buf(salt.data(), salt.size());
    return salt;
}

std::string PasswordHasher::hashPassword(const std::string& passwordUtf8) {
    ensureSodiumInitialised();
    char encoded[crypto_pwhash_STRBYTES] = {};
    if (crypto_pwhash_str(encoded, passwordUtf8.data(), passwordUtf8.size(), kArgon2OpsLimit,
                          kArgon2MemLimit) != 0)
        throw std::runtime_error("PasswordHasher: out of memory hashing password");
    return std::string(encoded);
}

bool PasswordHasher::verifyPassword(const std::string& encodedHash,
                                    const std::string& passwordUtf8) {
    ensureSodiumInitialised();
    // libsodium reads a NUL-terminated string; an embedded NUL or an unknown prefix is refused
    // here rather than half-parsed.
    if (encodedHash.find('\0') != std::string::npos)
        return false;
    if (encodedHash.rfind("$argon2id$", 0) != 0 && encodedHash.rfind("$argon2i$", 0) != 0)
        return false;
    return crypto_pwhash_str_verify(encodedHash.c_str(), passwordUtf8.data(),
                                    passwordUtf8.size()) == 0;
}

} // namespace korvex::crypto
