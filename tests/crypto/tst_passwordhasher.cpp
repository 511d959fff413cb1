#include "CryptoTestUtil.h"
#include "crypto/PasswordHasher.h"

#include <QtTest>
#include <functional>
#include <optional>
#include <sodium.h>
#include <string>

using namespace korvex::crypto;
using korvex::test::bytesOf;
using korvex::test::fromHex;
using korvex::test::invalidArgumentMessage;
using korvex::test::patternBytes;

namespace {

const std::string kPassword = "correct horse battery staple";
// Argon2id v1.3, 3 passes, 256 MiB, of kPassword with the salt 00 01 .. 0f, computed once with
// libsodium's crypto_pwhash at those settings.
const char* const kKnownKeyHex = "aad608b5866cef907f47d5cae529ed01a91301c92c5d5fef46e1a65e394e5742";

Bytes countingSalt(std::uint8_t first) {
    Bytes salt(kSaltBytes);
    for (std::size_t i = 0; i < salt.size(); ++i)
        salt[i] = static_cast<std::uint8_t>(first + i);
    return salt;
}

// Encoded hashes made by libsodium directly at its smallest costs, so that the parser can be
// exercised without paying for the real parameters on every row.
std::string cheapEncodedHash(bool argon2i, const std::string& password) {
    if (sodium_init() < 0)
        qFatal("libsodium failed to initialise");
    char out[crypto_pwhash_STRBYTES] = {};
    const int rc = argon2i ? crypto_pwhash_argon2i_str(out, password.data(), password.size(),
                                                       crypto_pwhash_argon2i_OPSLIMIT_MIN,
                                                       crypto_pwhash_argon2i_MEMLIMIT_MIN)
                           : crypto_pwhash_argon2id_str(out, password.data(), password.size(),
                                                        crypto_pwhash_argon2id_OPSLIMIT_MIN,
                                                        crypto_pwhash_argon2id_MEMLIMIT_MIN);
    if (rc != 0)
        qFatal("libsodium could not hash a password");
    return out;
}

} // namespace

class TestPasswordHasher : public QObject {
    Q_OBJECT

private slots:
    void deriveKeyMatchesArgon2idAtTheRealCost();
    void deriveKeyDependsOnTheSalt();
    void deriveKeyRejectsWrongSaltLength_data();
    void deriveKeyRejectsWrongSaltLength();
    void hashPasswordVerifiesOnlyTheSamePassword();
    void verifyAcceptsBothArgon2Encodings_data();
    void verifyAcceptsBothArgon2Encodings();
    void verifyRejectsMalformedEncodings_data();
    void verifyRejectsMalformedEncodings();
    void saltsAreFresh();
    void sideBySideGivesTheSameResults_data();
    void sideBySideGivesTheSameResults();
};

// Every existing account and vault depends on these exact parameters (Argon2id v1.3, 3 passes,
// 256 MiB), so a change of algorithm, cost or argument order must show up here. Matching a fixed
// value also shows that the same password and salt always give the same key.
void TestPasswordHasher::deriveKeyMatchesArgon2idAtTheRealCost() {
    const SecureBuffer key = PasswordHasher::deriveKey(kPassword, countingSalt(0), 32);
    QCOMPARE(key.size(), std::size_t(32));
    QVERIFY(key.registrySlot() >= 0);
    QCOMPARE(bytesOf(key), fromHex(kKnownKeyHex));
}

void TestPasswordHasher::deriveKeyDependsOnTheSalt() {
    const SecureBuffer key = PasswordHasher::deriveKey(kPassword, countingSalt(16), 32);
    QCOMPARE(key.size(), std::size_t(32));
    QVERIFY(bytesOf(key) != fromHex(kKnownKeyHex));
}

void TestPasswordHasher::deriveKeyRejectsWrongSaltLength_data() {
    QTest::addColumn<int>("saltLength");
    for (int length : {0, 15, 17, 32})
        QTest::addRow("%d bytes", length) << length;
}

void TestPasswordHasher::deriveKeyRejectsWrongSaltLength() {
    QFETCH(int, saltLength);
    const Bytes salt = patternBytes(std::size_t(saltLength), 7);
    const auto thrown =
        invalidArgumentMessage([&] { PasswordHasher::deriveKey(kPassword, salt, 32); });
    QVERIFY2(thrown.has_value(), "no std::invalid_argument was thrown");
    QCOMPARE(QString::fromStdString(*thrown),
             QString("PasswordHasher::deriveKey: salt must be kSaltBytes long"));
}

void TestPasswordHasher::hashPasswordVerifiesOnlyTheSamePassword() {
    const std::string encoded = PasswordHasher::hashPassword(kPassword);
    // The encoding names the algorithm and carries the real cost: 262144 KiB, 3 passes.
    QVERIFY2(encoded.rfind("$argon2id$v=19$m=262144,t=3,p=1$", 0) == 0, encoded.c_str());
    QVERIFY(encoded.size() < crypto_pwhash_STRBYTES);
    QCOMPARE(encoded.find('\0'), std::string::npos);

    QVERIFY(PasswordHasher::verifyPassword(encoded, kPassword));
    QVERIFY(!PasswordHasher::verifyPassword(encoded, kPassword + "!"));
}

