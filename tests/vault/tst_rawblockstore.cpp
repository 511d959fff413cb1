#include "crypto/PlaintextBuffer.h"
#include "rawstore/PhysicalDisks.h"
#include "rawstore/PhysicalMedium.h"
#include "support/LoopDisk.h"
#include "support/TestSupport.h"
#include "vault/RawBlockStore.h"
#include "vault/VaultContainer.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace korvex;
using rawstore::DiskInfo;
using rawstore::FreeRegion;
using vault::ClaimMarker;
using vault::RawBlockStore;
using vault::RawDiskClaim;
using vault::RawStoreError;

namespace {

constexpr quint64 MiB = 1024 * 1024;
constexpr quint64 kDiskSize = 64 * MiB;
// Partitions at [1 MiB, 11 MiB) and [20 MiB, 30 MiB): a 9 MiB gap between them.
const char kTwoPartitions[] = "label: gpt\nstart=2048, size=20480\nstart=40960, size=20480\n";
constexpr quint64 kGapStart = 11 * MiB;
constexpr quint64 kGapLength = 9 * MiB;
const QString kMachine = QStringLiteral("machine-1");

QByteArray randomBytes(qsizetype length) {
    QByteArray bytes(length, '\0');
    for (char& byte : bytes)
        byte = char(QRandomGenerator::global()->generate());
    return bytes;
}

crypto::SecureBuffer keyOf(const QByteArray& bytes) {
    return test::secureBufferOf(bytes);
}

// Hands out a fixed key, or fails as told; counts how often it was asked.
struct KeySource {
    QByteArray key = randomBytes(32);
    vault::MarkerKeyFailure failure = vault::MarkerKeyFailure::None;
    int calls = 0;

    vault::MarkerKeyLoader loader() {
        return [this](vault::MarkerKeyFailure* why) {
            ++calls;
            if (why)
                *why = failure;
            return failure == vault::MarkerKeyFailure::None ? keyOf(key) : crypto::SecureBuffer();
        };
    }
};

QByteArray digestOf(const test::LoopDisk& disk, quint64 offset, quint64 length) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (quint64 done = 0; done < length;) {
        const quint64 step = std::min<quint64>(4 * MiB, length - done);
        hash.addData(disk.read(offset + done, qint64(step)));
        done += step;
    }
    return hash.result();
}

RawDiskClaim claimFor(const DiskInfo& disk, const FreeRegion& region) {
    return RawDiskClaim{disk.diskNumber, region.start, region.length, disk.sectorSize,
                        rawstore::diskIdentityHash(disk.serialNumber)};
}

} // namespace

class RawBlockStoreTest : public QObject {
    Q_OBJECT

    QTemporaryDir files_;
    std::unique_ptr<test::LoopDisk> disk_;
    DiskInfo info_;

    // A fresh loop disk with two partitions and a gap between them.
    bool freshDisk(const char* table = kTwoPartitions) {
        disk_ = std::make_unique<test::LoopDisk>();
        if (!disk_->create(kDiskSize, QString::fromLatin1(table))) {
            qWarning("%s", qPrintable(disk_->lastError()));
            return false;
        }
        const std::optional<DiskInfo> info = disk_->diskInfo();
        if (!info)
            return false;
        info_ = *info;
        return true;
    }

    QString sourceFile(const QString& name, const QByteArray& content) {
        const QString path = files_.filePath(name);
        return test::writeFile(path, content) ? path : QString();
    }

private slots:
    void init() {
        if (const QString why = test::LoopDisk::unavailable();
            !why.isEmpty() && QByteArray(QTest::currentTestFunction()) != "markerBytes")
            QSKIP(qPrintable(why));
    }

