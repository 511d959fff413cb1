#include "rawstore/PhysicalDisks.h"

#include "platform/BlockDeviceAccess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QSet>
#include <algorithm>
#include <blkid/blkid.h>
#include <fcntl.h>
#include <libudev.h>
#include <linux/fs.h>
#include <memory>
#include <sodium.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace korvex::rawstore {

namespace {

const QString kSysBlock = QStringLiteral("/sys/block");
const QString kSysDevBlock = QStringLiteral("/sys/dev/block");
// sysfs counts sizes and offsets in units of 512 bytes, whatever the disk's sector size.
constexpr quint64 kSysfsUnit = 512;
// A backup GPT partition array (128 entries of 128 bytes) follows the backup header's sector.
constexpr quint64 kGptEntryArrayBytes = 16384;

// Small sysfs attributes only: nothing there is longer than a page.
QString readAttribute(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.read(4096)).trimmed();
}

std::optional<quint64> readNumber(const QString& path) {
    bool ok = false;
    const quint64 value = readAttribute(path).toULongLong(&ok);
    return ok ? std::optional<quint64>(value) : std::nullopt;
}

dev_t readDevice(const QString& diskPath) {
    const QStringList parts = readAttribute(diskPath + QStringLiteral("/dev")).split(':');
    if (parts.size() != 2)
        return 0;
    bool okMajor = false;
    bool okMinor = false;
    const uint major = parts[0].toUInt(&okMajor);
    const uint minor = parts[1].toUInt(&okMinor);
    return okMajor && okMinor ? makedev(major, minor) : 0;
}

bool isLayerOrNotADisk(const QString& name) {
    static const char* const kPrefixes[] = {"dm-", "md", "ram", "zram", "sr", "fd"};
    for (const char* prefix : kPrefixes) {
        if (name.startsWith(QLatin1String(prefix)))
            return true;
    }
    return false;
}

bool isLoop(const QString& name) {
    return name.startsWith(QLatin1String("loop"));
}

