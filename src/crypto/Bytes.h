#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <vector>

namespace korvex::crypto {

// Ordinary (not locked) byte strings: ciphertexts, nonces, salts, associated data.
using Bytes = std::vector<std::uint8_t>;

// Any memory seen as bytes, such as a label without its terminating zero.
inline std::span<const std::uint8_t> bytesOf(const void* data, std::size_t size) {
    return {static_cast<const std::uint8_t*>(data), size};
}

// The parts one after the other, in one allocation (associated data is built this way).
inline Bytes concatenate(std::initializer_list<std::span<const std::uint8_t>> parts) {
    std::size_t total = 0;
    for (const auto& part : parts)
        total += part.size();
    Bytes joined(total);
    std::size_t at = 0;
    for (const auto& part : parts) {
        if (!part.empty())
            std::memcpy(joined.data() + at, part.data(), part.size());
        at += part.size();
    }
    return joined;
}

} // namespace korvex::crypto
