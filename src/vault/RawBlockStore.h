#pragma once

#include "crypto/SecureBuffer.h"
#include "rawstore/PhysicalDisks.h"
#include "rawstore/PhysicalMedium.h"
#include "vault/IVaultBlockStore.h"
#include "vault/VaultLocation.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace korvex::vault {

inline constexpr qsizetype kClaimMarkerBytes = 96;
inline constexpr quint32 kClaimMarkerVersion = 1;
// The marker key's key-file name in the data folder.
inline constexpr char kMarkerKeyFileName[] = "/raw_disk_marker.dat.key";

struct ClaimMarker {
    quint32 version = kClaimMarkerVersion;
    quint64 claimedStartOffset = 0;
    quint64 claimedLength = 0;
    QByteArray diskSerialHash; // 32 bytes
};

enum class RawStoreError {
    None = 0,
    NotAdministrator = 1,
    DiskNotFound = 2,
    LayoutChanged = 3,
    MarkerMismatch = 4,
    KeyUnavailable = 5,
    KeyPromptCancelled = 6,
    InvalidSettings = 7,
    DiskAmbiguous = 8,     // more than one disk has the claim's identity
    DiskChanged = 9,       // the disk held open is not as it was found (size, sector size, name)
    LayoutUnreadable = 10, // the partition table on the disk could not be read
};

// Why claimRegion wrote no marker.
enum class ClaimFailure {
    None = 0,
    NotOpen = 1,     // no medium, or not open
    SystemDisk = 2,  // on the system disk without the unlock
    NotTheDisk = 3,  // the disk held open is not the one listed (identity, size or sector size)
    NotFree = 4,     // the region is not free on the disk as it is now
    Unreadable = 5,  // the partition table on the device could not be read
    WriteFailed = 6, // the marker could not be built or written
};

// What releaseClaim did.
enum class ReleaseOutcome {
    Released = 0,    // marker and every byte of the region wiped
    InvalidSettings, // the claim's settings are not a claim
    DiskNotFound,    // no disk has the claim's identity (or more than one has)
    NotOpened,       // the disk could not be opened (in use, or authorisation refused)
    KeyUnavailable,  // the marker key could not be loaded
    NotOurs,         // the marker does not verify: nothing there is known to be this claim
    Overlapped,      // a partition now lies over the region: nothing was written
    Unverifiable,    // the partition table on the device could not be read: nothing written
    IoFailed,        // a read or write of the disk failed; the marker is still there
};

struct ReleaseResult {
    ReleaseOutcome outcome = ReleaseOutcome::IoFailed;
    rawstore::DiskInfo disk;                      // the disk as found, when it was
    QList<rawstore::PartitionExtent> overlapping; // Overlapped: the partitions over the region
};

// How far a release got: passes 0 to 2 wipe the region after the marker, pass 3 the marker;
// pass 4 is a release that completed. Each write is on the device before it is recorded.
struct WipePosition {
    int pass = 0;
    quint64 offset = 0;
};

// Where a release records its progress, so that one cut short (a crash, a disk pulled out, the
// program killed) resumes where it stopped. The record is authenticated under the marker key
// and names the claim, so it is only ever taken for the same region.
struct ReleaseJournal {
    QString path;                                              // empty: none kept
    std::function<void(quint64 done, quint64 total)> progress; // may be empty
    // How much of a pass goes between two records, and between two checks that the region is
    // still free and still on the same disk.
    quint64 stepBytes = quint64(64) << 20;
};

// The journal's record of a release of claim, when path holds one that verifies under key.
std::optional<WipePosition> readReleaseJournal(const QString& path, const RawDiskClaim& claim,
                                               const crypto::SecureBuffer& key);

QString rawStoreErrorText(RawStoreError error);

// The claimed region as people know it: "9.00 MiB from 11.00 MiB to 20.00 MiB of /dev/sdb
// (model, serial, size)", the disk as it is found now (disk, when given and valid; else looked
// up by the claim's identity), or by the number it had when it cannot be found.
QString claimedRegionText(const RawDiskClaim& claim, const rawstore::DiskInfo* disk = nullptr);

