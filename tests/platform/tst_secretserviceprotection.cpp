#include "PrivateSessionBus.h"
#include "platform/SecretServiceProtection.h"
#include "platform/UserKeyFileProtection.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QtTest>
#include <chrono>
#include <vector>

using korvex::crypto::SecureBuffer;
using korvex::platform::SecretServiceUserDataProtection;
using korvex::platform::UserKeyFileDataProtection;
using korvex::platform::UserProtectionKind;
using korvex::test::bytesOf;
using korvex::test::PrivateSessionBus;
using korvex::test::secureBufferOf;

namespace {

// The same blob with its stored description replaced (length field included).
QByteArray withDescription(const QByteArray& blob, const QByteArray& description) {
    const int oldLength = quint8(blob[8]) | (quint8(blob[9]) << 8);
    QByteArray changed = blob.left(8);
    changed.append(char(description.size() & 0xFF));
    changed.append(char(description.size() >> 8));
    changed.append(description);
    changed.append(blob.mid(10 + oldLength));
    return changed;
}

struct KeyItems {
    QStringList unlocked;
    QStringList locked;
};

// The keyring's items that carry the wrapping key's attributes, asked of the service directly.
KeyItems wrappingKeyItems() {
    const QByteArray reply = PrivateSessionBus::dbusSend(
        {QStringLiteral("--dest=org.freedesktop.secrets"),
         QStringLiteral("/org/freedesktop/secrets"),
         QStringLiteral("org.freedesktop.Secret.Service.SearchItems"),
         QStringLiteral("dict:string:string:application,Zelvora,purpose,user-data-protection,"
                        "version,1")});
    const QList<QByteArray> arrays = reply.split('[');
    KeyItems items;
    for (int i = 1; i < arrays.size() && i <= 2; ++i) {
        for (const QByteArray& line : arrays[i].split('\n')) {
            const int quote = line.indexOf('"');
            if (line.contains("object path") && quote >= 0) {
                const QString path = QString::fromUtf8(line.mid(quote + 1).chopped(1));
                (i == 1 ? items.unlocked : items.locked).append(path);
            }
        }
    }
    return items;
}

} // namespace

class SecretServiceProtectionTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void createsOneWrappingKeyItemAndReusesIt();
    void roundTrips_data();
    void roundTrips();
    void rejectsEveryAlteredBlob();
    void factoryPicksTheKeyring();
    void lockedKeyringRefusesWithoutFallback();
    void unansweredPromptIsCutOff();
    void cleanupTestCase();

private:
    PrivateSessionBus session_;
};

void SecretServiceProtectionTest::initTestCase() {
    QVERIFY2(session_.start(PrivateSessionBus::Keyring::Unlocked),
             "could not start a private session bus with gnome-keyring-daemon");
    QVERIFY(SecretServiceUserDataProtection::isAvailable());
    QCOMPARE(PrivateSessionBus::defaultCollection(),
             QStringLiteral("/org/freedesktop/secrets/collection/login"));
    const KeyItems items = wrappingKeyItems();
    QVERIFY(items.unlocked.isEmpty() && items.locked.isEmpty());
}

void SecretServiceProtectionTest::createsOneWrappingKeyItemAndReusesIt() {
    const SecureBuffer data = secureBufferOf("first secret");
    QByteArray blob;
    {
        SecretServiceUserDataProtection first;
        QCOMPARE(first.kind(), UserProtectionKind::Keyring);
        // Opening before any key exists finds nothing and creates nothing.
        QVERIFY(!first.unprotect(QByteArray("ZVUDPB01") + QByteArray(2 + 41, '\0'), nullptr));
        QVERIFY(wrappingKeyItems().unlocked.isEmpty());

        const auto sealed = first.protect(data, QStringLiteral("first"), nullptr);
        QVERIFY(sealed);
        blob = *sealed;
    }

    KeyItems items = wrappingKeyItems();
    QCOMPARE(items.unlocked.size(), 1);
    const QString item = items.unlocked.first();
    QVERIFY2(item.startsWith(PrivateSessionBus::defaultCollection() + QLatin1Char('/')),
             qPrintable(item));
    QVERIFY(PrivateSessionBus::itemProperty(item, QStringLiteral("org.freedesktop.Secret.Item"),
                                            QStringLiteral("Label"))
                .contains("\"Zelvora user data protection key\""));

    // Another object (a later run of the program) finds the same key and adds none.
    SecretServiceUserDataProtection second;
    const auto opened = second.unprotect(blob, nullptr);
    QVERIFY(opened);
    QCOMPARE(bytesOf(*opened), QByteArray("first secret"));
    QVERIFY(second.protect(data, QStringLiteral("second"), nullptr));
    items = wrappingKeyItems();
    QCOMPARE(items.unlocked, QStringList{item});
    QVERIFY(items.locked.isEmpty());
}

