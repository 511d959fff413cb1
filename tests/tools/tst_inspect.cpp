#include "crypto/AeadCipher.h"
#include "support/TestSupport.h"
#include "vault/FileBlockStore.h"
#include "vault/VaultContainer.h"
#include "vault/VaultFormat.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <pwd.h>
#include <unistd.h>

using namespace korvex;
using korvex::test::readWholeFile;
using korvex::test::writeFile;

namespace {

const QString kMachineId = QStringLiteral("test-machine-7f3a");

struct Run {
    int exitCode = -1;
    QStringList out;
    QStringList err;
};

QStringList linesOf(const QByteArray& bytes) {
    QString text = QString::fromUtf8(bytes);
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

// Runs the built tool and fails the test when it does not end normally (a crash or a sanitizer
// abort shows here).
// With asUser, the tool runs as that ordinary account through runuser.
bool runInspect(const QStringList& arguments, Run& run, const QString& asUser = QString()) {
    QProcess process;
    if (asUser.isEmpty())
        process.start(QStringLiteral(ZELVORA_INSPECT_PATH), arguments);
    else
        process.start(QStringLiteral("runuser"),
                      QStringList{QStringLiteral("-u"), asUser, QStringLiteral("--"),
                                  QStringLiteral(ZELVORA_INSPECT_PATH)} +
                          arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
        qWarning("zelvora-inspect did not finish normally: %s",
                 process.readAllStandardError().constData());
        return false;
    }
    run.exitCode = process.exitCode();
    run.out = linesOf(process.readAllStandardOutput());
    run.err = linesOf(process.readAllStandardError());
    return true;
}

// A real container made by the vault code, with `imports` small files committed after creation.
// Returns its vault identifier, or an empty text on failure.
QString createVault(const QString& path, int imports) {
    const crypto::SecureBuffer key = crypto::AeadCipher::generateKey();
    auto vault = vault::VaultContainer::create(std::make_unique<vault::FileBlockStore>(path), key,
                                               kMachineId);
    if (!vault)
        return QString();
    for (int i = 0; i < imports; ++i) {
        const QString source = path + QStringLiteral(".source%1").arg(i);
        if (!writeFile(source, "quarterly figures") ||
            !vault->importFile(source, QStringLiteral("report-%1.txt").arg(i)))
            return QString();
    }
    return vault->vaultId();
}

bool truncateFile(const QString& path, qint64 size) {
    return QFile::resize(path, size);
}

bool patchFile(const QString& path, qint64 offset, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.seek(offset) &&
           file.write(bytes) == bytes.size();
}

// Rewrites one header slot with a properly serialised (so self-consistent) altered header.
bool rewriteSlot(const QString& path, int slot,
                 const std::function<void(vault::VaultHeader&)>& edit) {
    const QByteArray whole = readWholeFile(path);
    if (whole.size() < (slot + 1) * vault::kHeaderSlotBytes)
        return false;
    std::array<std::uint8_t, vault::kHeaderSlotBytes> bytes{};
    std::memcpy(bytes.data(), whole.constData() + slot * vault::kHeaderSlotBytes, bytes.size());
    vault::VaultHeader header = vault::parseHeaderSlot(bytes).header;
    edit(header);
    const auto out = header.serialise();
    return patchFile(path, slot * vault::kHeaderSlotBytes,
                     QByteArray(reinterpret_cast<const char*>(out.data()), out.size()));
}

enum class Damage {
    None,
    Slot1GenerationFlipped, // content changed behind the checksum's back
    Slot0RewrittenAsLegacy,
    BothHeadersZeroed,
    EmptyFile,
    TruncatedTo50,
    RandomBytes,
    TruncatedBelowIndex, // slot 0 still valid, its index region now past the end of the file
    HugeIndexOffset,     // checksummed header whose offset is near 2^64
};

// Builds the container for one case at path; returns its vault id (empty when there is none).
bool buildFixture(const QString& path, int imports, Damage damage, QString& vaultId) {
    switch (damage) {
    case Damage::EmptyFile:
        return writeFile(path, QByteArray());
    case Damage::RandomBytes: {
        QByteArray noise(4096, '\0');
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(noise.data()),
                                              noise.size() / 4);
        return writeFile(path, noise);
    }
    default:
        break;
    }
    vaultId = createVault(path, imports);
    if (vaultId.isEmpty())
        return false;
    switch (damage) {
    case Damage::None:
        return true;
    case Damage::Slot1GenerationFlipped: {
        QByteArray byte = readWholeFile(path).mid(vault::kHeaderSlotBytes + 76, 1);
        byte[0] = static_cast<char>(byte[0] ^ 0x40);
        return patchFile(path, vault::kHeaderSlotBytes + 76, byte);
    }
    case Damage::Slot0RewrittenAsLegacy:
        return rewriteSlot(
            path, 0, [](vault::VaultHeader& h) { h.formatVersion = vault::kLegacyFormatVersion; });
    case Damage::BothHeadersZeroed:
        return patchFile(path, 0, QByteArray(2 * vault::kHeaderSlotBytes, '\0'));
    case Damage::TruncatedTo50:
        return truncateFile(path, 50);
    case Damage::TruncatedBelowIndex:
        return truncateFile(path, 1000);
    case Damage::HugeIndexOffset:
        return rewriteSlot(path, 0,
                           [](vault::VaultHeader& h) { h.indexOffset = ~quint64(0) - 10; });
    case Damage::EmptyFile:
    case Damage::RandomBytes:
        break;
    }
    return false;
}

void verifyLine(const QString& line, const QString& pattern) {
    QVERIFY2(QRegularExpression(QStringLiteral("^(?:%1)$").arg(pattern)).match(line).hasMatch(),
             qPrintable(QStringLiteral("line \"%1\" does not match /%2/").arg(line, pattern)));
}

const QString kNoMagic = QStringLiteral(R"(invalid \(no vault magic\))");

} // namespace

