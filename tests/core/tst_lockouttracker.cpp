#include "core/LockoutTracker.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/ProtectedFile.h"
#include "support/ManualClock.h"
#include "support/PlatformDoubles.h"
#include "support/TestSupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonObject>
#include <QJsonValue>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace korvex;
using core::LockoutTracker;
using protect::EnvelopeKind;
using protect::LocalIntegrityKey;

namespace {

const QDateTime kStart(QDate(2026, 3, 1), QTime(9, 30), Qt::UTC);

QString sha256Hex(const QString& text) {
    return QString::fromLatin1(
        QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QDateTime parsed(const std::optional<QString>& text) {
    return text ? QDateTime::fromString(*text, Qt::ISODate) : QDateTime();
}

} // namespace

class TestLockoutTracker : public QObject {
    Q_OBJECT

private:
    test::FakeSealedKeyStore sealed_;
    test::FakeUserDataProtection user_;
    std::unique_ptr<QTemporaryDir> dir_;
    test::ManualClock clock_;
    std::shared_ptr<core::LockoutFloorStore> floor_;

    // The data folder and the floor live apart, as the data folder and the user's settings do.
    QString dataFile(const QString& name) const { return dir_->filePath("data/" + name); }
    QString lockoutPath() const { return dataFile(QStringLiteral("identity.dat.lockout")); }
    QString floorFile() const { return dir_->filePath(QStringLiteral("config/LockoutFloor.conf")); }
    QString bareName() const { return sha256Hex(lockoutPath()); }

    LockoutTracker tracker(const QString& path = QString()) {
        return LockoutTracker(path.isEmpty() ? lockoutPath() : path, clock_, floor_);
    }
    protect::ProtectedReadResult readLockout() const {
        return protect::readProtectedFile(lockoutPath(), EnvelopeKind::Authenticated);
    }
    int storedCount() const {
        const protect::ProtectedReadResult read = readLockout();
        return read.ok() ? read.object.value(QStringLiteral("failedCount")).toInt(-1) : -1;
    }
    static void fail(LockoutTracker& tracker, int times) {
        for (int i = 0; i < times; ++i)
            QVERIFY(tracker.recordFailedAttempt());
    }

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void cooldownSchedule_data();
    void cooldownSchedule();
    void countdownReachesZeroAtCooldownEnd();
    void clockSetBackDoesNotLengthenOrShortenCooldown();
    void damagedFileCostsAFailure_data();
    void damagedFileCostsAFailure();
    void olderCopyDoesNotLowerTheCount_data();
    void olderCopyDoesNotLowerTheCount();
    void resetRemovesSaltedAndBareFloor();
    void storedCountIsClamped_data();
    void storedCountIsClamped();
    void unwritableFileKeepsTheCount_data();
    void unwritableFileKeepsTheCount();
    void unusableKeyFileIgnoresTheFileButNotTheFloor_data();
    void unusableKeyFileIgnoresTheFileButNotTheFloor();
    void outlandishFloorValuesAreBounded();
    void floorCountMustBeUnsignedInteger_data();
    void floorCountMustBeUnsignedInteger();
    void floorWriteFailuresAreReportedAndIgnored();
};

void TestLockoutTracker::initTestCase() {
    protect::setLocalProtectionServices(&sealed_, &user_);
}

void TestLockoutTracker::init() {
    sealed_.mode = test::FakeSealedKeyStore::Mode::NoProvider;
    sealed_.reset();
    LocalIntegrityKey::clearRootCache();
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    clock_.set(kStart);
    floor_ = core::createSettingsFloorStore(floorFile());
}

void TestLockoutTracker::cleanupTestCase() {
    LocalIntegrityKey::clearRootCache();
    protect::setLocalProtectionServices(nullptr, nullptr);
}

void TestLockoutTracker::cooldownSchedule_data() {
    QTest::addColumn<int>("failures");
    QTest::addColumn<int>("seconds");
    for (int n = 0; n <= 5; ++n)
        QTest::addRow("%d failures are free", n) << n << 0;
    QTest::newRow("6th") << 6 << 2;
    QTest::newRow("7th") << 7 << 4;
    QTest::newRow("8th") << 8 << 8;
    QTest::newRow("9th") << 9 << 16;
    QTest::newRow("10th") << 10 << 32;
    QTest::newRow("11th") << 11 << 60;
    QTest::newRow("12th") << 12 << 60;
    // The exponent stops growing long before the shift could overflow.
    QTest::newRow("36th") << 36 << 60;
    QTest::newRow("ceiling") << 1000000 << 60;
}

void TestLockoutTracker::cooldownSchedule() {
    QFETCH(int, failures);
    QFETCH(int, seconds);
    QCOMPARE(LockoutTracker::cooldownSeconds(failures), seconds);
    if (failures > 12)
        return;
    auto lockout = tracker();
    fail(lockout, failures);
    QCOMPARE(lockout.lockoutSecondsRemaining(), seconds);
    const std::optional<quint32> floorCount =
        failures > 0 ? std::optional<quint32>(failures) : std::nullopt;
    QCOMPARE(floor_->readCount(bareName()), floorCount);
    const QDateTime until = parsed(floor_->readText(bareName() + "_until"));
    QCOMPARE(until, seconds > 0 ? kStart.addSecs(seconds) : QDateTime());
}

void TestLockoutTracker::countdownReachesZeroAtCooldownEnd() {
    auto lockout = tracker();
    fail(lockout, 8);
    QCOMPARE(lockout.lockoutSecondsRemaining(), 8);
    for (int elapsed = 1; elapsed <= 8; ++elapsed) {
        clock_.advance(1);
        QCOMPARE(lockout.lockoutSecondsRemaining(), 8 - elapsed);
        // A restart reads the same countdown from the file.
        QCOMPARE(tracker().lockoutSecondsRemaining(), 8 - elapsed);
    }
    clock_.advance(3600);
    QCOMPARE(lockout.lockoutSecondsRemaining(), 0);
    // The count outlives its cooldown: the next failure starts the next step.
    QVERIFY(lockout.recordFailedAttempt());
    QCOMPARE(lockout.lockoutSecondsRemaining(), 16);
}

void TestLockoutTracker::clockSetBackDoesNotLengthenOrShortenCooldown() {
    auto lockout = tracker();
    fail(lockout, 11);
    QCOMPARE(lockout.lockoutSecondsRemaining(), 60);

    clock_.advance(-3600);
    QCOMPARE(lockout.lockoutSecondsRemaining(), 60);
    QCOMPARE(tracker().lockoutSecondsRemaining(), 60);

    // The next failure counts from lastSeen, not from the earlier clock.
    auto restarted = tracker();
    QVERIFY(restarted.recordFailedAttempt());
    const QJsonObject stored = readLockout().object;
    QCOMPARE(stored.value("failedCount").toInt(), 12);
    QCOMPARE(QDateTime::fromString(stored.value("lastSeen").toString(), Qt::ISODate), kStart);
    QCOMPARE(QDateTime::fromString(stored.value("cooldownUntil").toString(), Qt::ISODate),
             kStart.addSecs(60));
    QCOMPARE(restarted.lockoutSecondsRemaining(), 60);

    // Once the clock is right again it runs down from there.
    clock_.set(kStart.addSecs(45));
    QCOMPARE(restarted.lockoutSecondsRemaining(), 15);
}

void TestLockoutTracker::damagedFileCostsAFailure_data() {
    QTest::addColumn<QString>("damage");
    QTest::newRow("deleted, key file left") << "delete";
    QTest::newRow("one byte changed") << "flip";
    QTest::newRow("verified but not an object") << "array";
}

void TestLockoutTracker::damagedFileCostsAFailure() {
    QFETCH(QString, damage);
    auto lockout = tracker();
    fail(lockout, 2);
    clock_.advance(100);
    const QDateTime now = kStart.addSecs(100);

    if (damage == "delete") {
        QVERIFY(QFile::remove(lockoutPath()));
    } else if (damage == "flip") {
        QVERIFY(test::flipByte(lockoutPath(), 45));
    } else {
        const crypto::SecureBuffer key = LocalIntegrityKey::loadKey(lockoutPath() + ".key");
        QVERIFY(test::writeFile(lockoutPath(), protect::sealAuthenticated("[2]", key)));
    }
    QVERIFY(QFile::exists(lockoutPath() + ".key"));

    // The next check charges it, and a restart reads the charge back from the new file.
    QCOMPARE(lockout.lockoutSecondsRemaining(), 2);
    QCOMPARE(tracker().lockoutSecondsRemaining(), 2);
    const protect::ProtectedReadResult rewritten = readLockout();
    QVERIFY(rewritten.ok());
    QCOMPARE(rewritten.object.value("failedCount").toInt(), 6);
    QCOMPARE(QDateTime::fromString(rewritten.object.value("lastSeen").toString(), Qt::ISODate),
             now);
    QCOMPARE(QDateTime::fromString(rewritten.object.value("cooldownUntil").toString(), Qt::ISODate),
             now.addSecs(2));

    // Charged once: the rewritten file is trusted again.
    clock_.advance(2);
    QCOMPARE(lockout.lockoutSecondsRemaining(), 0);
    QVERIFY(lockout.recordFailedAttempt());
    QCOMPARE(lockout.lockoutSecondsRemaining(), 4);
}

void TestLockoutTracker::olderCopyDoesNotLowerTheCount_data() {
    QTest::addColumn<bool>("untilKept");
    QTest::addColumn<int>("remaining");
    QTest::newRow("floor keeps its cooldown end") << true << 5;
    QTest::newRow("floor lost its cooldown end") << false << 8;
}

void TestLockoutTracker::olderCopyDoesNotLowerTheCount() {
    QFETCH(bool, untilKept);
    QFETCH(int, remaining);
    auto lockout = tracker();
    fail(lockout, 3);
    const QByteArray olderCopy = test::readWholeFile(lockoutPath());
    fail(lockout, 5);
    clock_.advance(3);
    if (!untilKept)
        QVERIFY(floor_->remove(bareName() + "_until"));

    QVERIFY(test::writeFile(lockoutPath(), olderCopy));
    QCOMPARE(storedCount(), 3);
    auto restarted = tracker();
    QCOMPARE(restarted.lockoutSecondsRemaining(), remaining);
    // A cooldown end the floor had lost is made from now and written back.
    QCOMPARE(parsed(floor_->readText(bareName() + "_until")),
             untilKept ? kStart.addSecs(8) : kStart.addSecs(3 + 8));

    QVERIFY(restarted.recordFailedAttempt());
    QCOMPARE(storedCount(), 9);
    QCOMPARE(floor_->readCount(bareName()), std::optional<quint32>(9));
    QCOMPARE(restarted.lockoutSecondsRemaining(), 16);
}

void TestLockoutTracker::resetRemovesSaltedAndBareFloor() {
    auto lockout = tracker();
    // Failures before the account existed go under the bare path digest.
    fail(lockout, 6);
    const QString keySalt = QStringLiteral("q83vEjRWeJAs8fLz9PX29w==");
    QVERIFY(protect::writeProtectedFile(dataFile("identity.dat"),
                                        QJsonObject{{"username", "ada"}, {"keySalt", keySalt}},
                                        EnvelopeKind::Authenticated));
    fail(lockout, 1);

    const QString salted = bareName() + "_" + sha256Hex(keySalt).left(16);
    QCOMPARE(floor_->readCount(salted), std::optional<quint32>(7));
    QCOMPARE(floor_->readCount(bareName()), std::optional<quint32>(6));
    QVERIFY(parsed(floor_->readText(salted + "_until")).isValid());
    QVERIFY(parsed(floor_->readText(bareName() + "_until")).isValid());

    lockout.resetFailedAttempts();
    for (const QString& name : {salted, bareName()}) {
        QVERIFY(!floor_->readCount(name));
        QVERIFY(!floor_->readText(name + "_until"));
    }
    QCOMPARE(storedCount(), 0);
    QCOMPARE(lockout.lockoutSecondsRemaining(), 0);

    // Nothing comes back after a restart: five more failures are free again.
    auto restarted = tracker();
    fail(restarted, 5);
    QCOMPARE(restarted.lockoutSecondsRemaining(), 0);
}

void TestLockoutTracker::storedCountIsClamped_data() {
    QTest::addColumn<QJsonValue>("stored");
    QTest::addColumn<int>("countAfterFailure");
    QTest::addColumn<int>("remaining");
    QTest::newRow("just above the ceiling") << QJsonValue(1000001) << 1000001 << 60;
    QTest::newRow("far above the ceiling") << QJsonValue(4e12) << 1000001 << 60;
    QTest::newRow("negative") << QJsonValue(-4) << 1 << 0;
    QTest::newRow("text") << QJsonValue("9") << 1 << 0;
    QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << 1 << 0;
}

void TestLockoutTracker::storedCountIsClamped() {
    QFETCH(QJsonValue, stored);
    QFETCH(int, countAfterFailure);
    QFETCH(int, remaining);
    QJsonObject object{{"cooldownUntil", ""}, {"lastSeen", ""}};
    object.insert("failedCount", stored);
    QVERIFY(protect::writeProtectedFile(lockoutPath(), object, EnvelopeKind::Authenticated));

    auto lockout = tracker();
    QVERIFY(lockout.recordFailedAttempt());
    QCOMPARE(storedCount(), countAfterFailure);
    QCOMPARE(lockout.lockoutSecondsRemaining(), remaining);
}

void TestLockoutTracker::unwritableFileKeepsTheCount_data() {
    QTest::addColumn<bool>("blockFolder");
    // The key file can be made beside it, so from then on the file looks deleted.
    QTest::newRow("a folder stands at the file's path") << false;
    // Neither the file nor its key file can be made.
    QTest::newRow("a file stands at the folder's path") << true;
}

void TestLockoutTracker::unwritableFileKeepsTheCount() {
    QFETCH(bool, blockFolder);
    const QString path =
        blockFolder ? dir_->filePath("blocked/identity.dat.lockout") : lockoutPath();
    if (blockFolder)
        QVERIFY(test::writeFile(dir_->filePath("blocked"), "not a folder"));
    else
        QVERIFY(QDir().mkpath(path));
    const QString name = sha256Hex(path);

    auto lockout = tracker(path);
    for (int i = 0; i < 6; ++i)
        QVERIFY(!lockout.recordFailedAttempt());
    QCOMPARE(lockout.lockoutSecondsRemaining(), 2);
    QCOMPARE(floor_->readCount(name), std::optional<quint32>(6));

    // The cooldown ends; a file that cannot be saved does not restart it at every check.
    clock_.advance(2);
    QCOMPARE(lockout.lockoutSecondsRemaining(), 0);
    QVERIFY(!lockout.recordFailedAttempt());
    QCOMPARE(lockout.lockoutSecondsRemaining(), 4);
    QCOMPARE(floor_->readCount(name), std::optional<quint32>(7));

    // After a restart the floor still carries the count, and the cooldown still ends.
    auto restarted = tracker(path);
    QCOMPARE(restarted.lockoutSecondsRemaining(), 4);
    clock_.advance(4);
    QCOMPARE(restarted.lockoutSecondsRemaining(), 0);
    QCOMPARE(restarted.lockoutSecondsRemaining(), 0);
    QVERIFY(!restarted.recordFailedAttempt());
    QCOMPARE(restarted.lockoutSecondsRemaining(), 8);
}

void TestLockoutTracker::unusableKeyFileIgnoresTheFileButNotTheFloor_data() {
    QTest::addColumn<bool>("tpm");
    QTest::newRow("key file of the retired format") << false;
    QTest::newRow("TPM-sealed key whose root is gone") << true;
}

void TestLockoutTracker::unusableKeyFileIgnoresTheFileButNotTheFloor() {
    QFETCH(bool, tpm);
    if (tpm)
        sealed_.mode = test::FakeSealedKeyStore::Mode::Works;
    auto lockout = tracker();
    fail(lockout, 8);
    const QString keyFile = lockoutPath() + ".key";
    if (tpm) {
        QVERIFY(LocalIntegrityKey::isTpmProtected(keyFile));
        sealed_.reset();
        LocalIntegrityKey::clearRootCache();
        QVERIFY(LocalIntegrityKey::isHardwareKeyLost(keyFile));
    } else {
        QVERIFY(test::writeFile(keyFile, QByteArray("KVXTPMK1") + QByteArray(256, 'r')));
        QVERIFY(LocalIntegrityKey::isOlderKeyFile(keyFile));
    }
    const QByteArray file = test::readWholeFile(lockoutPath());

    // The file neither counts nor is taken for tampering: with a floor of its own, a new
    // tracker starts from what it caches itself.
    LockoutTracker elsewhere(lockoutPath(), clock_,
                             core::createSettingsFloorStore(dir_->filePath("other.conf")));
    QCOMPARE(elsewhere.lockoutSecondsRemaining(), 0);
    QVERIFY(!elsewhere.recordFailedAttempt());
    QCOMPARE(test::readWholeFile(lockoutPath()), file);
    for (int i = 0; i < 4; ++i)
        QVERIFY(!elsewhere.recordFailedAttempt());
    QCOMPARE(elsewhere.lockoutSecondsRemaining(), 0);
    QVERIFY(!elsewhere.recordFailedAttempt());
    QCOMPARE(elsewhere.lockoutSecondsRemaining(), 2);

    // The writing process keeps its own count.
    QCOMPARE(lockout.lockoutSecondsRemaining(), 8);
    // The floor does not depend on the file's key: a planted key file must not wipe it.
    auto restarted = tracker();
    QCOMPARE(restarted.lockoutSecondsRemaining(), 8);
    QVERIFY(!restarted.recordFailedAttempt());
    QCOMPARE(floor_->readCount(bareName()), std::optional<quint32>(9));
    QCOMPARE(restarted.lockoutSecondsRemaining(), 16);
}

void TestLockoutTracker::outlandishFloorValuesAreBounded() {
    QVERIFY(floor_->writeCount(bareName(), 4294967295u));
    QVERIFY(floor_->writeText(bareName() + "_until", "9999-12-31T23:59:59Z"));
    auto lockout = tracker();
    // The count is held to the ceiling, and no cooldown outlasts its step.
    QCOMPARE(lockout.lockoutSecondsRemaining(), 60);
    QVERIFY(lockout.recordFailedAttempt());
    QCOMPARE(storedCount(), 1000001);
    QCOMPARE(lockout.lockoutSecondsRemaining(), 60);
    clock_.advance(60);
    QCOMPARE(lockout.lockoutSecondsRemaining(), 0);
}

void TestLockoutTracker::floorCountMustBeUnsignedInteger_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("found");
    QTest::addColumn<quint32>("count");
    QTest::newRow("number") << "12" << true << 12u;
    QTest::newRow("zero") << "0" << true << 0u;
    QTest::newRow("largest") << "4294967295" << true << 4294967295u;
    QTest::newRow("too large") << "4294967296" << false << 0u;
    QTest::newRow("negative") << "-1" << false << 0u;
    QTest::newRow("trailing junk") << "12abc" << false << 0u;
    QTest::newRow("words") << "twelve" << false << 0u;
    QTest::newRow("empty") << "" << false << 0u;
}

void TestLockoutTracker::floorCountMustBeUnsignedInteger() {
    QFETCH(QString, text);
    QFETCH(bool, found);
    QFETCH(quint32, count);
    {
        QSettings settings(floorFile(), QSettings::IniFormat);
        settings.setValue(bareName(), text);
        settings.sync();
        QCOMPARE(settings.status(), QSettings::NoError);
    }
    QCOMPARE(floor_->readCount(bareName()), found ? std::optional(count) : std::nullopt);
    QVERIFY(!floor_->readCount(bareName() + "_absent"));
}

void TestLockoutTracker::floorWriteFailuresAreReportedAndIgnored() {
    const QString blocked = dir_->filePath(QStringLiteral("blocked.conf"));
    QVERIFY(QDir().mkpath(blocked));
    floor_ = core::createSettingsFloorStore(blocked);
    QVERIFY(!floor_->writeCount(bareName(), 1));
    QVERIFY(!floor_->writeText(bareName() + "_until", "2026-03-01T09:30:00Z"));

    // The file is what the result reports; the floor's errors are silent.
    auto lockout = tracker();
    fail(lockout, 6);
    QCOMPARE(storedCount(), 6);
    QCOMPARE(tracker().lockoutSecondsRemaining(), 2);
}

QTEST_GUILESS_MAIN(TestLockoutTracker)
#include "tst_lockouttracker.moc"