void SecretServiceProtectionTest::roundTrips_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QByteArray>("entropy");

    QTest::newRow("empty data, no entropy")
        << QByteArray() << QStringLiteral("empty") << QByteArray();
    QTest::newRow("key with entropy")
        << QByteArray(32, '\x5a') << QStringLiteral("Zelvora local integrity key")
        << QByteArray(32, '\x17');
    QTest::newRow("non-ASCII description")
        << QByteArray("\x00\x01\xff", 3) << QStringLiteral("Schlüssel für Ångström ✓")
        << QByteArray("e");
    QTest::newRow("large data, empty description")
        << QByteArray(70000, '\xc3') << QString() << QByteArray(1000, '\x01');
}

void SecretServiceProtectionTest::roundTrips() {
    QFETCH(QByteArray, data);
    QFETCH(QString, description);
    QFETCH(QByteArray, entropy);
    SecretServiceUserDataProtection protection;
    const SecureBuffer secret = secureBufferOf(data);
    const SecureBuffer extra = secureBufferOf(entropy);
    const SecureBuffer* entropyArg = entropy.isNull() ? nullptr : &extra;

    const auto blob = protection.protect(secret, description, entropyArg);
    QVERIFY(blob);
    const QByteArray describedAs = description.toUtf8();
    QVERIFY(blob->startsWith("ZVUDPB01"));
    QCOMPARE(quint8(blob->at(8)) | (quint8(blob->at(9)) << 8), int(describedAs.size()));
    QCOMPARE(blob->mid(10, describedAs.size()), describedAs);
    if (data.size() >= 16)
        QVERIFY(!blob->contains(data.left(16)));

    const auto opened = protection.unprotect(*blob, entropyArg);
    QVERIFY(opened);
    QCOMPARE(bytesOf(*opened), data);
    // A fresh nonce each time: the same input never gives the same blob.
    QVERIFY(*protection.protect(secret, description, entropyArg) != *blob);
}

void SecretServiceProtectionTest::rejectsEveryAlteredBlob() {
    SecretServiceUserDataProtection protection;
    const SecureBuffer data = secureBufferOf("settings key material");
    const SecureBuffer entropy = secureBufferOf("entropy bytes");
    const SecureBuffer otherEntropy = secureBufferOf("entropy bytez");
    const SecureBuffer emptyEntropy;
    const QString description = QStringLiteral("Zelvora local integrity key");
    const auto sealed = protection.protect(data, description, &entropy);
    QVERIFY(sealed);
    const QByteArray blob = *sealed;

    struct Case {
        QString name;
        QByteArray blob;
        const SecureBuffer* entropy;
    };
    std::vector<Case> cases{
        {QStringLiteral("other entropy"), blob, &otherEntropy},
        {QStringLiteral("no entropy"), blob, nullptr},
        {QStringLiteral("empty entropy"), blob, &emptyEntropy},
        {QStringLiteral("description of the same length"),
         withDescription(blob, "Zelvora local integrity kez"), &entropy},
        {QStringLiteral("longer description"),
         withDescription(blob, "Zelvora local integrity key!"), &entropy},
        {QStringLiteral("description removed"), withDescription(blob, ""), &entropy},
        {QStringLiteral("one byte appended"), blob + '\0', &entropy},
    };
    for (int i = 0; i < blob.size(); ++i) {
        QByteArray altered = blob;
        altered[i] = char(altered[i] ^ 0x01);
        cases.push_back({QStringLiteral("byte %1 altered").arg(i), altered, &entropy});
    }
    for (int length = 0; length < blob.size(); ++length)
        cases.push_back(
            {QStringLiteral("cut to %1 bytes").arg(length), blob.left(length), &entropy});

    for (const Case& c : cases)
        QVERIFY2(!protection.unprotect(c.blob, c.entropy), qPrintable(c.name));

    // The untouched blob still opens, so each refusal came from its alteration.
    const auto opened = protection.unprotect(blob, &entropy);
    QVERIFY(opened);
    QCOMPARE(bytesOf(*opened), QByteArray("settings key material"));
}

