#include "core/StorageConfigFile.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/ProtectedFile.h"
#include "protect/RollbackGuard.h"
#include "support/PlatformDoubles.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <functional>
#include <linux/fs.h>
#include <memory>
#include <optional>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace korvex;
using core::ContainerSettings;
using core::RawDiskClaim;
using core::StorageBackend;
using core::StorageConfig;
using core::StorageConfigFile;

namespace {

const QString kMachine = QStringLiteral("machine-1");

enum class Damage {
    FlipCiphertextByte,
    FlipMagicByte,
    DropLastByte,
    TruncateToHeader,
    Empty,
    RandomBytes,
    SealedNonJson,
    SealedBadDecimal,
    SealedRawDiskWithoutClaim,
    KeyFileMissing,
};

// Machine text, then the generation as 8 bytes little-endian: built here independently of the
// code under test, so a wrong byte order or a missing part shows up as a failed load.
crypto::Bytes bindingOf(const QString& machine, quint64 generation) {
    const QByteArray text = machine.toUtf8();
    crypto::Bytes data(text.cbegin(), text.cend());
    for (int i = 0; i < 8; ++i)
        data.push_back(std::uint8_t(generation >> (8 * i)));
    return data;
}

// Seals any plaintext the way storage.dat is sealed, under the file's own key.
bool writeSealed(const QString& path, const QByteArray& plaintext, quint64 generation,
                 const QString& machine = kMachine) {
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    const crypto::SecureBuffer key =
        protect::LocalIntegrityKey::getOrCreateKey(path + QStringLiteral(".key"));
    const QByteArray sealed =
        protect::sealEncrypted(plaintext, key, bindingOf(machine, generation));
    return !sealed.isEmpty() && test::writeFile(path, sealed);
}

// Values beyond the signed 64-bit range and a hash whose Base64 needs "+" and "/".
RawDiskClaim sampleClaim() {
    RawDiskClaim claim;
    claim.diskNumber = 4000000000u;
    claim.claimedStartOffset = 0xFFFFFFFFFFFF0000ull;
    claim.claimedLength = quint64(1) << 40;
    claim.sectorSize = 4096;
    claim.diskSerialHash = QByteArray::fromHex("fbff3e00fe7f10ff");
    return claim;
}

ContainerSettings sampleContainer() {
    ContainerSettings settings;
    settings.overrideDirectory = QStringLiteral("/srv/vaults");
    settings.overrideFileName = QStringLiteral("mine.kvxs");
    settings.hidden = true;
    settings.deleteRestricted = true;
    settings.pendingMigrateFromPath = QStringLiteral("/home/u/.local/share/Zelvora/vault.kvxs");
    settings.pendingMigrateAttempts = 2;
    return settings;
}

bool sameClaim(const RawDiskClaim& a, const RawDiskClaim& b) {
    return a.diskNumber == b.diskNumber && a.claimedStartOffset == b.claimedStartOffset &&
           a.claimedLength == b.claimedLength && a.sectorSize == b.sectorSize &&
           a.diskSerialHash == b.diskSerialHash;
}

bool sameContainer(const ContainerSettings& a, const ContainerSettings& b) {
    return a.overrideDirectory == b.overrideDirectory && a.overrideFileName == b.overrideFileName &&
           a.hidden == b.hidden && a.deleteRestricted == b.deleteRestricted &&
           a.pendingMigrateFromPath == b.pendingMigrateFromPath &&
           a.pendingMigrateAttempts == b.pendingMigrateAttempts;
}

// Marks a file immutable for as long as it lives: nothing can replace it, not even a user whom
// file permissions do not stop.
class ImmutableFile {
public:
    explicit ImmutableFile(const QString& path) : path_(path) { active_ = setFlag(true); }
    ~ImmutableFile() {
        if (active_)
            setFlag(false);
    }
    bool active() const { return active_; }

private:
    bool setFlag(bool on) const {
        const int fd = ::open(QFile::encodeName(path_).constData(), O_RDONLY);
        if (fd < 0)
            return false;
        int flags = 0;
        bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (ok) {
            flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
            ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
        return ok;
    }

    QString path_;
    bool active_ = false;
};

} // namespace

Q_DECLARE_METATYPE(Damage)

class StorageConfigFileTest : public QObject {
    Q_OBJECT

private:
    test::FakeSealedKeyStore tpm_;
    test::FakeUserDataProtection user_;
    std::unique_ptr<QTemporaryDir> dir_;
    QString data_; // the data folder, not created in advance
    QString path_;

