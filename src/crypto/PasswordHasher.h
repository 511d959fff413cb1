#pragma once

#include "crypto/Bytes.h"
#include "crypto/SecureBuffer.h"

#include <cstddef>
#include <string>

namespace korvex::crypto {

inline constexpr std::size_t kSaltBytes = 16;
inline constexpr unsigned long long kArgon2OpsLimit = 3;
inline constexpr std::size_t kArgon2MemLimit = 268435456; // 256 MiB

// Argon2id (version 1.3) key derivation and encoded password hashes.
class PasswordHasher {
public:
    // Throws std::invalid_argument for a salt that is not kSaltBytes long and
    // std::runtime_error when Argon2id cannot get its memory.
    static SecureBuffer deriveKey(const std::string& passwordUtf8, const Bytes& salt,
                                  std::size_t outLen);
    static Bytes generateSalt();
    // Returns the "$argon2id$..." encoded string. Throws std::runtime_error on failure.
    static std::string hashPassword(const std::string& passwordUtf8);
    static bool verifyPassword(const std::string& encodedHash, const std::string& passwordUtf8);
};

} // namespace korvex::crypto