void SecretServiceProtectionTest::factoryPicksTheKeyring() {
    const auto chosen = korvex::platform::createUserDataProtection();
    QVERIFY(chosen);
    QCOMPARE(chosen->kind(), UserProtectionKind::Keyring);
    const SecureBuffer data = secureBufferOf("through the factory");
    const auto blob = chosen->protect(data, QStringLiteral("factory"), nullptr);
    QVERIFY(blob);
    const auto opened = SecretServiceUserDataProtection().unprotect(*blob, nullptr);
    QVERIFY(opened);
    QCOMPARE(bytesOf(*opened), QByteArray("through the factory"));
}

// The keyring cannot be unlocked again once locked, so this and the next test come last.
void SecretServiceProtectionTest::lockedKeyringRefusesWithoutFallback() {
    const SecureBuffer entropy = secureBufferOf("entropy bytes");
    const auto earlier = SecretServiceUserDataProtection().protect(
        secureBufferOf("sealed while unlocked"), QStringLiteral("earlier"), &entropy);
    QVERIFY(earlier);
    QVERIFY(PrivateSessionBus::lockDefaultCollection());

    const SecureBuffer data = secureBufferOf("must not be protected");
    QElapsedTimer elapsed;
    elapsed.start();
    SecretServiceUserDataProtection protection(std::chrono::seconds(60));
    QVERIFY(!protection.protect(data, QStringLiteral("locked"), nullptr));
    QVERIFY(!protection.unprotect(*earlier, &entropy));
    // The factory still reports the keyring (it exists), and its object refuses too.
    const auto chosen = korvex::platform::createUserDataProtection();
    QCOMPARE(chosen->kind(), UserProtectionKind::Keyring);
    QVERIFY(!chosen->protect(data, QStringLiteral("locked"), nullptr));
    // With no display the unlock prompt fails at once instead of waiting out the time limit.
    QVERIFY2(elapsed.elapsed() < 20000, qPrintable(QString::number(elapsed.elapsed())));

    // No weaker key file appeared, and the locked key was not replaced by a new one.
    QVERIFY(!QFile::exists(UserKeyFileDataProtection::defaultKeyFilePath()));
    const KeyItems items = wrappingKeyItems();
    QVERIFY(items.unlocked.isEmpty());
    QCOMPARE(items.locked.size(), 1);
}

// A prompter that is started but never answers: the call gives up at its time limit and still
// refuses. Dismissing a prompt whose prompter is still starting can make gnome-keyring 42 abort,
// after which libsecret may never complete the call; it is then abandoned after a short grace.
// Either way nothing can use the keyring after this test.
void SecretServiceProtectionTest::unansweredPromptIsCutOff() {
    QVERIFY(PrivateSessionBus::lockDefaultCollection());
    QVERIFY(session_.addStalledService(QStringLiteral("org.gnome.keyring.SystemPrompter")));
    SecretServiceUserDataProtection protection(std::chrono::seconds(3));
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(!protection.protect(secureBufferOf("must not be protected"), QStringLiteral("stalled"),
                                nullptr));
    const qint64 took = elapsed.elapsed();
    QVERIFY2(took >= 2500 && took < 30000, qPrintable(QString::number(took)));
    QVERIFY(!QFile::exists(UserKeyFileDataProtection::defaultKeyFilePath()));
}

void SecretServiceProtectionTest::cleanupTestCase() {
    session_.stop();
}

QTEST_GUILESS_MAIN(SecretServiceProtectionTest)
#include "tst_secretserviceprotection.moc"
