#include "crypto/Base32.h"

#include "crypto/SecureWipe.h"

#include <cstring>

namespace korvex::crypto {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

// The 5-bit value of an alphabet character in either case, or -1. Only ASCII letters count:
// a character whose upper case merely happens to be one (such as the dotless i) is not a digit.
int valueOf(char16_t c) {
    if (c >= u'a' && c <= u'z')
        return c - u'a';
    if (c >= u'A' && c <= u'Z')
        return c - u'A';
    if (c >= u'2' && c <= u'7')
        return 26 + (c - u'2');
    return -1;
}

} // namespace

QString encodeBase32(std::span<const std::uint8_t> bytes) {
    const qsizetype symbols = qsizetype((bytes.size() * 8 + 4) / 5);
    const qsizetype padded = (symbols + 7) / 8 * 8;
    // Sized once, so no partial copy of the text is left behind by a reallocation.
    QString text(padded, u'=');
    std::uint32_t buffer = 0;
    int pending = 0;
    qsizetype out = 0;
    for (const std::uint8_t byte : bytes) {
        buffer = (buffer << 8) | byte;
        pending += 8;
        while (pending >= 5) {
            pending -= 5;
            text[out++] = QLatin1Char(kAlphabet[(buffer >> pending) & 0x1F]);
        }
    }
    if (pending > 0)
        text[out++] = QLatin1Char(kAlphabet[(buffer << (5 - pending)) & 0x1F]);
    secureWipe(&buffer, sizeof buffer);
    return text;
}

std::optional<SecureBuffer> decodeBase32(const QString& text) {
    // Every accepted character carries 5 bits, so this bounds the output.
    SecureBuffer scratch(std::size_t(text.size()) * 5 / 8 + 1);
    std::uint32_t buffer = 0;
    int pending = 0;
    std::size_t length = 0;
    for (const QChar ch : text) {
        if (ch == u'=' || ch == u'-' || ch.isSpace())
            continue;
        const int value = valueOf(ch.unicode());
        if (value < 0) {
            secureWipe(&buffer, sizeof buffer);
            return std::nullopt;
        }
        buffer = (buffer << 5) | std::uint32_t(value);
        pending += 5;
        if (pending >= 8) {
            pending -= 8;
            scratch.data()[length++] = std::uint8_t(buffer >> pending);
        }
    }
    secureWipe(&buffer, sizeof buffer);
    // Fewer than 8 leftover bits are the zero fill of the last group; they are not checked.
    if (length == 0)
        return std::nullopt;
    return SecureBuffer::copyOf(scratch.data(), length);
}

} // namespace korvex::crypto
