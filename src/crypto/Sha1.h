#pragma once

#include "crypto/Bytes.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvex::crypto {

inline constexpr std::size_t kSha1DigestBytes = 20;

// SHA-1 and HMAC-SHA1, for TOTP only. Implemented here rather than borrowed from Qt because
// Qt's message-authentication code keeps padded copies of the key that cannot be wiped; every
// intermediate state here is zeroed before returning.
Bytes sha1(std::span<const std::uint8_t> bytes);
Bytes hmacSha1(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message);

} // namespace korvex::crypto
