#include "crypto/AeadCipher.h"
#include "support/FaultInjectingStore.h"
#include "support/TestSupport.h"
#include "vault/FileBlockStore.h"
#include "vault/VaultContainer.h"
#include "vault/VaultFormat.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvex;
using crypto::AeadCipher;
using crypto::Bytes;
using crypto::SecureBuffer;
using vault::FileBlockStore;
using vault::RekeyResult;
using vault::VaultContainer;

namespace {

const QString kMachine = QStringLiteral("3f1c0d9ab2e84c55a1d2e3f4a5b6c7d8");

QByteArray toQByteArray(const Bytes& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

QByteArray toQByteArray(const crypto::PlaintextBuffer& content) {
    return QByteArray(reinterpret_cast<const char*>(content.data()), qsizetype(content.size()));
}

QByteArray randomBytes(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(QRandomGenerator::global()->generate() & 0xFF);
    return bytes;
}

std::array<vault::HeaderSlot, 2> headersOf(const QString& path) {
    const auto headers = vault::readHeaderSlotsFromFile(path);
    return headers ? headers->headerSlots : std::array<vault::HeaderSlot, 2>{};
}

void writeHeader(const QString& path, int slot, const vault::VaultHeader& header) {
    const auto bytes = header.serialise();
    QVERIFY(test::patchFile(path, slot * vault::kHeaderSlotBytes,
                            QByteArray(reinterpret_cast<const char*>(bytes.data()), bytes.size())));
}

// Re-encrypts the index a header slot points to after letting the caller change its JSON,
// exactly as a writer holding the key would, so that the change authenticates. jsonGeneration
// lets the JSON claim a generation other than the header's.
void rewriteIndex(const QString& path, int slot, const SecureBuffer& key,
                  const std::function<void(QJsonObject&)>& change) {
    vault::VaultHeader header = headersOf(path)[slot].header;
    const QByteArray record =
        test::readFileRange(path, qint64(header.indexOffset), qint64(header.indexLength));
    const Bytes recordBytes(record.begin(), record.end());
    const Bytes ad =
        vault::indexAssociatedData(header.vaultId(), kMachine, header.indexOffset,
                                   header.indexCapacity, header.generation, header.formatVersion);
    const auto plain = AeadCipher::decrypt(key, crypto::ByteView(recordBytes).first(24),
                                           crypto::ByteView(recordBytes).subspan(24), ad);
    QVERIFY(plain);
    QJsonObject root = QJsonDocument::fromJson(toQByteArray(*plain)).object();
    change(root);
    const QByteArray json = QJsonDocument(root).toJson(QJsonDocument::Compact);
    const Bytes nonce = AeadCipher::generateNonce();
    const Bytes blob = AeadCipher::encrypt(key, nonce, Bytes(json.begin(), json.end()), ad);
    QVERIFY(test::patchFile(path, qint64(header.indexOffset),
                            toQByteArray(nonce) + toQByteArray(blob)));
    header.indexLength = nonce.size() + blob.size();
    writeHeader(path, slot, header);
}

// A place that held a vault before and is handed out again without being cleared, the way a
// raw-disk region is after its vault was deleted: it counts as free, and creating there opens
// whatever it still holds.
class ReusedPlace final : public vault::IVaultBlockStore {
public:
    explicit ReusedPlace(const QString& path) : file_(path) {}

    bool exists() const override { return false; }
    bool create() override { return file_.open(); }
    bool open() override { return file_.open(); }
    void close() override { file_.close(); }
    bool isOpen() const override { return file_.isOpen(); }
    QString errorString() const override { return file_.errorString(); }
    bool remove() override { return file_.remove(); }
    qint64 size() const override { return file_.size(); }
    bool resize(qint64 newSize) override { return file_.resize(newSize); }
    bool readAt(qint64 offset, void* buffer, qint64 length) override {
        return file_.readAt(offset, buffer, length);
    }
    bool writeAt(qint64 offset, const void* buffer, qint64 length) override {
        return file_.writeAt(offset, buffer, length);
    }
    bool flush() override { return file_.flush(); }

private:
    FileBlockStore file_;
};

} // namespace

class VaultContainerTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    SecureBuffer key_;
    QString path_;

    QString source(const QString& name, const QByteArray& content) {
        const QString path = dir_.filePath(QStringLiteral("src-") + name);
        test::writeFile(path, content);
        return path;
    }
    std::unique_ptr<VaultContainer> create() {
        return VaultContainer::create(std::make_unique<FileBlockStore>(path_), key_, kMachine);
    }
    std::unique_ptr<VaultContainer> open(const SecureBuffer& key, const QString& machine = kMachine,
                                         const QString& recoveredId = QString(),
                                         QString* errorText = nullptr) {
        return VaultContainer::open(std::make_unique<FileBlockStore>(path_), key, machine,
                                    recoveredId, errorText);
    }
    std::unique_ptr<VaultContainer> open() { return open(key_); }

