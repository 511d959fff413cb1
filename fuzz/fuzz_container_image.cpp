#include "FuzzSupport.h"
#include "MemoryBlockStore.h"
#include "vault/VaultContainer.h"
#include "vault/VaultFormat.h"

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

// Input: a whole container image, as found on disk. Everything that works without the vault
// key is run on it: the header slots and the choice between them, the keyless readers on an
// in-memory store and on a file, and an open under a key that is not the vault's (which must
// fail cleanly: no index can authenticate under it).

using namespace korvex;
using namespace korvex::vault;

namespace {

// Room a container may grow into past the image before the store reports a full disk.
constexpr qint64 kGrowthBytes = 4 * 1024 * 1024;

const QString kMachineId = QStringLiteral("fuzz-machine");

bool hasMagicAt(const std::uint8_t* data, std::size_t size, std::size_t offset) {
    return size >= offset + sizeof(kVaultMagic) &&
           std::memcmp(data + offset, kVaultMagic, sizeof(kVaultMagic)) == 0;
}

void checkSlot(const HeaderSlot& slot, int index, std::size_t size) {
    FUZZ_CHECK(slot.readable == (size >= std::size_t(index + 1) * kHeaderSlotBytes));
    if (!slot.readable)
        return;
    // Storing a parsed header and parsing it again gives the same fields, and a checksum that
    // matches for every format but the legacy one, which has none.
    const HeaderSlot again = parseHeaderSlot(slot.header.serialise());
    FUZZ_CHECK(again.hasMagic);
    FUZZ_CHECK(again.header.formatVersion == slot.header.formatVersion);
    FUZZ_CHECK(again.header.indexOffset == slot.header.indexOffset);
    FUZZ_CHECK(again.header.indexCapacity == slot.header.indexCapacity);
    FUZZ_CHECK(again.header.indexLength == slot.header.indexLength);
    FUZZ_CHECK(again.header.vaultIdField == slot.header.vaultIdField);
    FUZZ_CHECK(again.header.generation == slot.header.generation);
    FUZZ_CHECK(again.checksumMatches == (slot.header.formatVersion != kLegacyFormatVersion));
    // Fitting a store is monotonic in its size, and nothing fits a store of unknown size.
    FUZZ_CHECK(!headerFitsStore(slot.header, -1));
    if (headerFitsStore(slot.header, qint64(size)))
        FUZZ_CHECK(headerFitsStore(slot.header, std::numeric_limits<qint64>::max()));
}

void checkChoice(const std::array<HeaderSlot, kHeaderSlotCount>& headerSlots,
                 const std::optional<HeaderChoice>& choice, qint64 storeSize) {
    if (!choice)
        return;
    FUZZ_CHECK(headerFitsStore(choice->header, storeSize));
    const HeaderSlot& chosen = headerSlots[choice->slot];
    if (choice->legacy) {
        FUZZ_CHECK(choice->slot == 0 && chosen.isLegacyFormat());
        FUZZ_CHECK(!headerSlots[0].isCurrentFormat() && !headerSlots[1].isCurrentFormat());
        return;
    }
    FUZZ_CHECK(chosen.isCurrentFormat());
    const HeaderSlot& other = headerSlots[1 - choice->slot];
    if (other.isCurrentFormat())
        FUZZ_CHECK(chosen.header.generation >= other.header.generation);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const crypto::SecureBuffer key = fuzz::fixedKey(0x40);
    static const QString path = fuzz::scratchFolder() + QStringLiteral("/vault.kvxs");
    const qint64 storeSize = qint64(size);

    // The header slots, straight from the bytes.
    const auto headerSlots = readHeaderSlots([&](qint64 offset, void* buffer, qint64 length) {
        if (offset < 0 || length < 0 || offset > storeSize || length > storeSize - offset)
            return false;
        std::memcpy(buffer, data + offset, std::size_t(length));
        return true;
    });
    for (int i = 0; i < kHeaderSlotCount; ++i)
        checkSlot(headerSlots[i], i, size);
    const std::optional<HeaderChoice> choice = chooseHeader(headerSlots, storeSize);
    checkChoice(headerSlots, choice, storeSize);
    const std::optional<quint64> generation =
        choice ? std::optional<quint64>(choice->header.generation) : std::nullopt;

    // The same bytes through a store: the keyless reader, then an open under a key that is not
    // the vault's.
    const auto bytes = std::make_shared<std::vector<std::uint8_t>>(data, data + size);
    const qint64 limit = std::max<qint64>(storeSize, qint64(kDataAreaOffset)) + kGrowthBytes;
    {
        fuzz::MemoryBlockStore store(bytes, limit);
        FUZZ_CHECK(!VaultContainer::readHeaderGeneration(store));
        store.open();
        FUZZ_CHECK(VaultContainer::readHeaderGeneration(store) == generation);
    }
    QString errorText;
    std::unique_ptr<VaultContainer> vault =
        VaultContainer::open(std::make_unique<fuzz::MemoryBlockStore>(bytes, limit), key,
                             kMachineId, QString(), &errorText);
    FUZZ_CHECK(!vault);

    // The same bytes in a file, for the readers that take a path.
    if (!fuzz::writeScratchFile(path,
                                QByteArray(reinterpret_cast<const char*>(data), qsizetype(size))))
        std::abort();
    FUZZ_CHECK(VaultContainer::readHeaderGenerationFromFile(path) == generation);
    FUZZ_CHECK(VaultContainer::readVaultIdFromFile(path) ==
               (choice ? choice->header.vaultId() : QString()));
    const bool magic = hasMagicAt(data, size, 0) || hasMagicAt(data, size, kHeaderSlotBytes);
    FUZZ_CHECK(VaultContainer::resolveVaultFilePath(path) == (magic ? path : QString()));
    if (VaultContainer::isInterruptedCreate(path)) {
        // Only a file that holds nothing of anyone's may be taken for a cut-short create.
        FUZZ_CHECK(size <= kDataAreaOffset);
        FUZZ_CHECK(!choice);
        for (const HeaderSlot& slot : headerSlots)
            FUZZ_CHECK(!slot.isCurrentFormat() && !slot.isLegacyFormat());
    }
    return 0;
}