    void markerBytes() {
        const crypto::SecureBuffer key = keyOf(randomBytes(32));
        const ClaimMarker marker{1, 11 * MiB, 9 * MiB, randomBytes(32)};
        QByteArray sector(512, 'x');
        QVERIFY(RawBlockStore::buildClaimMarker(
            marker, key, reinterpret_cast<unsigned char*>(sector.data()), sector.size()));
        QCOMPARE(sector.mid(96), QByteArray(512 - 96, '\0'));
        QCOMPARE(sector.mid(8, 4), QByteArray::fromHex("01000000"));
        QCOMPARE(sector.mid(16, 8), QByteArray::fromHex("0000b00000000000")); // 11 MiB, LE

        const std::optional<ClaimMarker> parsed = RawBlockStore::parseClaimMarker(sector, key);
        QVERIFY(parsed);
        QCOMPARE(parsed->claimedStartOffset, marker.claimedStartOffset);
        QCOMPARE(parsed->claimedLength, marker.claimedLength);
        QCOMPARE(parsed->diskSerialHash, marker.diskSerialHash);

        // Nothing is recognised without the key, and nothing altered passes.
        QVERIFY(!RawBlockStore::parseClaimMarker(sector, keyOf(randomBytes(32))));
        for (int offset : {0, 8, 20, 40, 70}) {
            QByteArray altered = sector;
            altered[offset] = char(altered[offset] ^ 0x01);
            QVERIFY2(!RawBlockStore::parseClaimMarker(altered, key),
                     qPrintable(QString::number(offset)));
        }
        QVERIFY(!RawBlockStore::parseClaimMarker(randomBytes(512), key));
        QVERIFY(!RawBlockStore::parseClaimMarker(sector.left(95), key));
        QVERIFY(!RawBlockStore::parseClaimMarker(sector, crypto::SecureBuffer()));

        // Building refuses what it cannot write whole.
        unsigned char small[95];
        QVERIFY(!RawBlockStore::buildClaimMarker(marker, key, small, sizeof(small)));
        ClaimMarker shortHash = marker;
        shortHash.diskSerialHash.chop(1);
        QVERIFY(!RawBlockStore::buildClaimMarker(
            shortHash, key, reinterpret_cast<unsigned char*>(sector.data()), sector.size()));
        QVERIFY(!RawBlockStore::buildClaimMarker(marker, crypto::SecureBuffer(),
                                                 reinterpret_cast<unsigned char*>(sector.data()),
                                                 sector.size()));
    }

    void invalidSettingsTouchNoDisk_data() {
        QTest::addColumn<quint32>("diskNumber");
        QTest::addColumn<quint64>("start");
        QTest::addColumn<quint64>("length");
        QTest::addColumn<quint32>("sectorSize");
        QTest::newRow("disk 16") << 16u << kGapStart << kGapLength << 512u;
        QTest::newRow("length 0") << 0u << kGapStart << quint64(0) << 512u;
        QTest::newRow("sector size 0") << 0u << kGapStart << kGapLength << 0u;
        QTest::newRow("sector size 520") << 0u << kGapStart << kGapLength << 520u;
        QTest::newRow("sector smaller than the marker") << 0u << kGapStart << kGapLength << 64u;
        // The kernel's logical sectors are powers of two from 512 to 64 KiB; a larger one from
        // the settings file once made a release loop for ever.
        QTest::newRow("sector size 256") << 0u << kGapStart << kGapLength << 256u;
        QTest::newRow("sector size 128 KiB") << 0u << kGapStart << kGapLength << 131072u;
        QTest::newRow("sector size 2 MiB") << 0u << kGapStart << kGapLength << 2097152u;
        QTest::newRow("end overflows") << 0u << ~quint64(0) - 100 << quint64(4096) << 512u;
    }

    void invalidSettingsTouchNoDisk() {
        QFETCH(quint32, diskNumber);
        QFETCH(quint64, start);
        QFETCH(quint64, length);
        QFETCH(quint32, sectorSize);
        KeySource keys;
        RawBlockStore store(diskNumber, start, length, sectorSize, randomBytes(32), false,
                            keys.loader());
        QVERIFY(!store.open());
        QCOMPARE(store.lastError(), RawStoreError::InvalidSettings);
        QCOMPARE(store.errorString(),
                 QStringLiteral("This install's raw-disk vault settings look invalid."));
        QVERIFY(!store.create());
        QCOMPARE(keys.calls, 0);
        QCOMPARE(
            RawBlockStore::releaseClaim(
                RawDiskClaim{diskNumber, start, length, sectorSize, randomBytes(32)}, keys.loader())
                .outcome,
            vault::ReleaseOutcome::InvalidSettings);
        QCOMPARE(keys.calls, 0);
    }