    // A format-4 vault as its writer laid it out: one header in slot 0 without a checksum, one
    // 1 MiB index region at 192, the data area after it, holding old.txt. Its bytes.
    QByteArray writeLegacyVault(const QString& vaultId, const QByteArray& content) {
        const QString entryId = QStringLiteral("0b9c8d7e-6f5a-4b3c-8d2e-1f0a9b8c7d6e");
        const quint64 dataStart = 192 + vault::kLegacyIndexCapacity;
        const SecureBuffer fileKey = AeadCipher::generateKey();
        const Bytes entryAd = vault::entryAssociatedData(vaultId, entryId, kMachine);
        const Bytes nonce = AeadCipher::generateNonce();
        const Bytes record =
            AeadCipher::encrypt(fileKey, nonce, Bytes(content.begin(), content.end()), entryAd);
        const Bytes wrapped = AeadCipher::seal(key_, fileKey, entryAd);

        QJsonObject entry{{QStringLiteral("name"), QStringLiteral("old.txt")},
                          {QStringLiteral("size"), double(content.size())},
                          {QStringLiteral("importedAt"), QStringLiteral("2024-05-06T07:08:09Z")},
                          {QStringLiteral("dataOffset"), QString::number(dataStart)},
                          {QStringLiteral("dataLength"), QString::number(24 + record.size())},
                          {QStringLiteral("wrappedFileKey"),
                           QString::fromLatin1(toQByteArray(wrapped).toBase64())},
                          {QStringLiteral("entryId"), entryId}};
        QJsonObject root{
            {QStringLiteral("vaultId"), vaultId},
            {QStringLiteral("generationCounter"), QStringLiteral("12")},
            {QStringLiteral("machineId"), kMachine},
            {QStringLiteral("cipherSuiteVersion"), 1},
            {QStringLiteral("nextAppendOffset"), QString::number(dataStart + 24 + record.size())},
            {QStringLiteral("entries"), QJsonArray{entry}}};
        const QByteArray json = QJsonDocument(root).toJson(QJsonDocument::Compact);
        const Bytes indexNonce = AeadCipher::generateNonce();
        const Bytes indexBlob = AeadCipher::encrypt(
            key_, indexNonce, Bytes(json.begin(), json.end()),
            vault::indexAssociatedData(vaultId, kMachine, 192, vault::kLegacyIndexCapacity, 12, 4));

        QByteArray file(qsizetype(dataStart), '\0');
        QByteArray header(96, '\0');
        header.replace(0, 8, "KVXSVLT1");
        auto putLe = [&header](int at, quint64 value, int width) {
            for (int i = 0; i < width; ++i)
                header[at + i] = char((value >> (8 * i)) & 0xFF);
        };
        putLe(8, 4, 4);
        putLe(16, 192, 8);
        putLe(24, vault::kLegacyIndexCapacity, 8);
        putLe(32, 24 + indexBlob.size(), 8);
        header.replace(40, 36, vaultId.toUtf8());
        putLe(76, 12, 8);
        file.replace(0, 96, header);
        file.replace(192, 24 + qsizetype(indexBlob.size()),
                     toQByteArray(indexNonce) + toQByteArray(indexBlob));
        file += toQByteArray(nonce) + toQByteArray(record);
        test::writeFile(path_, file);
        return file;
    }

    static QStringList names(const VaultContainer& vault) {
        QStringList list;
        for (const auto& entry : vault.listEntries())
            list << entry.name;
        return list;
    }

private Q_SLOTS:
    void init() {
        QVERIFY(dir_.isValid());
        key_ = AeadCipher::generateKey();
        path_ = dir_.filePath(
            QStringLiteral("vault-%1.kvxs").arg(QRandomGenerator::global()->generate()));
    }

    // Only what a cut-short create leaves may be taken for its leftover (and removed at start):
    // never a real vault, and never a file of the user's that happens to sit at the vault path.
    void interruptedCreateIsToldApartFromEverythingElse() {
        const QByteArray zeros(qsizetype(vault::kDataAreaOffset), '\0');
        QByteArray tornMagic = zeros;
        tornMagic.replace(0, 4, "KVXS");
        QByteArray textOfDataAreaSize = zeros;
        textOfDataAreaSize.replace(0, 5, "hello");
        const QList<std::pair<QByteArray, bool>> cases{
            {QByteArray(), true}, // created, never sized
            {zeros, true},        // sized, nothing committed
            {tornMagic, true},    // the first header write cut short
            {QByteArray("hello"), false},
            {textOfDataAreaSize, false},
            {QByteArray(193, '\0').append('\x17'), true}, // the index write cut short
            {QByteArray(191, '\0').append("%PDF"), false},
            {zeros + QByteArray(1, '\0'), false},
        };
        for (const auto& [content, expected] : cases) {
            QVERIFY(test::writeFile(path_, content));
            QCOMPARE(VaultContainer::isInterruptedCreate(path_), expected);
        }
        QVERIFY(QFile::remove(path_));
        QVERIFY(create());
        QVERIFY(!VaultContainer::isInterruptedCreate(path_));
    }

    void createLaysOutAnEmptyVaultAndNeverOverwrites() {
        {
            auto vault = create();
            QVERIFY(vault);
            QCOMPARE(vault->generationCounter(), quint64(1));
            QCOMPARE(vault->vaultId().size(), 36);
        }
        QCOMPARE(QFileInfo(path_).size(), qint64(vault::kDataAreaOffset));
        const auto headers = headersOf(path_);
        QVERIFY(headers[0].isCurrentFormat());
        QCOMPARE(headers[0].header.generation, quint64(1));
        QCOMPARE(headers[0].header.indexOffset, quint64(192));
        QCOMPARE(headers[0].header.indexCapacity, quint64(524240));
        QVERIFY(!headers[1].hasMagic);
        QCOMPARE(VaultContainer::readHeaderGenerationFromFile(path_), std::optional<quint64>(1));

        const QByteArray before = test::readWholeFile(path_);
        QVERIFY(!create());
        QCOMPARE(test::readWholeFile(path_), before);

        auto reopened = open();
        QVERIFY(reopened);
        QVERIFY(reopened->listEntries().isEmpty());
        QCOMPARE(reopened->generationCounter(), quint64(1));
        QCOMPARE(reopened->vaultId(), VaultContainer::readVaultIdFromFile(path_));
    }

