#include "vault/RawBlockStore.h"

#include "platform/FileSync.h"
#include "platform/RegularFile.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QtEndian>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <new>
#include <sodium.h>
#include <unistd.h>

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

// The logical sector sizes a claim may record: powers of two from 512 to 65536, as the kernel
// allows for block devices.
constexpr quint32 kMinimumSectorSize = 512;
constexpr quint32 kMaximumSectorSize = 65536;

bool claimSettingsValid(const RawDiskClaim& claim) {
    return claim.diskNumber < rawstore::kMaxDisks && claim.claimedLength != 0 &&
           isPowerOfTwo(claim.sectorSize) && claim.sectorSize >= kMinimumSectorSize &&
           claim.sectorSize <= kMaximumSectorSize &&
           claim.claimedStartOffset + claim.claimedLength >= claim.claimedStartOffset;
}

// A journal record is a line of JSON and its MAC; anything longer is not one.
constexpr qint64 kJournalMaxBytes = 4096;
const char kJournalLabel[] = "zelvora.rawdisk.release.v1";
constexpr int kMarkerPass = 3;
constexpr int kReleasedPass = 4;

// Reads and checks the marker at the claim's start: valid under key, for exactly this region,
// and for the disk the configuration names, which must be the disk found now.
enum class MarkerState { Matches, Differs, Unreadable };

MarkerState markerState(rawstore::IPhysicalMedium& medium, const RawDiskClaim& claim,
                        const rawstore::DiskInfo& disk, const crypto::SecureBuffer& key) {
    if (claim.sectorSize < kClaimMarkerBytes)
        return MarkerState::Differs;
    QByteArray sector(qsizetype(claim.sectorSize), '\0');
    if (!medium.readAt(claim.claimedStartOffset, sector.data(), quint64(sector.size())))
        return MarkerState::Unreadable;
    const std::optional<ClaimMarker> marker = RawBlockStore::parseClaimMarker(sector, key);
    return marker && marker->claimedStartOffset == claim.claimedStartOffset &&
                   marker->claimedLength == claim.claimedLength &&
                   marker->diskSerialHash == claim.diskSerialHash &&
                   marker->diskSerialHash == rawstore::diskIdentityHash(disk.serialNumber)
               ? MarkerState::Matches
               : MarkerState::Differs;
}

bool markerMatches(rawstore::IPhysicalMedium& medium, const RawDiskClaim& claim,
                   const rawstore::DiskInfo& disk, const crypto::SecureBuffer& key) {
    return markerState(medium, claim, disk, key) == MarkerState::Matches;
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

QByteArray journalMac(const QByteArray& body, const crypto::SecureBuffer& key) {
    QByteArray mac(32, '\0');
    crypto_generichash_state state;
    crypto_generichash_init(&state, key.data(), key.size(), size_t(mac.size()));
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(kJournalLabel),
                              sizeof(kJournalLabel) - 1);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(body.constData()),
                              size_t(body.size()));
    crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(mac.data()),
                             size_t(mac.size()));
    sodium_memzero(&state, sizeof(state));
    return mac;
}

QByteArray journalBody(const RawDiskClaim& claim, const WipePosition& at) {
    QJsonObject record;
    record[QStringLiteral("start")] = QString::number(claim.claimedStartOffset);
    record[QStringLiteral("length")] = QString::number(claim.claimedLength);
    record[QStringLiteral("disk")] = QString::fromLatin1(claim.diskSerialHash.toHex());
    record[QStringLiteral("pass")] = at.pass;
    record[QStringLiteral("offset")] = QString::number(at.offset);
    return QJsonDocument(record).toJson(QJsonDocument::Compact);
}

