#pragma once

#include "crypto/SecureBuffer.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <span>

namespace korvex::crypto {

// RFC 4648 base32 ("ABCDEFGHIJKLMNOPQRSTUVWXYZ234567"), most significant bits first, the last
// group filled with zero bits, padded with "=" to a multiple of 8 characters. The result may
// be a secret: the caller wipes it.
QString encodeBase32(std::span<const std::uint8_t> bytes);
// Skips "=", white space and "-" anywhere, accepts lower case; any other character outside
// the alphabet fails, and so does a text that yields no byte at all. Leftover bits (fewer
// than 8) are dropped.
std::optional<SecureBuffer> decodeBase32(const QString& text);

} // namespace korvex::crypto
