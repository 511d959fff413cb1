#include "PrivateSessionBus.h"
#include "platform/SecretServiceProtection.h"
#include "platform/UserKeyFileProtection.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

using korvex::crypto::SecureBuffer;
using korvex::platform::SecretServiceUserDataProtection;
using korvex::platform::UserKeyFileDataProtection;
using korvex::platform::UserProtectionKind;
using korvex::test::bytesOf;
using korvex::test::PrivateSessionBus;
using korvex::test::secureBufferOf;

using korvex::test::modeOf;

namespace {

// Permission bits of path (not following a link), or -1.
QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool overwrite(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

enum class Alteration { GroupReadable, OthersReadable, Empty, Short, Long, Symlink };

} // namespace

Q_DECLARE_METATYPE(Alteration)

// Runs without a Secret Service: first with no session bus at all, then with a private bus that
// has no keyring (a separate process from the keyring suite, since a process keeps its first
// session-bus connection).
class UserKeyFileProtectionTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void factoryFollowsTheSessionBus();
    void createsAPrivateKeyFileOnFirstProtect();
    void refusesAnUnsafeKeyFile_data();
    void refusesAnUnsafeKeyFile();
    void anotherUsersKeyDoesNotOpen();
    void cleanupTestCase();

private:
    PrivateSessionBus session_;
    QTemporaryDir scratch_;
};

void UserKeyFileProtectionTest::initTestCase() {
    QVERIFY(scratch_.isValid());
    QVERIFY2(session_.isolate(), "could not set up a private session");
}

// Before the first test touches a session bus: the check must not cache a missing bus.
void UserKeyFileProtectionTest::factoryFollowsTheSessionBus() {
    // No session bus at all.
    QVERIFY(!SecretServiceUserDataProtection::isAvailable());
    const auto withoutBus = korvex::platform::createUserDataProtection();
    QCOMPARE(withoutBus->kind(), UserProtectionKind::UserKeyFile);

    // Its key lives in the user's configuration folder, away from the data folder.
    const QString expected = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) +
                             QStringLiteral("/Zelvora/user-data-protection.key");
    QCOMPARE(UserKeyFileDataProtection::defaultKeyFilePath(), expected);
    const auto blob =
        withoutBus->protect(secureBufferOf("via the factory"), QStringLiteral("f"), nullptr);
    QVERIFY(blob);
    QVERIFY(QFile::exists(expected));
    QVERIFY(
        !QDir(QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME"))).exists(QStringLiteral("Zelvora")));
    const auto opened = UserKeyFileDataProtection().unprotect(*blob, nullptr);
    QVERIFY(opened);
    QCOMPARE(bytesOf(*opened), QByteArray("via the factory"));

    // A session bus without any Secret Service.
    QVERIFY2(session_.start(PrivateSessionBus::Keyring::None), "could not start a session bus");
    QVERIFY(!SecretServiceUserDataProtection::isAvailable());
    QCOMPARE(korvex::platform::createUserDataProtection()->kind(), UserProtectionKind::UserKeyFile);

    // A Secret Service the bus can start on demand counts, though none is running yet.
    QVERIFY(session_.addActivatableService(QStringLiteral("org.freedesktop.secrets")));
    QVERIFY(SecretServiceUserDataProtection::isAvailable());
    QCOMPARE(korvex::platform::createUserDataProtection()->kind(), UserProtectionKind::Keyring);
}

void UserKeyFileProtectionTest::createsAPrivateKeyFileOnFirstProtect() {
    // The key's folder already exists, too open: it is tightened, not trusted.
    const QString folder = scratch_.filePath(QStringLiteral("config/Zelvora"));
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
    const QString keyFile = folder + QStringLiteral("/user-data-protection.key");
    UserKeyFileDataProtection protection(keyFile);
    QCOMPARE(protection.kind(), UserProtectionKind::UserKeyFile);

    // Nothing to open yet, and opening creates no key.
    QVERIFY(!protection.unprotect(QByteArray("ZVUDPB01") + QByteArray(2 + 41, '\0'), nullptr));
    // A description too long for the blob is refused before any key is made.
    QVERIFY(!protection.protect(secureBufferOf("x"), QString(70000, QLatin1Char('d')), nullptr));
    QVERIFY(!QFile::exists(keyFile));

    const SecureBuffer entropy = secureBufferOf("entropy");
    const auto blob =
        protection.protect(secureBufferOf("secret bytes"), QStringLiteral("d"), &entropy);
    QVERIFY(blob);
    QCOMPARE(QFileInfo(keyFile).size(), qint64(32));
    QCOMPARE(modeOf(keyFile), 0600);
    QCOMPARE(modeOf(folder), 0700);
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("user-data-protection.key")});

    // Later objects (later runs) use the same key and leave the file as it is.
    const QByteArray key = readAll(keyFile);
    UserKeyFileDataProtection later(keyFile);
    const auto opened = later.unprotect(*blob, &entropy);
    QVERIFY(opened);
    QCOMPARE(bytesOf(*opened), QByteArray("secret bytes"));
    QVERIFY(!later.unprotect(*blob, nullptr));
    QVERIFY(later.protect(secureBufferOf("more"), QStringLiteral("d"), nullptr));
    QCOMPARE(readAll(keyFile), key);
}