// Replaces the journal with a record of at: a private file beside it, synced, renamed over it.
// A record that cannot be written only costs a resume: the release goes on.
void writeReleaseJournal(const QString& path, const RawDiskClaim& claim, const WipePosition& at,
                         const crypto::SecureBuffer& key) {
    if (path.isEmpty())
        return;
    const QByteArray body = journalBody(claim, at);
    const QByteArray text = body + '\n' + journalMac(body, key).toHex() + '\n';
    const QString temporary = path + QStringLiteral(".new");
    QFile::remove(temporary);
    bool created = false;
    const int fd = platform::openRegularFileForWriting(temporary, O_TRUNC, &created);
    bool written = fd >= 0 && created &&
                   platform::writeFully(fd, text.constData(), size_t(text.size())) &&
                   platform::syncFileData(fd);
    if (fd >= 0)
        ::close(fd);
    written = written &&
              ::rename(QFile::encodeName(temporary).constData(),
                       QFile::encodeName(path).constData()) == 0 &&
              platform::syncParentFolder(path);
    if (!written) {
        QFile::remove(temporary);
        qWarning("releaseClaim: could not record the release's progress; a release cut short "
                 "now starts again from the beginning.");
    }
}

// The region on the disk medium holds open, decided on the disk as it is now: the same disk as
// the record it was opened from, and the region free in the kernel's view and in the partition
// table on the device. *now is the disk as read again.
enum class HeldRegion { Free, NotTheDisk, Unreadable, Taken };

HeldRegion checkHeldRegion(const rawstore::PhysicalDiskMedium& medium,
                           const rawstore::DiskInfo& disk, const rawstore::FreeRegion& region,
                           bool allowSystemDisk, rawstore::DiskInfo* now) {
    switch (medium.recheck(disk, now)) {
    case rawstore::DiskRecheck::Same:
        break;
    case rawstore::DiskRecheck::NotTheDisk:
        return HeldRegion::NotTheDisk;
    case rawstore::DiskRecheck::Unreadable:
        qWarning("RawBlockStore: the partition table on /dev/%s could not be read.",
                 qUtf8Printable(disk.kernelName));
        return HeldRegion::Unreadable;
    }
    return rawstore::regionIsFree(*now, region, allowSystemDisk) ? HeldRegion::Free
                                                                 : HeldRegion::Taken;
}

} // namespace

