#include "vault/VaultContainer.h"

#include "crypto/AeadCipher.h"
#include "crypto/SecureWipe.h"
#include "platform/FileSync.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QUuid>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace korvex::vault {

using crypto::AeadCipher;
using crypto::Bytes;
using crypto::ByteView;
using crypto::kNonceBytes;
using crypto::PlaintextBuffer;
using crypto::SecureBuffer;
using crypto::secureWipe;

namespace {

constexpr qint64 kWipeChunkBytes = 65536;
// Entry sizes travel through a JSON double, which is exact up to here.
constexpr double kLargestExactSize = 9007199254740992.0;

QString newUuid() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

ByteView viewOf(const QByteArray& bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.constData()),
            static_cast<std::size_t>(bytes.size())};
}

std::optional<quint64> parseDecimal(const QJsonValue& value) {
    bool ok = false;
    const quint64 number = value.toString().toULongLong(&ok);
    return ok ? std::optional<quint64>(number) : std::nullopt;
}

QDateTime utcNowToTheSecond() {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    return now.addMSecs(-now.time().msec());
}

} // namespace

VaultContainer::VaultContainer(std::unique_ptr<IVaultBlockStore> store,
                               const SecureBuffer& vaultKey, const QString& machineId)
    : store_(std::move(store)), vaultKey_(vaultKey.clone()), machineId_(machineId) {}

VaultContainer::~VaultContainer() {
    if (store_) {
        store_->flush();
        store_->close();
    }
    wipeEntries(entries_);
}

// ---------------------------------------------------------------------------------------------
// Construction

std::unique_ptr<VaultContainer> VaultContainer::create(std::unique_ptr<IVaultBlockStore> store,
                                                       const SecureBuffer& vaultKey,
                                                       const QString& machineId) {
    if (!store || store->exists() || !store->create())
        return nullptr;
    std::unique_ptr<VaultContainer> vault(
        new VaultContainer(std::move(store), vaultKey, machineId));
    vault->vaultId_ = newUuid();

    if (!vault->store_->resize(static_cast<qint64>(kDataAreaOffset))) {
        if (!vault->store_->remove())
            qWarning("VaultContainer::create: failed to roll back a partially-created store after "
                     "resize() failed -- a retry at the same location may find a broken, "
                     "unopenable file left behind.");
        return nullptr;
    }
    if (!vault->commitIndexAndHeader()) {
        if (!vault->store_->remove())
            qWarning("VaultContainer::create: failed to roll back a partially-created store after "
                     "commitIndexAndHeader() failed -- a retry at the same location may find a "
                     "broken, unopenable file left behind.");
        return nullptr;
    }
    return vault;
}

