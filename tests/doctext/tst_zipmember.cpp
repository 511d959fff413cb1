#include "ZipFixture.h"
#include "doctext/ZipArchive.h"

#include <QtTest>
#include <limits>

using namespace korvex::doctext;
using namespace korvex::test;

namespace {

constexpr quint64 kNoBudget = std::numeric_limits<quint64>::max();

std::optional<QByteArray> extract(const QByteArray& archiveBytes, const char* name,
                                  std::uint64_t* budget = nullptr) {
    auto archive = ZipArchive::open(archiveBytes);
    if (!archive)
        qFatal("fixture does not open");
    return extractZipMember(*archive, name, budget);
}

// A deflated member whose uncompressed size divided by its compressed size (floored) is exactly
// `ratio`: incompressible bytes followed by zeros, the run of zeros tuned until the sizes fit.
QByteArray archiveWithRatio(std::uint64_t ratio, QByteArray& content) {
    const QByteArray head = randomBytes(1024, 7);
    std::uint64_t total = ratio * 1200;
    for (int attempt = 0; attempt < 50; ++attempt) {
        content = head + QByteArray(static_cast<qsizetype>(total) - head.size(), '\0');
        const QByteArray bytes = buildZip({deflated("bomb.bin", content), stored("ok.txt", "ok")});
        const StoredSizes sizes = storedSizes(bytes, "bomb.bin");
        if (sizes.uncompressed / sizes.compressed == ratio)
            return bytes;
        total = ratio * sizes.compressed + ratio / 2;
    }
    qFatal("no fixture with compression ratio %llu", static_cast<unsigned long long>(ratio));
}

} // namespace

class TestZipMember : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void opensOnlyArchives_data();
    void opensOnlyArchives();
    void lookupComparesFullPathIgnoringCase_data();
    void lookupComparesFullPathIgnoringCase();
    void sizeLimitIsInclusive();
    void compressionRatioLimit_data();
    void compressionRatioLimit();
    void budget_data();
    void budget();
    void refusedMemberLeavesArchiveUsable_data();
    void refusedMemberLeavesArchiveUsable();
};

void TestZipMember::opensOnlyArchives_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("opens");
    const QByteArray good = buildZip({deflated("a.txt", "alpha")});
    QTest::newRow("archive") << good << true;
    QTest::newRow("empty archive") << buildZip({}) << true;
    QTest::newRow("no bytes") << QByteArray() << false;
    QTest::newRow("text") << QByteArray("This is not an archive.") << false;
    QTest::newRow("local header only") << QByteArray("PK\x03\x04", 4) << false;
    QTest::newRow("end record cut short") << good.left(good.size() - 1) << false;
    QTest::newRow("central directory cut off") << good.right(22) << false;
    QTest::newRow("random") << randomBytes(4096, 1) << false;
}

void TestZipMember::opensOnlyArchives() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, opens);
    QCOMPARE(ZipArchive::open(bytes).has_value(), opens);
}

void TestZipMember::lookupComparesFullPathIgnoringCase_data() {
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<bool>("found");
    QTest::newRow("same case") << QByteArray("word/document.xml") << true;
    QTest::newRow("upper case") << QByteArray("WORD/DOCUMENT.XML") << true;
    QTest::newRow("mixed case") << QByteArray("Word/Document.Xml") << true;
    QTest::newRow("file name only") << QByteArray("document.xml") << false;
    QTest::newRow("leading slash") << QByteArray("/word/document.xml") << false;
    QTest::newRow("longer") << QByteArray("word/document.xml2") << false;
    QTest::newRow("empty") << QByteArray("") << false;
}

void TestZipMember::lookupComparesFullPathIgnoringCase() {
    QFETCH(QByteArray, query);
    QFETCH(bool, found);
    const QByteArray bytes =
        buildZip({deflated("word/styles.xml", "<styles/>"), deflated("word/document.xml", "<d/>")});
    const auto member = extract(bytes, query.constData());
    QCOMPARE(member.has_value(), found);
    if (found)
        QCOMPARE(*member, QByteArray("<d/>"));
}

void TestZipMember::sizeLimitIsInclusive() {
    // Sparse random bytes deflate well within the ratio limit, so only the size decides.
    QByteArray content(static_cast<qsizetype>(kMaxMemberBytes) + 1, '\0');
    QRandomGenerator generator(3);
    for (qsizetype i = 0; i < content.size(); i += 16)
        content[i] = static_cast<char>(generator.bounded(256));
    const QByteArray bytes = buildZip({deflated("exact.bin", content.left(content.size() - 1), 1),
                                       deflated("over.bin", content, 1)});
    QVERIFY(storedSizes(bytes, "over.bin").uncompressed /
                storedSizes(bytes, "over.bin").compressed <=
            kMaxCompressionRatio);

    auto archive = ZipArchive::open(bytes);
    QVERIFY(archive);
    QVERIFY(!extractZipMember(*archive, "over.bin", nullptr));
    const auto exact = extractZipMember(*archive, "exact.bin", nullptr);
    QVERIFY(exact);
    QCOMPARE(exact->size(), qsizetype(kMaxMemberBytes));
    QVERIFY(*exact == QByteArrayView(content).first(content.size() - 1));
}

void TestZipMember::compressionRatioLimit_data() {
    QTest::addColumn<quint64>("ratio");
    QTest::addColumn<bool>("extracted");
    QTest::newRow("200") << quint64(200) << true;
    QTest::newRow("201") << quint64(201) << false;
}

