#include "vault/RawBlockStore.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QtEndian>
#include <cstring>
#include <limits>
#include <new>
#include <sodium.h>

namespace korvex::vault {

namespace {

const char kMagicLabel[] = "zelvora.rawdisk.claim.magic.v1";
constexpr std::size_t kMagicLabelBytes = sizeof(kMagicLabel) - 1; // 30
constexpr std::size_t kMagicBytes = 8;
constexpr std::size_t kMacBytes = 32;
constexpr std::size_t kMacCoveredBytes = 64;
constexpr qsizetype kIdentityHashBytes = 32;
// A release wipes this much per write (and flush) at most.
constexpr quint64 kWipeChunkBytes = 1 << 20;

bool keyUsable(const crypto::SecureBuffer& key) {
    return key.size() >= crypto_generichash_KEYBYTES_MIN &&
           key.size() <= crypto_generichash_KEYBYTES_MAX;
}

void keyedHash(const crypto::SecureBuffer& key, const unsigned char* in, std::size_t length,
               unsigned char* out, std::size_t outLength) {
    crypto_generichash(out, outLength, in, length, key.data(), key.size());
}

bool isPowerOfTwo(quint32 value) {
    return value != 0 && (value & (value - 1)) == 0;
}

bool settingsValid(const RawDiskClaim& claim) {
    return claim.diskNumber < rawstore::kMaxDisks && claim.claimedLength != 0 &&
           isPowerOfTwo(claim.sectorSize) && claim.sectorSize >= kClaimMarkerBytes &&
           claim.claimedStartOffset + claim.claimedLength >= claim.claimedStartOffset;
}

// Reads and checks the marker at the claim's start: valid under key, for exactly this region,
// and for the disk the configuration names, which must be the disk found now.
bool markerMatches(rawstore::IPhysicalMedium& medium, const RawDiskClaim& claim,
                   const rawstore::DiskInfo& disk, const crypto::SecureBuffer& key) {
    QByteArray sector(qsizetype(claim.sectorSize), '\0');
    if (!medium.readAt(claim.claimedStartOffset, sector.data(), quint64(sector.size())))
        return false;
    const std::optional<ClaimMarker> marker = RawBlockStore::parseClaimMarker(sector, key);
    return marker && marker->claimedStartOffset == claim.claimedStartOffset &&
           marker->claimedLength == claim.claimedLength &&
           marker->diskSerialHash == claim.diskSerialHash &&
           marker->diskSerialHash == rawstore::diskIdentityHash(disk.serialNumber);
}

struct HeapBytes {
    explicit HeapBytes(quint64 length)
        : data(length <= quint64(SIZE_MAX) ? new (std::nothrow) unsigned char[size_t(length)]
                                           : nullptr),
          size(length) {}
    ~HeapBytes() { delete[] data; }
    HeapBytes(const HeapBytes&) = delete;
    HeapBytes& operator=(const HeapBytes&) = delete;
    unsigned char* data;
    quint64 size;
};

// Where a range of the store lies in the region (past the marker sector), and the whole
// sectors around it.
struct SectorSpan {
    quint64 position = 0;
    quint64 start = 0;
    quint64 end = 0;
    bool aligned = false;
};

std::optional<SectorSpan> sectorSpan(const std::optional<RegionMedium>& region,
                                     quint32 markerSector, qint64 offset, qint64 length) {
    if (!region || offset < 0 || length < 0)
        return std::nullopt;
    const quint64 sector = region->sectorSize();
    const quint64 position = quint64(markerSector) + quint64(offset);
    if (sector == 0 || position < quint64(offset) || position + quint64(length) < position ||
        position + quint64(length) > std::numeric_limits<quint64>::max() - sector)
        return std::nullopt;
    SectorSpan span;
    span.position = position;
    span.start = position / sector * sector;
    span.end = (position + quint64(length) + sector - 1) / sector * sector;
    span.aligned = position % sector == 0 && quint64(length) % sector == 0;
    return span;
}

void fillRandom(unsigned char* data, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const quint32 word = QRandomGenerator::global()->generate();
        const std::size_t n = std::min<std::size_t>(sizeof(word), length - done);
        std::memcpy(data + done, &word, n);
        done += n;
    }
}

} // namespace

