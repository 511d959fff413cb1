#include "crypto/Sha1.h"

#include "crypto/SecureWipe.h"

#include <array>
#include <cstring>

namespace korvex::crypto {

namespace {

constexpr std::size_t kBlockBytes = 64;

std::uint32_t rotl(std::uint32_t value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

class Sha1Context {
public:
    ~Sha1Context() {
        secureWipe(state_.data(), sizeof(state_));
        secureWipe(block_.data(), block_.size());
        secureWipe(schedule_.data(), sizeof(schedule_));
    }

    void update(std::span<const std::uint8_t> bytes) {
        for (std::uint8_t byte : bytes) {
            block_[blockUsed_++] = byte;
            if (blockUsed_ == kBlockBytes) {
                compress();
                blockUsed_ = 0;
            }
        }
        totalBytes_ += bytes.size();
    }

    Bytes finish() {
        const std::uint64_t totalBits = totalBytes_ * 8;
        const std::uint8_t one = 0x80;
        update({&one, 1});
        const std::uint8_t zero = 0;
        while (blockUsed_ != kBlockBytes - 8)
            update({&zero, 1});
        std::uint8_t length[8];
        for (int i = 0; i < 8; ++i)
            length[i] = static_cast<std::uint8_t>(totalBits >> (56 - 8 * i));
        update(length);
        Bytes digest(kSha1DigestBytes);
        for (std::size_t i = 0; i < kSha1DigestBytes; ++i)
            digest[i] = static_cast<std::uint8_t>(state_[i / 4] >> (24 - 8 * (i % 4)));
        return digest;
    }

private:
    void compress() {
        auto& w = schedule_;
        for (int t = 0; t < 16; ++t)
            w[t] = std::uint32_t(block_[4 * t]) << 24 | std::uint32_t(block_[4 * t + 1]) << 16 |
                   std::uint32_t(block_[4 * t + 2]) << 8 | std::uint32_t(block_[4 * t + 3]);
        for (int t = 16; t < 80; ++t)
            w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
        std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
        for (int t = 0; t < 80; ++t) {
            std::uint32_t f, k;
            if (t < 20) {
                f = (b & c) | (~b & d);
                k = 0x5A827999;
            } else if (t < 40) {
                f = b ^ c ^ d;
                k = 0x6ED9EBA1;
            } else if (t < 60) {
                f = (b & c) | (b & d) | (c & d);
                k = 0x8F1BBCDC;
            } else {
                f = b ^ c ^ d;
                k = 0xCA62C1D6;
            }
            const std::uint32_t temp = rotl(a, 5) + f + e + k + w[t];
            e = d;
            d = c;
            c = rotl(b, 30);
            b = a;
            a = temp;
        }
        state_[0] += a;
        state_[1] += b;
        state_[2] += c;
        state_[3] += d;
        state_[4] += e;
        a = b = c = d = e = 0;
    }

    std::array<std::uint32_t, 5> state_{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476,
                                        0xC3D2E1F0};
    std::array<std::uint8_t, kBlockBytes> block_{};
    std::array<std::uint32_t, 80> schedule_{};
    std::size_t blockUsed_ = 0;
    std::uint64_t totalBytes_ = 0;
};

} // namespace

Bytes sha1(std::span<const std::uint8_t> bytes) {
    Sha1Context context;
    context.update(bytes);
    return context.finish();
}

Bytes hmacSha1(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message) {
    std::array<std::uint8_t, kBlockBytes> keyBlock{};
    if (key.size() > kBlockBytes) {
        Bytes hashed = sha1(key);
        std::memcpy(keyBlock.data(), hashed.data(), hashed.size());
        secureWipe(hashed);
    } else if (!key.empty()) {
        std::memcpy(keyBlock.data(), key.data(), key.size());
    }
    std::array<std::uint8_t, kBlockBytes> pad{};
    for (std::size_t i = 0; i < kBlockBytes; ++i)
        pad[i] = keyBlock[i] ^ 0x36;
    Sha1Context inner;
    inner.update(pad);
    inner.update(message);
    Bytes innerDigest = inner.finish();
    for (std::size_t i = 0; i < kBlockBytes; ++i)
        pad[i] = keyBlock[i] ^ 0x5c;
    Sha1Context outer;
    outer.update(pad);
    outer.update(innerDigest);
    Bytes mac = outer.finish();
    secureWipe(innerDigest);
    secureWipe(pad.data(), pad.size());
    secureWipe(keyBlock.data(), keyBlock.size());
    return mac;
}

} // namespace korvex::crypto
