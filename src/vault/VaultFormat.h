#pragma once

#include "crypto/Bytes.h"

#include <QString>
#include <QtGlobal>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

namespace korvex::vault {

class IVaultBlockStore;

// Byte layout of a vault inside its address space: two 96-byte header slots, two encrypted
// index regions, then the append-only data area of file records.
inline constexpr char kVaultMagic[8] = {'K', 'V', 'X', 'S', 'V', 'L', 'T', '1'};
inline constexpr quint32 kCurrentFormatVersion = 5;
inline constexpr quint32 kLegacyFormatVersion = 4;
inline constexpr qint64 kHeaderSlotBytes = 96;
inline constexpr int kHeaderSlotCount = 2;
inline constexpr quint64 kFirstIndexRegionOffset = 192;
inline constexpr quint64 kIndexRegionCapacity = 524240;
inline constexpr quint64 kLegacyIndexCapacity = 1048576;
inline constexpr quint64 kDataAreaOffset = kFirstIndexRegionOffset + 2 * kIndexRegionCapacity;
inline constexpr int kVaultIdFieldBytes = 36;
inline constexpr int kHeaderChecksumOffset = 84;
inline constexpr int kHeaderChecksumBytes = 12;
// Nonce plus the AEAD blob of an empty plaintext: the shortest index or file record.
inline constexpr quint64 kMinimumRecordBytes = 41;

struct VaultHeader {
    quint32 formatVersion = kCurrentFormatVersion;
    quint64 indexOffset = 0;
    quint64 indexCapacity = 0;
    quint64 indexLength = 0;
    // The identifier field exactly as stored: UTF-8, truncated to 36 bytes, zero-padded.
    std::array<std::uint8_t, kVaultIdFieldBytes> vaultIdField{};
    quint64 generation = 0;

    QString vaultId() const;
    void setVaultId(const QString& vaultId);
    // The 96 stored bytes; a current-format header carries its checksum, a legacy one zeros.
    std::array<std::uint8_t, kHeaderSlotBytes> serialise() const;
};

// One header slot as found in the store.
struct HeaderSlot {
    bool readable = false;
    bool hasMagic = false;
    bool checksumMatches = false;
    VaultHeader header;

    bool isCurrentFormat() const {
        return readable && hasMagic && header.formatVersion == kCurrentFormatVersion &&
               checksumMatches;
    }
    bool isLegacyFormat() const {
        return readable && hasMagic && header.formatVersion == kLegacyFormatVersion;
    }
};

struct HeaderChoice {
    int slot = 0;
    VaultHeader header;
    bool legacy = false;
};

// Unkeyed 12-byte BLAKE2b over the first 84 header bytes with the identifier field zeroed.
std::array<std::uint8_t, kHeaderChecksumBytes>
headerChecksum(const std::array<std::uint8_t, kHeaderSlotBytes>& bytes);
HeaderSlot parseHeaderSlot(const std::array<std::uint8_t, kHeaderSlotBytes>& bytes);
// Reads both slots; a slot that cannot be read is marked unreadable.
using ReadAtFunction = std::function<bool(qint64 offset, void* buffer, qint64 length)>;
std::array<HeaderSlot, kHeaderSlotCount> readHeaderSlots(const ReadAtFunction& readAt);
std::array<HeaderSlot, kHeaderSlotCount> readHeaderSlots(IVaultBlockStore& store);

// Both header slots of a container file opened read-only, without taking its lock.
struct FileHeaders {
    qint64 fileSize = -1;
    std::array<HeaderSlot, kHeaderSlotCount> headerSlots;
};
std::optional<FileHeaders> readHeaderSlotsFromFile(const QString& path);
// The index a header points to lies inside a store of storeSize bytes.
bool headerFitsStore(const VaultHeader& header, qint64 storeSize);
// Picks the header a reader trusts: the valid current-format slot with the higher generation
// (slot 0 on a tie), else a legacy header in slot 0; none when slot 0 is unreadable or the
// choice does not fit the store.
std::optional<HeaderChoice> chooseHeader(const std::array<HeaderSlot, kHeaderSlotCount>& headerSlots,
                                         qint64 storeSize);

// Associated data of an index record and of a file record (and its wrapped key).
crypto::Bytes indexAssociatedData(const QString& vaultId, const QString& machineId,
                                  quint64 indexOffset, quint64 indexCapacity,
                                  quint64 generation, quint32 formatVersion);
crypto::Bytes entryAssociatedData(const QString& vaultId, const QString& entryId,
                                  const QString& machineId);

} // namespace korvex::vault
