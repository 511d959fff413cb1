#pragma once

#include <cstdint>
#include <vector>

namespace korvex::crypto {

// Ordinary (not locked) byte strings: ciphertexts, nonces, salts, associated data.
using Bytes = std::vector<std::uint8_t>;

} // namespace korvex::crypto