std::unique_ptr<VaultContainer> VaultContainer::open(std::unique_ptr<IVaultBlockStore> store,
                                                     const SecureBuffer& vaultKey,
                                                     const QString& machineId,
                                                     const QString& recoveredVaultId,
                                                     QString* errorText) {
    if (!store)
        return nullptr;
    if (!store->exists() || !store->open()) {
        if (errorText)
            *errorText = store->errorString();
        return nullptr;
    }
    std::unique_ptr<VaultContainer> vault(
        new VaultContainer(std::move(store), vaultKey, machineId));
    const bool keepVaultId = !recoveredVaultId.isEmpty();
    if (keepVaultId)
        vault->vaultId_ = recoveredVaultId;

    const auto headerSlots = readHeaderSlots(*vault->store_);
    const qint64 storeSize = vault->store_->size();
    const std::optional<HeaderChoice> choice = chooseHeader(headerSlots, storeSize);
    bool loaded = false;
    if (choice) {
        vault->adoptHeader(*choice, keepVaultId);
        loaded = vault->readIndex();
    }
    if (!loaded && choice && !choice->legacy) {
        // The newest header is sound but its index is not: fall back to the other slot and,
        // if that one reads, rewrite the damaged slot at once.
        const int other = 1 - choice->slot;
        const HeaderSlot& fallback = headerSlots[other];
        if (fallback.isCurrentFormat() && headerFitsStore(fallback.header, storeSize)) {
            vault->adoptHeader(HeaderChoice{other, fallback.header, false}, keepVaultId);
            loaded = vault->readIndex();
            if (loaded && !vault->commitIndexAndHeader())
                qWarning("VaultContainer: recovered by falling back to the other index slot, but "
                         "could not persist the recovery -- the vault opened successfully and "
                         "remains fully usable; recovery will be retried on the next successful "
                         "open.");
        }
    }
    if (!loaded)
        return nullptr; // the destructor flushes and closes the store

    if (vault->formatVersion_ == kLegacyFormatVersion) {
        vault->formatVersion_ = kCurrentFormatVersion;
        vault->indexCapacity_ = kIndexRegionCapacity;
        if (!vault->commitIndexAndHeader()) {
            qWarning("VaultContainer: could not migrate this vault from format v4 to v5 "
                     "(dual-slot journaling) -- the vault opened successfully and remains fully "
                     "usable at v4; migration will be retried on the next successful open.");
            vault->formatVersion_ = kLegacyFormatVersion;
            vault->indexCapacity_ = kLegacyIndexCapacity;
        }
    }
    if (keepVaultId && !vault->commitIndexAndHeader())
        qWarning("VaultContainer: opened via a recovered vaultId but failed to persist the "
                 "correction -- recovery will be needed again on the next open.");
    return vault;
}

void VaultContainer::adoptHeader(const HeaderChoice& choice, bool keepVaultId) {
    currentSlot_ = choice.slot;
    indexOffset_ = choice.header.indexOffset;
    indexCapacity_ = choice.header.indexCapacity;
    indexLength_ = choice.header.indexLength;
    formatVersion_ = choice.header.formatVersion;
    generationCounter_ = choice.header.generation;
    if (!keepVaultId)
        vaultId_ = choice.header.vaultId();
}

// ---------------------------------------------------------------------------------------------
// Index

bool VaultContainer::readIndex() {
    // No format ever wrote an index larger than the legacy region; refusing more keeps a
    // hostile header from asking for a huge allocation.
    if (indexLength_ < kMinimumRecordBytes || indexLength_ > kLegacyIndexCapacity)
        return false;
    Bytes record(indexLength_);
    if (!store_->readAt(static_cast<qint64>(indexOffset_), record.data(),
                        static_cast<qint64>(indexLength_)))
        return false;
    const Bytes ad = indexAssociatedData(vaultId_, machineId_, indexOffset_, indexCapacity_,
                                         generationCounter_, formatVersion_);
    const ByteView view(record);
    std::optional<Bytes> plain =
        AeadCipher::decrypt(vaultKey_, view.first(kNonceBytes), view.subspan(kNonceBytes), ad);
    if (!plain)
        return false;

    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromRawData(
        reinterpret_cast<const char*>(plain->data()), static_cast<qsizetype>(plain->size())));
    secureWipe(*plain);
    if (!document.isObject())
        return false;
    const QJsonObject root = document.object();
    const std::optional<quint64> generation =
        parseDecimal(root.value(QStringLiteral("generationCounter")));
    const std::optional<quint64> nextAppend =
        parseDecimal(root.value(QStringLiteral("nextAppendOffset")));
    if (root.value(QStringLiteral("vaultId")).toString() != vaultId_ || !generation ||
        *generation != generationCounter_ || !nextAppend)
        return false;

    QList<Entry> entries;
    const QJsonArray array = root.value(QStringLiteral("entries")).toArray();
    entries.reserve(array.size());
    for (const QJsonValue& value : array) {
        const QJsonObject object = value.toObject();
        const double size = object.value(QStringLiteral("size")).toDouble(-1);
        const std::optional<quint64> dataOffset =
            parseDecimal(object.value(QStringLiteral("dataOffset")));
        const std::optional<quint64> dataLength =
            parseDecimal(object.value(QStringLiteral("dataLength")));
        if (!(size >= 0 && size <= kLargestExactSize) || !dataOffset || !dataLength) {
            wipeEntries(entries);
            return false;
        }
        Entry entry;
        entry.name = object.value(QStringLiteral("name")).toString();
        entry.size = static_cast<qint64>(size);
        entry.importedAt = QDateTime::fromString(
            object.value(QStringLiteral("importedAt")).toString(), Qt::ISODate);
        entry.dataOffset = *dataOffset;
        entry.dataLength = *dataLength;
        const QByteArray wrapped = QByteArray::fromBase64(
            object.value(QStringLiteral("wrappedFileKey")).toString().toLatin1());
        entry.wrappedFileKey.assign(wrapped.begin(), wrapped.end());
        entry.entryId = object.value(QStringLiteral("entryId")).toString();
        entries.append(std::move(entry));
    }
    cipherSuiteVersion_ = root.value(QStringLiteral("cipherSuiteVersion")).toInt(1);
    nextAppendOffset_ = *nextAppend;
    wipeEntries(entries_);
    entries_ = std::move(entries);
    return true;
}

