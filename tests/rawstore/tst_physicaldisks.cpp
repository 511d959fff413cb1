#include "rawstore/PhysicalDisks.h"
#include "support/LoopDisk.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace korvex;
using rawstore::DiskInfo;
using rawstore::FreeRegion;
using rawstore::PartitionExtent;

Q_DECLARE_METATYPE(PartitionExtent)

namespace {

constexpr quint64 MiB = 1024 * 1024;
constexpr quint64 kSector = 512;

QString regionsText(const QList<FreeRegion>& regions) {
    QStringList parts;
    for (const FreeRegion& region : regions)
        parts << QStringLiteral("%1+%2").arg(region.start).arg(region.length);
    return parts.join(QLatin1Char(' '));
}

} // namespace

class PhysicalDisksTest : public QObject {
    Q_OBJECT

    // The free regions of disk as decided once it is held open: from the partition table on the
    // device alone (deviceAlone), or as the checks after the exclusive open see it.
    static QList<FreeRegion> heldRegions(const DiskInfo& disk, bool deviceAlone) {
        const int fd =
            ::open(QFile::encodeName(QStringLiteral("/dev/") + disk.kernelName).constData(),
                   O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return {};
        DiskInfo now = disk;
        bool ok = false;
        if (deviceAlone) {
            const std::optional<QList<rawstore::PartitionExtent>> table =
                rawstore::partitionsOnDevice(fd, disk.sectorSize);
            ok = table.has_value();
            if (table)
                now.partitions = *table;
        } else {
            ok = rawstore::recheckOpenDisk(fd, disk, &now) == rawstore::DiskRecheck::Same;
        }
        ::close(fd);
        return ok ? rawstore::computeFreeRegions(now, 0, false) : QList<FreeRegion>();
    }

private slots:
    void gapsBetweenPartitions_data() {
        QTest::addColumn<quint64>("diskSize");
        QTest::addColumn<QList<PartitionExtent>>("partitions");
        QTest::addColumn<quint64>("minimumSize");
        QTest::addColumn<QString>("expected");

        const QList<PartitionExtent> twoWithGap{{1, 1 * MiB, 100 * MiB}, {2, 201 * MiB, 100 * MiB}};
        const QString twoWithGapRegions = QStringLiteral("%1+%2 %3+%4")
                                              .arg(101 * MiB)
                                              .arg(100 * MiB)
                                              .arg(301 * MiB)
                                              .arg(99 * MiB - 16896);
        QTest::newRow("gap and tail, nothing before the first")
            << 400 * MiB << twoWithGap << quint64(0) << twoWithGapRegions;
        QTest::newRow("out of order")
            << 400 * MiB << QList<PartitionExtent>{twoWithGap[1], twoWithGap[0]} << quint64(0)
            << twoWithGapRegions;
        QTest::newRow("touching") << 400 * MiB
                                  << QList<PartitionExtent>{{1, 1 * MiB, 100 * MiB},
                                                            {2, 101 * MiB, 299 * MiB - 16896}}
                                  << quint64(0) << QString();
        QTest::newRow("minimum met exactly")
            << 400 * MiB << twoWithGap << 100 * MiB
            << QStringLiteral("%1+%2").arg(101 * MiB).arg(100 * MiB);
        QTest::newRow("minimum missed by one byte")
            << 400 * MiB
            << QList<PartitionExtent>{{1, 1 * MiB, 100 * MiB}, {2, 201 * MiB - 1, 100 * MiB}}
            << 100 * MiB << QString();
        QTest::newRow("nested: nothing offered inside a container")
            << 400 * MiB
            << QList<PartitionExtent>{{1, 1 * MiB, 100 * MiB},
                                      {2, 101 * MiB, 200 * MiB},
                                      {5, 110 * MiB, 10 * MiB},
                                      {6, 150 * MiB, 10 * MiB}}
            << quint64(0) << QStringLiteral("%1+%2").arg(301 * MiB).arg(99 * MiB - 16896);
        QTest::newRow("no partitions")
            << 400 * MiB << QList<PartitionExtent>{} << quint64(0) << QString();
        QTest::newRow("tail exactly the reserve")
            << 101 * MiB + 16896 << QList<PartitionExtent>{{1, 1 * MiB, 100 * MiB}} << quint64(0)
            << QString();
    }

    void gapsBetweenPartitions() {
        QFETCH(quint64, diskSize);
        QFETCH(QList<PartitionExtent>, partitions);
        QFETCH(quint64, minimumSize);
        QFETCH(QString, expected);
        QCOMPARE(regionsText(rawstore::computeGaps(diskSize, partitions, minimumSize,
                                                   rawstore::kEndOfDiskReserve)),
                 expected);

        DiskInfo disk;
        disk.size = diskSize;
        disk.partitions = partitions;
        QCOMPARE(regionsText(rawstore::computeFreeRegions(disk, minimumSize, false)), expected);
        disk.isSystemDisk = true;
        QVERIFY(rawstore::computeFreeRegions(disk, minimumSize, false).isEmpty());
        QCOMPARE(regionsText(rawstore::computeFreeRegions(disk, minimumSize, true)), expected);
    }

    void regionMustLieInsideOneGap() {
        DiskInfo disk;
        disk.size = 400 * MiB;
        disk.partitions = {{1, 1 * MiB, 100 * MiB}, {2, 201 * MiB, 100 * MiB}};
        QVERIFY(rawstore::regionIsFree(disk, {101 * MiB, 100 * MiB}, false));
        QVERIFY(rawstore::regionIsFree(disk, {150 * MiB, 10 * MiB}, false));
        QVERIFY(!rawstore::regionIsFree(disk, {101 * MiB, 100 * MiB + 1}, false));
        QVERIFY(!rawstore::regionIsFree(disk, {101 * MiB - 1, 10}, false));
        QVERIFY(!rawstore::regionIsFree(disk, {0, 1 * MiB}, false));          // before the first
        QVERIFY(!rawstore::regionIsFree(disk, {~quint64(0) - 5, 10}, false)); // wraps around
        disk.isSystemDisk = true;
        QVERIFY(!rawstore::regionIsFree(disk, {101 * MiB, 100 * MiB}, false));
        QVERIFY(rawstore::regionIsFree(disk, {101 * MiB, 100 * MiB}, true));
    }

    void largerSectorsKeepTheWholeBackupTable() {
        // With 4096-byte sectors the backup GPT is a header sector and 16 KiB of entries.
        DiskInfo disk;
        disk.size = 400 * MiB;
        disk.sectorSize = 4096;
        disk.partitions = {{1, 1 * MiB, 100 * MiB}};
        QCOMPARE(regionsText(rawstore::computeFreeRegions(disk, 0, false)),
                 QStringLiteral("%1+%2").arg(101 * MiB).arg(299 * MiB - 20480));
    }

    void identityHashIsBlake2bOfTheSerial() {
        QCOMPARE(rawstore::diskIdentityHash(QString()).toHex(),
                 QByteArray("0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8"));
        QVERIFY(rawstore::diskIdentityHash(QStringLiteral("S1")) !=
                rawstore::diskIdentityHash(QStringLiteral("S2")));
    }

    void realTablesOnALoopDisk_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("expected");
        const quint64 size = 64 * MiB;
        const auto at = [](quint64 sectors) { return sectors * kSector; };
        QTest::newRow("gpt, a gap between two and after")
            << QStringLiteral("label: gpt\nstart=2048, size=20480\nstart=40960, size=20480\n")
            << QStringLiteral("%1+%2 %3+%4")
                   .arg(at(22528))
                   .arg(at(40960 - 22528))
                   .arg(at(61440))
                   .arg(size - at(61440) - 16896);
        QTest::newRow("gpt, partitions numbered out of order")
            << QStringLiteral("label: gpt\nstart=40960, size=20480\nstart=2048, size=20480\n")
            << QStringLiteral("%1+%2 %3+%4")
                   .arg(at(22528))
                   .arg(at(40960 - 22528))
                   .arg(at(61440))
                   .arg(size - at(61440) - 16896);
        QTest::newRow("gpt, touching partitions")
            << QStringLiteral("label: gpt\nstart=2048, size=20480\nstart=22528, size=20480\n")
            << QStringLiteral("%1+%2").arg(at(43008)).arg(size - at(43008) - 16896);
        QTest::newRow("gpt, no partitions") << QStringLiteral("label: gpt\n") << QString();
        QTest::newRow("no table at all") << QString() << QString();
        // The kernel makes a partition device of an MBR entry of type 0 that has a size, and a
        // program may open and write that device: its space counts as allocated.
        QTest::newRow("mbr, an entry of type 0")
            << QStringLiteral("label: dos\nstart=2048, size=20480, type=83\n"
                              "start=30720, size=10240, type=0\nstart=61440, size=20480, "
                              "type=83\n")
            << QStringLiteral("%1+%2 %3+%4 %5+%6")
                   .arg(at(22528))
                   .arg(at(30720 - 22528))
                   .arg(at(40960))
                   .arg(at(61440 - 40960))
                   .arg(at(81920))
                   .arg(size - at(81920) - 16896);
        // The extended container, the records chaining its logical partitions and its room for
        // more of them are never offered, whatever lies between those partitions.
        QTest::newRow("mbr, extended with logical partitions")
            << QStringLiteral("label: dos\nstart=2048, size=20480, type=83\n"
                              "start=30720, size=40960, type=5\nstart=32768, size=8192, "
                              "type=83\nstart=51200, size=8192, type=83\n")
            << QStringLiteral("%1+%2 %3+%4")
                   .arg(at(22528))
                   .arg(at(30720 - 22528))
                   .arg(at(71680))
                   .arg(size - at(71680) - 16896);
    }