    // Whatever an earlier vault left at the place is gone once the new one exists: a header of
    // the old vault in the slot the new one has not used yet would win the next open by its
    // generation, the old vault's id would be read where the new one's is expected, and the old
    // index would lie there for the taking.
    void createOverAnOldVaultLeavesNothingOfIt() {
        QString oldId;
        {
            auto old = create();
            QVERIFY(old);
            oldId = old->vaultId();
            for (const char* name : {"a", "b", "c"})
                QVERIFY(old->importFile(source(QString::fromLatin1(name), name),
                                        QString::fromLatin1(name)));
        }
        const auto oldHeaders = headersOf(path_);
        QVERIFY(oldHeaders[1].isCurrentFormat());
        QCOMPARE(oldHeaders[1].header.generation, quint64(4));

        // The same key as the old vault's: the worst case, where its index would still open.
        QString newId;
        {
            auto vault =
                VaultContainer::create(std::make_unique<ReusedPlace>(path_), key_, kMachine);
            QVERIFY(vault);
            newId = vault->vaultId();
        }
        QVERIFY(newId != oldId);
        QCOMPARE(VaultContainer::readVaultIdFromFile(path_), newId);
        QCOMPARE(VaultContainer::readHeaderGenerationFromFile(path_), std::optional<quint64>(1));
        {
            auto vault = open();
            QVERIFY(vault);
            QCOMPARE(vault->vaultId(), newId);
            QVERIFY(vault->listEntries().isEmpty());
            QCOMPARE(vault->generationCounter(), quint64(1));
            QVERIFY(!vault->fallbackGeneration());
        }
        // Past the new header and the new index, up to the data area, only zeros.
        const vault::VaultHeader header = headersOf(path_)[0].header;
        QCOMPARE(header.indexOffset, vault::kFirstIndexRegionOffset);
        QCOMPARE(test::readFileRange(path_, vault::kHeaderSlotBytes, vault::kHeaderSlotBytes),
                 QByteArray(vault::kHeaderSlotBytes, '\0'));
        const qint64 indexEnd = qint64(header.indexOffset + header.indexLength);
        const qint64 rest = qint64(vault::kDataAreaOffset) - indexEnd;
        QCOMPARE(test::readFileRange(path_, indexEnd, rest), QByteArray(rest, '\0'));
    }

    void filesRoundTripAndEveryChangeIsOneGeneration() {
        const QByteArray report = randomBytes(70000);
        auto vault = create();
        QVERIFY(vault);
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        QVERIFY(
            vault->importFile(source(QStringLiteral("a"), report), QStringLiteral("report.pdf")));
        QVERIFY(vault->importFile(source(QStringLiteral("b"), QByteArray()),
                                  QStringLiteral("empty.txt")));
        QVERIFY(
            vault->importFile(source(QStringLiteral("c"), "notes"), QStringLiteral("notes.txt")));
        QCOMPARE(vault->generationCounter(), quint64(4));
        // Each record is the content plus nonce, suite byte and tag.
        QCOMPARE(QFileInfo(path_).size(),
                 qint64(vault::kDataAreaOffset + 70000 + 41 + 0 + 41 + 5 + 41));

        // Names are unique (case-sensitive); the same content under another name is fine.
        QVERIFY(
            !vault->importFile(source(QStringLiteral("d"), "other"), QStringLiteral("notes.txt")));
        QVERIFY(
            vault->importFile(source(QStringLiteral("e"), "notes"), QStringLiteral("Notes.txt")));
        QVERIFY(
            !vault->importFile(dir_.filePath(QStringLiteral("no-such-file")), QStringLiteral("x")));
        QVERIFY(!vault->importFile(dir_.path(), QStringLiteral("a folder")));
        QCOMPARE(vault->generationCounter(), quint64(5));

        vault.reset();
        vault = open();
        QVERIFY(vault);
        QCOMPARE(names(*vault),
                 (QStringList{QStringLiteral("report.pdf"), QStringLiteral("empty.txt"),
                              QStringLiteral("notes.txt"), QStringLiteral("Notes.txt")}));
        const auto entries = vault->listEntries();
        QCOMPARE(entries[0].size, qint64(70000));
        QCOMPARE(entries[1].size, qint64(0));
        QVERIFY(entries[0].importedAt >= before &&
                entries[0].importedAt <= QDateTime::currentDateTimeUtc());
        QCOMPARE(entries[0].importedAt.timeSpec(), Qt::UTC);
        QCOMPARE(toQByteArray(*vault->readFile(QStringLiteral("report.pdf"))), report);
        // Read content lies in memory that the crash wipe reaches.
        QVERIFY(vault->readFile(QStringLiteral("report.pdf"))->registrySlot() >= 0);
        QCOMPARE(vault->readFile(QStringLiteral("empty.txt"))->size(), size_t(0));
        QVERIFY(!vault->readFile(QStringLiteral("NOTES.TXT")));

        const QString exported = dir_.filePath(QStringLiteral("exported.pdf"));
        test::writeFile(exported, QByteArray(100000, 'z')); // replaced, not merged
        QVERIFY(vault->exportFile(QStringLiteral("report.pdf"), exported));
        QCOMPARE(test::readWholeFile(exported), report);
        QVERIFY(!vault->exportFile(QStringLiteral("missing"), exported));
        QVERIFY(!vault->exportFile(QStringLiteral("report.pdf"),
                                   dir_.filePath(QStringLiteral("no/such/dir"))));

        // Removal keeps the others in order; removing everything leaves an empty vault.
        QVERIFY(vault->removeFile(QStringLiteral("empty.txt")));
        QCOMPARE(vault->generationCounter(), quint64(6));
        QVERIFY(!vault->removeFile(QStringLiteral("empty.txt")));
        QCOMPARE(names(*vault),
                 (QStringList{QStringLiteral("report.pdf"), QStringLiteral("notes.txt"),
                              QStringLiteral("Notes.txt")}));
        for (const QString& name : names(*vault))
            QVERIFY(vault->removeFile(name));
        vault.reset();
        vault = open();
        QVERIFY(vault->listEntries().isEmpty());
        QCOMPARE(vault->generationCounter(), quint64(9));
    }