bool VaultContainer::writeIndex() {
    ++generationCounter_;
    QJsonArray array;
    for (const Entry& entry : std::as_const(entries_)) {
        QJsonObject object;
        object.insert(QStringLiteral("name"), entry.name);
        object.insert(QStringLiteral("size"), static_cast<double>(entry.size));
        object.insert(QStringLiteral("importedAt"), entry.importedAt.toUTC().toString(Qt::ISODate));
        object.insert(QStringLiteral("dataOffset"), QString::number(entry.dataOffset));
        object.insert(QStringLiteral("dataLength"), QString::number(entry.dataLength));
        object.insert(QStringLiteral("wrappedFileKey"),
                      QString::fromLatin1(
                          QByteArray(reinterpret_cast<const char*>(entry.wrappedFileKey.data()),
                                     static_cast<qsizetype>(entry.wrappedFileKey.size()))
                              .toBase64()));
        object.insert(QStringLiteral("entryId"), entry.entryId);
        array.append(object);
    }
    QJsonObject root;
    root.insert(QStringLiteral("vaultId"), vaultId_);
    root.insert(QStringLiteral("generationCounter"), QString::number(generationCounter_));
    root.insert(QStringLiteral("machineId"), machineId_);
    root.insert(QStringLiteral("cipherSuiteVersion"), cipherSuiteVersion_);
    root.insert(QStringLiteral("nextAppendOffset"), QString::number(nextAppendOffset_));
    root.insert(QStringLiteral("entries"), array);

    QByteArray json = QJsonDocument(root).toJson(QJsonDocument::Compact);
    const Bytes nonce = AeadCipher::generateNonce();
    const Bytes blob =
        AeadCipher::encrypt(vaultKey_, nonce, viewOf(json),
                            indexAssociatedData(vaultId_, machineId_, indexOffset_, indexCapacity_,
                                                generationCounter_, formatVersion_));
    secureWipe(json);

    if (kNonceBytes + blob.size() > indexCapacity_ ||
        !store_->writeAt(static_cast<qint64>(indexOffset_), nonce.data(), kNonceBytes) ||
        !store_->writeAt(static_cast<qint64>(indexOffset_ + kNonceBytes), blob.data(),
                         static_cast<qint64>(blob.size()))) {
        --generationCounter_;
        return false;
    }
    indexLength_ = kNonceBytes + blob.size();
    return true;
}

bool VaultContainer::commitIndexAndHeader() {
    return formatVersion_ == kLegacyFormatVersion ? commitLegacyFormat() : commitCurrentFormat();
}

