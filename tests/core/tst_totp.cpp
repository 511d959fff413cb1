#include "core/Clock.h"
#include "core/Totp.h"
#include "crypto/SecureBuffer.h"

#include <QTest>
#include <limits>

using namespace korvex;
using core::hotp;
using core::totpMatchingCounter;
using core::verifyTotp;

namespace {

// The 20-byte ASCII secret of the RFC 4226 and RFC 6238 SHA-1 test vectors.
const QByteArray kRfcSecret("12345678901234567890");

std::span<const std::uint8_t> rfcSecret() {
    return {reinterpret_cast<const std::uint8_t*>(kRfcSecret.constData()),
            std::size_t(kRfcSecret.size())};
}

crypto::SecureBuffer rfcSecretBuffer() {
    return crypto::SecureBuffer::copyOf(kRfcSecret.constData(), std::size_t(kRfcSecret.size()));
}

constexpr qint64 kBaseTime = 1111111111; // step 37037037

} // namespace

class TestTotp : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void hotpVectors_data();
    void hotpVectors();
    void totpVectors_data();
    void totpVectors();
    void window_data();
    void window();
    void firstStepHasNoPredecessor();
    void enteredCodeComparedExactly_data();
    void enteredCodeComparedExactly();
    void negativeTimeMeansNow();
    void unusableParametersMatchNothing();
    void otpauthUri_data();
    void otpauthUri();
};

void TestTotp::hotpVectors_data() {
    QTest::addColumn<quint64>("counter");
    QTest::addColumn<QString>("code");
    const char* const codes[] = {"755224", "287082", "359152", "969429", "338314",
                                 "254676", "287922", "162583", "399871", "520489"};
    for (quint64 counter = 0; counter < 10; ++counter)
        QTest::addRow("counter %llu", counter) << counter << QString::fromLatin1(codes[counter]);
}

void TestTotp::hotpVectors() {
    QFETCH(quint64, counter);
    QFETCH(QString, code);
    QCOMPARE(hotp(rfcSecret(), counter, 6), code);
}

void TestTotp::totpVectors_data() {
    QTest::addColumn<qint64>("time");
    QTest::addColumn<QString>("eightDigits");
    // RFC 6238 Appendix B, SHA-1. Several six-digit forms begin with "0".
    QTest::newRow("59") << qint64(59) << QStringLiteral("94287082");
    QTest::newRow("1111111109") << qint64(1111111109) << QStringLiteral("07081804");
    QTest::newRow("1111111111") << qint64(1111111111) << QStringLiteral("14050471");
    QTest::newRow("1234567890") << qint64(1234567890) << QStringLiteral("89005924");
    QTest::newRow("2000000000") << qint64(2000000000) << QStringLiteral("69279037");
    QTest::newRow("20000000000") << qint64(20000000000) << QStringLiteral("65353130");
}

void TestTotp::totpVectors() {
    QFETCH(qint64, time);
    QFETCH(QString, eightDigits);
    const QString sixDigits = eightDigits.right(6);
    const qint64 step = time / 30;

    QCOMPARE(hotp(rfcSecret(), quint64(step), 8), eightDigits);
    // Zero-padded, never shortened: "081804", not "81804".
    QCOMPARE(hotp(rfcSecret(), quint64(step), 6), sixDigits);
    QCOMPARE(totpMatchingCounter(rfcSecret(), sixDigits, time, 30, 6, 0), std::optional(step));
    QVERIFY(verifyTotp(rfcSecret(), sixDigits, time, 30, 6, 1));
    if (sixDigits.startsWith(QLatin1Char('0')))
        QVERIFY(!verifyTotp(rfcSecret(), sixDigits.mid(1), time, 30, 6, 1));
}

void TestTotp::window_data() {
    QTest::addColumn<int>("offset");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("two steps old") << -2 << false;
    QTest::newRow("previous step") << -1 << true;
    QTest::newRow("current step") << 0 << true;
    QTest::newRow("next step") << 1 << true;
    QTest::newRow("two steps ahead") << 2 << false;
}

void TestTotp::window() {
    QFETCH(int, offset);
    QFETCH(bool, accepted);
    const qint64 current = kBaseTime / 30;
    const QString code = hotp(rfcSecret(), quint64(current + offset), 6);
    const std::optional<qint64> expected =
        accepted ? std::optional<qint64>(current + offset) : std::nullopt;
    QCOMPARE(totpMatchingCounter(rfcSecret(), code, kBaseTime, 30, 6, 1), expected);
    QCOMPARE(verifyTotp(rfcSecret(), code, kBaseTime, 30, 6, 1), accepted);
}

void TestTotp::firstStepHasNoPredecessor() {
    // Step -1 must be skipped, not wrapped round to the last unsigned counter.
    const QString wrapped = hotp(rfcSecret(), std::numeric_limits<quint64>::max(), 6);
    QVERIFY(wrapped != hotp(rfcSecret(), 0, 6) && wrapped != hotp(rfcSecret(), 1, 6));
    QCOMPARE(totpMatchingCounter(rfcSecret(), wrapped, 0, 30, 6, 1), std::nullopt);

    QCOMPARE(totpMatchingCounter(rfcSecret(), hotp(rfcSecret(), 0, 6), 0, 30, 6, 1),
             std::optional<qint64>(0));
    QCOMPARE(totpMatchingCounter(rfcSecret(), hotp(rfcSecret(), 1, 6), 0, 30, 6, 1),
             std::optional<qint64>(1));
}