    void removedRecordIsOverwritten() {
        const QByteArray secret = QByteArray("SECRET-CONTENT-") + randomBytes(200);
        auto vault = create();
        QVERIFY(vault->importFile(source(QStringLiteral("s"), secret), QStringLiteral("s")));
        const QByteArray record =
            test::readFileRange(path_, qint64(vault::kDataAreaOffset), secret.size() + 41);
        QVERIFY(vault->removeFile(QStringLiteral("s")));
        const QByteArray after =
            test::readFileRange(path_, qint64(vault::kDataAreaOffset), secret.size() + 41);
        QCOMPARE(after.size(), record.size());
        QVERIFY(after != record);
        QVERIFY(after != QByteArray(after.size(), '\0') &&
                after != QByteArray(after.size(), '\xFF'));
    }

    void exportReportsAShortWrite() {
        auto vault = create();
        QVERIFY(
            vault->importFile(source(QStringLiteral("f"), randomBytes(5000)), QStringLiteral("f")));
        // Writes past the file size limit fail (EFBIG, with SIGXFSZ ignored).
        const QString target = dir_.filePath(QStringLiteral("short"));
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit previous{};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &previous) == 0);
        const rlimit limited{1000, previous.rlim_max};
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &limited) == 0);
        const bool exported = vault->exportFile(QStringLiteral("f"), target);
        ::setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);
        QVERIFY(!exported);
        QCOMPARE(vault->lastTransferError(), vault::TransferError::Failed);
        // No partial plaintext is left looking like a finished export.
        QVERIFY(!QFileInfo::exists(target));
    }

    // A stop asked for at any point before the commit (or, for a read or an export, before the
    // end) leaves the vault file byte for byte as it was, the source whole and no exported copy;
    // the transfer says it was cancelled. A stop after the commit is not honoured.
    void aStopBeforeTheCommitChangesNothing_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("stopAt");
        const auto row = [](const char* operation, vault::TransferStep step) {
            const char* const stepNames[] = {"starting", "encrypting", "decrypting", "saving",
                                             "erasing"};
            QTest::addRow("%s while %s", operation, stepNames[int(step)])
                << QString::fromLatin1(operation) << int(step);
        };
        for (const vault::TransferStep step :
             {vault::TransferStep::Encrypting, vault::TransferStep::Saving}) {
            row("import", step);
            row("replace", step);
        }
        row("read", vault::TransferStep::Decrypting);
        row("export", vault::TransferStep::Decrypting);
        row("export", vault::TransferStep::Saving);
    }
    void aStopBeforeTheCommitChangesNothing() {
        QFETCH(QString, operation);
        QFETCH(int, stopAt);
        // Several pieces, so that a stop in the middle of a step is seen at the next one.
        const QByteArray content = randomBytes(qsizetype(2.5 * vault::kTransferChunkBytes));
        auto vault = create();
        QVERIFY(vault->importFile(source(QStringLiteral("old"), "old"), QStringLiteral("f")));
        QVERIFY(vault->importFile(source(QStringLiteral("big"), content), QStringLiteral("big")));
        const QString sourcePath = source(QStringLiteral("new"), content);
        const QString target = dir_.filePath(QStringLiteral("exported"));
        const QByteArray before = test::readWholeFile(path_);

        vault::TransferProgress progress;
        QList<vault::TransferStep> steps;
        progress.setObserver([&](const vault::TransferProgress& seen) {
            if (steps.isEmpty() || steps.last() != seen.step())
                steps << seen.step();
            if (int(seen.step()) == stopAt && seen.done() > 0)
                progress.requestStop();
        });
        bool succeeded = true;
        if (operation == QStringLiteral("import"))
            succeeded = vault->importFile(sourcePath, QStringLiteral("g"), &progress);
        else if (operation == QStringLiteral("replace"))
            succeeded = vault->replaceFile(sourcePath, QStringLiteral("f"), &progress);
        else if (operation == QStringLiteral("read"))
            succeeded = vault->readFile(QStringLiteral("big"), &progress).has_value();
        else
            succeeded = vault->exportFile(QStringLiteral("big"), target, &progress);
        QVERIFY(!succeeded);
        QVERIFY(steps.contains(vault::TransferStep(stopAt)));
        if (operation != QStringLiteral("read"))
            QCOMPARE(vault->lastTransferError(), vault::TransferError::Cancelled);
        QCOMPARE(test::readWholeFile(path_), before);
        QCOMPARE(test::readWholeFile(sourcePath), content);
        QVERIFY(!QFileInfo::exists(target));
        QCOMPARE(names(*vault), (QStringList{QStringLiteral("f"), QStringLiteral("big")}));
        QCOMPARE(toQByteArray(*vault->readFile(QStringLiteral("f"))), QByteArray("old"));

        // Without a stop the same transfer goes through, reporting its steps in order; a stop
        // asked for once the commit has begun changes nothing.
        vault::TransferProgress late;
        late.setObserver([&](const vault::TransferProgress& seen) {
            if (!seen.stoppable())
                late.requestStop();
        });
        if (operation == QStringLiteral("import") || operation == QStringLiteral("replace")) {
            QVERIFY(vault->importFile(sourcePath, QStringLiteral("g"), &late));
            QVERIFY(!late.stoppable());
            QCOMPARE(toQByteArray(*vault->readFile(QStringLiteral("g"))), content);
        }
    }

    // A replacement stores the new file and drops the old one in one commit: whatever makes it
    // fail leaves the old file in the vault.
    void aReplacementIsOneCommit() {
        auto vault = create();
        QVERIFY(
            vault->importFile(source(QStringLiteral("old"), "old content"), QStringLiteral("f")));
        QVERIFY(vault->importFile(source(QStringLiteral("other"), "other"), QStringLiteral("g")));
        const quint64 generation = vault->generationCounter();
        vault->setMaxVaultSizeBytes(40);
        QVERIFY(!vault->replaceFile(source(QStringLiteral("big"), QByteArray(100, 'x')),
                                    QStringLiteral("f")));
        QVERIFY(!vault->replaceFile(dir_.path(), QStringLiteral("f")));
        QCOMPARE(vault->generationCounter(), generation);
        QCOMPARE(toQByteArray(*vault->readFile(QStringLiteral("f"))), QByteArray("old content"));

        // The limit counts the replaced file out.
        QVERIFY(vault->replaceFile(source(QStringLiteral("new"), QByteArray(30, 'n')),
                                   QStringLiteral("f")));
        QCOMPARE(vault->generationCounter(), generation + 1);
        vault.reset();
        vault = open();
        QCOMPARE(names(*vault), (QStringList{QStringLiteral("g"), QStringLiteral("f")}));
        QCOMPARE(toQByteArray(*vault->readFile(QStringLiteral("f"))), QByteArray(30, 'n'));
    }

    // The vault's own file is never read into itself (the caller would then erase "the
    // original") nor overwritten by an export, whatever name it is reached by.
    void ownFileIsNeitherSourceNorTarget() {
        auto vault = create();
        QVERIFY(vault->importFile(source(QStringLiteral("a"), "alpha"), QStringLiteral("a")));
        const QByteArray before = test::readWholeFile(path_);
        const QString hardLink = dir_.filePath(QStringLiteral("same-file"));
        QVERIFY(::link(QFile::encodeName(path_).constData(),
                       QFile::encodeName(hardLink).constData()) == 0);
        for (const QString& path : {path_, hardLink}) {
            QVERIFY(!vault->importFile(path, QStringLiteral("copy of the vault")));
            QCOMPARE(vault->lastTransferError(), vault::TransferError::OwnStorage);
            QVERIFY(!vault->exportFile(QStringLiteral("a"), path));
            QCOMPARE(vault->lastTransferError(), vault::TransferError::OwnStorage);
        }
        QCOMPARE(names(*vault), QStringList{QStringLiteral("a")});
        QCOMPARE(test::readWholeFile(path_), before);
        vault.reset();
        QCOMPARE(toQByteArray(*open()->readFile(QStringLiteral("a"))), QByteArray("alpha"));
    }

    // A FIFO would block the read (or the open), a device never end, a link lead anywhere:
    // only regular files are imported from or exported to, and nothing else is touched.
    void onlyRegularFilesAreImportedOrExportedTo_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("fifo") << "fifo";
        QTest::newRow("symbolic link") << "link";
        QTest::newRow("folder") << "folder";
        QTest::newRow("device") << "device";
    }
    void onlyRegularFilesAreImportedOrExportedTo() {
        QFETCH(QString, kind);
        auto vault = create();
        QVERIFY(vault->importFile(source(QStringLiteral("a"), "alpha"), QStringLiteral("a")));
        const QString linkTarget = source(QStringLiteral("target"), "the link's target");
        QString path = dir_.filePath(QStringLiteral("special-") + kind);
        if (kind == QLatin1String("fifo"))
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        else if (kind == QLatin1String("link"))
            QVERIFY(QFile::link(linkTarget, path));
        else if (kind == QLatin1String("folder"))
            QVERIFY(QDir().mkdir(path));
        else
            path = QStringLiteral("/dev/zero");

        QVERIFY(!vault->importFile(path, QStringLiteral("special")));
        QCOMPARE(vault->lastTransferError(), vault::TransferError::NotRegularFile);
        QVERIFY(!vault->exportFile(QStringLiteral("a"), path));
        QCOMPARE(vault->lastTransferError(), vault::TransferError::NotRegularFile);
        QCOMPARE(names(*vault), QStringList{QStringLiteral("a")});
        QCOMPARE(test::readWholeFile(linkTarget), QByteArray("the link's target"));
        // Keyless readers refuse it too, without blocking.
        QVERIFY(VaultContainer::readVaultIdFromFile(path).isEmpty());
        QVERIFY(!VaultContainer::readHeaderGenerationFromFile(path));
    }

    // Under an address-space limit below a file's size (in a process of its own), the file
    // still imports, a piece at a time; an export, which needs the whole file in memory, and an
    // import with no room at all fail with their own reason and keep the vault working.
    void aTransferWithoutMemoryFailsAndKeepsTheVault() {
        QProcess helper;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // Under AddressSanitizer a failed allocation of the library's own aborts unless told
        // to return null; the helper's large allocation is a mapping of its own either way.
        const QString asan = environment.value(QStringLiteral("ASAN_OPTIONS"));
        environment.insert(QStringLiteral("ASAN_OPTIONS"),
                           asan + (asan.isEmpty() ? "" : ":") +
                               QStringLiteral("allocator_may_return_null=1"));
        helper.setProcessEnvironment(environment);
        helper.start(QStringLiteral(ZELVORA_LOWMEMORY_HELPER),
                     {dir_.path(), QStringLiteral("256"), QStringLiteral("96")});
        QVERIFY(helper.waitForFinished(120000));
        QVERIFY2(helper.exitStatus() == QProcess::NormalExit && helper.exitCode() == 0,
                 (helper.readAllStandardOutput() + helper.readAllStandardError()).constData());
    }

    void sizeLimitCountsStoredBytes() {
        auto vault = create();
        vault->setMaxVaultSizeBytes(1000);
        QVERIFY(vault->importFile(source(QStringLiteral("600"), QByteArray(600, 'a')),
                                  QStringLiteral("a")));
        QVERIFY(!vault->importFile(source(QStringLiteral("500"), QByteArray(500, 'b')),
                                   QStringLiteral("b")));
        QVERIFY(vault->importFile(source(QStringLiteral("400"), QByteArray(400, 'c')),
                                  QStringLiteral("c")));
        QCOMPARE(vault->listEntries().size(), 2);
        vault->setMaxVaultSizeBytes(0);
        QVERIFY(vault->importFile(source(QStringLiteral("500"), QByteArray(500, 'b')),
                                  QStringLiteral("b")));
    }

    void rekeyMovesTheVaultToTheNewKeyOnly() {
        const QByteArray content = randomBytes(3000);
        {
            auto vault = create();
            QVERIFY(vault->importFile(source(QStringLiteral("a"), content), QStringLiteral("a")));
            QVERIFY(vault->importFile(source(QStringLiteral("b"), "bee"), QStringLiteral("b")));
            const SecureBuffer newKey = AeadCipher::generateKey();
            QCOMPARE(vault->rekey(newKey), RekeyResult::Rekeyed);
            QCOMPARE(vault->generationCounter(), quint64(4));
            QCOMPARE(toQByteArray(*vault->readFile(QStringLiteral("a"))), content);
            // The slot written before the re-key no longer holds a header at all.
            const auto headers = headersOf(path_);
            QVERIFY(headers[0].isCurrentFormat() != headers[1].isCurrentFormat());
            QVERIFY(!headers[0].hasMagic || !headers[1].hasMagic);
            vault.reset();
            QVERIFY(!open(key_));
            auto reopened = open(newKey);
            QVERIFY(reopened);
            QCOMPARE(toQByteArray(*reopened->readFile(QStringLiteral("a"))), content);
            QCOMPARE(toQByteArray(*reopened->readFile(QStringLiteral("b"))), QByteArray("bee"));
        }
    }

    void rekeyWithAnUnopenableFileKeyChangesNothing() {
        {
            auto vault = create();
            QVERIFY(vault->importFile(source(QStringLiteral("a"), "alpha"), QStringLiteral("a")));
            QVERIFY(vault->importFile(source(QStringLiteral("b"), "beta"), QStringLiteral("b")));
        }
        // A wrapped key that no longer opens under the vault key (slot 0 holds generation 3).
        rewriteIndex(path_, 0, key_, [](QJsonObject& root) {
            QJsonArray entries = root[QStringLiteral("entries")].toArray();
            QJsonObject second = entries[1].toObject();
            QByteArray wrapped = QByteArray::fromBase64(
                second[QStringLiteral("wrappedFileKey")].toString().toLatin1());
            wrapped[30] = char(wrapped[30] ^ 0x01);
            second[QStringLiteral("wrappedFileKey")] = QString::fromLatin1(wrapped.toBase64());
            entries[1] = second;
            root[QStringLiteral("entries")] = entries;
        });
        const QByteArray before = test::readWholeFile(path_);
        auto vault = open();
        QVERIFY(vault);
        QCOMPARE(vault->rekey(AeadCipher::generateKey()), RekeyResult::Unchanged);
        QCOMPARE(test::readWholeFile(path_), before);
        QCOMPARE(toQByteArray(*vault->readFile(QStringLiteral("a"))), QByteArray("alpha"));
        QVERIFY(!vault->readFile(QStringLiteral("b")));
        vault.reset();
        QVERIFY(open());
    }

    void damagedCurrentIndexFallsBackAndIsRepairedOnRequest() {
        {
            auto vault = create();
            QVERIFY(vault->importFile(source(QStringLiteral("a"), "alpha"), QStringLiteral("a")));
            QVERIFY(vault->importFile(source(QStringLiteral("b"), "beta"), QStringLiteral("b")));
        }
        // Slot 0 holds generation 3 (a, b); slot 1 generation 2 (a).
        QVERIFY(test::flipByte(path_, qint64(vault::kFirstIndexRegionOffset) + 60));
        const QByteArray damaged = test::readWholeFile(path_);
        auto vault = open();
        QVERIFY(vault);
        QCOMPARE(names(*vault), QStringList{QStringLiteral("a")});
        QCOMPARE(vault->generationCounter(), quint64(2));
        // The state it opened at, for the caller to tell the user the last change is gone.
        QCOMPARE(vault->fallbackGeneration(), std::optional<quint64>(2));
        // The newest slot might be the vault under another key: only the caller, who knows the
        // rollback record, may have the older state written over it.
        vault.reset();
        QCOMPARE(test::readWholeFile(path_), damaged);
        vault = open();
        QVERIFY(vault->repairFallback());
        QCOMPARE(vault->generationCounter(), quint64(3));
        const auto headers = headersOf(path_);
        QVERIFY(headers[0].isCurrentFormat());
        QCOMPARE(headers[0].header.generation, quint64(3));
        vault.reset();
        vault = open();
        QCOMPARE(names(*vault), QStringList{QStringLiteral("a")});
        QVERIFY(!vault->fallbackGeneration());
        vault.reset();

        // Both regions damaged: the open fails and leaves the error text alone.
        QVERIFY(test::flipByte(path_, qint64(vault::kFirstIndexRegionOffset) + 60));
        QVERIFY(test::flipByte(
            path_, qint64(vault::kFirstIndexRegionOffset + vault::kIndexRegionCapacity) + 60));
        QString errorText = QStringLiteral("untouched");
        QVERIFY(!open(key_, kMachine, QString(), &errorText));
        QCOMPARE(errorText, QStringLiteral("untouched"));
    }

    void indexIsBoundToVaultMachineOffsetAndGeneration() {
        QString vaultId;
        {
            auto vault = create();
            vaultId = vault->vaultId();
        }
        QVERIFY(!open(key_, QStringLiteral("another-machine")));
        QVERIFY(!open(AeadCipher::generateKey()));

        // An index that claims another generation than its header is refused even though it
        // authenticates.
        const QByteArray pristine = test::readWholeFile(path_);
        rewriteIndex(path_, 0, key_, [](QJsonObject& root) {
            root[QStringLiteral("generationCounter")] = QStringLiteral("7");
        });
        QVERIFY(!open());

        // The same index copied into the other region does not decrypt there.
        test::writeFile(path_, pristine);
        vault::VaultHeader header = headersOf(path_)[0].header;
        const QByteArray index = test::readFileRange(path_, 192, qint64(header.indexLength));
        QVERIFY(test::patchFile(path_, qint64(192 + vault::kIndexRegionCapacity), index));
        header.indexOffset = 192 + vault::kIndexRegionCapacity;
        writeHeader(path_, 1, header);
        QVERIFY(test::patchFile(path_, 0, QByteArray(96, '\0')));
        QVERIFY(headersOf(path_)[1].isCurrentFormat());
        QVERIFY(!open());

        // The identifier field is not under the checksum: a damaged one still selects the
        // header, and only the caller's recovered identifier opens the index.
        test::writeFile(path_, pristine);
        QVERIFY(test::flipByte(path_, 45));
        QVERIFY(headersOf(path_)[0].isCurrentFormat());
        QVERIFY(!open());
        {
            auto vault = open(key_, kMachine, vaultId);
            QVERIFY(vault);
            QCOMPARE(vault->vaultId(), vaultId);
        }
        // The correction was written back.
        QCOMPARE(VaultContainer::readVaultIdFromFile(path_), vaultId);
        QVERIFY(open());
    }

    void everyFlippedByteIsDetected() {
        const QByteArray content = randomBytes(40);
        {
            auto vault = create();
            QVERIFY(vault->importFile(source(QStringLiteral("f"), content), QStringLiteral("f")));
            QCOMPARE(vault->rekey(key_), RekeyResult::Rekeyed); // leaves one header only
        }
        const auto headers = headersOf(path_);
        const int current = headers[0].isCurrentFormat() ? 0 : 1;
        QVERIFY(!headers[1 - current].hasMagic);
        const vault::VaultHeader header = headers[current].header;
        const QByteArray pristine = test::readWholeFile(path_);

        // AES-256-GCM reads only the first 12 of the 24 stored nonce bytes; the other 12 take
        // no part in decryption, so changing them changes nothing that is read back.
        auto unusedNonceByte = [](const QByteArray& record, qint64 i) {
            return record.size() > 24 && record[24] == 0 && i >= 12 && i < 24;
        };
        const QByteArray indexRecord =
            test::readFileRange(path_, qint64(header.indexOffset), qint64(header.indexLength));

        // Header and index: the vault no longer opens (there is no older state to fall back on).
        QList<qint64> offsets;
        for (qint64 i = 0; i < vault::kHeaderSlotBytes; ++i)
            offsets << current * vault::kHeaderSlotBytes + i;
        for (qint64 i = 0; i < indexRecord.size(); ++i) {
            if (!unusedNonceByte(indexRecord, i))
                offsets << qint64(header.indexOffset) + i;
        }
        for (qint64 offset : offsets) {
            test::writeFile(path_, pristine);
            QVERIFY(test::flipByte(path_, offset));
            if (open())
                QFAIL(qPrintable(QStringLiteral("flipped byte %1 went unnoticed").arg(offset)));
        }

        // A file record: the vault opens, the file does not read.
        const QByteArray fileRecord =
            test::readFileRange(path_, qint64(vault::kDataAreaOffset), content.size() + 41);
        for (qint64 i = 0; i < fileRecord.size(); ++i) {
            if (unusedNonceByte(fileRecord, i))
                continue;
            test::writeFile(path_, pristine);
            QVERIFY(test::flipByte(path_, qint64(vault::kDataAreaOffset) + i));
            auto vault = open();
            QVERIFY(vault);
            if (vault->readFile(QStringLiteral("f")))
                QFAIL(qPrintable(QStringLiteral("flipped record byte %1 went unnoticed").arg(i)));
        }
        test::writeFile(path_, pristine);
        QCOMPARE(toQByteArray(*open()->readFile(QStringLiteral("f"))), content);
    }

    void hostileFilesFailCleanly_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("truncated header") << QByteArray("KVXSVLT1\x05\0\0\0", 12);
        QTest::newRow("random") << randomBytes(1 << 20);

        // Valid checksums, but the header points outside the file or asks for too much.
        auto headerBytes = [](quint64 offset, quint64 capacity, quint64 length) {
            vault::VaultHeader header;
            header.indexOffset = offset;
            header.indexCapacity = capacity;
            header.indexLength = length;
            header.generation = 1;
            header.setVaultId(QStringLiteral("00000000-0000-0000-0000-000000000000"));
            const auto bytes = header.serialise();
            return QByteArray(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        };
        QTest::newRow("index past the end")
            << headerBytes(1ull << 40, 524240, 100) + QByteArray(2000, '\0');
        QTest::newRow("capacity past the end")
            << headerBytes(192, ~0ull - 100, 100) + QByteArray(2000, '\0');
        QTest::newRow("length over capacity")
            << headerBytes(192, 100, 200) + QByteArray(2000, '\0');
        QTest::newRow("huge length in a big file")
            << headerBytes(192, ~0ull / 2, ~0ull / 4) + QByteArray(2000, '\0');
        QTest::newRow("garbage index") << headerBytes(192, 1000, 900) + randomBytes(2000);
    }

    void hostileFilesFailCleanly() {
        QFETCH(QByteArray, bytes);
        QVERIFY(test::writeFile(path_, bytes));
        QString errorText = QStringLiteral("untouched");
        QVERIFY(!open(key_, kMachine, QString(), &errorText));
        QCOMPARE(errorText, QStringLiteral("untouched"));
        QCOMPARE(test::readWholeFile(path_), bytes);
    }

    void legacyFormatIsReadAndMigrated() {
        const QString vaultId = QStringLiteral("6d2f1a7c-3b8e-4c1d-9f0a-2e5b7c9d1f3a");
        const QByteArray content("legacy content");
        const QByteArray file = writeLegacyVault(vaultId, content);
        QVERIFY(headersOf(path_)[0].isLegacyFormat());
        QCOMPARE(VaultContainer::readHeaderGenerationFromFile(path_), std::optional<quint64>(12));

        {
            auto vault = open();
            QVERIFY(vault);
            QCOMPARE(vault->formatVersion(), quint32(5));
            QCOMPARE(vault->vaultId(), vaultId);
            QCOMPARE(vault->generationCounter(), quint64(13));
            QCOMPARE(toQByteArray(*vault->readFile(QStringLiteral("old.txt"))), content);
        }
        // A second reader: slot 1 now holds a current-format header with the higher generation
        // inside the old index area, and slot 0 keeps the legacy one as a fallback.
        const auto headers = headersOf(path_);
        QVERIFY(headers[0].isLegacyFormat());
        QVERIFY(headers[1].isCurrentFormat());
        QCOMPARE(headers[1].header.generation, quint64(13));
        QCOMPARE(headers[1].header.indexOffset, quint64(192 + vault::kIndexRegionCapacity));
        QCOMPARE(test::readFileRange(path_, 84, 12), QByteArray(12, '\0'));
        auto vault = open();
        QVERIFY(vault);
        QCOMPARE(vault->listEntries().first().importedAt,
                 QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9), Qt::UTC));
        // New records go after the legacy data area, never into the index area.
        QVERIFY(vault->importFile(source(QStringLiteral("n"), "new"), QStringLiteral("new.txt")));
        QCOMPARE(QFileInfo(path_).size(), qint64(file.size() + 3 + 41));
        QCOMPARE(toQByteArray(*vault->readFile(QStringLiteral("old.txt"))), content);
    }

    // A migration whose header reached slot 1 but whose last flush failed goes back to format 4;
    // that header must not win at the next open over the changes made at format 4 since.
    void failedMigrationLeavesNoHeaderToWin() {
        writeLegacyVault(QStringLiteral("6d2f1a7c-3b8e-4c1d-9f0a-2e5b7c9d1f3a"), "legacy content");
        auto plan = std::make_shared<test::FaultPlan>();
        // The migration commit: index nonce, index blob, flush, header, flush (the fifth fails).
        plan->armFailure(5);
        {
            auto vault = VaultContainer::open(
                std::make_unique<test::FaultInjectingStore>(path_, plan), key_, kMachine);
            QVERIFY(vault);
            QVERIFY(plan->fired());
            QCOMPARE(vault->formatVersion(), quint32(4));
            QVERIFY(!headersOf(path_)[1].isCurrentFormat());
            QVERIFY(
                vault->importFile(source(QStringLiteral("n"), "new"), QStringLiteral("new.txt")));
        }
        auto vault = open();
        QVERIFY(vault);
        QCOMPARE(names(*vault),
                 (QStringList{QStringLiteral("old.txt"), QStringLiteral("new.txt")}));
        QCOMPARE(toQByteArray(*vault->readFile(QStringLiteral("new.txt"))), QByteArray("new"));
    }

    void wipedContainerRefusesEverything() {
        auto vault = create();
        QVERIFY(vault->importFile(source(QStringLiteral("a"), "alpha"), QStringLiteral("a")));
        vault->wipeSecrets();
        QVERIFY(vault->isWiped());
        QVERIFY(vault->listEntries().isEmpty());
        QVERIFY(!vault->readFile(QStringLiteral("a")));
        QVERIFY(!vault->exportFile(QStringLiteral("a"), dir_.filePath(QStringLiteral("out"))));
        QVERIFY(!vault->importFile(source(QStringLiteral("b"), "b"), QStringLiteral("b")));
        QVERIFY(!vault->removeFile(QStringLiteral("a")));
        QCOMPARE(vault->rekey(AeadCipher::generateKey()), RekeyResult::Unchanged);
        vault.reset();
        QCOMPARE(toQByteArray(*open()->readFile(QStringLiteral("a"))), QByteArray("alpha"));
    }

    void resolveVaultFilePathAcceptsOnlyRealVaultFiles() {
        create();
        QCOMPARE(VaultContainer::resolveVaultFilePath(path_), QFileInfo(path_).canonicalFilePath());
        QVERIFY(VaultContainer::resolveVaultFilePath(QString()).isEmpty());
        QVERIFY(VaultContainer::resolveVaultFilePath(dir_.filePath(QStringLiteral("missing")))
                    .isEmpty());
        const QString link = dir_.filePath(QStringLiteral("link.kvxs"));
        QVERIFY(QFile::link(path_, link));
        QVERIFY(VaultContainer::resolveVaultFilePath(link).isEmpty());
        // A re-key overwrites the stale slot; whichever slot is left live, the file is a vault.
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(open()->rekey(key_), vault::RekeyResult::Rekeyed);
            QCOMPARE(VaultContainer::resolveVaultFilePath(path_),
                     QFileInfo(path_).canonicalFilePath());
        }
        const QString other = source(QStringLiteral("other"), "not a vault at all");
        QVERIFY(VaultContainer::resolveVaultFilePath(other).isEmpty());
        QVERIFY(VaultContainer::readVaultIdFromFile(other).isEmpty());
        QVERIFY(!VaultContainer::readHeaderGenerationFromFile(other));
    }
};

QTEST_GUILESS_MAIN(VaultContainerTest)
#include "tst_vaultcontainer.moc"
