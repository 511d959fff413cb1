#pragma once

#include "crypto/Bytes.h"
#include "crypto/SecureBuffer.h"

#include <cstddef>
#include <functional>
#include <optional>
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

    // A sign-in's two Argon2id runs, which do not depend on each other, at the same time on two
    // threads (on one when a second cannot be started): the check of encodedHash and the key
    // derivation with salt. The results are exactly those of the two calls above. key is
    // empty when the derivation could not get its memory; a key derived from a password that
    // did not verify is wiped and never returned. Throws std::invalid_argument for a wrong salt.
    struct VerifiedKey {
        bool verified = false;
        std::optional<SecureBuffer> key;
    };
    static VerifiedKey verifyAndDeriveKey(const std::string& encodedHash,
                                          const std::string& passwordUtf8, const Bytes& salt,
                                          std::size_t outLen);
    // A new password's hash and its key with salt, likewise side by side. Throws
    // std::runtime_error when either cannot get its memory.
    static std::pair<std::string, SecureBuffer>
    hashAndDeriveKey(const std::string& passwordUtf8, const Bytes& salt, std::size_t outLen);

    // How the calling thread waits for the two runs above. By default it does one of them
    // itself and blocks for the other. While a WaitScope lives on a thread, both run on threads
    // of their own and that thread calls wait instead, which returns once finished() is true
    // (a window keeps painting meanwhile).
    using Wait = std::function<void(const std::function<bool()>& finished)>;
    class WaitScope {
    public:
        explicit WaitScope(Wait wait);
        ~WaitScope();
        WaitScope(const WaitScope&) = delete;
        WaitScope& operator=(const WaitScope&) = delete;

    private:
        Wait previous_;
    };
};

} // namespace korvex::crypto
