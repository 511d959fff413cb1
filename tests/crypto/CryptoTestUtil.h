#pragma once

#include "crypto/Bytes.h"
#include "crypto/SecureBuffer.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

// Small conversions shared by the crypto suites.
namespace korvex::test {

inline crypto::Bytes toBytes(const QByteArray& bytes) {
    return crypto::Bytes(bytes.cbegin(), bytes.cend());
}

inline crypto::Bytes fromHex(const char* hex) {
    return toBytes(QByteArray::fromHex(hex));
}

inline QByteArray toHex(std::span<const std::uint8_t> bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()))
        .toHex();
}

// A buffer of `size` bytes following a simple pattern, so different seeds give different keys.
inline crypto::SecureBuffer patternBuffer(std::size_t size, std::uint8_t seed) {
    crypto::SecureBuffer buffer(size);
    for (std::size_t i = 0; i < size; ++i)
        buffer.data()[i] = static_cast<std::uint8_t>(seed + 13 * i);
    return buffer;
}

inline crypto::Bytes patternBytes(std::size_t size, std::uint8_t seed) {
    crypto::Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(seed + 13 * i);
    return bytes;
}

inline crypto::Bytes bytesOf(const crypto::SecureBuffer& buffer) {
    return crypto::Bytes(buffer.data(), buffer.data() + buffer.size());
}

// Runs f and returns the message of the std::invalid_argument it throws, or no value when it
// throws nothing. Any other exception escapes and fails the test.
template <typename F> std::optional<std::string> invalidArgumentMessage(F&& f) {
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

} // namespace korvex::test
