#include "crypto/PasswordHasher.h"

#include "crypto/Sodium.h"

#include <chrono>
#include <future>
#include <sodium.h>
#include <stdexcept>
#include <system_error>
#include <utility>

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

namespace {

// Runs work on a thread of its own when one can be started, else right here; the future is
// waited for (and its exception thrown) by get().
template <typename F> std::future<std::invoke_result_t<F>> alongside(F work) {
    try {
        return std::async(std::launch::async, std::move(work));
    } catch (const std::system_error&) {
        return std::async(std::launch::deferred, std::move(work));
    }
}

thread_local PasswordHasher::Wait tWait;

// Both results of two runs side by side: with a wait installed on this thread, both go to
// threads of their own and the wait covers them; otherwise the second runs right here.
template <typename A, typename B>
std::pair<std::invoke_result_t<A>, std::invoke_result_t<B>> bothOf(A first, B second) {
    // Both read the caller's data. Should either throw, the other's future is destroyed before
    // that data goes, and the destructor of a future from std::async waits for its run.
    auto firstFuture = alongside(std::move(first));
    if (!tWait) {
        auto secondResult = second();
        return {firstFuture.get(), std::move(secondResult)};
    }
    auto secondFuture = alongside(std::move(second));
    // A run that could not get a thread of its own is deferred, and counts as ready: get() then
    // does it here.
    auto ready = [](const auto& future) {
        return future.wait_for(std::chrono::seconds(0)) != std::future_status::timeout;
    };
    tWait([&] { return ready(firstFuture) && ready(secondFuture); });
    auto secondResult = secondFuture.get();
    return {firstFuture.get(), std::move(secondResult)};
}

} // namespace

PasswordHasher::WaitScope::WaitScope(Wait wait) : previous_(std::move(tWait)) {
    tWait = std::move(wait);
}

PasswordHasher::WaitScope::~WaitScope() {
    tWait = std::move(previous_);
}

PasswordHasher::VerifiedKey PasswordHasher::verifyAndDeriveKey(const std::string& encodedHash,
                                                               const std::string& passwordUtf8,
                                                               const Bytes& salt,
                                                               std::size_t outLen) {
    if (salt.size() != kSaltBytes)
        throw std::invalid_argument(
            "PasswordHasher::verifyAndDeriveKey: salt must be kSaltBytes long");
    ensureSodiumInitialised();
    auto [key, verified] = bothOf(
        [&]() -> std::optional<SecureBuffer> {
            try {
                return deriveKey(passwordUtf8, salt, outLen);
            } catch (const std::runtime_error&) {
                return std::nullopt;
            }
        },
        [&] { return verifyPassword(encodedHash, passwordUtf8); });
    VerifiedKey result;
    result.verified = verified;
    if (result.verified)
        result.key = std::move(key);
    return result;
}

std::pair<std::string, SecureBuffer>
PasswordHasher::hashAndDeriveKey(const std::string& passwordUtf8, const Bytes& salt,
                                 std::size_t outLen) {
    ensureSodiumInitialised();
    auto [key, hash] = bothOf([&] { return deriveKey(passwordUtf8, salt, outLen); },
                              [&] { return hashPassword(passwordUtf8); });
    return {std::move(hash), std::move(key)};
}

} // namespace korvex::crypto
