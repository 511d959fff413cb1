#include "crypto/Base32.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QString>
#include <QtTest>
#include <cstdint>
#include <span>

using namespace korvex::crypto;

namespace {

std::span<const std::uint8_t> spanOf(const QByteArray& bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size())};
}

QByteArray toByteArray(const SecureBuffer& buffer) {
    return QByteArray(reinterpret_cast<const char*>(buffer.data()), qsizetype(buffer.size()));
}

QByteArray randomBytes(int size) {
    QByteArray bytes(size, '\0');
    for (char& b : bytes)
        b = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

} // namespace

class TestBase32 : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void rfc4648Vectors_data();
    void rfc4648Vectors();
    void encodedLengthAndPadding_data();
    void encodedLengthAndPadding();
    void everyLengthRoundTrips();
    void decodeAcceptsTypedForms_data();
    void decodeAcceptsTypedForms();
    void decodeRejects_data();
    void decodeRejects();
};

void TestBase32::rfc4648Vectors_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("f") << QByteArray("f") << QStringLiteral("MY======");
    QTest::newRow("fo") << QByteArray("fo") << QStringLiteral("MZXQ====");
    QTest::newRow("foo") << QByteArray("foo") << QStringLiteral("MZXW6===");
    QTest::newRow("foob") << QByteArray("foob") << QStringLiteral("MZXW6YQ=");
    QTest::newRow("fooba") << QByteArray("fooba") << QStringLiteral("MZXW6YTB");
    QTest::newRow("foobar") << QByteArray("foobar") << QStringLiteral("MZXW6YTBOI======");
}

void TestBase32::rfc4648Vectors() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(encodeBase32(spanOf(bytes)), text);
    const auto decoded = decodeBase32(text);
    // A text that yields no byte is a failed decode, so the empty vector only encodes.
    QCOMPARE(decoded.has_value(), !bytes.isEmpty());
    if (decoded)
        QCOMPARE(toByteArray(*decoded), bytes);
}

void TestBase32::encodedLengthAndPadding_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("symbols");
    QTest::addColumn<int>("padding");
    QTest::newRow("1 byte") << 1 << 2 << 6;
    QTest::newRow("20-byte two-factor secret") << 20 << 32 << 0;
    QTest::newRow("32-byte recovery code") << 32 << 52 << 4;
}

void TestBase32::encodedLengthAndPadding() {
    QFETCH(int, size);
    QFETCH(int, symbols);
    QFETCH(int, padding);
    const QByteArray bytes = randomBytes(size);
    const QString text = encodeBase32(spanOf(bytes));
    QCOMPARE(text.size(), symbols + padding);
    QVERIFY(!text.left(symbols).contains(u'='));
    QCOMPARE(text.mid(symbols), QString(padding, u'='));
    const auto decoded = decodeBase32(text);
    QVERIFY(decoded);
    QCOMPARE(toByteArray(*decoded), bytes);
}

// Every remainder of the 5-byte group, with bytes whose high and low bits are all exercised.
void TestBase32::everyLengthRoundTrips() {
    for (int size = 1; size <= 70; ++size) {
        const QByteArray bytes = size % 2 ? randomBytes(size) : QByteArray(size, '\xFF');
        const QString text = encodeBase32(spanOf(bytes));
        QCOMPARE(text.size() % 8, 0);
        QCOMPARE(text.size() - text.count(u'='), (size * 8 + 4) / 5);
        const auto decoded = decodeBase32(text);
        QVERIFY2(decoded, qPrintable(text));
        QCOMPARE(toByteArray(*decoded), bytes);
    }
}

void TestBase32::decodeAcceptsTypedForms_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray foobar("foobar");
    QTest::newRow("no padding") << QStringLiteral("MZXW6YTBOI") << foobar;
    QTest::newRow("lower case") << QStringLiteral("mzxw6ytboi======") << foobar;
    QTest::newRow("mixed case, spaces") << QStringLiteral(" mZxW 6yTb oI ") << foobar;
    QTest::newRow("hyphens and tabs") << QStringLiteral("mzxw-6ytb-\toi\n") << foobar;
    QTest::newRow("'=' anywhere") << QStringLiteral("=MZ=XW6YT==BOI=") << foobar;
    // The zero fill of the last group is not checked: stray low bits are simply dropped.
    QTest::newRow("nonzero fill bits") << QStringLiteral("MB") << QByteArray("\x60");
    QTest::newRow("truncated group") << QStringLiteral("MZXW6YQ") << QByteArray("foob");

    // A two-factor secret as a person would type it off the screen.
    const QByteArray secret = randomBytes(20);
    QString typed = encodeBase32(spanOf(secret)).toLower();
    for (qsizetype at = typed.size() - 4; at > 0; at -= 4)
        typed.insert(at, at % 8 ? QStringLiteral(" ") : QStringLiteral(" - "));
    QTest::newRow("grouped 20-byte secret") << typed << secret;
}

void TestBase32::decodeAcceptsTypedForms() {
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    const auto decoded = decodeBase32(text);
    QVERIFY(decoded);
    QCOMPARE(toByteArray(*decoded), bytes);
}

void TestBase32::decodeRejects_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("1") << QStringLiteral("MZXW6YT1OI");
    QTest::newRow("0") << QStringLiteral("0MZXW6YTBOI");
    QTest::newRow("8") << QStringLiteral("MZXW6YTBOI8");
    QTest::newRow("punctuation") << QStringLiteral("MZXW6.YTBOI");
    // Upper-cases to "I", but is not what the code says.
    QTest::newRow("dotless i") << QStringLiteral("MZXW6YTBO\u0131");
    QTest::newRow("only padding") << QStringLiteral("========");
    QTest::newRow("only separators") << QStringLiteral(" - \t ");
    QTest::newRow("empty") << QString();
    QTest::newRow("one symbol, no whole byte") << QStringLiteral("M");
}

void TestBase32::decodeRejects() {
    QFETCH(QString, text);
    QVERIFY(!decodeBase32(text).has_value());
}

QTEST_GUILESS_MAIN(TestBase32)
#include "tst_base32.moc"
