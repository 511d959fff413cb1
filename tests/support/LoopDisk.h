#pragma once

#include "crypto/SecureBuffer.h"
#include "rawstore/PhysicalDisks.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>
#include <optional>

namespace korvex::test {

// A real block device for raw-disk tests: a sparse image file in a temporary folder, given a
// partition table by sfdisk and attached as a loop device whose partitions the kernel knows.
// Detached again when it goes. Needs root.
class LoopDisk {
public:
    LoopDisk() = default;
    ~LoopDisk();
    LoopDisk(const LoopDisk&) = delete;
    LoopDisk& operator=(const LoopDisk&) = delete;

    // Why loop disks cannot be used here (not root, no losetup, sfdisk or partx, no loop
    // device); empty when they can.
    static QString unavailable();

    // A disk of size bytes and logical sectors of sectorSize, with the partition table of an
    // sfdisk script (empty: no table at all), attached.
    bool create(quint64 size, const QString& sfdiskScript, quint32 sectorSize = 512);
    // Writes a new partition table over the attached device and lets the kernel see it.
    bool repartition(const QString& sfdiskScript);
    // Adds a partition to the table (an sfdisk line, "start=..., size=..."), as sfdisk --append
    // does; with tellKernel false the table on the device changes and the kernel's view does
    // not, as after a tool that wrote the table and never asked the kernel to re-read it.
    bool appendPartition(const QString& sfdiskLine, bool tellKernel = true);
    // Attaches a copy of this disk's image as a second loop device (another disk, with another
    // backing file and so another identity).
    bool createCopyOf(const LoopDisk& other);
    bool detach();

    bool attached() const { return !device_.isEmpty(); }
    QString devicePath() const { return device_; } // "/dev/loop3"
    QString kernelName() const;                    // "loop3"
    QString imagePath() const { return image_; }
    // The bytes of the device at offset, read through the device node.
    QByteArray read(quint64 offset, qint64 length) const;
    bool write(quint64 offset, const QByteArray& bytes) const;
    // This disk as the program lists it; nothing when it is not listed.
    std::optional<rawstore::DiskInfo> diskInfo() const;
    // Writes the claim marker of region under key, as the setup does.
    bool claim(const rawstore::FreeRegion& region, const crypto::SecureBuffer& key) const;
    // What the last failing command said.
    const QString& lastError() const { return lastError_; }

private:
    bool attach(quint32 sectorSize);
    bool rescan();
    bool run(const QString& program, const QStringList& arguments, const QByteArray& input,
             QString* output = nullptr);

    QTemporaryDir dir_;
    QString image_;
    QString device_;
    QString lastError_;
};

} // namespace korvex::test