    void aVaultLivesInTheClaimedRegion() {
        QVERIFY(freshDisk());
        const FreeRegion region{kGapStart, kGapLength};
        const QByteArray before = digestOf(*disk_, 0, kGapStart);
        const QByteArray after =
            digestOf(*disk_, kGapStart + kGapLength, kDiskSize - kGapStart - kGapLength);
        KeySource keys;
        QVERIFY(disk_->claim(region, keyOf(keys.key)));
        const RawDiskClaim claimed = claimFor(info_, region);

        const crypto::SecureBuffer vaultKey = keyOf(randomBytes(32));
        const QByteArray content = randomBytes(300000);
        {
            auto store = std::make_unique<RawBlockStore>(claimed, true, keys.loader());
            std::unique_ptr<vault::VaultContainer> vault =
                vault::VaultContainer::create(std::move(store), vaultKey, kMachine);
            QVERIFY(vault);
            QVERIFY(vault->importFile(sourceFile(QStringLiteral("a.bin"), content),
                                      QStringLiteral("a.bin")));
            QVERIFY(vault->importFile(sourceFile(QStringLiteral("b.txt"), "hello"),
                                      QStringLiteral("b.txt")));

            // The disk is held exclusively while the vault is open.
            RawBlockStore second(claimed, false, keys.loader());
            QVERIFY(!second.open());
            QCOMPARE(second.lastError(), RawStoreError::NotAdministrator);
        }
        {
            QString error;
            std::unique_ptr<vault::VaultContainer> vault = vault::VaultContainer::open(
                std::make_unique<RawBlockStore>(claimed, false, keys.loader()), vaultKey, kMachine,
                QString(), &error);
            QVERIFY2(vault, qPrintable(error));
            QCOMPARE(vault->listEntries().size(), 2);
            const std::optional<crypto::PlaintextBuffer> read =
                vault->readFile(QStringLiteral("a.bin"));
            QVERIFY(read);
            QCOMPARE(test::bytesOf(*read), content);
        }
        // The generation and identity read without the vault key, as recovery does.
        {
            RawBlockStore store(claimed, false, keys.loader());
            QVERIFY(store.open());
            QVERIFY(vault::VaultContainer::readHeaderGeneration(store).has_value());
            QVERIFY(!vault::VaultContainer::readVaultId(store).isEmpty());
        }
        // Not one byte outside the region changed.
        QCOMPARE(digestOf(*disk_, 0, kGapStart), before);
        QCOMPARE(digestOf(*disk_, kGapStart + kGapLength, kDiskSize - kGapStart - kGapLength),
                 after);
    }

    void writesAreWholeSectors() {
        QVERIFY(freshDisk());
        const FreeRegion region{kGapStart, 4 * MiB};
        KeySource keys;
        QVERIFY(disk_->claim(region, keyOf(keys.key)));
        const QByteArray pattern = randomBytes(2048);
        QVERIFY(disk_->write(kGapStart + 512, pattern));

        RawBlockStore store(claimFor(info_, region), false, keys.loader());
        QVERIFY(store.open());
        QCOMPARE(store.size(), qint64(4 * MiB - 512));
        QVERIFY(store.writeAt(5, "0123456789", 10));
        QByteArray expected = pattern;
        expected.replace(5, 10, "0123456789");
        QCOMPARE(disk_->read(kGapStart + 512, 2048), expected);
        char back[10];
        QVERIFY(store.readAt(5, back, 10));
        QCOMPARE(QByteArray(back, 10), QByteArray("0123456789"));
        // Across a sector boundary.
        QVERIFY(store.writeAt(510, "abcd", 4));
        expected.replace(510, 4, "abcd");
        QCOMPARE(disk_->read(kGapStart + 512, 2048), expected);

        QVERIFY(store.resize(qint64(4 * MiB - 512)));
        QVERIFY(!store.resize(qint64(4 * MiB - 511)));
        QVERIFY(!store.resize(-1));
        // Nothing past the region's end, nothing negative.
        QVERIFY(!store.readAt(qint64(4 * MiB - 512) - 4, back, 10));
        QVERIFY(!store.writeAt(qint64(4 * MiB - 512) - 4, back, 10));
        QVERIFY(!store.readAt(-1, back, 1));
        QVERIFY(!store.remove());
    }

