#include "crypto/Subkey.h"

#include "crypto/Sodium.h"

#include <sodium.h>

#include <cstring>
#include <stdexcept>

namespace korvex::crypto {

SecureBuffer deriveSubkey(const SecureBuffer& key, const SecureBuffer& input,
                          const std::string& label, std::size_t outLen) {
    if (outLen < 1 || outLen > crypto_generichash_BYTES_MAX)
        throw std::invalid_argument("deriveSubkey: output length must be 1..64 bytes");
    if (key.size() > crypto_generichash_KEYBYTES_MAX)
        throw std::invalid_argument("deriveSubkey: key must be at most 64 bytes long");
    ensureSodiumInitialised();
    // The message holds key-derived input, so it lives in a locked buffer as well.
    SecureBuffer message(label.size() + input.size());
    if (!label.empty())
        std::memcpy(message.data(), label.data(), label.size());
    if (!input.empty())
        std::memcpy(message.data() + label.size(), input.data(), input.size());
    SecureBuffer out(outLen);
    crypto_generichash(out.data(), outLen, message.data(), message.size(),
                       key.empty() ? nullptr : key.data(), key.size());
    return out;
}

} // namespace korvex::crypto
