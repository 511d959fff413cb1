#pragma once

#include "crypto/SecureBuffer.h"

#include <cstddef>
#include <string>

namespace korvex::crypto {

// Keyed BLAKE2b over label || input. outLen 1..64, key at most 64 bytes (std::invalid_argument
// otherwise).
SecureBuffer deriveSubkey(const SecureBuffer& key, const SecureBuffer& input,
                          const std::string& label, std::size_t outLen);

} // namespace korvex::crypto
