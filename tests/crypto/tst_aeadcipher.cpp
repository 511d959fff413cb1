#include "CryptoTestUtil.h"
#include "crypto/AeadCipher.h"
#include "crypto/AeadStream.h"

#include <QtTest>
#include <algorithm>
#include <optional>
#include <sodium.h>
#include <string>

using namespace korvex::crypto;
using korvex::test::bytesOf;
using korvex::test::invalidArgumentMessage;
using korvex::test::patternBuffer;
using korvex::test::patternBytes;
using korvex::test::toBytes;

namespace {

bool aesAvailable() {
    if (sodium_init() < 0)
        qFatal("libsodium failed to initialise");
    return crypto_aead_aes256gcm_is_available() != 0;
}

// An AEAD blob for the given suite, built with libsodium directly rather than through the class
// under test: suite byte, then libsodium's combined ciphertext-and-tag.
Bytes referenceBlob(std::uint8_t suite, const SecureBuffer& key, const Bytes& nonce,
                    const Bytes& plaintext, const Bytes& ad) {
    Bytes blob(1 + plaintext.size() + kTagBytes);
    blob[0] = suite;
    unsigned long long length = 0;
    const unsigned char* adData = ad.empty() ? nullptr : ad.data();
    if (suite == 0) {
        // AES-256-GCM takes the first 12 of the 24 nonce bytes.
        crypto_aead_aes256gcm_encrypt(blob.data() + 1, &length, plaintext.data(), plaintext.size(),
                                      adData, ad.size(), nullptr, nonce.data(), key.data());
    } else {
        crypto_aead_xchacha20poly1305_ietf_encrypt(blob.data() + 1, &length, plaintext.data(),
                                                   plaintext.size(), adData, ad.size(), nullptr,
                                                   nonce.data(), key.data());
    }
    if (length != plaintext.size() + kTagBytes)
        qFatal("libsodium produced an unexpected ciphertext length");
    return blob;
}

enum class Mutation {
    SuiteSwapped,
    SuiteUnknown,
    SuiteHighBit,
    FirstCipherByte,
    LastCipherByte,
    FirstTagByte,
    LastTagByte,
    AdChanged,
    AdDropped,
    WrongKey,
    NonceFirstByte,
    NonceLastByte,
    TruncatedByOne,
    ExtendedByOne,
};

enum class InPieces { RoundTrip, CipherByteFlipped, TagByteFlipped, AdChanged, UnknownSuite };

} // namespace

Q_DECLARE_METATYPE(Mutation)
Q_DECLARE_METATYPE(InPieces)

class TestAeadCipher : public QObject {
    Q_OBJECT

private slots:
    void encryptWritesSuiteCiphertextAndTag_data();
    void encryptWritesSuiteCiphertextAndTag();
    void decryptFollowsTheStoredSuiteByte_data();
    void decryptFollowsTheStoredSuiteByte();
    void alteredBlobYieldsNothing_data();
    void alteredBlobYieldsNothing();
    void blobShorterThanOverheadYieldsNothing_data();
    void blobShorterThanOverheadYieldsNothing();
    void streamInPiecesMatchesOneCall_data();
    void streamInPiecesMatchesOneCall();
    void wrongKeyOrNonceLengthThrows_data();
    void wrongKeyOrNonceLengthThrows();
    void sealAndOpenRoundTrip_data();
    void sealAndOpenRoundTrip();
    void openNeedsAtLeastAnEmptySealedSecret();
    void freshKeysNoncesAndSeals();
};

void TestAeadCipher::encryptWritesSuiteCiphertextAndTag_data() {
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("ad");
    for (int length : {0, 1, 16, 31, 1000, 65536}) {
        QTest::addRow("%d bytes, no ad", length) << length << QByteArray();
        QTest::addRow("%d bytes, ad", length) << length << QByteArray("vault header v1");
    }
}

void TestAeadCipher::encryptWritesSuiteCiphertextAndTag() {
    QFETCH(int, length);
    QFETCH(QByteArray, ad);
    const SecureBuffer key = patternBuffer(kKeyBytes, 1);
    const Bytes nonce = patternBytes(kNonceBytes, 2);
    const Bytes plaintext = patternBytes(std::size_t(length), 3);
    const Bytes associated = toBytes(ad);

    const Bytes blob = AeadCipher::encrypt(key, nonce, plaintext, associated);

    // This machine has AES-NI, so the blob should start with 0; the libsodium test keeps the
    // suite honest on a processor without it too.
    const std::uint8_t suite = aesAvailable() ? 0 : 1;
    QCOMPARE(AeadCipher::preferredSuite(), CipherSuite(suite));
    QCOMPARE(blob.size(), plaintext.size() + 17);
    QCOMPARE(blob[0], suite);
    QCOMPARE(blob, referenceBlob(suite, key, nonce, plaintext, associated));

    const std::optional<Bytes> opened = AeadCipher::decrypt(key, nonce, blob, associated);
    QVERIFY(opened.has_value());
    QCOMPARE(*opened, plaintext);
}