    StorageConfigFile handle(quint64 generation = 5, const QString& machine = kMachine) const {
        return StorageConfigFile(path_, machine, generation);
    }

private Q_SLOTS:
    void initTestCase() {
        tpm_.mode = test::FakeSealedKeyStore::Mode::NoProvider;
        protect::setLocalProtectionServices(&tpm_, &user_);
    }
    void cleanupTestCase() { protect::setLocalProtectionServices(nullptr, nullptr); }
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        data_ = dir_->filePath(QStringLiteral("Zelvora"));
        path_ = data_ + QStringLiteral("/storage.dat");
    }

    void withoutAFileEverythingIsDefault() {
        StorageConfigFile file = handle();
        StorageConfig config;
        QVERIFY(!file.load(&config));
        QVERIFY(!file.isUnreadable());
        QCOMPARE(file.backend(), StorageBackend::Container);
        QVERIFY(sameClaim(file.rawDiskClaim(), RawDiskClaim{}));
        QCOMPARE(file.rawDiskClaim().sectorSize, 512u);
        QVERIFY(sameContainer(file.containerSettings(), ContainerSettings{}));
        QCOMPARE(file.maxVaultSizeBytes(), 0);
        QCOMPARE(file.pendingDeletePath(), QString());
        QCOMPARE(file.pendingDeleteAttempts(), 0);
        QVERIFY(!file.pendingDeleteRawDisk());
        QCOMPARE(file.boundVaultId(), QString());
        QVERIFY(!file.boundVaultIdRecorded());
        QCOMPARE(file.resolveVaultPath(data_), data_ + QStringLiteral("/vault.kvxs"));
        // Reading never creates the file, its key or the folder.
        QVERIFY(!QFileInfo::exists(data_));

        // The first setter writes a new file from the defaults.
        QVERIFY(file.setMaxVaultSizeBytes(3 * 1048576));
        QVERIFY(file.load(&config));
        QCOMPARE(config.maxVaultSizeBytes, 3 * 1048576);
        QCOMPARE(config.rawDiskClaim.sectorSize, 512u);
        QCOMPARE(config.backend, StorageBackend::Container);
    }