    void openRefusesWhatIsNotThisClaim() {
        QVERIFY(freshDisk());
        const FreeRegion region{kGapStart, kGapLength};
        KeySource keys;
        QVERIFY(disk_->claim(region, keyOf(keys.key)));
        const RawDiskClaim claimed = claimFor(info_, region);
        const QByteArray marker = disk_->read(kGapStart, 512);

        const auto openError = [&](const RawDiskClaim& c, KeySource& source) {
            RawBlockStore store(c, false, source.loader());
            return store.open() ? RawStoreError::None : store.lastError();
        };
        QCOMPARE(openError(claimed, keys), RawStoreError::None);

        // Another installation's key: not even recognised.
        KeySource other;
        QCOMPARE(openError(claimed, other), RawStoreError::MarkerMismatch);
        // The key cannot be had.
        KeySource cancelled;
        cancelled.failure = vault::MarkerKeyFailure::PromptCancelled;
        QCOMPARE(openError(claimed, cancelled), RawStoreError::KeyPromptCancelled);
        KeySource unavailable;
        unavailable.failure = vault::MarkerKeyFailure::Unavailable;
        QCOMPARE(openError(claimed, unavailable), RawStoreError::KeyUnavailable);
        // A region other than the one the marker names.
        RawDiskClaim shorter = claimed;
        shorter.claimedLength -= 512;
        QCOMPARE(openError(shorter, keys), RawStoreError::MarkerMismatch);
        // A configuration naming another disk identity: no such disk.
        RawDiskClaim otherIdentity = claimed;
        otherIdentity.diskSerialHash = randomBytes(32);
        QCOMPARE(openError(otherIdentity, keys), RawStoreError::DiskNotFound);
        // A marker sector of random bytes.
        QVERIFY(disk_->write(kGapStart, randomBytes(512)));
        QCOMPARE(openError(claimed, keys), RawStoreError::MarkerMismatch);
        QVERIFY(disk_->write(kGapStart, marker));
        QCOMPARE(openError(claimed, keys), RawStoreError::None);

        // A partition created over part of the region.
        QVERIFY2(disk_->repartition(QStringLiteral("label: gpt\nstart=2048, size=20480\n"
                                                   "start=30720, size=30720\n")),
                 qPrintable(disk_->lastError()));
        QCOMPARE(openError(claimed, keys), RawStoreError::LayoutChanged);
    }

    void aCopyOnAnotherDiskIsNotTheClaim() {
        QVERIFY(freshDisk());
        const FreeRegion region{kGapStart, kGapLength};
        KeySource keys;
        QVERIFY(disk_->claim(region, keyOf(keys.key)));
        const RawDiskClaim claimed = claimFor(info_, region);

        test::LoopDisk copy;
        QVERIFY2(copy.createCopyOf(*disk_), qPrintable(copy.lastError()));
        QVERIFY(disk_->detach());
        const std::optional<DiskInfo> copyInfo = copy.diskInfo();
        QVERIFY(copyInfo);
        // The claim's number now leads to the copy, whose identity differs: the claim's disk is
        // not there, whatever the copy holds.
        RawDiskClaim atCopy = claimed;
        atCopy.diskNumber = copyInfo->diskNumber;
        RawBlockStore store(atCopy, false, keys.loader());
        QVERIFY(!store.open());
        QCOMPARE(store.lastError(), RawStoreError::DiskNotFound);
        QCOMPARE(store.errorString(),
                 QStringLiteral("The disk that holds this vault cannot be found -- connect it and "
                                "start Zelvora again."));
        QCOMPARE(RawBlockStore::releaseClaim(atCopy, keys.loader()).outcome,
                 vault::ReleaseOutcome::DiskNotFound);
        // And with the original gone and no disk at its number, it is not found.
        RawDiskClaim nowhere = claimed;
        nowhere.diskNumber = rawstore::kMaxDisks - 1;
        RawBlockStore lost(nowhere, false, keys.loader());
        QVERIFY(!lost.open());
        QCOMPARE(lost.lastError(), RawStoreError::DiskNotFound);
    }