bool VaultContainer::commitCurrentFormat() {
    const int target = 1 - currentSlot_;
    const quint64 savedOffset = indexOffset_;
    const quint64 savedLength = indexLength_;
    indexOffset_ = kFirstIndexRegionOffset + static_cast<quint64>(target) * indexCapacity_;
    if (!writeIndex()) {
        indexOffset_ = savedOffset;
        indexLength_ = savedLength;
        return false;
    }
    VaultHeader header;
    header.formatVersion = formatVersion_;
    header.indexOffset = indexOffset_;
    header.indexCapacity = indexCapacity_;
    header.indexLength = indexLength_;
    header.setVaultId(vaultId_);
    header.generation = generationCounter_;
    const auto bytes = header.serialise();
    // The index must be durable before the header that points to it, and the header before
    // success is reported.
    if (!store_->flush() ||
        !store_->writeAt(target * kHeaderSlotBytes, bytes.data(), kHeaderSlotBytes) ||
        !store_->flush()) {
        --generationCounter_;
        indexOffset_ = savedOffset;
        indexLength_ = savedLength;
        return false;
    }
    currentSlot_ = target;
    return true;
}

// A legacy vault that could not be migrated has one index region and no second slot: its index
// is rewritten in place.
bool VaultContainer::commitLegacyFormat() {
    const quint64 savedLength = indexLength_;
    if (!writeIndex()) {
        indexLength_ = savedLength;
        return false;
    }
    VaultHeader header;
    header.formatVersion = kLegacyFormatVersion;
    header.indexOffset = indexOffset_;
    header.indexCapacity = indexCapacity_;
    header.indexLength = indexLength_;
    header.setVaultId(vaultId_);
    header.generation = generationCounter_;
    const auto bytes = header.serialise();
    if (!store_->writeAt(0, bytes.data(), kHeaderSlotBytes) || !store_->flush()) {
        --generationCounter_;
        indexLength_ = savedLength;
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Operations

QList<EntrySummary> VaultContainer::listEntries() const {
    QList<EntrySummary> summaries;
    if (wiped_)
        return summaries;
    summaries.reserve(entries_.size());
    for (const Entry& entry : entries_)
        summaries.append(EntrySummary{entry.name, entry.size, entry.importedAt});
    return summaries;
}

int VaultContainer::findEntry(const QString& name) const {
    for (int i = 0; i < entries_.size(); ++i) {
        if (entries_[i].name == name)
            return i;
    }
    return -1;
}

Bytes VaultContainer::entryAd(const Entry& entry) const {
    return entryAssociatedData(vaultId_, entry.entryId, machineId_);
}

quint64 VaultContainer::dataAreaStart() const {
    if (formatVersion_ == kLegacyFormatVersion)
        return indexOffset_ + indexCapacity_;
    return kFirstIndexRegionOffset + 2 * indexCapacity_;
}

bool VaultContainer::importFile(const QString& sourcePath, const QString& name) {
    if (wiped_ || findEntry(name) >= 0)
        return false;
    // Never append over the headers or the index regions, whatever the index says.
    if (nextAppendOffset_ < dataAreaStart())
        return false;

    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = source.size();
    if (size < 0)
        return false;
    Bytes content(static_cast<std::size_t>(size));
    qint64 done = 0;
    while (done < size) {
        const qint64 got = source.read(reinterpret_cast<char*>(content.data()) + done, size - done);
        if (got <= 0)
            break;
        done += got;
    }
    // A short read, or a file that grew while it was read, would store something other than
    // the original, which the caller is about to erase.
    char probe = 0;
    if (done != size || source.read(&probe, 1) != 0) {
        secureWipe(content);
        return false;
    }
    source.close();

    if (maxVaultSizeBytes_ > 0) {
        qint64 total = size;
        for (const Entry& entry : std::as_const(entries_))
            total += entry.size;
        if (total > maxVaultSizeBytes_) {
            secureWipe(content);
            return false;
        }
    }

    Entry entry;
    entry.name = name;
    entry.size = size;
    entry.importedAt = utcNowToTheSecond();
    entry.entryId = newUuid();
    const Bytes ad = entryAd(entry);
    const SecureBuffer fileKey = AeadCipher::generateKey();
    const Bytes nonce = AeadCipher::generateNonce();
    Bytes blob = AeadCipher::encrypt(fileKey, nonce, content, ad);
    secureWipe(content);
    Bytes().swap(content);

    if (!store_->writeAt(static_cast<qint64>(nextAppendOffset_), nonce.data(), kNonceBytes) ||
        !store_->writeAt(static_cast<qint64>(nextAppendOffset_ + kNonceBytes), blob.data(),
                         static_cast<qint64>(blob.size())))
        return false;
    entry.dataOffset = nextAppendOffset_;
    entry.dataLength = kNonceBytes + blob.size();
    entry.wrappedFileKey = AeadCipher::seal(vaultKey_, fileKey, ad);
    Bytes().swap(blob);

    const quint64 savedNextAppend = nextAppendOffset_;
    nextAppendOffset_ += entry.dataLength;
    entries_.append(std::move(entry));
    if (!commitIndexAndHeader()) {
        entries_.removeLast();
        nextAppendOffset_ = savedNextAppend;
        return false;
    }
    return true;
}

std::optional<PlaintextBuffer> VaultContainer::readFile(const QString& name) {
    if (wiped_)
        return std::nullopt;
    const int index = findEntry(name);
    if (index < 0)
        return std::nullopt;
    const Entry& entry = entries_[index];
    const qint64 storeSize = store_->size();
    if (storeSize < 0 || entry.dataLength < kNonceBytes ||
        entry.dataOffset > static_cast<quint64>(storeSize) ||
        entry.dataLength > static_cast<quint64>(storeSize) - entry.dataOffset)
        return std::nullopt;

    // One buffer for the whole record (nonce, suite byte, ciphertext, tag): the ciphertext is
    // decrypted where it was read, and the plaintext is handed out where it then lies.
    PlaintextBuffer record(static_cast<std::size_t>(entry.dataLength));
    if (!store_->readAt(static_cast<qint64>(entry.dataOffset), record.storage(),
                        static_cast<qint64>(entry.dataLength)))
        return std::nullopt;
    std::array<std::uint8_t, kNonceBytes> nonce{};
    std::memcpy(nonce.data(), record.storage(), kNonceBytes);
    const Bytes ad = entryAd(entry);
    const std::optional<SecureBuffer> fileKey =
        AeadCipher::open(vaultKey_, entry.wrappedFileKey, ad);
    if (!fileKey)
        return std::nullopt;
    const std::optional<std::size_t> plainLength = AeadCipher::decryptInPlace(
        *fileKey, nonce, record.storage() + kNonceBytes, record.capacity() - kNonceBytes, ad);
    if (!plainLength)
        return std::nullopt;
    record.setView(kNonceBytes + 1, *plainLength);
    return record;
}

bool VaultContainer::exportFile(const QString& name, const QString& destinationPath) {
    // The content is zeroed when it goes out of scope, whichever way this returns.
    const std::optional<PlaintextBuffer> content = readFile(name);
    if (!content)
        return false;
    QFile destination(destinationPath);
    if (!destination.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const qint64 size = static_cast<qint64>(content->size());
    const bool written =
        destination.write(reinterpret_cast<const char*>(content->data()), size) == size &&
        destination.flush() && platform::syncFileData(destination.handle());
    destination.close();
    if (!written) {
        // Leave no partial plaintext copy behind that looks like a finished export (but never
        // delete anything that is not an ordinary file, such as a device).
        if (QFileInfo(destinationPath).isFile())
            QFile::remove(destinationPath);
        return false;
    }
    return true;
}

bool VaultContainer::removeFile(const QString& name) {
    if (wiped_)
        return false;
    const int index = findEntry(name);
    if (index < 0)
        return false;
    const qint64 storeSize = store_->size();
    if (storeSize < 0)
        return false;
    Entry removed = entries_[index];
    if (removed.dataLength > static_cast<quint64>(storeSize) ||
        removed.dataOffset > static_cast<quint64>(storeSize) - removed.dataLength)
        return false;

    // The removal is committed before the record is overwritten: if the commit fails, the file
    // is still listed and still readable, instead of listed with its content destroyed.
    entries_.removeAt(index);
    if (!commitIndexAndHeader()) {
        entries_.insert(index, removed);
        return false;
    }
    wipeRegion(removed.dataOffset, removed.dataLength);
    if (!store_->flush())
        qWarning("VaultContainer::removeFile: the removed file's record was overwritten but the "
                 "overwrite could not be flushed.");
    QList<Entry> wipeList{std::move(removed)};
    wipeEntries(wipeList);
    return true;
}

RekeyResult VaultContainer::rekey(const SecureBuffer& newVaultKey) {
    if (wiped_)
        return RekeyResult::Unchanged;
    QList<Entry> rewrapped = entries_;
    for (Entry& entry : rewrapped) {
        const Bytes ad = entryAd(entry);
        const std::optional<SecureBuffer> fileKey =
            AeadCipher::open(vaultKey_, entry.wrappedFileKey, ad);
        if (!fileKey)
            return RekeyResult::Unchanged;
        entry.wrappedFileKey = AeadCipher::seal(newVaultKey, *fileKey, ad);
    }

    SecureBuffer oldKey = std::move(vaultKey_);
    QList<Entry> oldEntries = entries_;
    const quint64 oldGeneration = generationCounter_;
    vaultKey_ = newVaultKey.clone();
    entries_ = std::move(rewrapped);
    if (commitIndexAndHeader()) {
        if (formatVersion_ == kCurrentFormatVersion) {
            // Leave no header or index on the medium that the old key still opens.
            const int stale = 1 - currentSlot_;
            wipeRegion(static_cast<quint64>(stale) * kHeaderSlotBytes, kHeaderSlotBytes);
            wipeRegion(kFirstIndexRegionOffset + indexCapacity_ * static_cast<quint64>(stale),
                       indexCapacity_);
            if (!store_->flush())
                qWarning("VaultContainer::rekey: the stale index slot was overwritten but the "
                         "overwrite could not be flushed.");
        }
        return RekeyResult::Rekeyed;
    }

    // The failed commit went to the slot after the current one; committing the old state
    // there again replaces whatever it left under the new key.
    vaultKey_ = std::move(oldKey);
    entries_ = std::move(oldEntries);
    generationCounter_ = oldGeneration;
    if (commitIndexAndHeader())
        return RekeyResult::Unchanged;
    wipeSecrets();
    return RekeyResult::Unusable;
}

void VaultContainer::wipeSecrets() {
    vaultKey_ = SecureBuffer(); // released memory is zeroed
    wipeEntries(entries_);
    wiped_ = true;
}

void VaultContainer::wipeEntries(QList<Entry>& entries) {
    for (Entry& entry : entries) {
        secureWipe(entry.wrappedFileKey);
        secureWipe(entry.name);
        secureWipe(entry.entryId);
    }
    entries.clear();
}

void VaultContainer::wipeRegion(quint64 offset, quint64 length) {
    if (length == 0)
        return;
    const qint64 chunkBytes = static_cast<qint64>(std::min<quint64>(length, kWipeChunkBytes));
    Bytes chunk(static_cast<std::size_t>(chunkBytes));
    for (int pass = 0; pass < 3; ++pass) {
        for (quint64 done = 0; done < length;) {
            const qint64 n = static_cast<qint64>(std::min<quint64>(length - done, chunkBytes));
            if (pass == 0) {
                std::fill(chunk.begin(), chunk.end(), 0x00);
            } else if (pass == 1) {
                std::fill(chunk.begin(), chunk.end(), 0xFF);
            } else {
                // Whole 32-bit values; the chunk length is a multiple of 4 except at the end.
                const std::size_t words = (static_cast<std::size_t>(n) + 3) / 4;
                std::vector<quint32> random(words);
                QRandomGenerator::global()->fillRange(random.data(), random.size());
                std::memcpy(chunk.data(), random.data(), static_cast<std::size_t>(n));
            }
            store_->writeAt(static_cast<qint64>(offset + done), chunk.data(), n); // best effort
            done += static_cast<quint64>(n);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Keyless inspection

std::optional<quint64> VaultContainer::readHeaderGeneration(IVaultBlockStore& store) {
    if (!store.isOpen())
        return std::nullopt;
    const std::optional<HeaderChoice> choice = chooseHeader(readHeaderSlots(store), store.size());
    return choice ? std::optional<quint64>(choice->header.generation) : std::nullopt;
}

std::optional<quint64> VaultContainer::readHeaderGenerationFromFile(const QString& path) {
    const std::optional<FileHeaders> headers = readHeaderSlotsFromFile(path);
    if (!headers)
        return std::nullopt;
    const std::optional<HeaderChoice> choice =
        chooseHeader(headers->headerSlots, headers->fileSize);
    return choice ? std::optional<quint64>(choice->header.generation) : std::nullopt;
}

QString VaultContainer::readVaultIdFromFile(const QString& path) {
    const std::optional<FileHeaders> headers = readHeaderSlotsFromFile(path);
    if (!headers)
        return QString();
    const std::optional<HeaderChoice> choice =
        chooseHeader(headers->headerSlots, headers->fileSize);
    return choice ? choice->header.vaultId() : QString();
}

bool VaultContainer::isInterruptedCreate(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile() || info.isSymLink())
        return false;
    // Create makes an empty file, sizes it to the data area (all zeros), writes the index and
    // then the first header; a power loss may keep any part of that. Anything else at this
    // place, a file of the user's above all, is not ours to remove: nothing past the index
    // regions, and header slots that are empty or hold the start of a header.
    const qint64 size = info.size();
    if (static_cast<quint64>(size) > kDataAreaOffset)
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(kHeaderSlotCount * kHeaderSlotBytes);
    if (head.size() != qsizetype(std::min<qint64>(size, kHeaderSlotCount * kHeaderSlotBytes)))
        return false;
    // Each slot is still empty, or holds the start of a header write that was cut short: the
    // magic (or a leading part of it) and nothing else that could be told from user data.
    for (qsizetype slot = 0; slot * kHeaderSlotBytes < head.size(); ++slot) {
        const QByteArray bytes = head.mid(slot * kHeaderSlotBytes, kHeaderSlotBytes);
        const qsizetype magicBytes = qsizetype(sizeof(kVaultMagic));
        qsizetype matched = 0;
        while (matched < magicBytes && matched < bytes.size() &&
               bytes[matched] == kVaultMagic[matched])
            ++matched;
        if (matched < magicBytes && bytes.mid(matched).count('\0') != bytes.size() - matched)
            return false;
    }
    const std::optional<FileHeaders> headers = readHeaderSlotsFromFile(path);
    if (!headers)
        return size == 0;
    for (const HeaderSlot& slot : headers->headerSlots) {
        if (slot.isCurrentFormat() || slot.isLegacyFormat())
            return false;
    }
    return !chooseHeader(headers->headerSlots, headers->fileSize);
}

QString VaultContainer::resolveVaultFilePath(const QString& path) {
    if (path.isEmpty())
        return QString();
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile())
        return QString();
    const QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty() ||
        QDir::cleanPath(canonical) != QDir::cleanPath(info.absoluteFilePath()))
        return QString();
    QFile file(canonical);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    // A re-key overwrites the stale header slot, which may be the first: the magic that marks a
    // vault is at the start of whichever slot is live.
    const QByteArray headerBytes = file.read(kHeaderSlotCount * kHeaderSlotBytes);
    const QByteArray magic(kVaultMagic, sizeof(kVaultMagic));
    for (qsizetype slot = 0; slot < kHeaderSlotCount; ++slot) {
        if (headerBytes.mid(slot * kHeaderSlotBytes, magic.size()) == magic)
            return canonical;
    }
    return QString();
}

} // namespace korvex::vault