void TestAeadCipher::decryptFollowsTheStoredSuiteByte_data() {
    QTest::addColumn<int>("suite");
    QTest::addColumn<int>("length");
    for (int suite : {0, 1})
        for (int length : {0, 1, 200})
            QTest::addRow("suite %d, %d bytes", suite, length) << suite << length;
}

void TestAeadCipher::decryptFollowsTheStoredSuiteByte() {
    QFETCH(int, suite);
    QFETCH(int, length);
    if (suite == 0 && !aesAvailable())
        QSKIP("AES-256-GCM is not available on this processor");
    const SecureBuffer key = patternBuffer(kKeyBytes, 9);
    const Bytes nonce = patternBytes(kNonceBytes, 10);
    const Bytes plaintext = patternBytes(std::size_t(length), 11);
    const Bytes ad = toBytes("machine-id");

    // A blob written elsewhere (for instance by a machine without AES) opens here with the same
    // key, nonce and associated data, whatever this processor would choose itself.
    const Bytes blob = referenceBlob(std::uint8_t(suite), key, nonce, plaintext, ad);
    const std::optional<Bytes> opened = AeadCipher::decrypt(key, nonce, blob, ad);
    QVERIFY(opened.has_value());
    QCOMPARE(*opened, plaintext);
}

void TestAeadCipher::alteredBlobYieldsNothing_data() {
    QTest::addColumn<int>("suite");
    QTest::addColumn<Mutation>("mutation");
    const struct {
        const char* name;
        Mutation mutation;
    } mutations[] = {
        {"suite byte swapped", Mutation::SuiteSwapped},
        {"suite byte 2", Mutation::SuiteUnknown},
        {"suite byte 0x80", Mutation::SuiteHighBit},
        {"first ciphertext byte", Mutation::FirstCipherByte},
        {"last ciphertext byte", Mutation::LastCipherByte},
        {"first tag byte", Mutation::FirstTagByte},
        {"last tag byte", Mutation::LastTagByte},
        {"associated data changed", Mutation::AdChanged},
        {"associated data dropped", Mutation::AdDropped},
        {"other key", Mutation::WrongKey},
        {"nonce first byte", Mutation::NonceFirstByte},
        {"truncated by one", Mutation::TruncatedByOne},
        {"extended by one", Mutation::ExtendedByOne},
    };
    for (int suite : {0, 1}) {
        for (const auto& m : mutations)
            QTest::addRow("suite %d, %s", suite, m.name) << suite << m.mutation;
    }
    // XChaCha20 uses all 24 nonce bytes (AES-256-GCM ignores the last 12).
    QTest::addRow("suite 1, nonce last byte") << 1 << Mutation::NonceLastByte;
}

void TestAeadCipher::alteredBlobYieldsNothing() {
    QFETCH(int, suite);
    QFETCH(Mutation, mutation);
    if (suite == 0 && !aesAvailable())
        QSKIP("AES-256-GCM is not available on this processor");
    SecureBuffer key = patternBuffer(kKeyBytes, 21);
    Bytes nonce = patternBytes(kNonceBytes, 22);
    const Bytes plaintext = patternBytes(40, 23);
    Bytes ad = toBytes("associated data");
    Bytes blob = referenceBlob(std::uint8_t(suite), key, nonce, plaintext, ad);
    QVERIFY(AeadCipher::decrypt(key, nonce, blob, ad).has_value());

    const std::size_t tagStart = blob.size() - kTagBytes;
    switch (mutation) {
    case Mutation::SuiteSwapped:
        blob[0] ^= 0x01;
        break;
    case Mutation::SuiteUnknown:
        blob[0] = 0x02;
        break;
    case Mutation::SuiteHighBit:
        blob[0] |= 0x80;
        break;
    case Mutation::FirstCipherByte:
        blob[1] ^= 0x01;
        break;
    case Mutation::LastCipherByte:
        blob[tagStart - 1] ^= 0x80;
        break;
    case Mutation::FirstTagByte:
        blob[tagStart] ^= 0x01;
        break;
    case Mutation::LastTagByte:
        blob.back() ^= 0x80;
        break;
    case Mutation::AdChanged:
        ad.back() ^= 0x01;
        break;
    case Mutation::AdDropped:
        ad.clear();
        break;
    case Mutation::WrongKey:
        key = patternBuffer(kKeyBytes, 99);
        break;
    case Mutation::NonceFirstByte:
        nonce.front() ^= 0x01;
        break;
    case Mutation::NonceLastByte:
        nonce.back() ^= 0x01;
        break;
    case Mutation::TruncatedByOne:
        blob.pop_back();
        break;
    case Mutation::ExtendedByOne:
        blob.push_back(0x00);
        break;
    }

    std::optional<Bytes> opened;
    try {
        opened = AeadCipher::decrypt(key, nonce, blob, ad);
    } catch (const std::exception& e) {
        QFAIL(e.what());
    }
    QVERIFY(!opened.has_value());
}