    void claimWritesOnlyAfterEveryCheck() {
        QVERIFY(freshDisk());
        KeySource keys;
        auto medium =
            std::make_shared<rawstore::PhysicalDiskMedium>(info_, info_.size, info_.sectorSize);
        QVERIFY(medium->open());
        const crypto::SecureBuffer key = keyOf(keys.key);
        // Over a partition, past the gap by one byte, validation only, a system disk.
        QCOMPARE(
            RawBlockStore::claimRegion(medium, info_, {kGapStart - 512, MiB}, false, false, key)
                .failure,
            vault::ClaimFailure::NotFree);
        QCOMPARE(RawBlockStore::claimRegion(medium, info_, {kGapStart, kGapLength + 1}, false,
                                            false, key)
                     .failure,
                 vault::ClaimFailure::NotFree);
        const RawBlockStore::ClaimResult validated =
            RawBlockStore::claimRegion(medium, info_, {kGapStart, kGapLength}, true, false, key);
        QVERIFY(validated.ok && validated.validateOnly && !validated.region);
        DiskInfo system = info_;
        system.isSystemDisk = true;
        QVERIFY(
            !RawBlockStore::claimRegion(medium, system, {kGapStart, kGapLength}, false, false, key)
                 .ok);
        QCOMPARE(disk_->read(kGapStart, 512), QByteArray(512, '\0'));
        // The unlocked system disk may be claimed, but a store never opens a region there.
        QVERIFY(
            RawBlockStore::claimRegion(medium, system, {kGapStart, kGapLength}, false, true, key)
                .ok);
        QVERIFY(RawBlockStore::parseClaimMarker(disk_->read(kGapStart, 512), key));
    }

    void releaseWipesTheRegionAndNothingElse() {
        QVERIFY(freshDisk());
        // A length that is not a whole number of sectors, so the last sector is shared with
        // bytes outside the claim.
        const FreeRegion region{kGapStart, 3 * MiB + 100};
        KeySource keys;
        QVERIFY(disk_->claim(region, keyOf(keys.key)));
        const RawDiskClaim claimed = claimFor(info_, region);
        const QByteArray outside = randomBytes(4096);
        QVERIFY(disk_->write(kGapStart + 3 * MiB, outside));
        {
            RawBlockStore store(claimed, false, keys.loader());
            QVERIFY(store.open());
            QVERIFY(store.writeAt(0, "vault bytes", 11));
        }
        const QByteArray beforeRegion = digestOf(*disk_, 0, kGapStart);
        const QByteArray pastRegion = disk_->read(kGapStart + 3 * MiB + 100, 4096 - 100);

        // Not under another key: nothing happens.
        KeySource other;
        QCOMPARE(RawBlockStore::releaseClaim(claimed, other.loader()).outcome,
                 vault::ReleaseOutcome::NotOurs);
        QVERIFY(RawBlockStore::parseClaimMarker(disk_->read(kGapStart, 512), keyOf(keys.key)));

        QCOMPARE(RawBlockStore::releaseClaim(claimed, keys.loader()).outcome,
                 vault::ReleaseOutcome::Released);
        QVERIFY(!RawBlockStore::parseClaimMarker(disk_->read(kGapStart, 512), keyOf(keys.key)));
        QVERIFY(!disk_->read(kGapStart, qint64(3 * MiB)).contains("vault bytes"));
        QCOMPARE(disk_->read(kGapStart + 3 * MiB + 100, 4096 - 100), pastRegion);
        QCOMPARE(digestOf(*disk_, 0, kGapStart), beforeRegion);
        // The space is free again and a store finds no claim there.
        RawBlockStore store(claimed, false, keys.loader());
        QVERIFY(!store.open());
        QCOMPARE(store.lastError(), RawStoreError::MarkerMismatch);
    }