// Natural order: runs of digits compare as numbers, so loop2 comes before loop10.
bool naturalLess(const QString& a, const QString& b) {
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype endA = i;
            qsizetype endB = j;
            while (endA < a.size() && a[endA].isDigit())
                ++endA;
            while (endB < b.size() && b[endB].isDigit())
                ++endB;
            const QString numberA = a.mid(i, endA - i);
            const QString numberB = b.mid(j, endB - j);
            // Compare without leading zeros: the longer number is the larger one.
            QString trimmedA = numberA;
            QString trimmedB = numberB;
            while (trimmedA.size() > 1 && trimmedA.front() == QLatin1Char('0'))
                trimmedA.remove(0, 1);
            while (trimmedB.size() > 1 && trimmedB.front() == QLatin1Char('0'))
                trimmedB.remove(0, 1);
            if (trimmedA.size() != trimmedB.size())
                return trimmedA.size() < trimmedB.size();
            if (trimmedA != trimmedB)
                return trimmedA < trimmedB;
            i = endA;
            j = endB;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

// The kernel names of the machine's disks, in number order (at most kMaxDisks).
QStringList diskNames() {
    QStringList names;
    const QStringList entries =
        QDir(kSysBlock).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
    for (const QString& name : entries) {
        const QString path = kSysBlock + QLatin1Char('/') + name;
        if (isLayerOrNotADisk(name))
            continue;
        if (readAttribute(path + QStringLiteral("/ro")) == QLatin1String("1") ||
            readAttribute(path + QStringLiteral("/hidden")) == QLatin1String("1"))
            continue;
        if (readNumber(path + QStringLiteral("/size")).value_or(0) == 0)
            continue;
        if (isLoop(name) && readAttribute(path + QStringLiteral("/loop/backing_file")).isEmpty())
            continue;
        names.append(name);
    }
    std::sort(names.begin(), names.end(), naturalLess);
    if (names.size() > qsizetype(kMaxDisks))
        names.resize(qsizetype(kMaxDisks));
    return names;
}

// udev's encoded properties escape bytes as \xHH.
QString decodeUdevText(const char* encoded) {
    QByteArray out;
    for (const char* p = encoded; *p; ++p) {
        if (p[0] == '\\' && p[1] == 'x' && std::isxdigit(uchar(p[2])) &&
            std::isxdigit(uchar(p[3]))) {
            out.append(char(QByteArray(p + 2, 2).toUInt(nullptr, 16)));
            p += 3;
        } else {
            out.append(*p);
        }
    }
    return QString::fromUtf8(out).trimmed();
}

struct UdevIdentity {
    QString model;
    QString serial;
};

UdevIdentity udevIdentity(const QString& name) {
    UdevIdentity identity;
    std::unique_ptr<udev, decltype(&udev_unref)> context(udev_new(), &udev_unref);
    if (!context)
        return identity;
    std::unique_ptr<udev_device, decltype(&udev_device_unref)> device(
        udev_device_new_from_subsystem_sysname(context.get(), "block",
                                               QFile::encodeName(name).constData()),
        &udev_device_unref);
    if (!device)
        return identity;
    if (const char* model = udev_device_get_property_value(device.get(), "ID_MODEL_ENC"))
        identity.model = decodeUdevText(model);
    else if (const char* plain = udev_device_get_property_value(device.get(), "ID_MODEL"))
        identity.model = QString::fromUtf8(plain).trimmed();
    if (const char* serial = udev_device_get_property_value(device.get(), "ID_SERIAL_SHORT"))
        identity.serial = QString::fromUtf8(serial).trimmed();
    return identity;
}

// The partitions of both lists, each once: one the two lists share (the same number and start)
// with the longer of its two lengths, in number order.
QList<PartitionExtent> mergedPartitions(QList<PartitionExtent> kernel,
                                        const QList<PartitionExtent>& device) {
    for (const PartitionExtent& partition : device) {
        const auto same = std::find_if(kernel.begin(), kernel.end(), [&](const PartitionExtent& p) {
            return p.partitionNumber == partition.partitionNumber &&
                   p.startingOffset == partition.startingOffset;
        });
        if (same == kernel.end())
            kernel.append(partition);
        else
            same->length = std::max(same->length, partition.length);
    }
    std::stable_sort(kernel.begin(), kernel.end(),
                     [](const PartitionExtent& a, const PartitionExtent& b) {
                         return a.partitionNumber < b.partitionNumber;
                     });
    return kernel;
}

// The partitions in the table on disk's device, where this process may read the device (an
// extended partition covers all of its container there, not just up to its last logical
// partition); nothing where it may not: the kernel's view then stands alone until the claim,
// which reads the device once it holds it.
QList<PartitionExtent> partitionsReadable(const DiskInfo& disk) {
    const int fd = ::open(QFile::encodeName(QStringLiteral("/dev/") + disk.kernelName).constData(),
                          O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return {};
    struct stat st {};
    std::optional<QList<PartitionExtent>> table;
    if (::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == disk.device)
        table = partitionsOnDevice(fd, disk.sectorSize);
    ::close(fd);
    return table.value_or(QList<PartitionExtent>());
}

// withDeviceTable false: the partitions as the kernel sees them only, for a caller that reads
// the device's table itself.
DiskInfo readDisk(quint32 diskNumber, const QString& name, bool withDeviceTable = true) {
    DiskInfo disk;
    disk.diskNumber = diskNumber;
    disk.kernelName = name;
    const QString path = kSysBlock + QLatin1Char('/') + name;
    const std::optional<quint64> units = readNumber(path + QStringLiteral("/size"));
    disk.device = readDevice(path);
    if (!units || *units == 0 || disk.device == 0)
        return disk;
    disk.size = *units * kSysfsUnit;
    const quint64 sector =
        readNumber(path + QStringLiteral("/queue/logical_block_size")).value_or(0);
    disk.sectorSize = sector > 0 && sector <= (1u << 20) ? quint32(sector) : 512;

    const UdevIdentity identity = udevIdentity(name);
    disk.model = identity.model;
    disk.serialNumber = identity.serial;
    if (disk.model.isEmpty())
        disk.model = readAttribute(path + QStringLiteral("/device/model"));
    if (disk.serialNumber.isEmpty()) {
        disk.serialNumber = readAttribute(path + QStringLiteral("/device/serial"));
        if (disk.serialNumber.isEmpty())
            disk.serialNumber = readAttribute(path + QStringLiteral("/serial"));
    }
    if (isLoop(name)) {
        // A loop device is its backing file: that is what a claim on it belongs to.
        disk.serialNumber = readAttribute(path + QStringLiteral("/loop/backing_file"));
        if (disk.model.isEmpty())
            disk.model = QStringLiteral("Loop device");
    }
    disk.partitions = partitionsFromSysfs(path, disk.sectorSize);
    if (withDeviceTable)
        disk.partitions = mergedPartitions(disk.partitions, partitionsReadable(disk));
    disk.valid = true;
    return disk;
}

QString canonicalSysfsPath(const QString& path) {
    return QFileInfo(path).canonicalFilePath();
}

// The block devices the system's file systems (/, /boot, /boot/efi) live on: each one's device
// number, or, for a file system with an anonymous one (btrfs), the device its source names.
QList<dev_t> systemMountDevices() {
    static const QList<QByteArray> kMountPoints{"/", "/boot", "/boot/efi"};
    QFile mountInfo(QStringLiteral("/proc/self/mountinfo"));
    if (!mountInfo.open(QIODevice::ReadOnly))
        return {};
    // The last mount on a point is the one in effect.
    QHash<QByteArray, dev_t> found;
    // The table is small; a bound keeps a hostile one from growing without end.
    const QList<QByteArray> lines = mountInfo.read(4 << 20).split('\n');
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 10 || !kMountPoints.contains(fields[4]))
            continue;
        const QList<QByteArray> numbers = fields[2].split(':');
        dev_t device = 0;
        if (numbers.size() == 2 && numbers[0].toUInt() != 0)
            device = makedev(numbers[0].toUInt(), numbers[1].toUInt());
        if (device == 0) {
            const qsizetype separator = fields.indexOf(QByteArray("-"));
            struct stat st {};
            if (separator > 0 && separator + 2 < fields.size() &&
                fields[separator + 2].startsWith("/dev/") &&
                ::stat(fields[separator + 2].constData(), &st) == 0 && S_ISBLK(st.st_mode))
                device = st.st_rdev;
        }
        if (device != 0)
            found.insert(fields[4], device);
    }
    return found.values();
}

