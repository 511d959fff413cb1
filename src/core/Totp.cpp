#include "core/Totp.h"

#include "core/Clock.h"
#include "crypto/Base32.h"
#include "crypto/SecureWipe.h"
#include "crypto/Sha1.h"
#include "crypto/Sodium.h"

#include <QByteArray>
#include <array>
#include <limits>
#include <sodium.h>

namespace korvex::core {

namespace {

// Beyond nine digits the modulus would exceed the 31-bit truncated value, which then stays as
// it is.
constexpr int kMaxReducingDigits = 9;

bool isUnreserved(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// RFC 3986 percent-encoding of the UTF-8 form of text: unreserved characters stay, every other
// byte becomes %XX with upper-case hex; keepColon also leaves ":" as it is.
QString percentEncode(const QString& text, bool keepColon) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const QByteArray utf8 = text.toUtf8();
    QString out;
    out.reserve(utf8.size() * 3);
    for (const char c : utf8) {
        if (isUnreserved(c) || (keepColon && c == ':')) {
            out.append(QLatin1Char(c));
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out.append(QLatin1Char('%'));
            out.append(QLatin1Char(kHex[byte >> 4]));
            out.append(QLatin1Char(kHex[byte & 0x0f]));
        }
    }
    return out;
}

} // namespace

QString hotp(std::span<const std::uint8_t> secret, quint64 counter, int digits) {
    if (digits < 1)
        return {};
    std::array<std::uint8_t, 8> message{};
    for (int i = 7; i >= 0; --i) {
        message[std::size_t(i)] = std::uint8_t(counter & 0xff);
        counter >>= 8;
    }
    crypto::Bytes mac = crypto::hmacSha1(secret, message);
    // Dynamic truncation: four bytes at the offset named by the low nibble of the last byte,
    // top bit cleared.
    const std::size_t offset = mac.back() & 0x0f;
    quint64 value = (quint64(mac[offset] & 0x7f) << 24) | (quint64(mac[offset + 1]) << 16) |
                    (quint64(mac[offset + 2]) << 8) | quint64(mac[offset + 3]);
    crypto::secureWipe(mac);
    if (digits <= kMaxReducingDigits) {
        quint64 modulus = 1;
        for (int i = 0; i < digits; ++i)
            modulus *= 10;
        value %= modulus;
    }
    // Written from the right into a string of its final size, so that no shorter copy of the
    // code is left behind by padding.
    QString code(digits, QLatin1Char('0'));
    for (qsizetype i = digits - 1; i >= 0 && value != 0; --i) {
        code[i] = QLatin1Char(char('0' + value % 10));
        value /= 10;
    }
    return code;
}

std::optional<qint64> totpMatchingCounter(std::span<const std::uint8_t> secret, const QString& code,
                                          qint64 unixTime, int step, int digits, int window) {
    if (step < 1 || digits < 1 || window < 0 || code.isEmpty())
        return std::nullopt;
    const qint64 time = unixTime < 0 ? systemClock().unixSeconds() : unixTime;
    if (time < 0)
        return std::nullopt;
    const qint64 current = time / step;

    crypto::ensureSodiumInitialised();
    QByteArray entered = code.toUtf8();
    std::optional<qint64> match;
    for (qint64 i = -qint64(window); i <= qint64(window); ++i) {
        if (i > 0 && current > std::numeric_limits<qint64>::max() - i)
            break;
        const qint64 counter = current + i;
        // There is no step before the epoch; a negative counter must not wrap to a huge one.
        if (counter < 0)
            continue;
        QString expected = hotp(secret, quint64(counter), digits);
        QByteArray expectedUtf8 = expected.toUtf8();
        const bool equal = expectedUtf8.size() == entered.size() &&
                           sodium_memcmp(expectedUtf8.constData(), entered.constData(),
                                         std::size_t(entered.size())) == 0;
        crypto::secureWipe(expectedUtf8);
        crypto::secureWipe(expected);
        if (equal) {
            match = counter;
            break;
        }
    }
    crypto::secureWipe(entered);
    return match;
}

bool verifyTotp(std::span<const std::uint8_t> secret, const QString& code, qint64 unixTime,
                int step, int digits, int window) {
    return totpMatchingCounter(secret, code, unixTime, step, digits, window).has_value();
}

QString buildOtpauthUri(const crypto::SecureBuffer& secret, const QString& account,
                        const QString& issuer) {
    const QString label = percentEncode(issuer + QLatin1Char(':') + account, true);
    const QString encodedIssuer = percentEncode(issuer, false);
    QString secretText = crypto::encodeBase32({secret.data(), secret.size()});

    // Put together piece by piece rather than with arg(): an encoded label such as "%2C" would
    // otherwise be taken for a place marker and receive the secret. Reserved once, so that no
    // partial copy holding the secret is left behind by a reallocation.
    const QString head = QStringLiteral("otpauth://totp/");
    const QString secretKey = QStringLiteral("?secret=");
    const QString issuerKey = QStringLiteral("&issuer=");
    const QString tail = QStringLiteral("&algorithm=SHA1&digits=%1&period=%2")
                             .arg(kTotpDigits)
                             .arg(kTotpStepSeconds);
    QString uri;
    uri.reserve(head.size() + label.size() + secretKey.size() + secretText.size() +
                issuerKey.size() + encodedIssuer.size() + tail.size());
    uri.append(head).append(label).append(secretKey).append(secretText);
    uri.append(issuerKey).append(encodedIssuer).append(tail);
    crypto::secureWipe(secretText);
    return uri;
}

} // namespace korvex::core
