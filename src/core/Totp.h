#pragma once

#include "crypto/SecureBuffer.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <span>

namespace korvex::core {

inline constexpr int kTotpDigits = 6;
inline constexpr int kTotpStepSeconds = 30;
inline constexpr int kTotpWindow = 1;
inline constexpr std::size_t kTotpSecretBytes = 20;

// RFC 4226 over HMAC-SHA1, left-padded with "0" to digits characters.
QString hotp(std::span<const std::uint8_t> secret, quint64 counter, int digits);
// The step counter whose code equals code (constant-time comparison), trying the steps
// T - window .. T + window in that order, skipping negative ones; T = unixTime / step, and a
// negative unixTime means now.
std::optional<qint64> totpMatchingCounter(std::span<const std::uint8_t> secret, const QString& code,
                                          qint64 unixTime, int step, int digits, int window);
bool verifyTotp(std::span<const std::uint8_t> secret, const QString& code, qint64 unixTime,
                int step, int digits, int window);
// otpauth://totp/<issuer>:<account>?secret=...&issuer=...&algorithm=SHA1&digits=6&period=30
QString buildOtpauthUri(const crypto::SecureBuffer& secret, const QString& account,
                        const QString& issuer);

} // namespace korvex::core
