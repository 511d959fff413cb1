#include "ZipFixture.h"
#include "doctext/OfficeText.h"

#include <QtTest>

using namespace korvex::doctext;
using namespace korvex::test;

// Whatever bytes reach the extractors, they answer; damaged archives give no value.
namespace {

QByteArray smallDocx() {
    return buildZip({deflated("[Content_Types].xml", "<Types/>"),
                     deflated("word/document.xml",
                              "<document><body><p><r><t>hello</t><tab/><t>world</t></r></p>"
                              "<p><t>second</t></p></body></document>")});
}

QByteArray smallXlsx() {
    return buildZip(
        {deflated("[Content_Types].xml", "<Types/>"),
         deflated("xl/sharedStrings.xml", "<sst><si><t>a</t></si><si><r><t>b</t></r></si></sst>"),
         deflated("xl/worksheets/sheet1.xml",
                  "<worksheet><sheetData><row><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"C1\"><v>2</v>"
                  "</c></row><row><c r=\"B2\" t=\"inlineStr\"><is><t>x</t></is></c></row>"
                  "</sheetData></worksheet>"),
         stored("xl/worksheets/sheet2.xml", "<worksheet/>")});
}

} // namespace

class TestHostileInput : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void fixturesDecode();
    void garbage_data();
    void garbage();
    void everyTruncationIsRefused();
    void corruptedArchivesDoNotCrash();
    void fuzzRegressions();
};

void TestHostileInput::fixturesDecode() {
    QCOMPARE(extractWordText(smallDocx()), QStringLiteral("hello\tworld\nsecond"));
    const auto sheets = extractSpreadsheet(smallXlsx());
    QVERIFY(sheets);
    QCOMPARE(sheets->size(), 2);
    QCOMPARE(sheets->first().rows, QList<QStringList>({{"a", "", "2"}, {"", "x"}}));
}

void TestHostileInput::garbage_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one byte") << QByteArray("P");
    QTest::newRow("signatures only") << QByteArray("PK\x03\x04PK\x01\x02PK\x05\x06", 12);
    QTest::newRow("end record alone, pointing past the data")
        << QByteArray("PK\x05\x06\0\0\0\0\x01\0\x01\0\xFF\xFF\0\0\x10\0\0\0\0\0", 22);
    QTest::newRow("zeros") << QByteArray(70000, '\0');
    for (int i = 0; i < 8; ++i)
        QTest::newRow(qPrintable(QStringLiteral("random %1").arg(i)))
            << randomBytes(16 << i, 100 + i);
    QTest::newRow("the XML without its archive") << QByteArray("<document><p><t>a</t></p>");
}

void TestHostileInput::garbage() {
    QFETCH(QByteArray, bytes);
    QVERIFY(!extractWordText(bytes));
    QVERIFY(!extractSpreadsheet(bytes));
}

void TestHostileInput::everyTruncationIsRefused() {
    for (const QByteArray& whole : {smallDocx(), smallXlsx()}) {
        for (qsizetype length = 0; length < whole.size(); ++length) {
            const QByteArrayView prefix = QByteArrayView(whole).first(length);
            QVERIFY2(!extractWordText(prefix), qPrintable(QString::number(length)));
            QVERIFY2(!extractSpreadsheet(prefix), qPrintable(QString::number(length)));
        }
    }
}

void TestHostileInput::corruptedArchivesDoNotCrash() {
    // A few bytes overwritten at random: any answer will do, but no crash, no sanitizer report.
    QRandomGenerator generator(2024);
    for (const QByteArray& whole : {smallDocx(), smallXlsx()}) {
        for (int round = 0; round < 3000; ++round) {
            QByteArray bytes = whole;
            const int changes = 1 + generator.bounded(6);
            for (int i = 0; i < changes; ++i)
                bytes[generator.bounded(bytes.size())] = static_cast<char>(generator.bounded(256));
            (void)extractWordText(bytes);
            (void)extractSpreadsheet(bytes);
        }
    }
}

void TestHostileInput::fuzzRegressions() {
    const QList<QByteArray> inputs = regressionInputs();
    if (inputs.isEmpty())
        QSKIP("no regression inputs kept");
    for (const QByteArray& bytes : inputs) {
        (void)extractWordText(bytes);
        (void)extractSpreadsheet(bytes);
    }
}

QTEST_GUILESS_MAIN(TestHostileInput)
#include "tst_hostileinput.moc"