void TestAeadCipher::blobShorterThanOverheadYieldsNothing_data() {
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("suite");
    QTest::newRow("empty") << 0 << 0;
    QTest::newRow("suite byte only") << 1 << 0;
    QTest::newRow("16 bytes, suite 0") << 16 << 0;
    QTest::newRow("16 bytes, suite 1") << 16 << 1;
    // 17 bytes is long enough to be an empty plaintext, but this tag is wrong.
    QTest::newRow("17 bytes, suite 0") << 17 << 0;
    QTest::newRow("17 bytes, suite 1") << 17 << 1;
}

void TestAeadCipher::blobShorterThanOverheadYieldsNothing() {
    QFETCH(int, length);
    QFETCH(int, suite);
    const SecureBuffer key = patternBuffer(kKeyBytes, 31);
    const Bytes nonce = patternBytes(kNonceBytes, 32);
    Bytes blob(std::size_t(length), 0x00);
    if (!blob.empty())
        blob[0] = std::uint8_t(suite);
    QVERIFY(!AeadCipher::decrypt(key, nonce, blob, {}).has_value());
}

void TestAeadCipher::streamInPiecesMatchesOneCall_data() {
    QTest::addColumn<int>("suite");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("piece");
    QTest::addColumn<InPieces>("change");
    for (int suite : {0, 1}) {
        // Lengths around the 16-byte block and the 128-byte stride of the AES code path, in
        // pieces that cut across blocks and in one piece.
        for (int length : {0, 1, 15, 127, 128, 129, 70001})
            for (int piece : {7, 4099, 70001})
                QTest::addRow("suite %d, %d bytes in pieces of %d", suite, length, piece)
                    << suite << length << piece << InPieces::RoundTrip;
        QTest::addRow("suite %d, ciphertext byte flipped", suite)
            << suite << 1000 << 100 << InPieces::CipherByteFlipped;
        QTest::addRow("suite %d, tag byte flipped", suite)
            << suite << 1000 << 100 << InPieces::TagByteFlipped;
        QTest::addRow("suite %d, other associated data", suite)
            << suite << 1000 << 100 << InPieces::AdChanged;
    }
    QTest::newRow("suite byte 2") << 2 << 100 << 10 << InPieces::UnknownSuite;
}

// A message sealed or opened in pieces, in place, is byte for byte what libsodium makes and
// opens in one call; a changed byte anywhere, or other associated data, fails the tag.
void TestAeadCipher::streamInPiecesMatchesOneCall() {
    QFETCH(int, suite);
    QFETCH(int, length);
    QFETCH(int, piece);
    QFETCH(InPieces, change);
    if (suite == 0 && !aesAvailable())
        QSKIP("AES-256-GCM is not available on this processor");
    const SecureBuffer key = patternBuffer(kKeyBytes, 71);
    const Bytes nonce = patternBytes(kNonceBytes, 72);
    const Bytes plaintext = patternBytes(std::size_t(length), 73);
    Bytes ad = toBytes("vault id, entry id, machine id");
    const auto inPieces = [&](AeadStream& stream, Bytes& text) {
        for (std::size_t at = 0; at < text.size(); at += std::size_t(piece)) {
            const std::size_t n = std::min(std::size_t(piece), text.size() - at);
            if (!stream.update(text.data() + at, text.data() + at, n))
                return false;
        }
        return true;
    };
    if (change == InPieces::UnknownSuite) {
        QVERIFY(!AeadStream::encrypting(std::uint8_t(suite), key, nonce, ad).has_value());
        QVERIFY(!AeadStream::decrypting(std::uint8_t(suite), key, nonce, ad).has_value());
        return;
    }
    const Bytes reference = referenceBlob(std::uint8_t(suite), key, nonce, plaintext, ad);

    std::optional<AeadStream> sealing = AeadStream::encrypting(std::uint8_t(suite), key, nonce, ad);
    QVERIFY(sealing.has_value());
    Bytes text = plaintext;
    QVERIFY(inPieces(*sealing, text));
    Bytes tag(kTagBytes);
    QVERIFY(sealing->finish(tag.data()));
    QCOMPARE(reference.front(), std::uint8_t(suite));
    QCOMPARE(Bytes(reference.begin() + 1, reference.end() - kTagBytes), text);
    QCOMPARE(Bytes(reference.end() - kTagBytes, reference.end()), tag);

    switch (change) {
    case InPieces::CipherByteFlipped:
        text[text.size() / 2] ^= 0x04;
        break;
    case InPieces::TagByteFlipped:
        tag.back() ^= 0x01;
        break;
    case InPieces::AdChanged:
        ad.front() ^= 0x01;
        break;
    default:
        break;
    }
    std::optional<AeadStream> opening = AeadStream::decrypting(std::uint8_t(suite), key, nonce, ad);
    QVERIFY(opening.has_value());
    QVERIFY(inPieces(*opening, text));
    QCOMPARE(opening->verify(tag.data()), change == InPieces::RoundTrip);
    if (change == InPieces::RoundTrip)
        QCOMPARE(text, plaintext);
}

