#include "CryptoTestUtil.h"
#include "crypto/Sha1.h"
#include "crypto/Subkey.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QtTest>
#include <sodium.h>
#include <stdexcept>
#include <string>

using namespace korvex::crypto;
using korvex::test::bytesOf;
using korvex::test::fromHex;
using korvex::test::patternBuffer;
using korvex::test::patternBytes;
using korvex::test::toBytes;

class TestSubkeySha1 : public QObject {
    Q_OBJECT

private slots:
    void deriveSubkeyIsKeyedBlake2bOfLabelThenInput_data();
    void deriveSubkeyIsKeyedBlake2bOfLabelThenInput();
    void deriveSubkeyRejectsOutOfRangeLengths_data();
    void deriveSubkeyRejectsOutOfRangeLengths();
    void sha1MatchesPublishedVectors_data();
    void sha1MatchesPublishedVectors();
    void sha1PadsCorrectlyAtEveryLength();
    void hmacSha1MatchesRfc2202_data();
    void hmacSha1MatchesRfc2202();
    void hmacSha1HandlesEveryKeyLength();
};

void TestSubkeySha1::deriveSubkeyIsKeyedBlake2bOfLabelThenInput_data() {
    QTest::addColumn<int>("keyLength");
    QTest::addColumn<int>("inputLength");
    QTest::addColumn<QByteArray>("label");
    QTest::addColumn<int>("outLength");
    QTest::newRow("two-factor vault key")
        << 32 << 20 << QByteArray("zelvora.2fa.vault-key.v1") << 32;
    QTest::newRow("no label") << 32 << 32 << QByteArray() << 32;
    QTest::newRow("no input") << 32 << 0 << QByteArray("label") << 32;
    QTest::newRow("empty message") << 32 << 0 << QByteArray() << 16;
    QTest::newRow("no key") << 0 << 16 << QByteArray("label") << 32;
    QTest::newRow("largest key and output") << 64 << 100 << QByteArray("label") << 64;
    QTest::newRow("one byte out") << 16 << 8 << QByteArray("x") << 1;
}

void TestSubkeySha1::deriveSubkeyIsKeyedBlake2bOfLabelThenInput() {
    QFETCH(int, keyLength);
    QFETCH(int, inputLength);
    QFETCH(QByteArray, label);
    QFETCH(int, outLength);
    const SecureBuffer key = patternBuffer(std::size_t(keyLength), 71);
    const SecureBuffer input = patternBuffer(std::size_t(inputLength), 72);

    const SecureBuffer subkey =
        deriveSubkey(key, input, label.toStdString(), std::size_t(outLength));

    Bytes message = toBytes(label);
    const Bytes inputBytes = bytesOf(input);
    message.insert(message.end(), inputBytes.begin(), inputBytes.end());
    Bytes expected(static_cast<std::size_t>(outLength));
    QVERIFY(sodium_init() >= 0);
    QCOMPARE(crypto_generichash(expected.data(), expected.size(), message.data(), message.size(),
                                key.data(), key.size()),
             0);
    QCOMPARE(bytesOf(subkey), expected);
    QVERIFY(subkey.registrySlot() >= 0);
}

void TestSubkeySha1::deriveSubkeyRejectsOutOfRangeLengths_data() {
    QTest::addColumn<int>("keyLength");
    QTest::addColumn<int>("outLength");
    QTest::newRow("no output") << 32 << 0;
    QTest::newRow("output 65") << 32 << 65;
    QTest::newRow("output 1000") << 32 << 1000;
    QTest::newRow("key 65") << 65 << 32;
}

void TestSubkeySha1::deriveSubkeyRejectsOutOfRangeLengths() {
    QFETCH(int, keyLength);
    QFETCH(int, outLength);
    const SecureBuffer key = patternBuffer(std::size_t(keyLength), 73);
    const SecureBuffer input = patternBuffer(32, 74);
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument,
                             deriveSubkey(key, input, "label", std::size_t(outLength)));
}