QString rawStoreErrorText(RawStoreError error) {
    const char* text = nullptr;
    switch (error) {
    case RawStoreError::None:
        return QString();
    case RawStoreError::NotAdministrator:
        text = "Zelvora could not open the disk this vault is stored on. Opening a raw-disk vault "
               "needs administrator authorisation every time, not just at setup, and the disk "
               "must not be mounted or in use by another program -- approve the authorisation "
               "prompt, or run Zelvora as a user who may open disks (root or the disk group).";
        break;
    case RawStoreError::DiskNotFound:
        text = "The disk this vault was stored on could not be found. Make sure it's connected, "
               "then try again.";
        break;
    case RawStoreError::LayoutChanged:
        text = "The disk's partition layout has changed since this vault was set up, and the "
               "claimed region is no longer safely usable.";
        break;
    case RawStoreError::MarkerMismatch:
        text = "The claimed region's marker no longer matches what this install expects -- wrong "
               "disk, the region was reused, or it was tampered with.";
        break;
    case RawStoreError::KeyUnavailable:
        text = "This device's TPM/security chip or keyring, which protects this vault's local "
               "marker key, is not available right now.";
        break;
    case RawStoreError::KeyPromptCancelled:
        text = "The prompt for this vault's hardware key (the TPM PIN or the keyring unlock) was "
               "cancelled. This is not a wrong password -- try again and approve the prompt.";
        break;
    case RawStoreError::InvalidSettings:
        text = "This install's raw-disk vault settings look invalid.";
        break;
    }
    return QCoreApplication::translate("RawBlockStore", text);
}

RegionMedium::RegionMedium(std::shared_ptr<rawstore::IPhysicalMedium> medium, quint64 start,
                           quint64 length)
    : medium_(std::move(medium)), start_(start), length_(length) {}

quint32 RegionMedium::sectorSize() const {
    return medium_ ? medium_->sectorSize() : 0;
}

bool RegionMedium::allows(quint64 offset, quint64 length) const {
    if (!medium_ || !medium_->isOpen())
        return false;
    const quint32 sector = medium_->sectorSize();
    return sector != 0 && offset % sector == 0 && length % sector == 0 && offset <= length_ &&
           length <= length_ - offset;
}

bool RegionMedium::readAt(quint64 offset, void* buffer, quint64 length) {
    return allows(offset, length) && medium_->readAt(start_ + offset, buffer, length);
}

bool RegionMedium::writeAt(quint64 offset, const void* buffer, quint64 length) {
    return allows(offset, length) && medium_->writeAt(start_ + offset, buffer, length);
}

RawBlockStore::RawBlockStore(quint32 diskNumber, quint64 claimedStartOffset, quint64 claimedLength,
                             quint32 sectorSize, const QByteArray& diskSerialHash, bool createNew,
                             MarkerKeyLoader markerKey)
    : RawBlockStore(
          RawDiskClaim{diskNumber, claimedStartOffset, claimedLength, sectorSize, diskSerialHash},
          createNew, std::move(markerKey)) {}

RawBlockStore::RawBlockStore(const RawDiskClaim& claim, bool createNew, MarkerKeyLoader markerKey)
    : claim_(claim), createNew_(createNew), markerKey_(std::move(markerKey)) {}

RawBlockStore::~RawBlockStore() {
    close();
}

bool RawBlockStore::create() {
    if (!openDevice())
        return false;
    logicalSize_ = 0;
    return true;
}

bool RawBlockStore::open() {
    if (!openDevice())
        return false;
    logicalSize_ = claim_.claimedLength > claim_.sectorSize
                       ? qint64(claim_.claimedLength - claim_.sectorSize)
                       : 0;
    return true;
}

bool RawBlockStore::openDevice() {
    close();
    lastError_ = RawStoreError::None;
    if (!settingsValid(claim_) || claim_.claimedLength > quint64(INT64_MAX)) {
        lastError_ = RawStoreError::InvalidSettings;
        return false;
    }
    rawstore::DiskQueryError queryError = rawstore::DiskQueryError::None;
    const rawstore::DiskInfo disk =
        rawstore::findClaimedDisk(claim_.diskNumber, claim_.diskSerialHash, &queryError);
    if (!disk.valid) {
        lastError_ = queryError == rawstore::DiskQueryError::AccessDenied
                         ? RawStoreError::NotAdministrator
                         : RawStoreError::DiskNotFound;
        return false;
    }
    // Never on the system disk: its free space is not offered without an explicit unlock.
    if (!rawstore::regionIsFree(disk, {claim_.claimedStartOffset, claim_.claimedLength}, false)) {
        lastError_ = RawStoreError::LayoutChanged;
        return false;
    }
    MarkerKeyFailure keyFailure = MarkerKeyFailure::None;
    const crypto::SecureBuffer key = markerKey_ ? markerKey_(&keyFailure) : crypto::SecureBuffer();
    if (key.empty()) {
        lastError_ = keyFailure == MarkerKeyFailure::PromptCancelled
                         ? RawStoreError::KeyPromptCancelled
                         : RawStoreError::KeyUnavailable;
        return false;
    }
    auto medium = std::make_shared<rawstore::PhysicalDiskMedium>(
        disk, claim_.claimedStartOffset + claim_.claimedLength, claim_.sectorSize);
    platform::BlockDeviceOpenError openError = platform::BlockDeviceOpenError::None;
    if (!medium->open(&openError)) {
        // A disk that went away between the query and the open is not a question of rights.
        lastError_ = openError == platform::BlockDeviceOpenError::NotFound
                         ? RawStoreError::DiskNotFound
                         : RawStoreError::NotAdministrator;
        return false;
    }
    if (!markerMatches(*medium, claim_, disk, key)) {
        lastError_ = RawStoreError::MarkerMismatch;
        return false;
    }
    medium_ = std::move(medium);
    region_.emplace(medium_, claim_.claimedStartOffset, claim_.claimedLength);
    return true;
}