void TestAeadCipher::wrongKeyOrNonceLengthThrows_data() {
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("keyLength");
    QTest::addColumn<int>("nonceLength");
    QTest::addColumn<QString>("message");
    const QString encryptKey = "AeadCipher::encrypt: key must be kKeyBytes long";
    const QString encryptNonce = "AeadCipher::encrypt: nonce must be kNonceBytes long";
    const QString decryptKey = "AeadCipher::decrypt: key must be kKeyBytes long";
    const QString decryptNonce = "AeadCipher::decrypt: nonce must be kNonceBytes long";
    const QString streamKey = "AeadStream: key must be kKeyBytes long";
    const QString streamNonce = "AeadStream: nonce must be kNonceBytes long";

    // The key is checked first: a bad key wins over a bad nonce.
    QTest::newRow("encrypt, key 31") << "encrypt" << 31 << 24 << encryptKey;
    QTest::newRow("encrypt, key 33") << "encrypt" << 33 << 24 << encryptKey;
    QTest::newRow("encrypt, no key") << "encrypt" << 0 << 24 << encryptKey;
    QTest::newRow("encrypt, key 31, nonce 12") << "encrypt" << 31 << 12 << encryptKey;
    QTest::newRow("encrypt, key 33, nonce 25") << "encrypt" << 33 << 25 << encryptKey;
    QTest::newRow("encrypt, nonce 0") << "encrypt" << 32 << 0 << encryptNonce;
    QTest::newRow("encrypt, nonce 12") << "encrypt" << 32 << 12 << encryptNonce;
    QTest::newRow("encrypt, nonce 23") << "encrypt" << 32 << 23 << encryptNonce;
    QTest::newRow("encrypt, nonce 25") << "encrypt" << 32 << 25 << encryptNonce;
    // decrypt is given a 5-byte blob: the lengths are checked before the blob is.
    QTest::newRow("decrypt, key 31") << "decrypt" << 31 << 24 << decryptKey;
    QTest::newRow("decrypt, key 33, nonce 23") << "decrypt" << 33 << 23 << decryptKey;
    QTest::newRow("decrypt, no key, no nonce") << "decrypt" << 0 << 0 << decryptKey;
    QTest::newRow("decrypt, nonce 12") << "decrypt" << 32 << 12 << decryptNonce;
    QTest::newRow("decrypt, nonce 25") << "decrypt" << 32 << 25 << decryptNonce;
    QTest::newRow("stream, key 33, nonce 23") << "stream" << 33 << 23 << streamKey;
    QTest::newRow("stream, nonce 12") << "stream" << 32 << 12 << streamNonce;
    // seal draws its own nonce and open splits it off the sealed bytes.
    QTest::newRow("seal, key 31") << "seal" << 31 << 24 << encryptKey;
    QTest::newRow("open, key 33") << "open" << 33 << 24 << decryptKey;
}

