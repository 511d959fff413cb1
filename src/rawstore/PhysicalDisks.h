#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <optional>
#include <sys/types.h>

namespace korvex::rawstore {

// Disks are numbered 0 to 15: the positions of the machine's whole disks in the order of their
// kernel names, compared naturally (digits as numbers: loop2 before loop10, sda before sdb
// before sdaa). Device-mapper, md, RAM, zram, optical and floppy devices are layers or not
// disks and are left out, as are read-only and empty devices and loop devices without a
// backing file. Adding or removing a disk can move a number, so a claim also records the disk's
// identity hash and is looked up by it (findClaimedDisk).
inline constexpr quint32 kMaxDisks = 16;
// Kept free after the last partition: room for a backup GPT header and partition array.
inline constexpr quint64 kEndOfDiskReserve = 16896;
// A region must hold the marker sector and this much more to be offered for a vault.
inline constexpr quint64 kMinimumClaimExtra = 2097152;

inline quint64 minimumClaimSize(quint32 sectorSize) {
    return quint64(sectorSize) + kMinimumClaimExtra;
}

struct PartitionExtent {
    quint32 partitionNumber = 0;
    quint64 startingOffset = 0;
    quint64 length = 0;
};

struct FreeRegion {
    quint64 start = 0;
    quint64 length = 0;
};

struct DiskInfo {
    quint32 diskNumber = 0;
    QString model;        // trimmed; empty if unknown
    QString serialNumber; // trimmed; empty if unknown (a loop device: its backing file's path)
    quint64 size = 0;
    quint32 sectorSize = 512; // logical sector size
    bool isSystemDisk = false;
    QList<PartitionExtent> partitions; // those that count as allocated
    bool valid = false;

    QString kernelName; // "sdb", "nvme0n1", "loop3"
    dev_t device = 0;   // the block device number
};

// Why queryDiskInfo found no disk.
enum class DiskQueryError {
    None = 0,
    NotFound = 1,     // no disk has that number (findClaimedDisk: none has that identity)
    AccessDenied = 2, // the disk's information could not be read for lack of permission
    Ambiguous = 3,    // findClaimedDisk: more than one disk has that identity
};

// Whether this process may open disks without asking for administrator authorisation.
bool isElevated();

// The disk at diskNumber, read from sysfs (size, logical sector size, partitions as the kernel
// sees them) and udev (model and serial number); where this process may read the device, the
// partitions in the table on the device itself count too. valid is false when there is no such
// disk.
DiskInfo queryDiskInfo(quint32 diskNumber, DiskQueryError* lastError = nullptr);

// The numbers of the disks under the file systems of /, /boot and /boot/efi, followed through
// device-mapper, LVM, LUKS and md layers. Empty when none can be told.
QList<quint32> systemDiskNumbers();

// Every disk, in number order.
QList<DiskInfo> listDisks();

// The disk a claim was made on: the one at diskNumber when its identity hash still matches,
// else the only disk with that identity hash (its number moved). Invalid when no disk has that
// identity (NotFound: another disk at diskNumber is not the claim's) or more than one has
// (Ambiguous: disks without a serial number cannot be told apart).
DiskInfo findClaimedDisk(quint32 diskNumber, const QByteArray& identityHash,
                         DiskQueryError* lastError = nullptr);

// What a disk held open is now. Same: the descriptor is still the disk expected was read from
// (device number, identity, size and logical sector size as the device itself reports them).
enum class DiskRecheck { Same, NotTheDisk, Unreadable };

// Checks the disk open on fd against expected (a record read before it was opened) and reads its
// layout again, while the descriptor is held: *now is expected with its partitions replaced by
// those the kernel shows in sysfs together with those the partition table on the device itself
// holds (read through fd with libblkid: GPT, MBR and its logical partitions), so that a table
// written but not yet re-read by the kernel counts, and so does one the kernel still holds after
// the device's table changed. Unreadable when the device's table cannot be read.
DiskRecheck recheckOpenDisk(int fd, const DiskInfo& expected, DiskInfo* now);

// The partitions in the table on the device open on fd (byte offsets); an extended partition
// covers its logical ones. Empty when the device has no partition table; nothing when it cannot
// be read.
std::optional<QList<PartitionExtent>> partitionsOnDevice(int fd, quint32 sectorSize);

// The partitions of disk that overlap region.
QList<PartitionExtent> partitionsOverlapping(const DiskInfo& disk, const FreeRegion& region);

// A size as people read it: "512 bytes", "300.0 KiB", "600.0 MiB", "1.50 GiB", "2.00 TiB".
QString sizeText(quint64 bytes);

// The disk as people know it: "/dev/sdb (Samsung SSD 870, serial S5Y1, 931.5 GiB)".
QString diskDescription(const DiskInfo& disk);

// Unkeyed 32-byte BLAKE2b of the UTF-8 serial number (trimmed by the caller's DiskInfo).
QByteArray diskIdentityHash(const QString& serialNumber);

// The gaps strictly between partitions, and after the last one up to the tail reserve; nothing
// before the first partition and nothing on a disk without partitions. Exact, not rounded.
QList<FreeRegion> computeGaps(quint64 diskSize, QList<PartitionExtent> partitions,
                              quint64 minimumSize, quint64 tailReserve);
QList<FreeRegion> computeFreeRegions(const DiskInfo& disk, quint64 minimumSize,
                                     bool allowSystemDisk);
bool regionIsFree(const DiskInfo& disk, const FreeRegion& region, bool allowSystemDisk);

// The whole disks a block device (its sysfs folder) lives on: its own disk for a partition, the
// disks under every device-mapper, LVM, LUKS or md layer below it, or itself.
QStringList wholeDisksUnder(const QString& blockSysfsPath);

// Reads the partitions of a disk from its sysfs folder (sizes in 512-byte units). An MBR
// extended partition shows there as its first boot record only (two units, one sector on disks
// with larger sectors); it is counted as covering everything up to the end of its last logical
// partition, so the boot records chaining the logical partitions are never offered as free
// space.
QList<PartitionExtent> partitionsFromSysfs(const QString& diskSysfsPath, quint32 sectorSize);

} // namespace korvex::rawstore