void UserKeyFileProtectionTest::refusesAnUnsafeKeyFile_data() {
    QTest::addColumn<Alteration>("alteration");
    QTest::newRow("group-readable") << Alteration::GroupReadable;
    QTest::newRow("readable by others") << Alteration::OthersReadable;
    QTest::newRow("empty") << Alteration::Empty;
    QTest::newRow("31 bytes") << Alteration::Short;
    QTest::newRow("33 bytes") << Alteration::Long;
    QTest::newRow("symbolic link to a good key") << Alteration::Symlink;
}

// An unsafe key file is neither used nor silently replaced: protect and unprotect give nothing
// and the file stays as found.
void UserKeyFileProtectionTest::refusesAnUnsafeKeyFile() {
    QFETCH(Alteration, alteration);
    const QString folder = scratch_.filePath(QStringLiteral("unsafe/") + QTest::currentDataTag());
    const QString keyFile = folder + QStringLiteral("/user.key");
    UserKeyFileDataProtection protection(keyFile);
    const SecureBuffer data = secureBufferOf("guarded");
    const auto blob = protection.protect(data, QStringLiteral("d"), nullptr);
    QVERIFY(blob);
    const QByteArray key = readAll(keyFile);

    const QByteArray native = QFile::encodeName(keyFile);
    switch (alteration) {
    case Alteration::GroupReadable:
        QVERIFY(::chmod(native.constData(), 0640) == 0);
        break;
    case Alteration::OthersReadable:
        QVERIFY(::chmod(native.constData(), 0604) == 0);
        break;
    case Alteration::Empty:
        QVERIFY(overwrite(keyFile, QByteArray()));
        break;
    case Alteration::Short:
        QVERIFY(overwrite(keyFile, key.left(31)));
        break;
    case Alteration::Long:
        QVERIFY(overwrite(keyFile, key + 'x'));
        break;
    case Alteration::Symlink: {
        const QString target = folder + QStringLiteral("/elsewhere.key");
        QVERIFY(QFile::rename(keyFile, target));
        QVERIFY(QFile::link(target, keyFile));
        break;
    }
    }
    const int mode = modeOf(keyFile);
    const QByteArray content = readAll(keyFile);

    QVERIFY(!protection.unprotect(*blob, nullptr));
    QVERIFY(!protection.protect(data, QStringLiteral("d"), nullptr));
    QVERIFY(!UserKeyFileDataProtection(keyFile).unprotect(*blob, nullptr));
    QCOMPARE(modeOf(keyFile), mode);
    QCOMPARE(readAll(keyFile), content);
    QCOMPARE(QFileInfo(keyFile).isSymLink(), alteration == Alteration::Symlink);
}

void UserKeyFileProtectionTest::anotherUsersKeyDoesNotOpen() {
    UserKeyFileDataProtection mine(scratch_.filePath(QStringLiteral("mine/user.key")));
    UserKeyFileDataProtection theirs(scratch_.filePath(QStringLiteral("theirs/user.key")));
    const auto blob = mine.protect(secureBufferOf("private"), QStringLiteral("d"), nullptr);
    QVERIFY(blob);
    QVERIFY(theirs.protect(secureBufferOf("theirs"), QStringLiteral("d"), nullptr));
    QVERIFY(!theirs.unprotect(*blob, nullptr));
    QVERIFY(mine.unprotect(*blob, nullptr));
}

void UserKeyFileProtectionTest::cleanupTestCase() {
    session_.stop();
}

QTEST_GUILESS_MAIN(UserKeyFileProtectionTest)
#include "tst_userkeyfileprotection.moc"
