#include "vault/VaultFormat.h"

#include "crypto/Sodium.h"
#include "platform/RegularFile.h"
#include "vault/IVaultBlockStore.h"

#include <QFile>
#include <QtEndian>
#include <algorithm>
#include <cstring>
#include <sodium.h>

namespace korvex::vault {

namespace {

template <typename T> void putLe(std::uint8_t* out, T value) {
    qToLittleEndian<T>(value, out);
}
template <typename T> T getLe(const std::uint8_t* in) {
    return qFromLittleEndian<T>(in);
}

template <typename T> void appendLe(crypto::Bytes& out, T value) {
    std::uint8_t bytes[sizeof(T)];
    qToLittleEndian<T>(value, bytes);
    out.insert(out.end(), bytes, bytes + sizeof(T));
}

void appendUtf8(crypto::Bytes& out, const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    out.insert(out.end(), utf8.begin(), utf8.end());
}

} // namespace

QString VaultHeader::vaultId() const {
    const auto* begin = reinterpret_cast<const char*>(vaultIdField.data());
    const auto* end = std::find(begin, begin + kVaultIdFieldBytes, '\0');
    return QString::fromUtf8(begin, end - begin);
}

void VaultHeader::setVaultId(const QString& vaultId) {
    vaultIdField.fill(0);
    const QByteArray utf8 = vaultId.toUtf8();
    std::memcpy(vaultIdField.data(), utf8.constData(),
                std::min<std::size_t>(utf8.size(), kVaultIdFieldBytes));
}

std::array<std::uint8_t, kHeaderSlotBytes> VaultHeader::serialise() const {
    std::array<std::uint8_t, kHeaderSlotBytes> bytes{};
    std::memcpy(bytes.data(), kVaultMagic, sizeof(kVaultMagic));
    putLe<quint32>(bytes.data() + 8, formatVersion);
    putLe<quint32>(bytes.data() + 12, 0);
    putLe<quint64>(bytes.data() + 16, indexOffset);
    putLe<quint64>(bytes.data() + 24, indexCapacity);
    putLe<quint64>(bytes.data() + 32, indexLength);
    std::memcpy(bytes.data() + 40, vaultIdField.data(), kVaultIdFieldBytes);
    putLe<quint64>(bytes.data() + 76, generation);
    if (formatVersion != kLegacyFormatVersion) {
        const auto checksum = headerChecksum(bytes);
        std::memcpy(bytes.data() + kHeaderChecksumOffset, checksum.data(), checksum.size());
    }
    return bytes;
}

std::array<std::uint8_t, kHeaderChecksumBytes>
headerChecksum(const std::array<std::uint8_t, kHeaderSlotBytes>& bytes) {
    std::array<std::uint8_t, kHeaderChecksumOffset> covered{};
    std::memcpy(covered.data(), bytes.data(), covered.size());
    std::fill(covered.begin() + 40, covered.begin() + 40 + kVaultIdFieldBytes, 0);
    std::array<std::uint8_t, kHeaderChecksumBytes> checksum{};
    crypto::ensureSodiumInitialised();
    crypto_generichash(checksum.data(), checksum.size(), covered.data(), covered.size(), nullptr,
                       0);
    return checksum;
}

HeaderSlot parseHeaderSlot(const std::array<std::uint8_t, kHeaderSlotBytes>& bytes) {
    HeaderSlot slot;
    slot.readable = true;
    slot.hasMagic = std::memcmp(bytes.data(), kVaultMagic, sizeof(kVaultMagic)) == 0;
    VaultHeader& h = slot.header;
    h.formatVersion = getLe<quint32>(bytes.data() + 8);
    h.indexOffset = getLe<quint64>(bytes.data() + 16);
    h.indexCapacity = getLe<quint64>(bytes.data() + 24);
    h.indexLength = getLe<quint64>(bytes.data() + 32);
    std::memcpy(h.vaultIdField.data(), bytes.data() + 40, kVaultIdFieldBytes);
    h.generation = getLe<quint64>(bytes.data() + 76);
    const auto expected = headerChecksum(bytes);
    slot.checksumMatches = sodium_memcmp(expected.data(), bytes.data() + kHeaderChecksumOffset,
                                         kHeaderChecksumBytes) == 0;
    return slot;
}

std::array<HeaderSlot, kHeaderSlotCount> readHeaderSlots(const ReadAtFunction& readAt) {
    std::array<HeaderSlot, kHeaderSlotCount> headerSlots;
    for (int i = 0; i < kHeaderSlotCount; ++i) {
        std::array<std::uint8_t, kHeaderSlotBytes> bytes{};
        if (readAt(i * kHeaderSlotBytes, bytes.data(), kHeaderSlotBytes))
            headerSlots[i] = parseHeaderSlot(bytes);
    }
    return headerSlots;
}

std::array<HeaderSlot, kHeaderSlotCount> readHeaderSlots(IVaultBlockStore& store) {
    return readHeaderSlots([&store](qint64 offset, void* buffer, qint64 length) {
        return store.readAt(offset, buffer, length);
    });
}

std::optional<FileHeaders> readHeaderSlotsFromFile(const QString& path) {
    // Only a regular file: a FIFO or device at the vault's path must not hang the caller.
    const int fd = platform::openRegularFile(path);
    if (fd < 0)
        return std::nullopt;
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle))
        return std::nullopt;
    FileHeaders headers;
    headers.fileSize = file.size();
    headers.headerSlots = readHeaderSlots([&file](qint64 offset, void* buffer, qint64 length) {
        return file.seek(offset) && file.read(static_cast<char*>(buffer), length) == length;
    });
    return headers;
}