std::optional<WipePosition> readReleaseJournal(const QString& path, const RawDiskClaim& claim,
                                               const crypto::SecureBuffer& key) {
    if (path.isEmpty() || key.empty() || !keyUsable(key))
        return std::nullopt;
    const int fd = platform::openRegularFile(path);
    if (fd < 0)
        return std::nullopt;
    QByteArray text(kJournalMaxBytes + 1, '\0');
    qint64 got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, size_t(text.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    ::close(fd);
    if (got > kJournalMaxBytes)
        return std::nullopt;
    text.truncate(got);
    const QList<QByteArray> lines = text.split('\n');
    if (lines.size() < 2)
        return std::nullopt;
    const QByteArray& body = lines[0];
    const QByteArray mac = QByteArray::fromHex(lines[1]);
    const QByteArray expected = journalMac(body, key);
    if (mac.size() != expected.size() ||
        sodium_memcmp(mac.constData(), expected.constData(), size_t(mac.size())) != 0)
        return std::nullopt;
    // The record must be of this very claim, else it says nothing about this region.
    const QJsonObject record = QJsonDocument::fromJson(body).object();
    bool okOffset = false;
    WipePosition at;
    at.pass = record.value(QStringLiteral("pass")).toInt(-1);
    at.offset = record.value(QStringLiteral("offset")).toString().toULongLong(&okOffset);
    if (journalBody(claim, at) != body || !okOffset || at.pass < 0 || at.pass > kReleasedPass)
        return std::nullopt;
    return at;
}

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
        text = "The disk that holds this vault cannot be found -- connect it and start Zelvora "
               "again.";
        break;
    case RawStoreError::DiskAmbiguous:
        text = "More than one connected disk looks like the disk that holds this vault (disks "
               "without a serial number cannot be told apart), so Zelvora will not choose one. "
               "Disconnect the others and start Zelvora again.";
        break;
    case RawStoreError::DiskChanged:
        text = "The disk that holds this vault is not as it was when Zelvora looked it up (its "
               "size or sector size changed, or another disk took its name) -- nothing was "
               "written. Start Zelvora again; if this keeps happening, the disk is not the one "
               "the vault was set up on.";
        break;
    case RawStoreError::LayoutUnreadable:
        text = "The partition table of the disk that holds this vault could not be read, so "
               "Zelvora cannot tell that the vault's space is still unallocated -- nothing was "
               "written.";
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

QString claimedRegionText(const RawDiskClaim& claim, const rawstore::DiskInfo* disk) {
    const QString region =
        QCoreApplication::translate("RawBlockStore", "%1 from %2 to %3")
            .arg(rawstore::sizeText(claim.claimedLength),
                 rawstore::sizeText(claim.claimedStartOffset),
                 rawstore::sizeText(claim.claimedStartOffset + claim.claimedLength));
    const rawstore::DiskInfo found =
        disk ? *disk : rawstore::findClaimedDisk(claim.diskNumber, claim.diskSerialHash);
    if (found.valid)
        return QCoreApplication::translate("RawBlockStore", "%1 of %2")
            .arg(region, rawstore::diskDescription(found));
    return QCoreApplication::translate("RawBlockStore",
                                       "%1 of the disk that was disk %2 (not connected now)")
        .arg(region)
        .arg(claim.diskNumber);
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
    if (!claimSettingsValid(claim_) || claim_.claimedLength > quint64(INT64_MAX)) {
        lastError_ = RawStoreError::InvalidSettings;
        return false;
    }
    rawstore::DiskQueryError queryError = rawstore::DiskQueryError::None;
    const rawstore::DiskInfo disk =
        rawstore::findClaimedDisk(claim_.diskNumber, claim_.diskSerialHash, &queryError);
    if (!disk.valid) {
        lastError_ =
            queryError == rawstore::DiskQueryError::AccessDenied ? RawStoreError::NotAdministrator
            : queryError == rawstore::DiskQueryError::Ambiguous  ? RawStoreError::DiskAmbiguous
                                                                 : RawStoreError::DiskNotFound;
        return false;
    }
    const rawstore::FreeRegion region{claim_.claimedStartOffset, claim_.claimedLength};
    // Never on the system disk: its free space is not offered without an explicit unlock. A
    // layout already seen to have changed is refused before anyone is asked to authorise.
    if (!rawstore::regionIsFree(disk, region, false)) {
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
    // Decided on the disk as it is now that it is held.
    rawstore::DiskInfo now;
    switch (checkHeldRegion(*medium, disk, region, false, &now)) {
    case HeldRegion::Free:
        break;
    case HeldRegion::NotTheDisk:
        lastError_ = RawStoreError::DiskChanged;
        return false;
    case HeldRegion::Unreadable:
        lastError_ = RawStoreError::LayoutUnreadable;
        return false;
    case HeldRegion::Taken:
        lastError_ = RawStoreError::LayoutChanged;
        return false;
    }
    if (!markerMatches(*medium, claim_, now, key)) {
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
RawBlockStore::claimRegion(const std::shared_ptr<rawstore::PhysicalDiskMedium>& medium,
                           const rawstore::DiskInfo& disk, const rawstore::FreeRegion& region,
                           bool validateOnly, bool allowSystemDisk,
                           const crypto::SecureBuffer& markerKey) {
    ClaimResult result;
    result.validateOnly = validateOnly;
    const auto refuse = [&result](ClaimFailure failure) {
        result.ok = false;
        result.failure = failure;
        return result;
    };
    if (!medium || !medium->isOpen())
        return refuse(ClaimFailure::NotOpen);
    if (disk.isSystemDisk && !allowSystemDisk)
        return refuse(ClaimFailure::SystemDisk);
    // What was listed before the user was asked is only what was true then: the decision is
    // made on the disk held open now.
    rawstore::DiskInfo now;
    switch (checkHeldRegion(*medium, disk, region, allowSystemDisk, &now)) {
    case HeldRegion::Free:
        break;
    case HeldRegion::NotTheDisk:
        return refuse(ClaimFailure::NotTheDisk);
    case HeldRegion::Unreadable:
        return refuse(ClaimFailure::Unreadable);
    case HeldRegion::Taken:
        return refuse(ClaimFailure::NotFree);
    }
    result.ok = true;
    if (validateOnly)
        return result;
    RegionMedium window(medium, region.start, region.length);
    const quint32 sector = window.sectorSize();
    if (sector == 0 || sector < kClaimMarkerBytes)
        return refuse(ClaimFailure::WriteFailed);
    QByteArray sectorBytes(qsizetype(sector), '\0');
    const ClaimMarker marker{kClaimMarkerVersion, region.start, region.length,
                             rawstore::diskIdentityHash(now.serialNumber)};
    if (!buildClaimMarker(marker, markerKey, reinterpret_cast<unsigned char*>(sectorBytes.data()),
                          sectorBytes.size()) ||
        !window.writeAt(0, sectorBytes.constData(), quint64(sectorBytes.size())))
        return refuse(ClaimFailure::WriteFailed);
    result.region = window;
    return result;
}

bool RawBlockStore::withdrawClaim(rawstore::IPhysicalMedium& medium, const rawstore::DiskInfo& disk,
                                  const rawstore::FreeRegion& region,
                                  const crypto::SecureBuffer& markerKey) {
    const RawDiskClaim claim{disk.diskNumber, region.start, region.length, medium.sectorSize(),
                             rawstore::diskIdentityHash(disk.serialNumber)};
    // Only our own marker is zeroed: whatever else is there now is someone else's.
    if (!medium.isOpen() || !markerMatches(medium, claim, disk, markerKey))
        return false;
    const QByteArray zeros(qsizetype(claim.sectorSize), '\0');
    return medium.writeAt(region.start, zeros.constData(), quint64(zeros.size()));
}

ReleaseResult RawBlockStore::releaseClaim(const RawDiskClaim& claim,
                                          const MarkerKeyLoader& markerKey,
                                          const ReleaseJournal& journal) {
    ReleaseResult result;
    const auto outcome = [&result](ReleaseOutcome value) {
        result.outcome = value;
        return result;
    };
    if (!claimSettingsValid(claim))
        return outcome(ReleaseOutcome::InvalidSettings);
    const rawstore::FreeRegion region{claim.claimedStartOffset, claim.claimedLength};
    const rawstore::DiskInfo disk =
        rawstore::findClaimedDisk(claim.diskNumber, claim.diskSerialHash);
    if (!disk.valid)
        return outcome(ReleaseOutcome::DiskNotFound);
    result.disk = disk;
    if (disk.isSystemDisk || claim.claimedStartOffset + claim.claimedLength > disk.size ||
        claim.sectorSize != disk.sectorSize)
        return outcome(ReleaseOutcome::NotOurs);
    // Seen to be taken already: nothing to open or authorise.
    if (!rawstore::regionIsFree(disk, region, false)) {
        result.overlapping = rawstore::partitionsOverlapping(disk, region);
        return outcome(ReleaseOutcome::Overlapped);
    }
    auto medium = std::make_shared<rawstore::PhysicalDiskMedium>(
        disk, claim.claimedStartOffset + claim.claimedLength, claim.sectorSize);
    platform::BlockDeviceOpenError openError = platform::BlockDeviceOpenError::None;
    if (!medium->open(&openError))
        return outcome(openError == platform::BlockDeviceOpenError::NotFound
                           ? ReleaseOutcome::DiskNotFound
                           : ReleaseOutcome::NotOpened);
    // No partition may be made while the wipe runs (partitioning tools honour the disk's lock),
    // and everything from here on is decided on the disk held open, again at every step.
    if (!medium->lockAgainstPartitioning())
        return outcome(ReleaseOutcome::NotOpened);
    rawstore::DiskInfo now;
    const auto stillFree = [&]() -> std::optional<ReleaseOutcome> {
        switch (checkHeldRegion(*medium, disk, region, false, &now)) {
        case HeldRegion::Free:
            result.disk = now;
            return std::nullopt;
        case HeldRegion::NotTheDisk:
            return ReleaseOutcome::DiskNotFound;
        case HeldRegion::Unreadable:
            return ReleaseOutcome::Unverifiable;
        case HeldRegion::Taken:
            result.disk = now;
            result.overlapping = rawstore::partitionsOverlapping(now, region);
            return ReleaseOutcome::Overlapped;
        }
        return ReleaseOutcome::Unverifiable;
    };
    if (const std::optional<ReleaseOutcome> changed = stillFree())
        return outcome(*changed);
    MarkerKeyFailure keyFailure = MarkerKeyFailure::None;
    const crypto::SecureBuffer key = markerKey ? markerKey(&keyFailure) : crypto::SecureBuffer();
    if (key.empty())
        return outcome(ReleaseOutcome::KeyUnavailable);
    WipePosition at = readReleaseJournal(journal.path, claim, key).value_or(WipePosition{});
    switch (markerState(*medium, claim, now, key)) {
    case MarkerState::Matches:
        break;
    case MarkerState::Unreadable:
        return outcome(ReleaseOutcome::IoFailed);
    case MarkerState::Differs:
        // The marker is wiped only after every pass over the region completed: a record that
        // got that far is a release that was done (or as good as done) when it was cut short.
        return outcome(at.pass >= kMarkerPass ? ReleaseOutcome::Released : ReleaseOutcome::NotOurs);
    }
    if (at.pass >= kReleasedPass)
        at = WipePosition{}; // the marker is back: this is another claim of the same region

    const quint64 sector = claim.sectorSize;
    const quint64 wholeSectors = claim.claimedLength / sector * sector;
    const quint64 tail = claim.claimedLength - wholeSectors;
    const quint64 chunkSize = std::max<quint64>(
        sector, std::min<quint64>(kWipeChunkBytes / sector * sector, wholeSectors));
    HeapBytes chunk(chunkSize);
    HeapBytes tailSector(tail ? sector : 0);
    if (!chunk.data || (tail && !tailSector.data))
        return outcome(ReleaseOutcome::IoFailed);
    RegionMedium window(medium, claim.claimedStartOffset, claim.claimedLength);
    const auto fill = [](int pass, unsigned char* data, quint64 length) {
        if (pass == 0)
            std::memset(data, 0x00, size_t(length));
        else if (pass == 1)
            std::memset(data, 0xFF, size_t(length));
        else
            fillRandom(data, size_t(length));
    };
    const quint64 total = 3 * claim.claimedLength;
    const auto report = [&](int pass, quint64 offset) {
        if (journal.progress)
            journal.progress(std::min<quint64>(total, quint64(pass) * claim.claimedLength + offset),
                             total);
    };
    const auto record = [&](int pass, quint64 offset) {
        writeReleaseJournal(journal.path, claim, WipePosition{pass, offset}, key);
    };
    // The marker goes last: a release cut short (a crash, a disk pulled out) still finds it,
    // so the next attempt can tell the region is this claim and finish the job.
    for (int pass = at.pass; pass < kMarkerPass; ++pass) {
        const quint64 from = pass == at.pass && at.offset > sector && at.offset < wholeSectors
                                 ? at.offset / sector * sector
                                 : sector;
        quint64 recorded = from;
        for (quint64 offset = from; offset < wholeSectors; offset += chunkSize) {
            const quint64 length = std::min(chunkSize, wholeSectors - offset);
            fill(pass, chunk.data, length);
            if (!window.writeAt(offset, chunk.data, length))
                return outcome(ReleaseOutcome::IoFailed);
            report(pass, offset + length);
            if (offset + length - recorded >= journal.stepBytes) {
                recorded = offset + length;
                record(pass, recorded);
                if (const std::optional<ReleaseOutcome> changed = stillFree())
                    return outcome(*changed);
            }
        }
        if (tail) {
            // The region ends inside a sector: rewrite that sector with only the region's part
            // of it wiped.
            const quint64 tailOffset = claim.claimedStartOffset + wholeSectors;
            if (!medium->readAt(tailOffset, tailSector.data, sector))
                return outcome(ReleaseOutcome::IoFailed);
            fill(pass, tailSector.data, tail);
            if (!medium->writeAt(tailOffset, tailSector.data, sector))
                return outcome(ReleaseOutcome::IoFailed);
        }
        report(pass + 1, 0);
        record(pass + 1, 0);
        if (const std::optional<ReleaseOutcome> changed = stillFree())
            return outcome(*changed);
    }
    for (int pass = 0; pass < 3; ++pass) {
        fill(pass, chunk.data, sector);
        if (!window.writeAt(0, chunk.data, sector))
            return outcome(ReleaseOutcome::IoFailed);
    }
    record(kReleasedPass, 0);
    medium->close();
    return outcome(ReleaseOutcome::Released);
}

} // namespace korvex::vault