void addDisksUnder(const QString& sysfsPath, QSet<QString>* disks, int depth) {
    // A layer more than this deep is not a real stack (or is a loop of links).
    if (sysfsPath.isEmpty() || depth > 16)
        return;
    if (QFile::exists(sysfsPath + QStringLiteral("/partition"))) {
        disks->insert(QFileInfo(QFileInfo(sysfsPath).path()).fileName());
        return;
    }
    const QStringList slaves = QDir(sysfsPath + QStringLiteral("/slaves"))
                                   .entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
    if (slaves.isEmpty()) {
        disks->insert(QFileInfo(sysfsPath).fileName());
        return;
    }
    for (const QString& slave : slaves)
        addDisksUnder(canonicalSysfsPath(sysfsPath + QStringLiteral("/slaves/") + slave), disks,
                      depth + 1);
}

// The positions in names of the disks under /, /boot and /boot/efi.
QList<quint32> systemDiskNumbersAmong(const QStringList& names) {
    QSet<QString> disks;
    for (const dev_t device : systemMountDevices()) {
        for (const QString& name : wholeDisksUnder(QStringLiteral("%1/%2:%3")
                                                       .arg(kSysDevBlock)
                                                       .arg(major(device))
                                                       .arg(minor(device))))
            disks.insert(name);
    }
    QList<quint32> numbers;
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (disks.contains(names[i]))
            numbers.append(quint32(i));
    }
    return numbers;
}

} // namespace