    // A release cut short (here: killed at a write of its second pass) keeps the marker, so
    // that the next one knows the region is still this claim's, and resumes where the record
    // of its progress says it was instead of starting again.
    void aReleaseCutShortResumes() {
        if (QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty())
            QSKIP("strace is not installed");
        QVERIFY(freshDisk());
        const FreeRegion region{kGapStart, kGapLength};
        KeySource keys;
        QVERIFY(disk_->claim(region, keyOf(keys.key)));
        const RawDiskClaim claimed = claimFor(info_, region);
        QVERIFY(disk_->write(kGapStart + 512, "vault bytes"));
        const QByteArray marker = disk_->read(kGapStart, 512);
        const QByteArray beforeRegion = digestOf(*disk_, 0, kGapStart);
        const QByteArray afterRegion =
            digestOf(*disk_, kGapStart + kGapLength, kDiskSize - kGapStart - kGapLength);
        const QString journal = files_.filePath(QStringLiteral("release.journal"));

        // The first pass takes nine writes of at most 1 MiB; the fourteenth is in the second,
        // after its progress was recorded at 2 MiB and 4 MiB.
        QProcess helper;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("ASAN_OPTIONS"),
                           environment.value(QStringLiteral("ASAN_OPTIONS")) +
                               QStringLiteral(":detect_leaks=0"));
        helper.setProcessEnvironment(environment);
        helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        helper.start(QStandardPaths::findExecutable(QStringLiteral("strace")),
                     {QStringLiteral("-f"), QStringLiteral("-qq"), QStringLiteral("-o"),
                      QStringLiteral("/dev/null"), QStringLiteral("-e"),
                      QStringLiteral("inject=pwrite64:signal=KILL:when=14"),
                      QStringLiteral(ZELVORA_RELEASE_HELPER), QString::number(claimed.diskNumber),
                      QString::number(claimed.claimedStartOffset),
                      QString::number(claimed.claimedLength), QString::number(claimed.sectorSize),
                      QString::fromLatin1(claimed.diskSerialHash.toHex()),
                      QString::fromLatin1(keys.key.toHex()), journal, QString::number(2 * MiB)});
        QVERIFY(helper.waitForFinished(60000));
        QVERIFY(helper.exitStatus() == QProcess::CrashExit || helper.exitCode() == 137);
        // What was wiped is gone (the second pass writes ones); the marker still says whose
        // region this is.
        QCOMPARE(disk_->read(kGapStart + 512, 11), QByteArray(11, '\xFF'));
        QCOMPARE(disk_->read(kGapStart, 512), marker);
        const std::optional<vault::WipePosition> recorded =
            vault::readReleaseJournal(journal, claimed, keyOf(keys.key));
        QVERIFY(recorded);
        QCOMPARE(recorded->pass, 1);
        QVERIFY2(recorded->offset > 2 * MiB, qPrintable(QString::number(recorded->offset)));
        // Another claim's record, or one under another key, is not this release's.
        QVERIFY(!vault::readReleaseJournal(journal, claimFor(info_, {kGapStart, MiB * 4}),
                                           keyOf(keys.key)));
        QVERIFY(!vault::readReleaseJournal(journal, claimed, keyOf(randomBytes(32))));