// A window onto a medium: sector-aligned reads and writes inside [start, start + length).
class RegionMedium {
public:
    RegionMedium(std::shared_ptr<rawstore::IPhysicalMedium> medium, quint64 start, quint64 length);
    bool readAt(quint64 offset, void* buffer, quint64 length);
    bool writeAt(quint64 offset, const void* buffer, quint64 length);
    quint32 sectorSize() const;
    quint64 start() const { return start_; }
    quint64 length() const { return length_; }

private:
    bool allows(quint64 offset, quint64 length) const;

    std::shared_ptr<rawstore::IPhysicalMedium> medium_;
    quint64 start_ = 0;
    quint64 length_ = 0;
};

// The vault's address space in a claimed region of unallocated disk space: the region's first
// sector holds the claim marker, offset 0 of the store is the byte after it. Every open checks
// that the disk is the same disk, the region is still unallocated and the marker verifies under
// this installation's marker key.
class RawBlockStore : public IVaultBlockStore {
public:
    RawBlockStore(quint32 diskNumber, quint64 claimedStartOffset, quint64 claimedLength,
                  quint32 sectorSize, const QByteArray& diskSerialHash, bool createNew,
                  MarkerKeyLoader markerKey);
    RawBlockStore(const RawDiskClaim& claim, bool createNew, MarkerKeyLoader markerKey);
    ~RawBlockStore() override;

    bool exists() const override { return !createNew_; }
    bool create() override;
    bool open() override;
    void close() override;
    bool isOpen() const override;
    QString errorString() const override { return rawStoreErrorText(lastError_); }
    bool remove() override { return false; }
    qint64 size() const override { return logicalSize_; }
    bool resize(qint64 newSize) override;
    bool readAt(qint64 offset, void* buffer, qint64 length) override;
    bool writeAt(qint64 offset, const void* buffer, qint64 length) override;
    bool flush() override { return isOpen(); }

    RawStoreError lastError() const { return lastError_; }

    // Marker bytes: false for a buffer under 96 bytes, a hash that is not 32 bytes or an empty
    // key; otherwise the buffer's first bytes hold the marker, the rest of it zeros.
    static bool buildClaimMarker(const ClaimMarker& marker, const crypto::SecureBuffer& key,
                                 unsigned char* out, qsizetype outLength);
    static std::optional<ClaimMarker> parseClaimMarker(const QByteArray& bytes,
                                                       const crypto::SecureBuffer& key);

    struct ClaimResult {
        bool ok = false;
        bool validateOnly = false;
        ClaimFailure failure = ClaimFailure::None;
        std::optional<RegionMedium> region;
    };
    // Writes the marker into the region's first sector once every check passed. disk is the
    // record the medium was opened from; the checks are made on the disk as it is now, read
    // through the medium's descriptor (its identity, and its layout as both the kernel and the
    // device's own partition table give it).
    static ClaimResult claimRegion(const std::shared_ptr<rawstore::PhysicalDiskMedium>& medium,
                                   const rawstore::DiskInfo& disk,
                                   const rawstore::FreeRegion& region, bool validateOnly,
                                   bool allowSystemDisk, const crypto::SecureBuffer& markerKey);
    // Takes back a claim whose vault could not be made: zeroes the region's first sector, only
    // while it still holds this claim's marker. False when it does not, or the write failed.
    static bool withdrawClaim(rawstore::IPhysicalMedium& medium, const rawstore::DiskInfo& disk,
                              const rawstore::FreeRegion& region,
                              const crypto::SecureBuffer& markerKey);
    // Destroys the marker and every byte of the region (three passes: zeros, ones, random; the
    // marker last), once the disk held open is the claim's, the whole region is still free on
    // it and the marker verifies. A region whose length is not a whole number of sectors has
    // its last, partial sector read, wiped up to the region's end and written back: nothing
    // outside it changes. With a journal, it resumes a release of the same claim cut short.
    static ReleaseResult releaseClaim(const RawDiskClaim& claim, const MarkerKeyLoader& markerKey,
                                      const ReleaseJournal& journal = {});

private:
    bool openDevice();

    RawDiskClaim claim_;
    bool createNew_ = false;
    MarkerKeyLoader markerKey_;
    std::shared_ptr<rawstore::IPhysicalMedium> medium_;
    std::optional<RegionMedium> region_;
    qint64 logicalSize_ = 0;
    RawStoreError lastError_ = RawStoreError::None;
};

} // namespace korvex::vault