bool isElevated() {
    return platform::mayOpenDisksDirectly();
}

QStringList wholeDisksUnder(const QString& blockSysfsPath) {
    QSet<QString> disks;
    addDisksUnder(canonicalSysfsPath(blockSysfsPath), &disks, 0);
    QStringList names(disks.begin(), disks.end());
    names.sort();
    return names;
}

QList<PartitionExtent> partitionsFromSysfs(const QString& diskSysfsPath, quint32 sectorSize) {
    QList<PartitionExtent> partitions;
    const QStringList entries =
        QDir(diskSysfsPath).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
    for (const QString& entry : entries) {
        const QString path = diskSysfsPath + QLatin1Char('/') + entry;
        const std::optional<quint64> number = readNumber(path + QStringLiteral("/partition"));
        const std::optional<quint64> start = readNumber(path + QStringLiteral("/start"));
        const std::optional<quint64> size = readNumber(path + QStringLiteral("/size"));
        if (!number || !start || !size || *size == 0)
            continue;
        partitions.append({quint32(*number), *start * kSysfsUnit, *size * kSysfsUnit});
    }
    // sysfs shows an extended partition as its first boot record only (two units, or one
    // sector when that is larger); the container reaches at least to the end of its last
    // logical partition, and the records chaining the logical partitions lie in between.
    const quint64 firstRecordBytes = std::max<quint64>(2 * kSysfsUnit, sectorSize);
    for (PartitionExtent& extended : partitions) {
        if (extended.partitionNumber < 1 || extended.partitionNumber > 4 ||
            extended.length > firstRecordBytes)
            continue;
        quint64 end = extended.startingOffset + extended.length;
        for (const PartitionExtent& logical : partitions) {
            if (logical.partitionNumber >= 5 && logical.startingOffset > extended.startingOffset)
                end = std::max(end, logical.startingOffset + logical.length);
        }
        extended.length = end - extended.startingOffset;
    }
    std::sort(partitions.begin(), partitions.end(),
              [](const PartitionExtent& a, const PartitionExtent& b) {
                  return a.partitionNumber < b.partitionNumber;
              });
    return partitions;
}

DiskInfo queryDiskInfo(quint32 diskNumber, DiskQueryError* lastError) {
    if (lastError)
        *lastError = DiskQueryError::None;
    const QStringList names = diskNames();
    if (diskNumber >= quint32(names.size())) {
        if (lastError)
            *lastError = DiskQueryError::NotFound;
        DiskInfo none;
        none.diskNumber = diskNumber;
        return none;
    }
    DiskInfo disk = readDisk(diskNumber, names[qsizetype(diskNumber)]);
    if (!disk.valid) {
        if (lastError)
            *lastError = DiskQueryError::NotFound;
        return disk;
    }
    disk.isSystemDisk = systemDiskNumbersAmong(names).contains(diskNumber);
    return disk;
}

QList<quint32> systemDiskNumbers() {
    return systemDiskNumbersAmong(diskNames());
}

QList<DiskInfo> listDisks() {
    QList<DiskInfo> disks;
    const QStringList names = diskNames();
    const QList<quint32> system = systemDiskNumbersAmong(names);
    for (qsizetype i = 0; i < names.size(); ++i) {
        DiskInfo disk = readDisk(quint32(i), names[i]);
        if (!disk.valid)
            continue;
        disk.isSystemDisk = system.contains(quint32(i));
        disks.append(disk);
    }
    return disks;
}