        QList<quint64> told;
        vault::ReleaseJournal again;
        again.path = journal;
        again.stepBytes = 2 * MiB;
        again.progress = [&told](quint64 done, quint64) { told.append(done); };
        QCOMPARE(RawBlockStore::releaseClaim(claimed, keys.loader(), again).outcome,
                 vault::ReleaseOutcome::Released);
        QVERIFY(!told.isEmpty());
        // Resumed inside the second pass, where its record said.
        QVERIFY2(told.first() > kGapLength + recorded->offset,
                 qPrintable(QString::number(told.first())));
        QCOMPARE(told.last(), 3 * kGapLength);
        // The last pass reached every sector after the marker: none is left as the zeros or the
        // ones of an earlier pass.
        const QByteArray wiped = disk_->read(kGapStart + 512, qint64(kGapLength - 512));
        for (qsizetype at = 0; at < wiped.size(); at += 512) {
            const QByteArray sector = wiped.mid(at, 512);
            QVERIFY2(sector != QByteArray(512, '\0') && sector != QByteArray(512, '\xFF'),
                     qPrintable(QString::number(at)));
        }
        QVERIFY(!RawBlockStore::parseClaimMarker(disk_->read(kGapStart, 512), keyOf(keys.key)));
        QVERIFY(!disk_->read(kGapStart, qint64(kGapLength)).contains("vault bytes"));
        QCOMPARE(digestOf(*disk_, 0, kGapStart), beforeRegion);
        QCOMPARE(digestOf(*disk_, kGapStart + kGapLength, kDiskSize - kGapStart - kGapLength),
                 afterRegion);
        // Killed again after the marker went, the record still tells a release that is done.
        QCOMPARE(RawBlockStore::releaseClaim(claimed, keys.loader(), again).outcome,
                 vault::ReleaseOutcome::Released);
    }

    // Every decision is made on the disk held open, with the partition table read from the
    // device as well as from the kernel: a partition added after the listing, or written to the
    // device without the kernel re-reading the table, is never claimed, opened or wiped.
    void decidesOnTheDiskAsItIsNow_data() {
        QTest::addColumn<bool>("tellKernel");
        QTest::newRow("the kernel re-read the table") << true;
        QTest::newRow("only the table on the device changed") << false;
    }

    void decidesOnTheDiskAsItIsNow() {
        QFETCH(bool, tellKernel);
        const quint64 partitionStart = kGapStart + MiB; // the marker sector left alone
        const QString inside = QStringLiteral("start=%1, size=4096").arg(partitionStart / 512);
        KeySource keys;
        const crypto::SecureBuffer key = keyOf(keys.key);

        // The claim: the disk as listed had the gap; a partition came between.
        QVERIFY(freshDisk());
        const DiskInfo listed = info_;
        QVERIFY2(disk_->appendPartition(inside, tellKernel), qPrintable(disk_->lastError()));
        QVERIFY(disk_->write(partitionStart, "someone's file system"));
        const QByteArray whole = digestOf(*disk_, 0, kDiskSize);
        {
            auto medium = std::make_shared<rawstore::PhysicalDiskMedium>(listed, listed.size,
                                                                         listed.sectorSize);
            QVERIFY(medium->open());
            QCOMPARE(RawBlockStore::claimRegion(medium, listed, {kGapStart, kGapLength}, false,
                                                false, key)
                         .failure,
                     vault::ClaimFailure::NotFree);
        }
        QCOMPARE(digestOf(*disk_, 0, kDiskSize), whole);

        // A claim made before the partition appeared: opening and releasing it refuse, and not
        // a byte of the disk changes.
        QVERIFY(freshDisk());
        const FreeRegion region{kGapStart, kGapLength};
        QVERIFY(disk_->claim(region, key));
        const RawDiskClaim claimed = claimFor(info_, region);
        QVERIFY2(disk_->appendPartition(inside, tellKernel), qPrintable(disk_->lastError()));
        QVERIFY(disk_->write(partitionStart, "someone's file system"));
        const QByteArray before = digestOf(*disk_, 0, kDiskSize);
        RawBlockStore store(claimed, false, keys.loader());
        QVERIFY(!store.open());
        QCOMPARE(store.lastError(), RawStoreError::LayoutChanged);
        const vault::ReleaseResult released = RawBlockStore::releaseClaim(claimed, keys.loader());
        QCOMPARE(released.outcome, vault::ReleaseOutcome::Overlapped);
        QCOMPARE(released.overlapping.size(), 1);
        QCOMPARE(released.overlapping[0].startingOffset, partitionStart);
        QCOMPARE(released.overlapping[0].length, 2 * MiB);
        QCOMPARE(digestOf(*disk_, 0, kDiskSize), before);
    }

    // A claim given back because its vault could not be made zeroes the marker sector only
    // while it holds this claim's marker.
    void aWithdrawnClaimZeroesOnlyItsOwnMarker() {
        QVERIFY(freshDisk());
        const FreeRegion region{kGapStart, kGapLength};
        KeySource keys;
        const crypto::SecureBuffer key = keyOf(keys.key);
        auto medium =
            std::make_shared<rawstore::PhysicalDiskMedium>(info_, info_.size, info_.sectorSize);
        QVERIFY(medium->open());
        QVERIFY(RawBlockStore::claimRegion(medium, info_, region, false, false, key).ok);
        // Someone else's bytes where the marker was: left alone.
        const QByteArray theirs = randomBytes(512);
        QVERIFY(medium->writeAt(kGapStart, theirs.constData(), 512));
        QVERIFY(!RawBlockStore::withdrawClaim(*medium, info_, region, key));
        QCOMPARE(disk_->read(kGapStart, 512), theirs);
        // The marker: zeroed.
        QVERIFY(RawBlockStore::claimRegion(medium, info_, region, false, false, key).ok);
        QVERIFY(RawBlockStore::withdrawClaim(*medium, info_, region, key));
        QCOMPARE(disk_->read(kGapStart, 512), QByteArray(512, '\0'));
    }
};

QTEST_GUILESS_MAIN(RawBlockStoreTest)
#include "tst_rawblockstore.moc"