    void everySetterRoundTrips() {
        StorageConfigFile writer = handle();
        QVERIFY(writer.setRawDiskClaim(sampleClaim()));
        QVERIFY(writer.setContainerSettings(sampleContainer()));
        QVERIFY(writer.setMaxVaultSizeBytes(Q_INT64_C(5) << 40));
        QVERIFY(writer.setPendingDeletePath(QStringLiteral("/srv/old/vault.kvxs")));
        QVERIFY(writer.setPendingDeleteAttempts(3));
        QVERIFY(writer.setPendingDeleteRawDisk(true));
        QVERIFY(writer.setBoundVaultId(QStringLiteral("1b4e28ba-2fa1-11d2-883f-0016d3cca427")));

        // A fresh handle reads everything back from the file alone.
        const StorageConfigFile reader = handle();
        StorageConfig config;
        QVERIFY(reader.load(&config));
        QCOMPARE(config.backend, StorageBackend::RawDisk);
        QCOMPARE(reader.backend(), StorageBackend::RawDisk);
        QVERIFY(sameClaim(reader.rawDiskClaim(), sampleClaim()));
        QVERIFY(sameContainer(reader.containerSettings(), sampleContainer()));
        QCOMPARE(reader.maxVaultSizeBytes(), Q_INT64_C(5) << 40);
        QCOMPARE(reader.pendingDeletePath(), QStringLiteral("/srv/old/vault.kvxs"));
        QCOMPARE(reader.pendingDeleteAttempts(), 3);
        QVERIFY(reader.pendingDeleteRawDisk());
        QCOMPARE(reader.boundVaultId(), QStringLiteral("1b4e28ba-2fa1-11d2-883f-0016d3cca427"));
        QVERIFY(reader.boundVaultIdRecorded());
        QCOMPARE(reader.resolveVaultPath(data_), QStringLiteral("/srv/vaults/mine.kvxs"));

        // Back to a container file: the claim returns to its defaults, nothing else moves.
        QVERIFY(writer.switchToContainer());
        QCOMPARE(reader.backend(), StorageBackend::Container);
        QVERIFY(sameClaim(reader.rawDiskClaim(), RawDiskClaim{}));
        QCOMPARE(reader.rawDiskClaim().sectorSize, 512u);
        QVERIFY(sameContainer(reader.containerSettings(), sampleContainer()));
        QCOMPARE(reader.maxVaultSizeBytes(), Q_INT64_C(5) << 40);
        QVERIFY(reader.pendingDeleteRawDisk());
        QVERIFY(reader.boundVaultIdRecorded());
    }

    void theFileIsEncryptedCompactJsonWithEveryKey() {
        StorageConfigFile file = handle(7);
        QVERIFY(file.setBoundVaultId(QStringLiteral("vault-id-in-clear?")));
        const QByteArray bytes = test::readWholeFile(path_);
        QVERIFY(bytes.startsWith("KVXSEJV1"));
        QVERIFY(!bytes.contains("vault-id-in-clear?"));

        const crypto::SecureBuffer key =
            protect::LocalIntegrityKey::loadKey(path_ + QStringLiteral(".key"));
        const std::optional<QByteArray> plain =
            protect::openEncrypted(bytes, key, bindingOf(kMachine, 7));
        QVERIFY(plain);
        QVERIFY(!plain->contains('\n'));
        const QJsonObject object = QJsonDocument::fromJson(*plain).object();
        QCOMPARE(object.keys(),
                 (QStringList{"backend", "boundVaultId", "boundVaultIdRecorded", "container",
                              "maxVaultSizeBytes", "pendingDeleteAttempts", "pendingDeletePath",
                              "pendingDeleteRawDisk", "rawDiskClaim"}));
        QCOMPARE(object.value("backend").toString(), QStringLiteral("container"));
        QCOMPARE(object.value("maxVaultSizeBytes").toString(), QStringLiteral("0"));
        QVERIFY(object.value("pendingDeleteAttempts").isDouble());
        QVERIFY(object.value("boundVaultIdRecorded").toBool());

        // The claim is written in full even for a container file; 64-bit values as text.
        const QJsonObject claim = object.value("rawDiskClaim").toObject();
        QCOMPARE(claim.keys(), (QStringList{"claimedLength", "claimedStartOffset", "diskNumber",
                                            "diskSerialHash", "sectorSize"}));
        QVERIFY(claim.value("diskNumber").isDouble());
        QCOMPARE(claim.value("claimedStartOffset").toString(), QStringLiteral("0"));
        QCOMPARE(claim.value("sectorSize").toString(), QStringLiteral("512"));
        QCOMPARE(claim.value("diskSerialHash").toString(), QString());

        const QJsonObject container = object.value("container").toObject();
        QCOMPARE(container.keys(),
                 (QStringList{"deleteRestricted", "hidden", "overrideDirectory", "overrideFileName",
                              "pendingMigrateAttempts", "pendingMigrateFromPath"}));
        QVERIFY(container.value("pendingMigrateAttempts").isDouble());
    }