void TestZipMember::compressionRatioLimit() {
    QFETCH(quint64, ratio);
    QFETCH(bool, extracted);
    QByteArray content;
    const QByteArray bytes = archiveWithRatio(ratio, content);
    const auto member = extract(bytes, "bomb.bin");
    QCOMPARE(member.has_value(), extracted);
    if (extracted)
        QCOMPARE(*member, content);
}

void TestZipMember::budget_data() {
    QTest::addColumn<quint64>("budget");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("extracted");
    QTest::addColumn<quint64>("left");
    QTest::newRow("one byte over") << quint64(1000) << 1001 << false << quint64(1000);
    QTest::newRow("fits") << quint64(1000) << 600 << true << quint64(400);
    QTest::newRow("exactly") << quint64(1000) << 1000 << true << quint64(0);
    QTest::newRow("budget spent") << quint64(0) << 1 << false << quint64(0);
    QTest::newRow("no budget") << kNoBudget << 1001 << true << kNoBudget;
}

void TestZipMember::budget() {
    QFETCH(quint64, budget);
    QFETCH(int, size);
    QFETCH(bool, extracted);
    QFETCH(quint64, left);
    const QByteArray content = randomBytes(size, 5);
    const QByteArray bytes = buildZip({stored("member.bin", content)});
    std::uint64_t remaining = budget;
    const auto member = extract(bytes, "member.bin", budget == kNoBudget ? nullptr : &remaining);
    QCOMPARE(member.has_value(), extracted);
    QCOMPARE(remaining, left);
    if (extracted)
        QCOMPARE(*member, content);
}

void TestZipMember::refusedMemberLeavesArchiveUsable_data() {
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray small = "some member text, long enough to be worth compressing at all";
    const ZipEntry ok = stored("ok.txt", "ok");
    auto with = [&](ZipEntry entry) { return buildZip({entry, ok}); };

    QTest::newRow("empty member stored with compressed size 0") << with(stored("m", ""));
    QTest::newRow("directory") << with({"m/", {}, Compression::Store, 0, true, std::nullopt});
    QTest::newRow("name ending in a slash, with content") << with(stored("m/", small));
    QTest::newRow("MS-DOS directory attribute, with content")
        << with({"m", small, Compression::Deflate, 0, false, {{ZIP_OPSYS_DOS, 0x10}}});
    QTest::newRow("Unix directory mode, with content")
        << with({"m", small, Compression::Deflate, 0, false, {{ZIP_OPSYS_UNIX, 040755u << 16}}});
    QTest::newRow("zip bomb, 64 MiB of zeros")
        << with(deflated("m", QByteArray(static_cast<qsizetype>(kMaxMemberBytes), '\0')));

    QByteArray crc = with(deflated("m", small));
    patchBoth(crc, "m", Field::Crc, ~get32(crc, entryOffsets(crc, "m").central + 16));
    QTest::newRow("wrong CRC-32, deflated") << crc;
    QByteArray storedCrc = with(stored("m", small));
    patchBoth(storedCrc, "m", Field::Crc, 0x12345678);
    QTest::newRow("wrong CRC-32, stored") << storedCrc;

    QByteArray huge = with(deflated("m", small));
    patchBoth(huge, "m", Field::UncompressedSize, 0xFFFFFFFEu);
    QTest::newRow("claims 4 GiB") << huge;
    QByteArray hugeStored = with(stored("m", small));
    patchBoth(hugeStored, "m", Field::UncompressedSize, 0xFFFFFFFEu);
    patchBoth(hugeStored, "m", Field::CompressedSize, 0xFFFFFFFEu);
    QTest::newRow("stored, claims 4 GiB in both sizes") << hugeStored;

    // The CRC still matches the real content; only the declared size is wrong.
    for (const auto& [label, entry] :
         {std::pair{"stored", stored("m", small)}, std::pair{"deflated", deflated("m", small)}}) {
        QByteArray shorter = with(entry);
        patchBoth(shorter, "m", Field::UncompressedSize, 10);
        QTest::newRow(qPrintable(QStringLiteral("%1, declares fewer bytes").arg(label))) << shorter;
        QByteArray longer = with(entry);
        patchBoth(longer, "m", Field::UncompressedSize, static_cast<quint32>(small.size() + 50));
        QTest::newRow(qPrintable(QStringLiteral("%1, declares more bytes").arg(label))) << longer;
    }
    QByteArray cutCompressed = with(deflated("m", randomBytes(4000, 9)));
    patchBoth(cutCompressed, "m", Field::CompressedSize, 100);
    QTest::newRow("compressed data cut short") << cutCompressed;

    // libzip could inflate this one; the extractor only accepts what Office files use.
    if (zip_compression_method_supported(ZIP_CM_BZIP2, 1))
        QTest::newRow("bzip2") << with({"m", small, Compression::Bzip2, 0, false, std::nullopt});
}

void TestZipMember::refusedMemberLeavesArchiveUsable() {
    QFETCH(QByteArray, bytes);
    auto archive = ZipArchive::open(bytes);
    QVERIFY(archive);
    std::uint64_t budget = 1 << 20;
    QVERIFY(!extractZipMember(*archive, "m", &budget));
    QVERIFY(!extractZipMember(*archive, "m/", &budget));
    QCOMPARE(budget, std::uint64_t(1 << 20));
    const auto ok = extractZipMember(*archive, "ok.txt", &budget);
    QVERIFY(ok);
    QCOMPARE(*ok, QByteArray("ok"));
    QCOMPARE(budget, std::uint64_t((1 << 20) - 2));
}

QTEST_GUILESS_MAIN(TestZipMember)
#include "tst_zipmember.moc"