bool headerFitsStore(const VaultHeader& header, qint64 storeSize) {
    if (storeSize < 0)
        return false;
    const auto size = static_cast<quint64>(storeSize);
    return header.indexLength <= header.indexCapacity && header.indexOffset <= size &&
           header.indexCapacity <= size - header.indexOffset;
}

std::optional<HeaderChoice>
chooseHeader(const std::array<HeaderSlot, kHeaderSlotCount>& headerSlots, qint64 storeSize) {
    if (!headerSlots[0].readable)
        return std::nullopt;
    std::optional<HeaderChoice> choice;
    const bool valid0 = headerSlots[0].isCurrentFormat();
    const bool valid1 = headerSlots[1].isCurrentFormat();
    if (valid0 && valid1) {
        const int slot =
            headerSlots[0].header.generation >= headerSlots[1].header.generation ? 0 : 1;
        choice = HeaderChoice{slot, headerSlots[slot].header, false};
    } else if (valid0 || valid1) {
        const int slot = valid0 ? 0 : 1;
        choice = HeaderChoice{slot, headerSlots[slot].header, false};
    } else if (headerSlots[0].isLegacyFormat()) {
        choice = HeaderChoice{0, headerSlots[0].header, true};
    }
    if (choice && !headerFitsStore(choice->header, storeSize))
        return std::nullopt;
    return choice;
}

crypto::Bytes indexAssociatedData(const QString& vaultId, const QString& machineId,
                                  quint64 indexOffset, quint64 indexCapacity, quint64 generation,
                                  quint32 formatVersion) {
    crypto::Bytes ad;
    appendUtf8(ad, vaultId);
    appendUtf8(ad, machineId);
    appendLe<quint64>(ad, indexOffset);
    appendLe<quint64>(ad, indexCapacity);
    appendLe<quint64>(ad, generation);
    appendLe<quint32>(ad, formatVersion);
    return ad;
}

crypto::Bytes entryAssociatedData(const QString& vaultId, const QString& entryId,
                                  const QString& machineId) {
    crypto::Bytes ad;
    appendUtf8(ad, vaultId);
    appendUtf8(ad, entryId);
    appendUtf8(ad, machineId);
    return ad;
}

} // namespace korvex::vault