void TestPasswordHasher::verifyAcceptsBothArgon2Encodings_data() {
    QTest::addColumn<bool>("argon2i");
    QTest::newRow("$argon2id$") << false;
    QTest::newRow("$argon2i$") << true;
}

void TestPasswordHasher::verifyAcceptsBothArgon2Encodings() {
    QFETCH(bool, argon2i);
    const std::string encoded = cheapEncodedHash(argon2i, kPassword);
    QVERIFY(PasswordHasher::verifyPassword(encoded, kPassword));
    QVERIFY(!PasswordHasher::verifyPassword(encoded, "Correct horse battery staple"));
    QVERIFY(!PasswordHasher::verifyPassword(encoded, ""));
}

void TestPasswordHasher::verifyRejectsMalformedEncodings_data() {
    QTest::addColumn<QByteArray>("encoded");
    const std::string valid = cheapEncodedHash(false, kPassword);
    const QByteArray good = QByteArray::fromStdString(valid);
    const QByteArray tail = good.mid(qsizetype(std::string("$argon2id$").size()));

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("plain text") << QByteArray("correct horse battery staple");
    QTest::newRow("prefix only") << QByteArray("$argon2id$");
    QTest::newRow("argon2d prefix") << "$argon2d$" + tail;
    QTest::newRow("upper-case prefix") << "$ARGON2ID$" + tail;
    QTest::newRow("no leading dollar") << good.mid(1);
    QTest::newRow("leading space") << " " + good;
    QTest::newRow("truncated") << good.left(good.size() - 5);
    QTest::newRow("bcrypt") << QByteArray(
        "$2b$10$N9qo8uLOickgx2ZMRZoMyeIjZAgcfl7p92ldGxad68LJZdL17lhWy");
    // A C string reader would stop at the NUL and accept the valid hash in front of it.
    QTest::newRow("embedded NUL") << good + QByteArray("\0trailing", 9);
}

void TestPasswordHasher::verifyRejectsMalformedEncodings() {
    QFETCH(QByteArray, encoded);
    QVERIFY(!PasswordHasher::verifyPassword(encoded.toStdString(), kPassword));
}

void TestPasswordHasher::saltsAreFresh() {
    const Bytes salt = PasswordHasher::generateSalt();
    QCOMPARE(salt.size(), kSaltBytes);
    QVERIFY(salt != PasswordHasher::generateSalt());
}

void TestPasswordHasher::sideBySideGivesTheSameResults_data() {
    QTest::addColumn<bool>("waitElsewhere");
    QTest::newRow("the caller does one run") << false;
    QTest::newRow("the caller waits for both") << true;
}

// The two runs side by side give exactly what the single calls give: the same hash format and
// verdicts, the same key; a key of a password that did not verify never comes back. With a wait
// installed, the calling thread does none of the work: it waits, through the wait, for both.
void TestPasswordHasher::sideBySideGivesTheSameResults() {
    QFETCH(bool, waitElsewhere);
    int waits = 0;
    int waitsBeforeTheEnd = 0;
    std::optional<PasswordHasher::WaitScope> scope;
    if (waitElsewhere)
        scope.emplace([&](const std::function<bool()>& finished) {
            ++waits;
            if (!finished())
                ++waitsBeforeTheEnd;
            while (!finished())
                QThread::msleep(5);
        });
    const auto [encoded, key] = PasswordHasher::hashAndDeriveKey(kPassword, countingSalt(0), 32);
    QVERIFY2(encoded.rfind("$argon2id$v=19$m=262144,t=3,p=1$", 0) == 0, encoded.c_str());
    QCOMPARE(bytesOf(key), fromHex(kKnownKeyHex));

    const PasswordHasher::VerifiedKey right =
        PasswordHasher::verifyAndDeriveKey(encoded, kPassword, countingSalt(0), 32);
    QVERIFY(right.verified);
    QVERIFY(right.key);
    QCOMPARE(bytesOf(*right.key), fromHex(kKnownKeyHex));

    const PasswordHasher::VerifiedKey wrong =
        PasswordHasher::verifyAndDeriveKey(encoded, kPassword + "!", countingSalt(0), 32);
    QVERIFY(!wrong.verified);
    QVERIFY(!wrong.key);

    QVERIFY_THROWS_EXCEPTION(std::invalid_argument,
                             PasswordHasher::verifyAndDeriveKey(encoded, kPassword, Bytes(15), 32));
    QCOMPARE(waits, waitElsewhere ? 3 : 0);
    QCOMPARE(waitsBeforeTheEnd, waits);
}

QTEST_APPLESS_MAIN(TestPasswordHasher)
#include "tst_passwordhasher.moc"