void RawBlockStore::close() {
    // The window and the store are the medium's only holders: it closes its handle as it goes.
    region_.reset();
    medium_.reset();
}

bool RawBlockStore::isOpen() const {
    return region_ && medium_ && medium_->isOpen();
}

bool RawBlockStore::resize(qint64 newSize) {
    const quint64 capacity =
        claim_.claimedLength > claim_.sectorSize ? claim_.claimedLength - claim_.sectorSize : 0;
    if (newSize < 0 || quint64(newSize) > capacity)
        return false;
    logicalSize_ = newSize;
    return true;
}

bool RawBlockStore::readAt(qint64 offset, void* buffer, qint64 length) {
    const std::optional<SectorSpan> span = sectorSpan(region_, claim_.sectorSize, offset, length);
    if (!span)
        return false;
    if (length == 0)
        return true;
    if (span->aligned)
        return region_->readAt(span->position, buffer, quint64(length));
    HeapBytes bytes(span->end - span->start);
    if (!bytes.data || !region_->readAt(span->start, bytes.data, bytes.size))
        return false;
    std::memcpy(buffer, bytes.data + (span->position - span->start), size_t(length));
    return true;
}

bool RawBlockStore::writeAt(qint64 offset, const void* buffer, qint64 length) {
    const std::optional<SectorSpan> span = sectorSpan(region_, claim_.sectorSize, offset, length);
    if (!span)
        return false;
    if (length == 0)
        return true;
    if (span->aligned)
        return region_->writeAt(span->position, buffer, quint64(length));
    // Whole sectors only: the partial ones at either end keep their other bytes.
    HeapBytes bytes(span->end - span->start);
    if (!bytes.data || !region_->readAt(span->start, bytes.data, bytes.size))
        return false;
    std::memcpy(bytes.data + (span->position - span->start), buffer, size_t(length));
    return region_->writeAt(span->start, bytes.data, bytes.size);
}

bool RawBlockStore::buildClaimMarker(const ClaimMarker& marker, const crypto::SecureBuffer& key,
                                     unsigned char* out, qsizetype outLength) {
    if (!out || outLength < kClaimMarkerBytes ||
        marker.diskSerialHash.size() != kIdentityHashBytes || key.empty() || !keyUsable(key))
        return false;
    std::memset(out, 0, size_t(outLength));
    keyedHash(key, reinterpret_cast<const unsigned char*>(kMagicLabel), kMagicLabelBytes, out,
              kMagicBytes);
    qToLittleEndian<quint32>(marker.version, out + 8);
    qToLittleEndian<quint32>(0, out + 12);
    qToLittleEndian<quint64>(marker.claimedStartOffset, out + 16);
    qToLittleEndian<quint64>(marker.claimedLength, out + 24);
    std::memcpy(out + 32, marker.diskSerialHash.constData(), kIdentityHashBytes);
    keyedHash(key, out, kMacCoveredBytes, out + kMacCoveredBytes, kMacBytes);
    return true;
}

std::optional<ClaimMarker> RawBlockStore::parseClaimMarker(const QByteArray& bytes,
                                                           const crypto::SecureBuffer& key) {
    if (bytes.size() < kClaimMarkerBytes || key.empty() || !keyUsable(key))
        return std::nullopt;
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.constData());
    unsigned char magic[kMagicBytes];
    keyedHash(key, reinterpret_cast<const unsigned char*>(kMagicLabel), kMagicLabelBytes, magic,
              kMagicBytes);
    if (sodium_memcmp(magic, in, kMagicBytes) != 0)
        return std::nullopt;
    if (qFromLittleEndian<quint32>(in + 8) != kClaimMarkerVersion)
        return std::nullopt;
    unsigned char mac[kMacBytes];
    keyedHash(key, in, kMacCoveredBytes, mac, kMacBytes);
    if (sodium_memcmp(mac, in + kMacCoveredBytes, kMacBytes) != 0)
        return std::nullopt;
    ClaimMarker marker;
    marker.version = kClaimMarkerVersion;
    marker.claimedStartOffset = qFromLittleEndian<quint64>(in + 16);
    marker.claimedLength = qFromLittleEndian<quint64>(in + 24);
    marker.diskSerialHash = QByteArray(bytes.constData() + 32, kIdentityHashBytes);
    return marker;
}

