#pragma once

#include "platform/BlockDeviceAccess.h"
#include "rawstore/PhysicalDisks.h"

#include <QString>
#include <QtGlobal>
#include <sys/types.h>

namespace korvex::rawstore {

// Raw sector access to a disk.
class IPhysicalMedium {
public:
    virtual ~IPhysicalMedium() = default;
    virtual bool isOpen() const = 0;
    virtual quint64 size() const = 0;
    virtual quint32 sectorSize() const = 0;
    virtual bool readAt(quint64 offset, void* buffer, quint64 length) = 0;
    // Every successful write is on the disk (flushed) before this returns.
    virtual bool writeAt(quint64 offset, const void* buffer, quint64 length) = 0;

protected:
    IPhysicalMedium() = default;
    IPhysicalMedium(const IPhysicalMedium&) = delete;
    IPhysicalMedium& operator=(const IPhysicalMedium&) = delete;
};

// A whole disk's block device, opened read-write and exclusively. size and sectorSize are the
// values given at construction (the raw-disk store passes the end of its claimed region); there
// is no bounds check here, the region window above enforces alignment and limits.
class PhysicalDiskMedium : public IPhysicalMedium {
public:
    PhysicalDiskMedium(const DiskInfo& disk, quint64 size, quint32 sectorSize);
    ~PhysicalDiskMedium() override;

    // Closes any open descriptor, then opens the device; error says why it failed.
    bool open(platform::BlockDeviceOpenError* error = nullptr);
    void close();

    // Takes the whole disk's advisory lock, which udev and partitioning tools (sfdisk, fdisk,
    // parted through libblkid) honour, so that no partition is made while it is held. False when
    // another program holds it or the medium is not open. Released with the descriptor.
    bool lockAgainstPartitioning();

    // The disk held open, checked against disk (the record it was opened from) and with its
    // layout read again (recheckOpenDisk); NotTheDisk when it is not open.
    DiskRecheck recheck(const DiskInfo& disk, DiskInfo* now) const;

    bool isOpen() const override { return fd_ >= 0; }
    quint64 size() const override { return size_; }
    quint32 sectorSize() const override { return sectorSize_; }
    bool readAt(quint64 offset, void* buffer, quint64 length) override;
    bool writeAt(quint64 offset, const void* buffer, quint64 length) override;

private:
    QString kernelName_;
    dev_t device_ = 0;
    quint64 size_ = 0;
    quint32 sectorSize_ = 0;
    int fd_ = -1;
};

} // namespace korvex::rawstore
