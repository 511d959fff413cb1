#pragma once

#include "crypto/SecureBuffer.h"
#include "rawstore/PhysicalDisks.h"
#include "rawstore/PhysicalMedium.h"
#include "vault/IVaultBlockStore.h"
#include "vault/VaultLocation.h"

#include <QByteArray>
#include <QString>
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
};

QString rawStoreErrorText(RawStoreError error);

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
        std::optional<RegionMedium> region;
    };
    // Writes the marker into the region's first sector once every check passed.
    static ClaimResult claimRegion(const std::shared_ptr<rawstore::IPhysicalMedium>& medium,
                                   const rawstore::DiskInfo& disk,
                                   const rawstore::FreeRegion& region, bool validateOnly,
                                   bool allowSystemDisk, const crypto::SecureBuffer& markerKey);
    // Destroys the marker and every byte of the region (three passes: zeros, ones, random).
    // A region whose length is not a whole number of sectors has its last, partial sector
    // read, wiped up to the region's end and written back: nothing outside it changes.
    static bool releaseClaim(const RawDiskClaim& claim, const MarkerKeyLoader& markerKey);

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