    void realTablesOnALoopDisk() {
        if (const QString why = test::LoopDisk::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        QFETCH(QString, script);
        QFETCH(QString, expected);
        test::LoopDisk disk;
        QVERIFY2(disk.create(64 * MiB, script), qPrintable(disk.lastError()));
        const std::optional<DiskInfo> info = disk.diskInfo();
        QVERIFY(info);
        QCOMPARE(info->size, 64 * MiB);
        QCOMPARE(info->sectorSize, 512u);
        QVERIFY(!info->isSystemDisk);
        QCOMPARE(info->serialNumber, QFileInfo(disk.imagePath()).absoluteFilePath());
        QCOMPARE(regionsText(rawstore::computeFreeRegions(*info, 0, false)), expected);
        // The table read from the device itself says the same, and so does the disk as it is
        // checked once held.
        QCOMPARE(regionsText(heldRegions(*info, true)), expected);
        QCOMPARE(regionsText(heldRegions(*info, false)), expected);

        // The number leads back to the same disk.
        rawstore::DiskQueryError error = rawstore::DiskQueryError::NotFound;
        const DiskInfo again = rawstore::queryDiskInfo(info->diskNumber, &error);
        QCOMPARE(error, rawstore::DiskQueryError::None);
        QCOMPARE(again.kernelName, info->kernelName);
        QCOMPARE(again.partitions.size(), info->partitions.size());
    }

    void largerLogicalSectors() {
        if (const QString why = test::LoopDisk::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        test::LoopDisk disk;
        QVERIFY2(disk.create(64 * MiB, QStringLiteral("label: gpt\nstart=256, size=2560\n"), 4096),
                 qPrintable(disk.lastError()));
        const std::optional<DiskInfo> info = disk.diskInfo();
        QVERIFY(info);
        QCOMPARE(info->sectorSize, 4096u);
        QCOMPARE(regionsText(rawstore::computeFreeRegions(*info, 0, false)),
                 QStringLiteral("%1+%2").arg(11 * MiB).arg(53 * MiB - 20480));
        QCOMPARE(regionsText(heldRegions(*info, true)),
                 QStringLiteral("%1+%2").arg(11 * MiB).arg(53 * MiB - 20480));
    }

    void aClaimedDiskIsFoundByItsIdentity() {
        if (const QString why = test::LoopDisk::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        test::LoopDisk disk;
        QVERIFY2(disk.create(16 * MiB, QStringLiteral("label: gpt\nstart=2048, size=2048\n")),
                 qPrintable(disk.lastError()));
        const std::optional<DiskInfo> info = disk.diskInfo();
        QVERIFY(info);
        const QByteArray identity = rawstore::diskIdentityHash(info->serialNumber);

        QCOMPARE(rawstore::findClaimedDisk(info->diskNumber, identity).kernelName,
                 disk.kernelName());
        // The number moved (here: one no disk has): the identity still finds it.
        const DiskInfo moved = rawstore::findClaimedDisk(rawstore::kMaxDisks - 1, identity);
        QVERIFY(moved.valid);
        QCOMPARE(moved.kernelName, disk.kernelName());

        QVERIFY(disk.detach());
        rawstore::DiskQueryError error = rawstore::DiskQueryError::None;
        const DiskInfo gone = rawstore::findClaimedDisk(rawstore::kMaxDisks - 1, identity, &error);
        QVERIFY(!gone.valid);
        QCOMPARE(error, rawstore::DiskQueryError::NotFound);
    }

    void layersAreFollowedDownToTheirDisks() {
        // The shape sysfs gives a stack: a partition's folder holds "partition" inside its
        // disk's folder; a layer lists what it sits on in "slaves" as links to their folders.
        // Here LUKS on LVM over a partition of sda, and an md mirror of sdb1 and sdc1, joined
        // by one more LVM volume.
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString block = root.filePath(QStringLiteral("devices/block"));
        const QString virtualBlock = root.filePath(QStringLiteral("devices/virtual/block"));
        for (const QString& partition :
             {QStringLiteral("sda/sda2"), QStringLiteral("sdb/sdb1"), QStringLiteral("sdc/sdc1")}) {
            QVERIFY(QDir().mkpath(block + QLatin1Char('/') + partition));
            QVERIFY(test::writeFile(
                block + QLatin1Char('/') + partition + QStringLiteral("/partition"), "1\n"));
        }
        const auto layer = [&](const QString& name, const QStringList& under) {
            const QString slaves =
                virtualBlock + QLatin1Char('/') + name + QStringLiteral("/slaves");
            QVERIFY(QDir().mkpath(slaves));
            for (const QString& target : under)
                QVERIFY(
                    QFile::link(target, slaves + QLatin1Char('/') + QFileInfo(target).fileName()));
        };
        layer(QStringLiteral("dm-0"), {block + QStringLiteral("/sda/sda2")});
        layer(QStringLiteral("dm-1"), {virtualBlock + QStringLiteral("/dm-0")});
        layer(QStringLiteral("md0"),
              {block + QStringLiteral("/sdb/sdb1"), block + QStringLiteral("/sdc/sdc1")});
        layer(QStringLiteral("dm-2"),
              {virtualBlock + QStringLiteral("/dm-1"), virtualBlock + QStringLiteral("/md0")});

        QCOMPARE(rawstore::wholeDisksUnder(virtualBlock + QStringLiteral("/dm-1")),
                 QStringList{QStringLiteral("sda")});
        QCOMPARE(
            rawstore::wholeDisksUnder(virtualBlock + QStringLiteral("/dm-2")),
            QStringList({QStringLiteral("sda"), QStringLiteral("sdb"), QStringLiteral("sdc")}));
        QCOMPARE(rawstore::wholeDisksUnder(block + QStringLiteral("/sdb/sdb1")),
                 QStringList{QStringLiteral("sdb")});
        QCOMPARE(rawstore::wholeDisksUnder(block + QStringLiteral("/sda")),
                 QStringList{QStringLiteral("sda")});
        // A loop of links ends.
        layer(QStringLiteral("dm-3"), {virtualBlock + QStringLiteral("/dm-4")});
        layer(QStringLiteral("dm-4"), {virtualBlock + QStringLiteral("/dm-3")});
        QVERIFY(rawstore::wholeDisksUnder(virtualBlock + QStringLiteral("/dm-3")).size() <= 1);
    }

    void theDiskUnderTheRootFileSystemIsTheSystemDisk() {
        struct stat root {};
        QCOMPARE(::stat("/", &root), 0);
        const QString sysfs = QFileInfo(QStringLiteral("/sys/dev/block/%1:%2")
                                            .arg(major(root.st_dev))
                                            .arg(minor(root.st_dev)))
                                  .canonicalFilePath();
        if (sysfs.isEmpty())
            QSKIP("/ is not on a block device here");
        const bool isPartition = QFileInfo::exists(sysfs + QStringLiteral("/partition"));
        const QString diskName =
            QFileInfo(isPartition ? QFileInfo(sysfs).path() : sysfs).fileName();
        bool found = false;
        for (const DiskInfo& disk : rawstore::listDisks()) {
            if (disk.kernelName == diskName) {
                found = true;
                QVERIFY(disk.isSystemDisk);
                QVERIFY(rawstore::queryDiskInfo(disk.diskNumber).isSystemDisk);
                QVERIFY(rawstore::computeFreeRegions(disk, 0, false).isEmpty());
            } else if (!disk.kernelName.startsWith(QLatin1String("loop"))) {
                continue;
            } else {
                QVERIFY(!disk.isSystemDisk);
            }
        }
        if (!found)
            QSKIP(qPrintable(
                QStringLiteral("/ is on %1, a layer without a listed disk here").arg(diskName)));
    }
};

QTEST_GUILESS_MAIN(PhysicalDisksTest)
#include "tst_physicaldisks.moc"