DiskInfo findClaimedDisk(quint32 diskNumber, const QByteArray& identityHash,
                         DiskQueryError* lastError) {
    DiskInfo atNumber = queryDiskInfo(diskNumber, lastError);
    if (atNumber.valid && diskIdentityHash(atNumber.serialNumber) == identityHash)
        return atNumber;
    // The number may have moved: the disk is still found by its identity, when only one disk
    // has it (two disks without a serial number cannot be told apart).
    std::optional<DiskInfo> match;
    DiskQueryError error = DiskQueryError::NotFound;
    for (const DiskInfo& disk : listDisks()) {
        if (diskIdentityHash(disk.serialNumber) != identityHash)
            continue;
        if (match) {
            match.reset();
            error = DiskQueryError::Ambiguous;
            break;
        }
        match = disk;
    }
    if (match) {
        if (lastError)
            *lastError = DiskQueryError::None;
        return *match;
    }
    // Whatever sits at the number now is another disk: never the claim's.
    if (lastError && *lastError != DiskQueryError::AccessDenied)
        *lastError = error;
    DiskInfo none;
    none.diskNumber = diskNumber;
    return none;
}

std::optional<QList<PartitionExtent>> partitionsOnDevice(int fd, quint32 sectorSize) {
    std::unique_ptr<std::remove_pointer_t<blkid_probe>, decltype(&blkid_free_probe)> probe(
        blkid_new_probe(), &blkid_free_probe);
    if (!probe || blkid_probe_set_device(probe.get(), fd, 0, 0) != 0)
        return std::nullopt;
    blkid_probe_set_sectorsize(probe.get(), sectorSize);
    blkid_probe_enable_superblocks(probe.get(), 0);
    blkid_probe_enable_partitions(probe.get(), 1);
    blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_ENTRY_DETAILS);
    const int probed = blkid_do_fullprobe(probe.get());
    if (probed < 0)
        return std::nullopt;
    QList<PartitionExtent> partitions;
    if (probed == 1)
        return partitions; // no partition table
    blkid_partlist list = blkid_probe_get_partitions(probe.get());
    if (!list)
        return partitions;
    const int count = blkid_partlist_numof_partitions(list);
    if (count < 0)
        return std::nullopt;
    for (int i = 0; i < count; ++i) {
        blkid_partition partition = blkid_partlist_get_partition(list, i);
        if (!partition)
            return std::nullopt;
        // libblkid counts in 512-byte units whatever the sector size; an extended partition
        // spans its logical ones and the boot records chaining them.
        const blkid_loff_t start = blkid_partition_get_start(partition);
        const blkid_loff_t size = blkid_partition_get_size(partition);
        if (start < 0 || size <= 0)
            continue;
        partitions.append({quint32(std::max(0, blkid_partition_get_partno(partition))),
                           quint64(start) * kSysfsUnit, quint64(size) * kSysfsUnit});
    }
    return partitions;
}

DiskRecheck recheckOpenDisk(int fd, const DiskInfo& expected, DiskInfo* now) {
    struct stat st {};
    quint64 bytes = 0;
    int logicalSector = 0;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != expected.device ||
        ::ioctl(fd, BLKGETSIZE64, &bytes) != 0 || ::ioctl(fd, BLKSSZGET, &logicalSector) != 0)
        return DiskRecheck::NotTheDisk;
    if (bytes != expected.size || logicalSector <= 0 ||
        quint32(logicalSector) != expected.sectorSize)
        return DiskRecheck::NotTheDisk;
    // The name and its record are read again now that the device is held: a loop device given
    // another backing file, or a disk swapped under the same name, is another disk.
    const DiskInfo again = readDisk(expected.diskNumber, expected.kernelName, false);
    if (!again.valid || again.device != expected.device ||
        again.serialNumber != expected.serialNumber || again.size != expected.size)
        return DiskRecheck::NotTheDisk;
    const std::optional<QList<PartitionExtent>> onDevice =
        partitionsOnDevice(fd, expected.sectorSize);
    if (!onDevice)
        return DiskRecheck::Unreadable;
    if (now) {
        *now = expected;
        now->model = again.model;
        now->partitions = mergedPartitions(again.partitions, *onDevice);
    }
    return DiskRecheck::Same;
}