    // Records as another writer (or an older version) might have left them.
    void handMadeRecords_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("loads");
        QTest::addColumn<bool>("rawDisk"); // what load fills, whatever its result
        QTest::addColumn<quint32>("sectorSize");
        QTest::addColumn<qint64>("maxVaultSizeBytes");

        QTest::newRow("empty object: a missing sectorSize is 0")
            << QByteArray("{}") << true << false << 0u << qint64(0);
        QTest::newRow("negative size limit")
            << QByteArray(R"({"maxVaultSizeBytes":"-3"})") << true << false << 0u << qint64(0);
        QTest::newRow("backend text is case-sensitive")
            << QByteArray(R"({"backend":"RawDisk","rawDiskClaim":{"sectorSize":"512"}})") << true
            << false << 512u << qint64(0);
        QTest::newRow("raw disk with an empty sectorSize")
            << QByteArray(R"({"backend":"rawdisk","rawDiskClaim":{"diskNumber":1,)"
                          R"("claimedStartOffset":"1048576","claimedLength":"1048576",)"
                          R"("sectorSize":"","diskSerialHash":""}})")
            << true << true << 0u << qint64(0);
        QTest::newRow("raw disk without a claim")
            << QByteArray(R"({"backend":"rawdisk","maxVaultSizeBytes":"4096"})") << false << true
            << 0u << qint64(4096);
        QTest::newRow("raw disk with an empty claim")
            << QByteArray(R"({"backend":"rawdisk","rawDiskClaim":{}})") << false << true << 0u
            << qint64(0);
        QTest::newRow("bad decimal still fills the rest")
            << QByteArray(R"({"backend":"rawdisk","rawDiskClaim":{"sectorSize":"512",)"
                          R"("claimedLength":"12x"},"maxVaultSizeBytes":"4096"})")
            << false << true << 512u << qint64(4096);
        QTest::newRow("negative unsigned offset")
            << QByteArray(R"({"rawDiskClaim":{"claimedStartOffset":"-1"}})") << false << false << 0u
            << qint64(0);
        QTest::newRow("sectorSize beyond 32 bits")
            << QByteArray(R"({"rawDiskClaim":{"sectorSize":"4294967296"}})") << false << false << 0u
            << qint64(0);
        QTest::newRow("size limit beyond 64 bits")
            << QByteArray(R"({"maxVaultSizeBytes":"9223372036854775808"})") << false << false << 0u
            << qint64(0);
        QTest::newRow("size limit as a JSON number")
            << QByteArray(R"({"maxVaultSizeBytes":4096})") << false << false << 0u << qint64(0);
        QTest::newRow("not JSON") << QByteArray("backend=container") << false << false << 512u
                                  << qint64(0);
        QTest::newRow("JSON array")
            << QByteArray(R"([{"backend":"container"}])") << false << false << 512u << qint64(0);
    }
    void handMadeRecords() {
        QFETCH(QByteArray, json);
        QFETCH(bool, loads);
        QFETCH(bool, rawDisk);
        QFETCH(quint32, sectorSize);
        QFETCH(qint64, maxVaultSizeBytes);

        QVERIFY(writeSealed(path_, json, 5));
        StorageConfigFile file = handle(5);
        StorageConfig config;
        QCOMPARE(file.load(&config), loads);
        QCOMPARE(file.isUnreadable(), !loads);
        QCOMPARE(config.backend == StorageBackend::RawDisk, rawDisk);
        QCOMPARE(config.rawDiskClaim.sectorSize, sectorSize);
        QCOMPARE(config.maxVaultSizeBytes, maxVaultSizeBytes);
        // The getters hand out what was filled, but never a raw-disk backend from a failed load.
        QCOMPARE(file.maxVaultSizeBytes(), maxVaultSizeBytes);
        QCOMPARE(file.backend() == StorageBackend::RawDisk, rawDisk && loads);
    }

    void containerOverrides_data() {
        QTest::addColumn<QString>("directory");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("resolved"); // "<data>" stands for the data folder

        const QString inData = QStringLiteral("<data>/vault.kvxs");
        QTest::newRow("no overrides") << QString() << QString() << true << inData;
        QTest::newRow("absolute folder")
            << "/srv/vaults" << QString() << true << QStringLiteral("/srv/vaults/vault.kvxs");
        QTest::newRow("trailing slash")
            << "/srv/vaults/" << QString() << true << QStringLiteral("/srv/vaults/vault.kvxs");
        QTest::newRow("root folder") << "/" << QString() << true << QStringLiteral("/vault.kvxs");
        QTest::newRow("two backslashes") << "\\\\server\\share" << QString() << false << inData;
        QTest::newRow("two slashes") << "//server/share" << QString() << false << inData;
        QTest::newRow("dot-dot component") << "/srv/.." << QString() << false << inData;
        QTest::newRow("dot-dot that cleaning removes")
            << "/srv/x/../vaults" << QString() << false << inData;
        QTest::newRow("relative folder") << "vaults/mine" << QString() << false << inData;
        QTest::newRow("name with a dot")
            << QString() << "my.vault" << true << QStringLiteral("<data>/my.vault");
        QTest::newRow("folder and name")
            << "/srv/vaults"
            << "my.vault" << true << QStringLiteral("/srv/vaults/my.vault");
        QTest::newRow("name with a slash") << QString() << "a/b.kvxs" << false << inData;
        QTest::newRow("name with a backslash") << QString() << "a\\b.kvxs" << false << inData;
        QTest::newRow("name is a dot") << QString() << "." << false << inData;
        QTest::newRow("name is two dots") << QString() << ".." << false << inData;
        // Each part is judged alone when the path is resolved.
        QTest::newRow("good folder, bad name")
            << "/srv/vaults"
            << ".." << false << QStringLiteral("/srv/vaults/vault.kvxs");
    }
    void containerOverrides() {
        QFETCH(QString, directory);
        QFETCH(QString, fileName);
        QFETCH(bool, accepted);
        QFETCH(QString, resolved);
        resolved.replace(QStringLiteral("<data>"), data_);

        QCOMPARE((directory.isEmpty() || StorageConfigFile::isValidOverrideDirectory(directory)) &&
                     (fileName.isEmpty() || StorageConfigFile::isValidOverrideFileName(fileName)),
                 accepted);

        StorageConfigFile file = handle();
        ContainerSettings previous;
        previous.overrideDirectory = QStringLiteral("/srv/previous");
        previous.hidden = true;
        QVERIFY(file.setContainerSettings(previous));
        const QByteArray before = test::readWholeFile(path_);

        ContainerSettings settings;
        settings.overrideDirectory = directory;
        settings.overrideFileName = fileName;
        QCOMPARE(file.setContainerSettings(settings), accepted);
        if (accepted) {
            QVERIFY(sameContainer(file.containerSettings(), settings));
        } else {
            QCOMPARE(test::readWholeFile(path_), before);
            QVERIFY(sameContainer(file.containerSettings(), previous));
        }

        // Whatever reached the file by other means, a refused part is ignored when resolving.
        StorageConfig config;
        config.container = settings;
        QVERIFY(file.save(config));
        QCOMPARE(file.resolveVaultPath(data_), resolved);
    }

    void theBindingFollowsTheGeneration() {
        // With no file yet, rebinding writes the defaults under the new binding.
        StorageConfigFile first = handle(4);
        QVERIFY(first.setBinding(kMachine, 5));
        QVERIFY(handle(4).isUnreadable());
        QVERIFY(first.setMaxVaultSizeBytes(4096));
        const QByteArray boundTo5 = test::readWholeFile(path_);

        // A handle on the next generation cannot read it, and changes nothing.
        StorageConfigFile next = handle(6);
        StorageConfig config;
        QVERIFY(!next.load(&config));
        QVERIFY(next.isUnreadable());
        QVERIFY(!next.setMaxVaultSizeBytes(1));
        QVERIFY(!next.setBinding(kMachine, 7)); // it cannot read the record it would re-save
        QCOMPARE(test::readWholeFile(path_), boundTo5);
        QVERIFY(handle(5, QStringLiteral("machine-2")).isUnreadable());

        // Rebinding reads under the old binding and saves the same record under the new one.
        QVERIFY(first.setBinding(kMachine, 6));
        QVERIFY(next.load(&config)); // still on 6 after its own failed rebinding
        QCOMPARE(config.maxVaultSizeBytes, 4096);
        QCOMPARE(first.maxVaultSizeBytes(), 4096);
        QVERIFY(handle(5).isUnreadable());
        QVERIFY(handle(6, QStringLiteral("machine-2")).isUnreadable());

        // An older copy put back fails under the current generation.
        QVERIFY(test::writeFile(path_, boundTo5));
        QVERIFY(first.isUnreadable());
        QVERIFY(!first.setBinding(kMachine, 7));
        QCOMPARE(test::readWholeFile(path_), boundTo5);
    }

    // storage.dat is bound to the rollback record's highest generation, and the two files can
    // only change one after the other. Whichever step a crash stops at, the next start reads
    // storage.dat (and rebinds it); once the rebinding is confirmed, a copy bound to the earlier
    // value is no longer accepted.
    void aCrashBetweenRecordAndBindingLeavesBothReadable_data() {
        QTest::addColumn<QString>("sequence");
        QTest::addColumn<int>("crashAfter");
        for (const QString& sequence : {QStringLiteral("advance"), QStringLiteral("deletion"),
                                        QStringLiteral("first vault")}) {
            const int steps = sequence == QLatin1String("deletion") ? 4 : 3;
            for (int k = 0; k <= steps; ++k)
                QTest::addRow("%s, after step %d", qPrintable(sequence), k) << sequence << k;
        }
    }
    void aCrashBetweenRecordAndBindingLeavesBothReadable() {
        QFETCH(QString, sequence);
        QFETCH(int, crashAfter);
        const QString record = data_ + QStringLiteral("/vault_generation.dat");
        // The session's handle, as start-up made it.
        std::optional<StorageConfigFile> storage;
        QList<std::function<bool()>> steps;
        if (sequence == QLatin1String("advance")) {
            // The main window's periodic step: the record advances, storage.dat follows.
            QVERIFY(protect::checkAndAdvance(record, QStringLiteral("v"), 3, true));
            storage.emplace(path_, kMachine, 3);
            steps = {
                [&] { return protect::checkAndAdvance(record, QStringLiteral("v"), 7, false); },
                [&] { return storage->setBinding(kMachine, 7); },
                [&] { return protect::confirmStorageBinding(record, 7); }};
        } else if (sequence == QLatin1String("deletion")) {
            // A completed vault deletion drops the vault's member, lowering the highest.
            QVERIFY(protect::checkAndAdvance(record, QStringLiteral("deleted"), 9, true));
            QVERIFY(protect::checkAndAdvance(record, QStringLiteral("other"), 4, true));
            storage.emplace(path_, kMachine, 9);
            steps = {[&] { return storage->setPendingDeletePath(QString()); },
                     [&] { return protect::removeVault(record, QStringLiteral("deleted")); },
                     [&] { return storage->setBinding(kMachine, 4); },
                     [&] { return protect::confirmStorageBinding(record, 4); }};
        } else {
            // storage.dat written before any vault existed, then the first vault is created.
            storage.emplace(path_, kMachine, 0);
            steps = {[&] { return protect::checkAndAdvance(record, QStringLiteral("v"), 1, true); },
                     [&] { return storage->setBinding(kMachine, 1); },
                     [&] { return protect::confirmStorageBinding(record, 1); }};
        }
        QVERIFY(storage->setMaxVaultSizeBytes(1234));
        const QByteArray before = test::readWholeFile(path_);
        const quint64 boundBefore = storage->bindingNumber();
        for (int k = 0; k < crashAfter; ++k)
            QVERIFY(steps[k]());

        // The next start.
        StorageConfigFile next = core::openStorageConfig(path_, kMachine, record);
        QVERIFY(!next.isUnreadable());
        QCOMPARE(next.maxVaultSizeBytes(), 1234);
        QCOMPARE(next.bindingNumber(), protect::highestGeneration(record));
        // Rebound and confirmed: a copy bound to what the record no longer holds is an older
        // copy, and refused.
        QVERIFY(test::writeFile(path_, before));
        QCOMPARE(core::openStorageConfig(path_, kMachine, record).isUnreadable(),
                 boundBefore != protect::highestGeneration(record));
    }

    void aFailedSaveChangesNothing() {
        // No key can be made: nothing at all is written.
        StorageConfigFile file = handle(5);
        user_.refuse = true;
        const bool savedWithoutKey = file.setMaxVaultSizeBytes(4096);
        user_.refuse = false;
        QVERIFY(!savedWithoutKey);
        QVERIFY(!QFileInfo::exists(path_));

        QVERIFY(file.setMaxVaultSizeBytes(4096));
        const QByteArray before = test::readWholeFile(path_);
        bool rebound = true;
        bool changed = true;
        {
            const ImmutableFile locked(path_);
            if (!locked.active())
                QSKIP("this file system or user cannot make a file immutable");
            changed = file.setPendingDeletePath(QStringLiteral("/srv/vaults/vault.kvxs"));
            rebound = file.setBinding(kMachine, 6);
        }
        QVERIFY(!changed);
        QVERIFY(!rebound);
        QCOMPARE(test::readWholeFile(path_), before);
        // The handle stays on the binding of the file that is still there.
        QVERIFY(!file.isUnreadable());
        QCOMPARE(file.maxVaultSizeBytes(), 4096);
        QVERIFY(file.setBinding(kMachine, 6));
        QCOMPARE(handle(6).maxVaultSizeBytes(), 4096);
    }

    void damagedFileIsNeverReplaced_data() {
        QTest::addColumn<Damage>("damage");
        QTest::newRow("ciphertext byte flipped") << Damage::FlipCiphertextByte;
        QTest::newRow("magic byte flipped") << Damage::FlipMagicByte;
        QTest::newRow("last byte cut off") << Damage::DropLastByte;
        QTest::newRow("cut to the header") << Damage::TruncateToHeader;
        QTest::newRow("empty") << Damage::Empty;
        QTest::newRow("random bytes") << Damage::RandomBytes;
        QTest::newRow("sealed non-JSON") << Damage::SealedNonJson;
        QTest::newRow("sealed bad decimal") << Damage::SealedBadDecimal;
        QTest::newRow("sealed raw disk without claim") << Damage::SealedRawDiskWithoutClaim;
        QTest::newRow("key file missing") << Damage::KeyFileMissing;
    }
    void damagedFileIsNeverReplaced() {
        QFETCH(Damage, damage);
        StorageConfigFile file = handle();
        QVERIFY(file.setRawDiskClaim(sampleClaim()));
        QVERIFY(file.setMaxVaultSizeBytes(4096));
        const QString keyPath = path_ + QStringLiteral(".key");
        const qint64 size = QFileInfo(path_).size();

        switch (damage) {
        case Damage::FlipCiphertextByte:
            QVERIFY(test::flipByte(path_, size / 2 + 16));
            break;
        case Damage::FlipMagicByte:
            QVERIFY(test::flipByte(path_, 3));
            break;
        case Damage::DropLastByte:
            QVERIFY(QFile::resize(path_, size - 1));
            break;
        case Damage::TruncateToHeader:
            QVERIFY(QFile::resize(path_, 32));
            break;
        case Damage::Empty:
            QVERIFY(QFile::resize(path_, 0));
            break;
        case Damage::RandomBytes: {
            QByteArray noise(int(size), 0);
            QRandomGenerator generator(20240611);
            generator.fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
            QVERIFY(test::writeFile(path_, noise));
            break;
        }
        case Damage::SealedNonJson:
            QVERIFY(writeSealed(path_, "backend=rawdisk", 5));
            break;
        case Damage::SealedBadDecimal:
            QVERIFY(writeSealed(path_, R"({"maxVaultSizeBytes":"4O96"})", 5));
            break;
        case Damage::SealedRawDiskWithoutClaim:
            QVERIFY(writeSealed(path_, R"({"backend":"rawdisk"})", 5));
            break;
        case Damage::KeyFileMissing:
            QVERIFY(QFile::remove(keyPath));
            break;
        }
        const QByteArray damaged = test::readWholeFile(path_);
        const bool keyExisted = QFileInfo::exists(keyPath);
        const QByteArray key = test::readWholeFile(keyPath);

        StorageConfig config;
        QVERIFY(!file.load(&config));
        QVERIFY(file.isUnreadable());
        QCOMPARE(file.backend(), StorageBackend::Container);

        ContainerSettings settings;
        settings.overrideDirectory = QStringLiteral("/srv/vaults");
        QVERIFY(!file.setRawDiskClaim(sampleClaim()));
        QVERIFY(!file.switchToContainer());
        QVERIFY(!file.setContainerSettings(settings));
        QVERIFY(!file.setMaxVaultSizeBytes(0));
        QVERIFY(!file.setPendingDeletePath(QStringLiteral("/srv/vaults/vault.kvxs")));
        QVERIFY(!file.setPendingDeleteAttempts(1));
        QVERIFY(!file.setPendingDeleteRawDisk(true));
        QVERIFY(!file.setBoundVaultId(QStringLiteral("another-vault")));
        QVERIFY(!file.setBinding(kMachine, 6));

        QCOMPARE(test::readWholeFile(path_), damaged);
        QCOMPARE(QFileInfo::exists(keyPath), keyExisted);
        QCOMPARE(test::readWholeFile(keyPath), key);
        QVERIFY(handle(6).isUnreadable());
    }

    void theEarlierAuthenticatedFormStillLoads() {
        const QJsonObject earlier{
            {"backend", "rawdisk"},
            {"rawDiskClaim", QJsonObject{{"diskNumber", 2},
                                         {"claimedStartOffset", "1048576"},
                                         {"claimedLength", "8388608"},
                                         {"sectorSize", "4096"},
                                         {"diskSerialHash", "q80="}}},
            {"maxVaultSizeBytes", "2048"},
            {"boundVaultId", "earlier-vault"},
            {"boundVaultIdRecorded", true},
        };
        QVERIFY(protect::writeProtectedFile(path_, earlier, protect::EnvelopeKind::Authenticated));

        // No binding in that form: any handle reads it.
        StorageConfigFile file = handle(9);
        QVERIFY(!file.isUnreadable());
        QCOMPARE(file.backend(), StorageBackend::RawDisk);
        const RawDiskClaim claim = file.rawDiskClaim();
        QCOMPARE(claim.diskNumber, 2u);
        QCOMPARE(claim.claimedLength, quint64(8388608));
        QCOMPARE(claim.sectorSize, 4096u);
        QCOMPARE(claim.diskSerialHash, QByteArray("\xab\xcd"));
        QCOMPARE(file.boundVaultId(), QStringLiteral("earlier-vault"));

        // The next change writes the current, bound form.
        QVERIFY(file.setPendingDeleteAttempts(1));
        QVERIFY(test::readWholeFile(path_).startsWith("KVXSEJV1"));
        QCOMPARE(file.maxVaultSizeBytes(), 2048);
        QCOMPARE(file.backend(), StorageBackend::RawDisk);
        QVERIFY(handle(8).isUnreadable());
    }
};

QTEST_GUILESS_MAIN(StorageConfigFileTest)
#include "tst_storageconfigfile.moc"
