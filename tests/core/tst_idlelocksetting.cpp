#include "core/IdleLockSetting.h"
#include "crypto/SecureBuffer.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/ProtectedFile.h"
#include "support/PlatformDoubles.h"
#include "support/TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace korvex;

class TestIdleLockSetting : public QObject {
    Q_OBJECT

    test::FakeSealedKeyStore tpm_;
    test::FakeUserDataProtection user_;
    QTemporaryDir dir_;

    QString path() const { return dir_.filePath(QStringLiteral("idlelock.dat")); }

    // Seals any JSON text under the file's own key, as a writer of another shape would.
    bool writeSealedJson(const QByteArray& json) {
        const crypto::SecureBuffer key =
            protect::LocalIntegrityKey::getOrCreateKey(path() + QStringLiteral(".key"));
        return test::writeFile(path(), protect::sealAuthenticated(json, key));
    }

private Q_SLOTS:
    void initTestCase() {
        tpm_.mode = test::FakeSealedKeyStore::Mode::NoProvider;
        protect::setLocalProtectionServices(&tpm_, &user_);
    }
    void cleanupTestCase() { protect::setLocalProtectionServices(nullptr, nullptr); }
    void init() {
        QFile::remove(path());
        QFile::remove(path() + QStringLiteral(".key"));
    }

    void storedValueIsReadBack_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<int>("minutes");
        QTest::newRow("zero turns it off") << QByteArray(R"({"timeoutMinutes":0})") << 0;
        QTest::newRow("ordinary") << QByteArray(R"({"timeoutMinutes":5})") << 5;
        QTest::newRow("upper bound") << QByteArray(R"({"timeoutMinutes":1440})") << 1440;
        QTest::newRow("above the bound") << QByteArray(R"({"timeoutMinutes":2000})") << 1440;
        QTest::newRow("huge") << QByteArray(R"({"timeoutMinutes":1e300})") << 1440;
        QTest::newRow("negative") << QByteArray(R"({"timeoutMinutes":-5})") << 0;
        QTest::newRow("string") << QByteArray(R"({"timeoutMinutes":"10"})") << 15;
        QTest::newRow("fraction") << QByteArray(R"({"timeoutMinutes":7.5})") << 15;
        QTest::newRow("missing key") << QByteArray(R"({"minutes":3})") << 15;
        QTest::newRow("not an object") << QByteArray(R"([3])") << 15;
        QTest::newRow("not JSON") << QByteArray("three") << 15;
    }
    void storedValueIsReadBack() {
        QFETCH(QByteArray, json);
        QFETCH(int, minutes);
        QVERIFY(writeSealedJson(json));
        QCOMPARE(core::loadIdleTimeoutMinutes(path()), minutes);
    }

    void damagedOrMissingFileMeansFifteen() {
        QCOMPARE(core::loadIdleTimeoutMinutes(path()), 15);
        QVERIFY(core::saveIdleTimeoutMinutes(path(), 3));
        QCOMPARE(core::loadIdleTimeoutMinutes(path()), 3);
        // One flipped byte in the document (the envelope carries it in clear) breaks the tag.
        const QByteArray file = test::readWholeFile(path());
        QVERIFY(test::flipByte(path(), file.indexOf('3')));
        QCOMPARE(core::loadIdleTimeoutMinutes(path()), 15);
        // A valid file whose key file is gone cannot be verified either.
        QVERIFY(core::saveIdleTimeoutMinutes(path(), 4));
        QVERIFY(QFile::remove(path() + QStringLiteral(".key")));
        QCOMPARE(core::loadIdleTimeoutMinutes(path()), 15);
    }

    void saveClampsAndWritesCompactObject() {
        QVERIFY(core::saveIdleTimeoutMinutes(path(), 5000));
        QCOMPARE(core::loadIdleTimeoutMinutes(path()), 1440);
        QVERIFY(core::saveIdleTimeoutMinutes(path(), -1));
        const protect::ProtectedReadResult read =
            protect::readProtectedFile(path(), protect::EnvelopeKind::Authenticated);
        QVERIFY(read.ok());
        QCOMPARE(read.object, QJsonObject({{QStringLiteral("timeoutMinutes"), 0}}));
    }

    void saveFailsWithoutAKeyAndKeepsTheOldFile() {
        QVERIFY(core::saveIdleTimeoutMinutes(path(), 7));
        user_.refuse = true;
        const bool saved = core::saveIdleTimeoutMinutes(path(), 9);
        user_.refuse = false;
        QVERIFY(!saved);
        QCOMPARE(core::loadIdleTimeoutMinutes(path()), 7);
    }

    void sourceSeesEveryChangeOnDisk() {
        core::IdleTimeoutSource source(path());
        QCOMPARE(source.minutes(), 15);
        QVERIFY(core::saveIdleTimeoutMinutes(path(), 3));
        QCOMPARE(source.minutes(), 3);
        QVERIFY(core::saveIdleTimeoutMinutes(path(), 4));
        QCOMPARE(source.minutes(), 4);
        // Damage in place, same size: the tag no longer verifies.
        const QByteArray file = test::readWholeFile(path());
        QVERIFY(test::flipByte(path(), file.indexOf('4')));
        QCOMPARE(source.minutes(), 15);
        QVERIFY(core::saveIdleTimeoutMinutes(path(), 6));
        QCOMPARE(source.minutes(), 6);
        QVERIFY(QFile::remove(path() + QStringLiteral(".key")));
        QCOMPARE(source.minutes(), 15);
    }

    void timerIntervalIsCapped() {
        QCOMPARE(core::idleTimeoutMilliseconds(1440), 86'400'000);
        QCOMPARE(core::idleTimeoutMilliseconds(1), 60'000);
        QCOMPARE(core::idleTimeoutMilliseconds(0), 0);
    }
};

QTEST_GUILESS_MAIN(TestIdleLockSetting)
#include "tst_idlelocksetting.moc"
