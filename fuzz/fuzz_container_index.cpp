#include "FuzzSupport.h"
#include "MemoryBlockStore.h"
#include "crypto/AeadCipher.h"
#include "vault/VaultContainer.h"
#include "vault/VaultFormat.h"

#include <QByteArray>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

// Input: the plaintext of a container's index (JSON or anything else). The harness seals it
// under the vault key, with the associated data a real index has, into a container whose slot 0
// header points at it and whose data area holds one file record; so the index authenticates and
// its contents reach the container as they are. The container is then opened and used: list,
// read, remove, import, re-key. After every change the committed state must open again, under
// the key then in force, and list what the container lists.
//
// Set ZELVORA_FUZZ_WRITE_SEEDS to a folder to have the target write its seed indexes there
// (they carry a wrapped file key, which only the vault code can make).

using namespace korvex;
using namespace korvex::vault;
using crypto::AeadCipher;
using crypto::Bytes;
using crypto::ByteView;
using crypto::SecureBuffer;

namespace {

constexpr quint64 kGeneration = 7;
// Room past the data area before the store reports a full disk, so that a hostile append
// offset fails instead of growing the store without bound.
constexpr qint64 kGrowthBytes = 4 * 1024 * 1024;

const QString kVaultId = QStringLiteral("6f1d2c3b-4a59-4e87-9b6a-0c1d2e3f4a5b");
const QString kMachineId = QStringLiteral("fuzz-machine");
const QString kEntryId = QStringLiteral("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d");
const QString kEntryName = QStringLiteral("report.txt");
const QString kImportName = QStringLiteral("imported.txt");
const QByteArray kContent = QByteArrayLiteral("quarterly figures\n");

ByteView viewOf(const QByteArray& bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size())};
}

// What every input starts from: empty header slots and index regions, and in the data area
// the record of one file under a fixed file key.
struct Fixture {
    SecureBuffer vaultKey = fuzz::fixedKey(0x10);
    SecureBuffer newVaultKey = fuzz::fixedKey(0x30);
    SecureBuffer fileKey = fuzz::fixedKey(0x50);
    std::vector<std::uint8_t> image;
    quint64 recordLength = 0;
    QString importSource;

    Fixture() {
        const Bytes ad = entryAssociatedData(kVaultId, kEntryId, kMachineId);
        const Bytes nonce(crypto::kNonceBytes, 0x5a);
        const Bytes blob = AeadCipher::encrypt(fileKey, nonce, viewOf(kContent), ad);
        recordLength = nonce.size() + blob.size();
        image.assign(kDataAreaOffset, 0);
        image.insert(image.end(), nonce.begin(), nonce.end());
        image.insert(image.end(), blob.begin(), blob.end());

        importSource = fuzz::scratchFolder() + QStringLiteral("/import-source.txt");
        if (!fuzz::writeScratchFile(importSource, QByteArrayLiteral("new figures\n")))
            std::abort();
    }

    // The index entry of the record above, its file key wrapped afresh under the vault key.
    QJsonObject recordEntry() const {
        const Bytes ad = entryAssociatedData(kVaultId, kEntryId, kMachineId);
        const Bytes wrapped = AeadCipher::seal(vaultKey, fileKey, ad);
        return QJsonObject{
            {QStringLiteral("name"), kEntryName},
            {QStringLiteral("size"), double(kContent.size())},
            {QStringLiteral("importedAt"), QStringLiteral("2024-03-01T09:30:00Z")},
            {QStringLiteral("dataOffset"), QString::number(kDataAreaOffset)},
            {QStringLiteral("dataLength"), QString::number(recordLength)},
            {QStringLiteral("wrappedFileKey"),
             QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(wrapped.data()),
                                            qsizetype(wrapped.size()))
                                     .toBase64())},
            {QStringLiteral("entryId"), kEntryId},
        };
    }

    QJsonObject index(const QJsonArray& entries) const {
        return QJsonObject{
            {QStringLiteral("vaultId"), kVaultId},
            {QStringLiteral("generationCounter"), QString::number(kGeneration)},
            {QStringLiteral("machineId"), kMachineId},
            {QStringLiteral("cipherSuiteVersion"), 1},
            {QStringLiteral("nextAppendOffset"), QString::number(kDataAreaOffset + recordLength)},
            {QStringLiteral("entries"), entries},
        };
    }
};

const Fixture& fixture() {
    static const Fixture instance;
    return instance;
}