void TestTotp::enteredCodeComparedExactly_data() {
    QTest::addColumn<QString>("entered");
    QTest::addColumn<bool>("accepted");
    const QString code = hotp(rfcSecret(), quint64(kBaseTime / 30), 6); // "050471"
    QTest::newRow("as generated") << code << true;
    QTest::newRow("trailing space") << code + QLatin1Char(' ') << false;
    QTest::newRow("leading space") << QLatin1Char(' ') + code << false;
    QTest::newRow("leading zero dropped") << code.mid(1) << false;
    QTest::newRow("extra digit") << code + QLatin1Char('0') << false;
    QTest::newRow("one digit changed")
        << code.left(5) + QLatin1Char(code.endsWith(QLatin1Char('1')) ? '2' : '1') << false;
    QTest::newRow("full-width digits") << QString::fromUtf8("\xEF\xBC\x90\xEF\xBC\x95\xEF\xBC\x90"
                                                            "\xEF\xBC\x94\xEF\xBC\x97\xEF\xBC\x91")
                                       << false;
    QTest::newRow("empty") << QString() << false;
}

void TestTotp::enteredCodeComparedExactly() {
    QFETCH(QString, entered);
    QFETCH(bool, accepted);
    QCOMPARE(verifyTotp(rfcSecret(), entered, kBaseTime, 30, 6, 1), accepted);
}

void TestTotp::negativeTimeMeansNow() {
    const qint64 now = core::systemClock().unixSeconds();
    const QString code = hotp(rfcSecret(), quint64(now / 30), 6);
    // Window 1 covers a step boundary passed between the two readings of the clock.
    QVERIFY(verifyTotp(rfcSecret(), code, -1, 30, 6, 1));
    QVERIFY(!verifyTotp(rfcSecret(), hotp(rfcSecret(), quint64(now / 30 - 10), 6), -1, 30, 6, 1));
}

void TestTotp::unusableParametersMatchNothing() {
    const QString code = hotp(rfcSecret(), quint64(kBaseTime / 30), 6);
    QCOMPARE(totpMatchingCounter(rfcSecret(), code, kBaseTime, 0, 6, 1), std::nullopt);
    QCOMPARE(totpMatchingCounter(rfcSecret(), code, kBaseTime, -30, 6, 1), std::nullopt);
    QCOMPARE(totpMatchingCounter(rfcSecret(), code, kBaseTime, 30, 6, -1), std::nullopt);
    // No digits gives no code, and an empty entry must not match it.
    QCOMPARE(hotp(rfcSecret(), 0, 0), QString());
    QCOMPARE(totpMatchingCounter(rfcSecret(), QString(), kBaseTime, 30, 0, 1), std::nullopt);
    // At the end of the counter range the window stops instead of overflowing.
    const qint64 last = std::numeric_limits<qint64>::max();
    QCOMPARE(totpMatchingCounter(rfcSecret(), hotp(rfcSecret(), quint64(last), 6), last, 1, 6, 1),
             std::optional<qint64>(last));
    QCOMPARE(totpMatchingCounter(rfcSecret(), hotp(rfcSecret(), 0, 6), last, 1, 6, 1),
             std::nullopt);
}

void TestTotp::otpauthUri_data() {
    QTest::addColumn<QString>("issuer");
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("issuerParameter");
    const QString zelvora = QStringLiteral("Zelvora");
    QTest::newRow("space in account")
        << zelvora << QStringLiteral("Jane Doe") << QStringLiteral("Zelvora:Jane%20Doe") << zelvora;
    QTest::newRow("unreserved characters kept") << zelvora << QStringLiteral("a-b.c_d~e9")
                                                << QStringLiteral("Zelvora:a-b.c_d~e9") << zelvora;
    // "%2C" and "%25" look like place markers to QString::arg.
    QTest::newRow("comma") << zelvora << QStringLiteral("a,b") << QStringLiteral("Zelvora:a%2Cb")
                           << zelvora;
    QTest::newRow("percent sign") << zelvora << QStringLiteral("50%")
                                  << QStringLiteral("Zelvora:50%25") << zelvora;
    QTest::newRow("reserved characters")
        << zelvora << QStringLiteral("a@b/c?d&e=f#g")
        << QStringLiteral("Zelvora:a%40b%2Fc%3Fd%26e%3Df%23g") << zelvora;
    QTest::newRow("non-ASCII as UTF-8") << zelvora << QString::fromUtf8("Jos\xC3\xA9")
                                        << QStringLiteral("Zelvora:Jos%C3%A9") << zelvora;
    QTest::newRow("colon in the label only")
        << QStringLiteral("My Co:Lab") << QStringLiteral("x:y") << QStringLiteral("My%20Co:Lab:x:y")
        << QStringLiteral("My%20Co%3ALab");
}

void TestTotp::otpauthUri() {
    QFETCH(QString, issuer);
    QFETCH(QString, account);
    QFETCH(QString, label);
    QFETCH(QString, issuerParameter);
    const QString expected = QStringLiteral("otpauth://totp/") + label +
                             QStringLiteral("?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ&issuer=") +
                             issuerParameter + QStringLiteral("&algorithm=SHA1&digits=6&period=30");
    QCOMPARE(core::buildOtpauthUri(rfcSecretBuffer(), account, issuer), expected);
}

QTEST_GUILESS_MAIN(TestTotp)
#include "tst_totp.moc"