void TestSubkeySha1::sha1MatchesPublishedVectors_data() {
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("digest");
    // The four test cases of RFC 3174, plus the digest of no input.
    QTest::newRow("abc") << QByteArray("abc")
                         << QByteArray("a9993e364706816aba3e25717850c26c9cd0d89d");
    QTest::newRow("two blocks") << QByteArray(
                                       "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")
                                << QByteArray("84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    QTest::newRow("one million a")
        << QByteArray(1000000, 'a') << QByteArray("34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    QTest::newRow("0123456701234567... x 10")
        << QByteArray("0123456701234567012345670123456701234567012345670123456701234567")
               .repeated(10)
        << QByteArray("dea356a2cddd90c7a7ecedc5ebb563934f460452");
    QTest::newRow("empty") << QByteArray()
                           << QByteArray("da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

void TestSubkeySha1::sha1MatchesPublishedVectors() {
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, digest);
    QCOMPARE(sha1(toBytes(message)), fromHex(digest.constData()));
}

// Padding has its corner cases at 55/56 and 63/64 bytes modulo the block; compare every length
// over three blocks with Qt's own SHA-1.
void TestSubkeySha1::sha1PadsCorrectlyAtEveryLength() {
    for (int length = 0; length <= 200; ++length) {
        const Bytes message = patternBytes(std::size_t(length), std::uint8_t(length));
        const QByteArray expected = QCryptographicHash::hash(
            QByteArray(reinterpret_cast<const char*>(message.data()), length),
            QCryptographicHash::Sha1);
        QVERIFY2(sha1(message) == toBytes(expected), qPrintable(QString("length %1").arg(length)));
    }
}

void TestSubkeySha1::hmacSha1MatchesRfc2202_data() {
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("digest");
    QTest::newRow("1") << QByteArray(20, '\x0b') << QByteArray("Hi There")
                       << QByteArray("b617318655057264e28bc0b6fb378c8ef146be00");
    QTest::newRow("2") << QByteArray("Jefe") << QByteArray("what do ya want for nothing?")
                       << QByteArray("effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
    QTest::newRow("3") << QByteArray(20, '\xaa') << QByteArray(50, '\xdd')
                       << QByteArray("125d7342b9ac11cd91a39af48aa17b4f63f175d3");
    QTest::newRow("4") << QByteArray::fromHex("0102030405060708090a0b0c0d0e0f10111213141516171819")
                       << QByteArray(50, '\xcd')
                       << QByteArray("4c9007f4026250c6bc8414f9bf50c86c2d7235da");
    QTest::newRow("5") << QByteArray(20, '\x0c') << QByteArray("Test With Truncation")
                       << QByteArray("4c1a03424b55e07fe7f27be1d58bb9324a9a5a04");
    // Keys longer than the 64-byte block are hashed first.
    QTest::newRow("6, 80-byte key")
        << QByteArray(80, '\xaa')
        << QByteArray("Test Using Larger Than Block-Size Key - Hash Key First")
        << QByteArray("aa4ae5e15272d00e95705637ce8a3b55ed402112");
    QTest::newRow("7, 80-byte key")
        << QByteArray(80, '\xaa')
        << QByteArray("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data")
        << QByteArray("e8e99d0f45237d786d6bbaa7965c7808bbff1a91");
}

void TestSubkeySha1::hmacSha1MatchesRfc2202() {
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, digest);
    QCOMPARE(hmacSha1(toBytes(key), toBytes(message)), fromHex(digest.constData()));
}

// Key handling changes at 64 bytes (the block size): shorter keys are zero-padded, longer ones
// hashed. Compare every key length around it, and an empty key and message, with Qt's HMAC.
void TestSubkeySha1::hmacSha1HandlesEveryKeyLength() {
    for (int keyLength = 0; keyLength <= 130; ++keyLength) {
        const Bytes key = patternBytes(std::size_t(keyLength), 0x5C);
        const Bytes message = patternBytes(std::size_t(keyLength % 70), 0x36);
        const QByteArray expected = QMessageAuthenticationCode::hash(
            QByteArray(reinterpret_cast<const char*>(message.data()), qsizetype(message.size())),
            QByteArray(reinterpret_cast<const char*>(key.data()), keyLength),
            QCryptographicHash::Sha1);
        QVERIFY2(hmacSha1(key, message) == toBytes(expected),
                 qPrintable(QString("key length %1").arg(keyLength)));
    }
}

QTEST_APPLESS_MAIN(TestSubkeySha1)
#include "tst_subkey_sha1.moc"