void TestAeadCipher::wrongKeyOrNonceLengthThrows() {
    QFETCH(QString, operation);
    QFETCH(int, keyLength);
    QFETCH(int, nonceLength);
    QFETCH(QString, message);
    const SecureBuffer key = patternBuffer(std::size_t(keyLength), 41);
    const Bytes nonce = patternBytes(std::size_t(nonceLength), 42);
    const Bytes data = patternBytes(5, 43);
    const Bytes sealed = patternBytes(kSealedOverheadBytes + 8, 44);
    const SecureBuffer secret = patternBuffer(8, 45);

    const std::optional<std::string> thrown = invalidArgumentMessage([&] {
        if (operation == "encrypt")
            AeadCipher::encrypt(key, nonce, data, {});
        else if (operation == "decrypt")
            AeadCipher::decrypt(key, nonce, data, {});
        else if (operation == "stream")
            AeadStream::decrypting(0, key, nonce, {});
        else if (operation == "seal")
            AeadCipher::seal(key, secret, {});
        else
            AeadCipher::open(key, sealed, {});
    });
    QVERIFY2(thrown.has_value(), "no std::invalid_argument was thrown");
    QCOMPARE(QString::fromStdString(*thrown), message);
}

void TestAeadCipher::sealAndOpenRoundTrip_data() {
    QTest::addColumn<int>("length");
    for (int length : {0, 1, 32, 1000})
        QTest::addRow("%d bytes", length) << length;
}

void TestAeadCipher::sealAndOpenRoundTrip() {
    QFETCH(int, length);
    const SecureBuffer key = AeadCipher::generateKey();
    const SecureBuffer secret = patternBuffer(std::size_t(length), 51);
    const Bytes ad = toBytes("identity.dat");

    const Bytes sealed = AeadCipher::seal(key, secret, ad);
    QCOMPARE(sealed.size(), std::size_t(length) + 41);

    // Layout: the 24-byte nonce, then an ordinary AEAD blob under that nonce.
    const ByteView view(sealed);
    const std::optional<Bytes> direct =
        AeadCipher::decrypt(key, view.first(kNonceBytes), view.subspan(kNonceBytes), ad);
    QVERIFY(direct.has_value());
    QCOMPARE(*direct, bytesOf(secret));

    std::optional<SecureBuffer> opened = AeadCipher::open(key, sealed, ad);
    QVERIFY(opened.has_value());
    QVERIFY(opened->equals(secret));
    if (length > 0)
        QVERIFY(opened->registrySlot() >= 0);

    QVERIFY(!AeadCipher::open(key, sealed, toBytes("other.dat")).has_value());
    QVERIFY(!AeadCipher::open(AeadCipher::generateKey(), sealed, ad).has_value());
}

void TestAeadCipher::openNeedsAtLeastAnEmptySealedSecret() {
    const SecureBuffer key = AeadCipher::generateKey();
    const Bytes sealed = AeadCipher::seal(key, SecureBuffer(), {});
    QCOMPARE(sealed.size(), std::size_t(41));

    const std::optional<SecureBuffer> empty = AeadCipher::open(key, sealed, {});
    QVERIFY(empty.has_value());
    QVERIFY(empty->empty());
    QCOMPARE(empty->data(), nullptr);

    const ByteView view(sealed);
    QVERIFY(!AeadCipher::open(key, view.first(40), {}).has_value());
    QVERIFY(!AeadCipher::open(key, view.first(0), {}).has_value());
    QVERIFY(!AeadCipher::open(key, Bytes(40, 0x01), {}).has_value());

    Bytes otherNonce = sealed;
    otherNonce[0] ^= 0x01;
    QVERIFY(!AeadCipher::open(key, otherNonce, {}).has_value());
}

void TestAeadCipher::freshKeysNoncesAndSeals() {
    const SecureBuffer key = AeadCipher::generateKey();
    const SecureBuffer otherKey = AeadCipher::generateKey();
    QCOMPARE(key.size(), kKeyBytes);
    QVERIFY(key.registrySlot() >= 0);
    QVERIFY(!key.equals(otherKey));

    const Bytes nonce = AeadCipher::generateNonce();
    QCOMPARE(nonce.size(), kNonceBytes);
    QVERIFY(nonce != AeadCipher::generateNonce());

    const SecureBuffer secret = patternBuffer(32, 61);
    const Bytes first = AeadCipher::seal(key, secret, {});
    const Bytes second = AeadCipher::seal(key, secret, {});
    QVERIFY(first != second);
    QVERIFY(!std::equal(first.begin(), first.begin() + kNonceBytes, second.begin()));
    QVERIFY(AeadCipher::open(key, first, {})->equals(secret));
    QVERIFY(AeadCipher::open(key, second, {})->equals(secret));
}

QTEST_APPLESS_MAIN(TestAeadCipher)
#include "tst_aeadcipher.moc"