// The container image around an index plaintext; nothing when the sealed index does not fit
// its region.
std::shared_ptr<std::vector<std::uint8_t>> buildImage(const std::uint8_t* plaintext,
                                                      std::size_t length) {
    const Fixture& f = fixture();
    const Bytes ad = indexAssociatedData(kVaultId, kMachineId, kFirstIndexRegionOffset,
                                         kIndexRegionCapacity, kGeneration, kCurrentFormatVersion);
    const Bytes nonce(crypto::kNonceBytes, 0x3c);
    const Bytes blob = AeadCipher::encrypt(f.vaultKey, nonce, ByteView(plaintext, length), ad);
    const quint64 indexLength = nonce.size() + blob.size();
    if (indexLength > kIndexRegionCapacity)
        return nullptr;

    VaultHeader header;
    header.formatVersion = kCurrentFormatVersion;
    header.indexOffset = kFirstIndexRegionOffset;
    header.indexCapacity = kIndexRegionCapacity;
    header.indexLength = indexLength;
    header.setVaultId(kVaultId);
    header.generation = kGeneration;
    const auto headerBytes = header.serialise();

    auto image = std::make_shared<std::vector<std::uint8_t>>(f.image);
    std::memcpy(image->data(), headerBytes.data(), headerBytes.size());
    std::memcpy(image->data() + kFirstIndexRegionOffset, nonce.data(), nonce.size());
    std::memcpy(image->data() + kFirstIndexRegionOffset + nonce.size(), blob.data(), blob.size());
    return image;
}

qint64 limitFor(const std::vector<std::uint8_t>& image) {
    return qint64(image.size()) + kGrowthBytes;
}

std::unique_ptr<VaultContainer> openImage(const std::shared_ptr<std::vector<std::uint8_t>>& image,
                                          const SecureBuffer& key) {
    return VaultContainer::open(std::make_unique<fuzz::MemoryBlockStore>(image, limitFor(*image)),
                                key, kMachineId);
}

// The committed state (on a copy: an open may write a repair) opens under key and lists what
// the live container lists.
void checkReopens(const VaultContainer& vault, const std::vector<std::uint8_t>& image,
                  const SecureBuffer& key) {
    const auto copy = std::make_shared<std::vector<std::uint8_t>>(image);
    const std::unique_ptr<VaultContainer> reopened = openImage(copy, key);
    FUZZ_CHECK(reopened);
    FUZZ_CHECK(reopened->generationCounter() == vault.generationCounter());
    const QList<EntrySummary> expected = vault.listEntries();
    const QList<EntrySummary> found = reopened->listEntries();
    FUZZ_CHECK(found.size() == expected.size());
    for (qsizetype i = 0; i < found.size(); ++i) {
        FUZZ_CHECK(found[i].name == expected[i].name);
        FUZZ_CHECK(found[i].size == expected[i].size);
    }
}

void writeSeeds(const QString& folder) {
    const Fixture& f = fixture();
    QDir().mkpath(folder);
    const QJsonObject entry = f.recordEntry();
    QJsonObject renamed = entry;
    renamed.insert(QStringLiteral("name"), QStringLiteral("second name, same record"));
    const QList<std::pair<QString, QJsonObject>> seeds{
        {QStringLiteral("empty.json"), f.index(QJsonArray())},
        {QStringLiteral("one-entry.json"), f.index(QJsonArray{entry})},
        {QStringLiteral("two-entries.json"), f.index(QJsonArray{entry, renamed})},
    };
    for (const auto& [name, object] : seeds) {
        if (!fuzz::writeScratchFile(folder + QLatin1Char('/') + name,
                                    QJsonDocument(object).toJson(QJsonDocument::Indented)))
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* folder = std::getenv("ZELVORA_FUZZ_WRITE_SEEDS"))
        writeSeeds(QString::fromLocal8Bit(folder));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Fixture& f = fixture();
    const std::shared_ptr<std::vector<std::uint8_t>> image = buildImage(data, size);
    if (!image)
        return -1;
    std::unique_ptr<VaultContainer> vault = openImage(image, f.vaultKey);
    if (!vault)
        return 0;

    const QList<EntrySummary> entries = vault->listEntries();
    for (qsizetype i = 0; i < entries.size() && i < 4; ++i) {
        if (std::optional<crypto::PlaintextBuffer> content = vault->readFile(entries[i].name)) {
            // Touch every byte handed out, so that a view past the buffer shows.
            std::uint8_t sum = 0;
            for (std::size_t j = 0; j < content->size(); ++j)
                sum = std::uint8_t(sum + content->data()[j]);
            (void)sum;
        }
    }
    if (!entries.isEmpty()) {
        vault->removeFile(entries.first().name);
        checkReopens(*vault, *image, f.vaultKey);
    }
    vault->importFile(f.importSource, kImportName);
    checkReopens(*vault, *image, f.vaultKey);

    switch (vault->rekey(f.newVaultKey)) {
    case RekeyResult::Rekeyed:
        checkReopens(*vault, *image, f.newVaultKey);
        // Nothing left on the medium opens under the old key.
        FUZZ_CHECK(!openImage(std::make_shared<std::vector<std::uint8_t>>(*image), f.vaultKey));
        break;
    case RekeyResult::Unchanged:
        checkReopens(*vault, *image, f.vaultKey);
        break;
    case RekeyResult::Unusable:
        FUZZ_CHECK(vault->isWiped());
        break;
    }
    return 0;
}
