#include "vault/VaultContainer.h"

#include "crypto/AeadCipher.h"
#include "crypto/AeadStream.h"
#include "crypto/SecureWipe.h"
#include "platform/FileSync.h"
#include "platform/PrivatePaths.h"
#include "platform/RegularFile.h"
#include "vault/PieceWriter.h"

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
#include <limits>
#include <new>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace korvex::vault {

using crypto::AeadCipher;
using crypto::AeadStream;
using crypto::Bytes;
using crypto::ByteView;
using crypto::kNonceBytes;
using crypto::PlaintextBuffer;
using crypto::SecureBuffer;
using crypto::secureWipe;

namespace {

// A stored file's record starts with its nonce and the suite byte of its AEAD blob.
constexpr std::size_t kRecordPrefixBytes = kNonceBytes + 1;

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

// Decimal text as the index writes it: digits only (a sign, blanks or an embedded NUL that
// the library's conversion would stop at make it no number).
std::optional<quint64> parseDecimal(const QJsonValue& value) {
    const QString text = value.toString();
    if (text.isEmpty())
        return std::nullopt;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    bool ok = false;
    const quint64 number = text.toULongLong(&ok, 10);
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
    // A place may be handed out again without being cleared (a raw-disk region after its vault
    // was deleted). A header an earlier vault left in slot 1 would win the next open over the new
    // vault by its generation: nothing of it may be there when the first header is written.
    if (!vault->clearLayoutArea()) {
        if (!vault->store_->remove())
            qWarning("VaultContainer::create: failed to roll back a partially-created store after "
                     "clearing its headers and index regions failed -- a retry at the same "
                     "location may find a broken, unopenable file left behind.");
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
        // The newest header is sound but its index does not read with this key. It may be
        // damaged, or be the vault re-keyed under a key this caller does not have: opening the
        // other slot is harmless, writing it back over the newest is not. That is left to
        // repairFallback, once the caller knows the older state may be opened.
        const int other = 1 - choice->slot;
        const HeaderSlot& fallback = headerSlots[other];
        if (fallback.isCurrentFormat() && headerFitsStore(fallback.header, storeSize)) {
            vault->adoptHeader(HeaderChoice{other, fallback.header, false}, keepVaultId);
            loaded = vault->readIndex();
            if (loaded) {
                vault->fallbackGeneration_ = vault->generationCounter_;
                vault->fallbackUnrepaired_ = true;
                qWarning("VaultContainer: the newest index (generation %llu) could not be read "
                         "with this key; the vault was opened at its previous state (generation "
                         "%llu), and nothing was written.",
                         static_cast<unsigned long long>(choice->header.generation),
                         static_cast<unsigned long long>(vault->generationCounter_));
            }
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
            // A format-5 header that reached slot 1 before the commit failed would win at the
            // next open over every later change made at format 4.
            if (!vault->clearFailedMigration()) {
                qWarning("VaultContainer: the unfinished migration's header could not be cleared "
                         "-- the vault is not opened, so that no change is made that the next "
                         "open would not see.");
                return nullptr;
            }
        }
    }
    // After a fallback the correction goes with the repair, if the caller asks for one.
    if (keepVaultId && !vault->fallbackUnrepaired_ && !vault->commitIndexAndHeader())
        qWarning("VaultContainer: opened via a recovered vaultId but failed to persist the "
                 "correction -- recovery will be needed again on the next open.");
    return vault;
}

bool VaultContainer::repairFallback() {
    if (wiped_)
        return false;
    if (!fallbackUnrepaired_)
        return true;
    if (!commitIndexAndHeader()) {
        qWarning("VaultContainer: recovered by falling back to the other index slot, but could not "
                 "persist the recovery -- the vault opened successfully and remains fully usable; "
                 "recovery will be retried on the next successful open.");
        return false;
    }
    return true;
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
    // A commit that runs out of memory half-way (building or encrypting the index) fails like
    // any other: what it had moved on in memory is put back.
    const quint64 generation = generationCounter_;
    const quint64 offset = indexOffset_;
    const quint64 length = indexLength_;
    const int slot = currentSlot_;
    try {
        return formatVersion_ == kLegacyFormatVersion ? commitLegacyFormat()
                                                      : commitCurrentFormat();
    } catch (const std::bad_alloc&) {
        qWarning("VaultContainer: a commit ran out of memory; nothing was changed.");
        generationCounter_ = generation;
        indexOffset_ = offset;
        indexLength_ = length;
        currentSlot_ = slot;
        return false;
    }
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
    fallbackUnrepaired_ = false;
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

bool VaultContainer::importFile(const QString& sourcePath, const QString& name,
                                TransferProgress* progress) {
    return store(sourcePath, name, false, progress);
}

bool VaultContainer::replaceFile(const QString& sourcePath, const QString& name,
                                 TransferProgress* progress) {
    return store(sourcePath, name, true, progress);
}

bool VaultContainer::cancelled(const TransferProgress* progress) {
    if (!TransferProgress::stopRequested(progress))
        return false;
    lastTransferError_ = TransferError::Cancelled;
    return true;
}

template <typename Piece>
bool VaultContainer::inPieces(TransferStep step, quint64 total, TransferProgress* progress,
                              Piece piece) {
    TransferProgress::beginStep(progress, step, static_cast<qint64>(total));
    for (quint64 done = 0; done < total;) {
        if (cancelled(progress))
            return false;
        const quint64 length = std::min<quint64>(total - done, kTransferChunkBytes);
        if (!piece(done, length))
            return false;
        done += length;
        TransferProgress::advance(progress, static_cast<qint64>(length));
    }
    return true;
}

template <typename Work> bool VaultContainer::transfer(Work work) {
    lastTransferError_ = TransferError::Failed;
    try {
        if (!work())
            return false;
    } catch (const std::bad_alloc&) {
        lastTransferError_ = TransferError::OutOfMemory;
        return false;
    } catch (const std::system_error&) {
        // No thread could be started for the writing.
        return false;
    }
    lastTransferError_ = TransferError::None;
    return true;
}

bool VaultContainer::store(const QString& sourcePath, const QString& name, bool replace,
                           TransferProgress* progress) {
    return transfer([&] { return storeUnguarded(sourcePath, name, replace, progress); });
}

namespace {

// Closes a descriptor however the function that opened it is left.
class DescriptorGuard {
public:
    explicit DescriptorGuard(int fd) : fd_(fd) {}
    ~DescriptorGuard() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    DescriptorGuard(const DescriptorGuard&) = delete;
    DescriptorGuard& operator=(const DescriptorGuard&) = delete;
    int get() const { return fd_; }
    // Closes now; false when the close reported an error (a write that did not reach the file).
    bool close() {
        const int fd = std::exchange(fd_, -1);
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

} // namespace

bool VaultContainer::storeUnguarded(const QString& sourcePath, const QString& name, bool replace,
                                    TransferProgress* progress) {
    if (wiped_ || cancelled(progress))
        return false;
    const int existing = findEntry(name);
    if (existing >= 0 && !replace)
        return false;
    // Never append over the headers or the index regions, whatever the index says.
    if (nextAppendOffset_ < dataAreaStart())
        return false;

    // The source is read with plain system calls, so that no library buffer keeps a copy of
    // it, and only when it is a regular file: a FIFO or device would block or never end.
    platform::RegularFileError openError = platform::RegularFileError::None;
    DescriptorGuard source(platform::openRegularFile(sourcePath, false, &openError));
    if (source.get() < 0) {
        if (openError == platform::RegularFileError::NotRegular)
            lastTransferError_ = TransferError::NotRegularFile;
        return false;
    }
    // Reading the vault into itself, and then erasing "the original", would destroy it.
    const std::optional<platform::FileIdentity> backing = store_->backingFile();
    if (backing && platform::identityOf(source.get()) == backing) {
        lastTransferError_ = TransferError::OwnStorage;
        return false;
    }
    struct stat info {};
    if (::fstat(source.get(), &info) != 0 || info.st_size < 0)
        return false;
    const auto size = static_cast<quint64>(info.st_size);
    if (size > static_cast<quint64>(std::numeric_limits<qint64>::max()) - kNonceBytes -
                   crypto::kAeadOverheadBytes)
        return false;

    if (maxVaultSizeBytes_ > 0) {
        qint64 total = static_cast<qint64>(size);
        for (int i = 0; i < entries_.size(); ++i) {
            if (i != existing)
                total += entries_[i].size;
        }
        if (total > maxVaultSizeBytes_)
            return false;
    }

    Entry entry;
    entry.name = name;
    entry.size = static_cast<qint64>(size);
    entry.importedAt = utcNowToTheSecond();
    entry.entryId = newUuid();
    const Bytes ad = entryAd(entry);
    const SecureBuffer fileKey = AeadCipher::generateKey();
    // The record: nonce, suite byte, ciphertext, tag. It goes past everything the index knows
    // of; a save that stops or fails part way gives the space back when the record was going
    // onto the end of the store.
    std::array<std::uint8_t, kRecordPrefixBytes> prefix{};
    const Bytes nonce = AeadCipher::generateNonce();
    std::memcpy(prefix.data(), nonce.data(), kNonceBytes);
    prefix[kNonceBytes] = static_cast<std::uint8_t>(AeadCipher::preferredSuite());
    std::optional<AeadStream> cipher =
        AeadStream::encrypting(prefix[kNonceBytes], fileKey, nonce, ad);
    const quint64 recordLength = kRecordPrefixBytes + size + crypto::kTagBytes;
    const quint64 start = nextAppendOffset_;
    const qint64 sizeBefore = store_->size();
    // The source is read, encrypted and written a piece at a time: one piece is written on the
    // writer's thread while the next is read and encrypted here. Plaintext is only ever in the
    // writer's two buffers, which are zeroed when it goes.
    PieceWriter writer(*store_,
                       static_cast<std::size_t>(std::clamp<quint64>(size, 1, kTransferChunkBytes)));
    auto giveBackSpace = [&] {
        writer.stop();
        if (sizeBefore >= 0 && static_cast<quint64>(sizeBefore) <= start &&
            store_->size() > sizeBefore)
            store_->resize(sizeBefore);
        return false;
    };
    if (!cipher || !store_->writeAt(static_cast<qint64>(start), prefix.data(), kRecordPrefixBytes))
        return giveBackSpace();
    // A short read, or a file that grew while it was read, would store something other than
    // the original, which the caller is about to erase.
    const bool encrypted =
        inPieces(TransferStep::Encrypting, size, progress, [&](quint64 at, quint64 length) {
            std::uint8_t* const piece = writer.buffer();
            if (piece == nullptr ||
                !platform::readFully(source.get(), piece, static_cast<std::size_t>(length)) ||
                !cipher->update(piece, piece, static_cast<std::size_t>(length)))
                return false;
            writer.submit(static_cast<qint64>(start + kRecordPrefixBytes + at),
                          static_cast<std::size_t>(length));
            return true;
        });
    std::array<std::uint8_t, crypto::kTagBytes> tag{};
    if (!encrypted || !platform::atEndOfFile(source.get()) || !cipher->finish(tag.data()))
        return giveBackSpace();
    source.close();

    // Saving: what the writer still has, the tag, and the flush that makes the record durable.
    TransferProgress::beginStep(progress, TransferStep::Saving, static_cast<qint64>(recordLength));
    for (quint64 reported = 0;;) {
        const quint64 written = writer.waitBeyond(reported);
        TransferProgress::advance(progress, static_cast<qint64>(written - reported));
        if (cancelled(progress))
            return giveBackSpace();
        if (written == reported)
            break;
        reported = written;
    }
    const bool saved = writer.drain();
    writer.stop();
    if (!saved ||
        !store_->writeAt(static_cast<qint64>(start + kRecordPrefixBytes + size), tag.data(),
                         static_cast<qint64>(tag.size())) ||
        !store_->flush())
        return giveBackSpace();
    TransferProgress::advance(progress,
                              static_cast<qint64>(kRecordPrefixBytes + crypto::kTagBytes));
    entry.dataOffset = start;
    entry.dataLength = recordLength;
    entry.wrappedFileKey = AeadCipher::seal(vaultKey_, fileKey, ad);

    // The last point where stopping changes nothing; the commit and what follows it are seen
    // through.
    if (cancelled(progress))
        return giveBackSpace();
    TransferProgress::setStoppable(progress, false);
    const quint64 savedNextAppend = nextAppendOffset_;
    nextAppendOffset_ += entry.dataLength;
    // A replaced entry leaves the list in the commit that adds the new one.
    QList<Entry> replaced;
    if (existing >= 0)
        replaced.append(entries_.takeAt(existing));
    entries_.append(std::move(entry));
    if (!commitIndexAndHeader()) {
        QList<Entry> dropped{entries_.takeLast()};
        wipeEntries(dropped);
        if (!replaced.isEmpty())
            entries_.insert(existing, replaced.takeFirst());
        nextAppendOffset_ = savedNextAppend;
        return false;
    }
    if (!replaced.isEmpty()) {
        // Only a record that lies in the data area and inside the store is overwritten.
        const Entry& old = replaced.first();
        const qint64 storeSize = store_->size();
        if (storeSize >= 0 && old.dataOffset >= dataAreaStart() &&
            old.dataLength <= static_cast<quint64>(storeSize) &&
            old.dataOffset <= static_cast<quint64>(storeSize) - old.dataLength)
            wipeRegion(old.dataOffset, old.dataLength);
        if (!store_->flush())
            qWarning("VaultContainer::replaceFile: the replaced file's record was overwritten but "
                     "the overwrite could not be flushed.");
        wipeEntries(replaced);
    }
    return true;
}

std::optional<PlaintextBuffer> VaultContainer::readFile(const QString& name,
                                                        TransferProgress* progress) {
    if (wiped_ || cancelled(progress))
        return std::nullopt;
    const int index = findEntry(name);
    if (index < 0)
        return std::nullopt;
    const Entry& entry = entries_[index];
    const qint64 storeSize = store_->size();
    if (storeSize < 0 || entry.dataLength < kRecordPrefixBytes + crypto::kTagBytes ||
        entry.dataOffset > static_cast<quint64>(storeSize) ||
        entry.dataLength > static_cast<quint64>(storeSize) - entry.dataOffset)
        return std::nullopt;

    // One buffer for the whole record (nonce, suite byte, ciphertext, tag): each piece of
    // ciphertext is decrypted where it was read, and the plaintext is handed out where it then
    // lies once the tag has accepted all of it. Until then nothing leaves this function, and the
    // buffer is zeroed when it is dropped.
    const quint64 size = entry.dataLength - kRecordPrefixBytes - crypto::kTagBytes;
    PlaintextBuffer record(static_cast<std::size_t>(entry.dataLength));
    if (!store_->readAt(static_cast<qint64>(entry.dataOffset), record.storage(),
                        static_cast<qint64>(kRecordPrefixBytes)))
        return std::nullopt;
    const Bytes ad = entryAd(entry);
    const std::optional<SecureBuffer> fileKey =
        AeadCipher::open(vaultKey_, entry.wrappedFileKey, ad);
    if (!fileKey)
        return std::nullopt;
    std::optional<AeadStream> cipher = AeadStream::decrypting(
        record.storage()[kNonceBytes], *fileKey, ByteView(record.storage(), kNonceBytes), ad);
    if (!cipher)
        return std::nullopt;
    std::uint8_t* const text = record.storage() + kRecordPrefixBytes;
    const bool decrypted =
        inPieces(TransferStep::Decrypting, size, progress, [&](quint64 at, quint64 length) {
            return store_->readAt(static_cast<qint64>(entry.dataOffset + kRecordPrefixBytes + at),
                                  text + at, static_cast<qint64>(length)) &&
                   cipher->update(text + at, text + at, static_cast<std::size_t>(length));
        });
    std::uint8_t* const tag = text + size;
    if (!decrypted || cancelled(progress) ||
        !store_->readAt(static_cast<qint64>(entry.dataOffset + kRecordPrefixBytes + size), tag,
                        static_cast<qint64>(crypto::kTagBytes)) ||
        !cipher->verify(tag))
        return std::nullopt;
    record.setView(kRecordPrefixBytes, static_cast<std::size_t>(size));
    return record;
}

bool VaultContainer::exportFile(const QString& name, const QString& destinationPath,
                                TransferProgress* progress) {
    return transfer([&] { return exportFileUnguarded(name, destinationPath, progress); });
}

bool VaultContainer::exportFileUnguarded(const QString& name, const QString& destinationPath,
                                         TransferProgress* progress) {
    // The content is zeroed when it goes out of scope, whichever way this returns.
    const std::optional<PlaintextBuffer> content = readFile(name, progress);
    if (!content || cancelled(progress))
        return false;

    // Only a regular file is written, never through a link, and never a FIFO or device; a new
    // file is the user's alone. Nothing is truncated before the checks have passed.
    bool created = false;
    platform::RegularFileError openError = platform::RegularFileError::None;
    const int fd = platform::openRegularFileForWriting(destinationPath, 0, &created, &openError);
    if (fd < 0) {
        if (openError == platform::RegularFileError::NotRegular)
            lastTransferError_ = TransferError::NotRegularFile;
        return false;
    }
    DescriptorGuard destination(fd);
    const std::optional<platform::FileIdentity> backing = store_->backingFile();
    if (backing && platform::identityOf(fd) == backing) {
        lastTransferError_ = TransferError::OwnStorage;
        return false;
    }
    // Plaintext the user chose to take out is still theirs alone.
    platform::restrictToOwner(fd);
    const bool truncated = ::ftruncate(fd, 0) == 0;
    const bool written = truncated &&
                         inPieces(TransferStep::Saving, content->size(), progress,
                                  [&](quint64 at, quint64 length) {
                                      return platform::writeFully(fd, content->data() + at,
                                                                  static_cast<std::size_t>(length));
                                  }) &&
                         platform::syncFileData(fd);
    const bool closed = destination.close();
    if (!written || !closed) {
        // Leave no partial plaintext copy behind that looks like a finished export; a file of
        // the user's that was never touched stays. The file was checked above to be a regular
        // file, and is the one just made or emptied here.
        if (created || truncated)
            ::unlink(QFile::encodeName(destinationPath).constData());
        return false;
    }
    if (created)
        platform::syncParentFolder(destinationPath);
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
    // No record lies before the data area. An index that says otherwise (damaged, or made to
    // harm) must not turn the overwrite onto the headers and index just committed.
    if (removed.dataOffset >= dataAreaStart())
        wipeRegion(removed.dataOffset, removed.dataLength);
    else
        qWarning("VaultContainer::removeFile: the removed entry pointed into the vault's headers "
                 "or index regions; that range was left alone.");
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
    QList<Entry> rewrapped;
    try {
        rewrapped = entries_;
        for (Entry& entry : rewrapped) {
            const Bytes ad = entryAd(entry);
            const std::optional<SecureBuffer> fileKey =
                AeadCipher::open(vaultKey_, entry.wrappedFileKey, ad);
            if (!fileKey) {
                wipeEntries(rewrapped);
                return RekeyResult::Unchanged;
            }
            entry.wrappedFileKey = AeadCipher::seal(newVaultKey, *fileKey, ad);
        }
    } catch (const std::bad_alloc&) {
        // Nothing of the vault was touched yet.
        wipeEntries(rewrapped);
        return RekeyResult::Unchanged;
    }

    // Copies first: running out of memory for them must leave the key in place.
    QList<Entry> oldEntries;
    SecureBuffer newKey;
    try {
        oldEntries = entries_;
        newKey = newVaultKey.clone();
    } catch (const std::bad_alloc&) {
        wipeEntries(rewrapped);
        return RekeyResult::Unchanged;
    }
    SecureBuffer oldKey = std::move(vaultKey_);
    const quint64 oldGeneration = generationCounter_;
    vaultKey_ = std::move(newKey);
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
        wipeEntries(oldEntries);
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

bool VaultContainer::clearFailedMigration() {
    // Slot 1 is unused at format 4, unless a (hostile) header put the index there.
    if (indexOffset_ < static_cast<quint64>(2 * kHeaderSlotBytes) &&
        indexOffset_ + indexLength_ > static_cast<quint64>(kHeaderSlotBytes))
        return false;
    const std::array<std::uint8_t, kHeaderSlotBytes> zeros{};
    return store_->writeAt(kHeaderSlotBytes, zeros.data(), kHeaderSlotBytes) && store_->flush();
}

bool VaultContainer::clearLayoutArea() {
    try {
        const Bytes zeros(static_cast<std::size_t>(kDataAreaOffset), 0);
        return store_->writeAt(0, zeros.data(), static_cast<qint64>(zeros.size())) &&
               store_->flush();
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void VaultContainer::wipeRegion(quint64 offset, quint64 length) {
    if (length == 0)
        return;
    try {
        overwriteRegion(offset, length);
    } catch (const std::bad_alloc&) {
        // The change it follows is committed; only the overwrite of stale bytes is lost.
        qWarning("VaultContainer: no memory to overwrite %llu stale bytes at %llu.",
                 static_cast<unsigned long long>(length), static_cast<unsigned long long>(offset));
    }
}

void VaultContainer::overwriteRegion(quint64 offset, quint64 length) {
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

QString VaultContainer::readVaultId(IVaultBlockStore& store) {
    if (!store.isOpen())
        return QString();
    const std::optional<HeaderChoice> choice = chooseHeader(readHeaderSlots(store), store.size());
    return choice ? choice->header.vaultId() : QString();
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
    // Create makes an empty file, sizes it to the data area and writes zeros over it, then
    // writes the index and then the first header; a power loss may keep any part of that. Anything
    // else at this place, a file of the user's above all, is not ours to remove: nothing past the
    // index regions, and header slots that are empty or hold the start of a header.
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