QList<PartitionExtent> partitionsOverlapping(const DiskInfo& disk, const FreeRegion& region) {
    QList<PartitionExtent> overlapping;
    const quint64 end = region.start + region.length;
    for (const PartitionExtent& partition : disk.partitions) {
        const quint64 partitionEnd = partition.startingOffset + partition.length;
        if (partition.startingOffset < end && region.start < partitionEnd)
            overlapping.append(partition);
    }
    return overlapping;
}

QString sizeText(quint64 bytes) {
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale.formattedDataSize(qint64(std::min<quint64>(bytes, quint64(INT64_MAX))), 2,
                                    QLocale::DataSizeIecFormat);
}

QString diskDescription(const DiskInfo& disk) {
    QStringList details;
    if (!disk.model.isEmpty())
        details << disk.model;
    // A loop device's identity is its backing file; a disk without a serial has none to show.
    if (!disk.serialNumber.isEmpty())
        details << (disk.kernelName.startsWith(QLatin1String("loop"))
                        ? QCoreApplication::translate("PhysicalDisks", "file %1")
                        : QCoreApplication::translate("PhysicalDisks", "serial %1"))
                       .arg(disk.serialNumber);
    details << sizeText(disk.size);
    return QStringLiteral("/dev/%1 (%2)").arg(disk.kernelName, details.join(QStringLiteral(", ")));
}

QByteArray diskIdentityHash(const QString& serialNumber) {
    const QByteArray text = serialNumber.toUtf8();
    QByteArray hash(32, '\0');
    crypto_generichash(reinterpret_cast<unsigned char*>(hash.data()), size_t(hash.size()),
                       reinterpret_cast<const unsigned char*>(text.constData()),
                       size_t(text.size()), nullptr, 0);
    return hash;
}

QList<FreeRegion> computeGaps(quint64 diskSize, QList<PartitionExtent> partitions,
                              quint64 minimumSize, quint64 tailReserve) {
    QList<FreeRegion> gaps;
    if (partitions.isEmpty())
        return gaps;
    std::stable_sort(partitions.begin(), partitions.end(),
                     [](const PartitionExtent& a, const PartitionExtent& b) {
                         return a.startingOffset < b.startingOffset;
                     });
    // Partitions may nest (an extended partition holds the logical ones): a gap starts after
    // the furthest end reached so far, not just after the neighbour's.
    quint64 reached = partitions.first().startingOffset + partitions.first().length;
    for (qsizetype i = 1; i < partitions.size(); ++i) {
        const quint64 next = partitions[i].startingOffset;
        if (reached < next && next - reached >= minimumSize)
            gaps.append({reached, next - reached});
        reached = std::max(reached, next + partitions[i].length);
    }
    const quint64 lastEnd = reached;
    if (lastEnd + tailReserve < diskSize && diskSize - lastEnd - tailReserve >= minimumSize)
        gaps.append({lastEnd, diskSize - lastEnd - tailReserve});
    return gaps;
}

QList<FreeRegion> computeFreeRegions(const DiskInfo& disk, quint64 minimumSize,
                                     bool allowSystemDisk) {
    if (disk.isSystemDisk && !allowSystemDisk)
        return {};
    // The backup GPT takes a sector and its entry array at the disk's end: 16896 bytes with
    // 512-byte sectors, more with larger ones.
    const quint64 tailReserve =
        std::max<quint64>(kEndOfDiskReserve, quint64(disk.sectorSize) + kGptEntryArrayBytes);
    return computeGaps(disk.size, disk.partitions, minimumSize, tailReserve);
}

bool regionIsFree(const DiskInfo& disk, const FreeRegion& region, bool allowSystemDisk) {
    if (disk.isSystemDisk && !allowSystemDisk)
        return false;
    if (region.start + region.length < region.start)
        return false;
    for (const FreeRegion& free : computeFreeRegions(disk, 0, allowSystemDisk)) {
        if (free.start <= region.start && region.start + region.length <= free.start + free.length)
            return true;
    }
    return false;
}

} // namespace korvex::rawstore