Q_DECLARE_METATYPE(Damage)

class TestInspect : public QObject {
    Q_OBJECT

private slots:
    void usableHeader_data();
    void usableHeader();
    void noUsableHeader_data();
    void noUsableHeader();
    void cannotRead_data();
    void cannotRead();
    void fileTheUserMayNotRead();
};

void TestInspect::usableHeader_data() {
    // In the slot patterns, VID stands for the vault's identifier.
    QTest::addColumn<int>("imports");
    QTest::addColumn<Damage>("damage");
    QTest::addColumn<QString>("slot0");
    QTest::addColumn<QString>("slot1");
    QTest::addColumn<QString>("winner");

    const QString region0 = QStringLiteral("index-offset=192 index-capacity=524240 "
                                           "index-length=\\d+ vault-id=VID index-in-file=yes");
    const QString region1 = QStringLiteral("index-offset=524432 index-capacity=524240 "
                                           "index-length=\\d+ vault-id=VID index-in-file=yes");
    const QString slot0Gen1 = QStringLiteral("valid format=5 generation=1 ") + region0;

    QTest::newRow("fresh vault") << 0 << Damage::None << slot0Gen1 << kNoMagic
                                 << QStringLiteral(R"(slot 0 \(generation 1\))");
    QTest::newRow("after one import") << 1 << Damage::None << slot0Gen1
                                      << QStringLiteral("valid format=5 generation=2 ") + region1
                                      << QStringLiteral(R"(slot 1 \(generation 2\))");
    QTest::newRow("newer slot altered behind its checksum")
        << 1 << Damage::Slot1GenerationFlipped << slot0Gen1
        << QStringLiteral(R"(invalid \(checksum mismatch\) format=5 generation=\d+ )") + region1
        << QStringLiteral(R"(slot 0 \(generation 1\))");
    QTest::newRow("legacy header in slot 0 only")
        << 0 << Damage::Slot0RewrittenAsLegacy
        << QStringLiteral(R"(legacy \(format 4, no checksum\) format=4 generation=1 )") + region0
        << kNoMagic << QStringLiteral(R"(slot 0 \(legacy format 4, generation 1\))");
}

void TestInspect::usableHeader() {
    QFETCH(int, imports);
    QFETCH(Damage, damage);
    QFETCH(QString, slot0);
    QFETCH(QString, slot1);
    QFETCH(QString, winner);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.path() + QStringLiteral("/vault.kvxs");
    QString vaultId;
    QVERIFY(buildFixture(path, imports, damage, vaultId));
    QCOMPARE(vaultId.size(), 36);

    Run run;
    QVERIFY(runInspect({path}, run));
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QStringList());
    QCOMPARE(run.out.size(), 5);
    QCOMPARE(run.out[0], QStringLiteral("file: ") + path);
    QCOMPARE(run.out[1], QStringLiteral("size: %1 bytes").arg(QFileInfo(path).size()));
    const QString vid = QRegularExpression::escape(vaultId);
    verifyLine(run.out[2], QStringLiteral("slot 0: ") + QString(slot0).replace("VID", vid));
    verifyLine(run.out[3], QStringLiteral("slot 1: ") + QString(slot1).replace("VID", vid));
    verifyLine(run.out[4], QStringLiteral("winner: ") + winner);
}