RawBlockStore::ClaimResult
RawBlockStore::claimRegion(const std::shared_ptr<rawstore::IPhysicalMedium>& medium,
                           const rawstore::DiskInfo& disk, const rawstore::FreeRegion& region,
                           bool validateOnly, bool allowSystemDisk,
                           const crypto::SecureBuffer& markerKey) {
    ClaimResult result;
    result.validateOnly = validateOnly;
    if (!medium || !medium->isOpen())
        return result;
    if (disk.isSystemDisk && !allowSystemDisk)
        return result;
    result.ok = rawstore::regionIsFree(disk, region, allowSystemDisk);
    if (!result.ok || validateOnly)
        return result;
    RegionMedium window(medium, region.start, region.length);
    const quint32 sector = window.sectorSize();
    if (sector == 0 || sector < kClaimMarkerBytes) {
        result.ok = false;
        return result;
    }
    QByteArray sectorBytes(qsizetype(sector), '\0');
    const ClaimMarker marker{kClaimMarkerVersion, region.start, region.length,
                             rawstore::diskIdentityHash(disk.serialNumber)};
    result.ok =
        buildClaimMarker(marker, markerKey, reinterpret_cast<unsigned char*>(sectorBytes.data()),
                         sectorBytes.size()) &&
        window.writeAt(0, sectorBytes.constData(), quint64(sectorBytes.size()));
    if (result.ok)
        result.region = window;
    return result;
}

bool RawBlockStore::releaseClaim(const RawDiskClaim& claim, const MarkerKeyLoader& markerKey) {
    if (!settingsValid(claim))
        return false;
    const rawstore::DiskInfo disk =
        rawstore::findClaimedDisk(claim.diskNumber, claim.diskSerialHash);
    if (!disk.valid || disk.isSystemDisk ||
        claim.claimedStartOffset + claim.claimedLength > disk.size)
        return false;
    auto medium = std::make_shared<rawstore::PhysicalDiskMedium>(
        disk, claim.claimedStartOffset + claim.claimedLength, claim.sectorSize);
    if (!medium->open())
        return false;
    MarkerKeyFailure keyFailure = MarkerKeyFailure::None;
    const crypto::SecureBuffer key = markerKey ? markerKey(&keyFailure) : crypto::SecureBuffer();
    if (key.empty() || !markerMatches(*medium, claim, disk, key))
        return false;

    const quint64 sector = claim.sectorSize;
    const quint64 wholeSectors = claim.claimedLength / sector * sector;
    const quint64 tail = claim.claimedLength - wholeSectors;
    const quint64 chunkSize = std::min<quint64>(kWipeChunkBytes / sector * sector, wholeSectors);
    HeapBytes chunk(std::max<quint64>(chunkSize, sector));
    HeapBytes tailSector(tail ? sector : 0);
    if (!chunk.data || (tail && !tailSector.data))
        return false;
    RegionMedium window(medium, claim.claimedStartOffset, claim.claimedLength);
    const auto fill = [](int pass, unsigned char* data, quint64 length) {
        if (pass == 0)
            std::memset(data, 0x00, size_t(length));
        else if (pass == 1)
            std::memset(data, 0xFF, size_t(length));
        else
            fillRandom(data, size_t(length));
    };
    // The marker goes last: a release cut short (a crash, a disk pulled out) still finds it,
    // so the next attempt can tell the region is this claim and finish the job.
    for (int pass = 0; pass < 3; ++pass) {
        for (quint64 offset = sector; offset < wholeSectors; offset += chunkSize) {
            const quint64 length = std::min(chunkSize, wholeSectors - offset);
            fill(pass, chunk.data, length);
            if (!window.writeAt(offset, chunk.data, length))
                return false;
        }
        if (tail) {
            // The region ends inside a sector: rewrite that sector with only the region's part
            // of it wiped.
            const quint64 at = claim.claimedStartOffset + wholeSectors;
            if (!medium->readAt(at, tailSector.data, sector))
                return false;
            fill(pass, tailSector.data, tail);
            if (!medium->writeAt(at, tailSector.data, sector))
                return false;
        }
    }
    for (int pass = 0; pass < 3; ++pass) {
        fill(pass, chunk.data, sector);
        if (!window.writeAt(0, chunk.data, sector))
            return false;
    }
    medium->close();
    return true;
}

} // namespace korvex::vault