void TestInspect::noUsableHeader_data() {
    QTest::addColumn<int>("imports");
    QTest::addColumn<Damage>("damage");
    QTest::addColumn<QString>("slot0");
    QTest::addColumn<QString>("slot1");
    QTest::addColumn<QString>("reason");

    const QString tooShort = QStringLiteral("the file is %1 bytes, too short for a 96-byte header");
    const QString noValid = QStringLiteral("no slot holds a valid header");
    const QString doesNotFit = QStringLiteral("the header that would win does not fit the file");

    QTest::newRow("both headers destroyed")
        << 1 << Damage::BothHeadersZeroed << kNoMagic << kNoMagic << noValid;
    QTest::newRow("zero-length file")
        << 0 << Damage::EmptyFile
        << QStringLiteral(R"(unreadable \(the file ends before byte 96\))")
        << QStringLiteral(R"(unreadable \(the file ends before byte 192\))") << tooShort.arg(0);
    QTest::newRow("truncated to 50 bytes")
        << 0 << Damage::TruncatedTo50
        << QStringLiteral(R"(unreadable \(the file ends before byte 96\))")
        << QStringLiteral(R"(unreadable \(the file ends before byte 192\))") << tooShort.arg(50);
    QTest::newRow("random bytes") << 0 << Damage::RandomBytes << kNoMagic << kNoMagic << noValid;
    QTest::newRow("valid header, index past the end of the file")
        << 0 << Damage::TruncatedBelowIndex
        << QStringLiteral("valid format=5 generation=1 index-offset=192 index-capacity=524240 "
                          "index-length=\\d+ vault-id=[0-9a-f-]{36} index-in-file=no")
        << kNoMagic << doesNotFit;
    QTest::newRow("valid header, offset near 2^64")
        << 0 << Damage::HugeIndexOffset
        << QStringLiteral("valid format=5 generation=1 index-offset=18446744073709551605 "
                          "index-capacity=524240 index-length=\\d+ vault-id=[0-9a-f-]{36} "
                          "index-in-file=no")
        << kNoMagic << doesNotFit;
}

void TestInspect::noUsableHeader() {
    QFETCH(int, imports);
    QFETCH(Damage, damage);
    QFETCH(QString, slot0);
    QFETCH(QString, slot1);
    QFETCH(QString, reason);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.path() + QStringLiteral("/vault.kvxs");
    QString vaultId;
    QVERIFY(buildFixture(path, imports, damage, vaultId));

    Run run;
    QVERIFY(runInspect({path}, run));
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out.size(), 5);
    QCOMPARE(run.out[1], QStringLiteral("size: %1 bytes").arg(QFileInfo(path).size()));
    verifyLine(run.out[2], QStringLiteral("slot 0: ") + slot0);
    verifyLine(run.out[3], QStringLiteral("slot 1: ") + slot1);
    QCOMPARE(run.out[4], QStringLiteral("winner: none (%1)").arg(reason));
    QCOMPARE(
        run.err,
        QStringList{QStringLiteral("zelvora-inspect: %1: no usable header: %2").arg(path, reason)});
}

void TestInspect::cannotRead_data() {
    QTest::addColumn<QStringList>("arguments"); // DIR stands for a fresh temporary folder
    QTest::addColumn<QString>("message");

    QTest::newRow("missing file") << QStringList{"DIR/no-such-vault.kvxs"}
                                  << QStringLiteral("zelvora-inspect: DIR/no-such-vault.kvxs: "
                                                    "cannot open: No such file or directory");
    QTest::newRow("a folder") << QStringList{"DIR"}
                              << QStringLiteral("zelvora-inspect: DIR: is a folder, not a "
                                                "container file");
    QTest::newRow("no path") << QStringList()
                             << QStringLiteral("usage: zelvora-inspect <container-file>");
    QTest::newRow("two paths") << QStringList{"DIR/a", "DIR/b"}
                               << QStringLiteral("usage: zelvora-inspect <container-file>");
}

void TestInspect::cannotRead() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    arguments.replaceInStrings(QStringLiteral("DIR"), dir.path());

    Run run;
    QVERIFY(runInspect(arguments, run));
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QStringList());
    QCOMPARE(run.err, QStringList{message.replace(QStringLiteral("DIR"), dir.path())});
}

void TestInspect::fileTheUserMayNotRead() {
    if (geteuid() != 0)
        QSKIP("switching to an ordinary user needs root");
    if (QStandardPaths::findExecutable(QStringLiteral("runuser")).isEmpty() ||
        getpwnam("nobody") == nullptr)
        QSKIP("runuser or the account \"nobody\" is missing");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.path() + QStringLiteral("/vault.kvxs");
    QVERIFY(!createVault(path, 0).isEmpty());
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));

    Run run;
    QVERIFY(runInspect({path}, run, QStringLiteral("nobody")));
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QStringList());
    QCOMPARE(run.err,
             QStringList{
                 QStringLiteral("zelvora-inspect: %1: cannot open: Permission denied").arg(path)});
}

QTEST_GUILESS_MAIN(TestInspect)
#include "tst_inspect.moc"
