#include "ZipFixture.h"
#include "doctext/OfficeText.h"

#include <QtTest>
#include <algorithm>

using namespace korvex::doctext;
using namespace korvex::test;

namespace {

const QByteArray kMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";

QByteArray sheetXml(const QByteArray& rows) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<worksheet xmlns=\"" + kMain +
           "\"><sheetData>" + rows + "</sheetData></worksheet>";
}

QByteArray sharedXml(const QByteArray& items) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<sst xmlns=\"" + kMain + "\">" + items +
           "</sst>";
}

QByteArray inlineCell(const QByteArray& reference, const QByteArray& text) {
    return "<c r=\"" + reference + "\" t=\"inlineStr\"><is><t>" + text + "</t></is></c>";
}

// A workbook with the usual package members around the given ones.
QByteArray workbook(std::vector<ZipEntry> members) {
    members.insert(members.begin(), {deflated("[Content_Types].xml", "<Types/>"),
                                     deflated("xl/workbook.xml", "<workbook/>")});
    return buildZip(members);
}

// Rows as "[a|b][]...": each row bracketed, its cells joined by '|'.
QString render(const QList<QStringList>& rows) {
    QString text;
    for (const QStringList& row : rows)
        text += u'[' + row.join(u'|') + u']';
    return text;
}

QString renderFirstSheet(const std::optional<QList<SheetData>>& sheets) {
    if (!sheets)
        return QStringLiteral("(no value)");
    if (sheets->isEmpty())
        return QStringLiteral("(no sheet)");
    return render(sheets->first().rows);
}

const char kRealWorkbook[] = R"(
import sys, openpyxl
wb = openpyxl.Workbook()
ws = wb.active
ws.title = 'Data'
ws['A1'] = 'Name'
ws['B1'] = 'Amount'
ws['A2'] = 'Widget'
ws['B2'] = 42
ws['A3'] = 'Ünïcödé €'
ws['B3'] = 2.5
ws['C4'] = True
ws['A5'] = '=SUM(B2:B3)'
wb.create_sheet('Second')['B2'] = 'second sheet'
wb.save(sys.argv[1])
)";

} // namespace

class TestSpreadsheet : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cells_data();
    void cells();
    void sharedStrings_data();
    void sharedStrings();
    void sheetOrderAndSelection();
    void noSheetIsNoValue_data();
    void noSheetIsNoValue();
    void budgetSharedByAllMembers();
    void memberCountLimit();
    void tablesAreBoundedAcrossTheWorkbook_data();
    void tablesAreBoundedAcrossTheWorkbook();
    void sharedStringTableIsBounded();
    void workbookWrittenByOpenpyxl();
};

void TestSpreadsheet::cells_data() {
    QTest::addColumn<QByteArray>("rows");
    QTest::addColumn<QString>("expected");

    QTest::newRow("C1 alone") << QByteArray("<row r=\"1\"><c r=\"C1\" t=\"str\"><v>x</v></c></row>")
                              << QStringLiteral("[||x]");
    QTest::newRow("XFD is the last column")
        << QByteArray("<row><c r=\"XFD1\"><v>x</v></c></row>")
        << u'[' + QString(kMaxColumnIndex, u'|') + QStringLiteral("x]");
    QTest::newRow("beyond XFD, four or many letters, no letters: dropped")
        << QByteArray("<row><c r=\"XFE1\"><v>1</v></c><c r=\"ABCD1\"><v>2</v></c>"
                      "<c r=\"ZZZZZZZZZZZZZZZZ1\"><v>2</v></c><c r=\"12\"><v>3</v></c>"
                      "<c r=\"B1\"><v>4</v></c></row>")
        << QStringLiteral("[|4]");
    QTest::newRow("no reference or an empty one: dropped")
        << QByteArray("<row><c><v>1</v></c><c r=\"\"><v>2</v></c></row>") << QStringLiteral("[]");
    QTest::newRow("lower case, dollar signs, three letters")
        << QByteArray("<row><c r=\"$b$2\"><v>y</v></c><c r=\"aaa9\"><v>z</v></c></row>")
        << QStringLiteral("[|y") + QString(701, u'|') + QStringLiteral("z]");
    QTest::newRow("shared strings")
        << QByteArray("<row><c r=\"A1\" t=\"s\"><v>1</v></c><c r=\"B1\" t=\"s\"><v>0</v></c></row>")
        << QStringLiteral("[one|zero]");
    QTest::newRow("shared string index out of range or not a number")
        << QByteArray("<row><c r=\"A1\" t=\"s\"><v>2</v></c><c r=\"B1\" t=\"s\"><v>-1</v></c>"
                      "<c r=\"C1\" t=\"s\"><v>x</v></c>"
                      "<c r=\"D1\" t=\"s\"><v>99999999999999999999</v></c>"
                      "<c r=\"E1\" t=\"s\"><v>1</v></c></row>")
        << QStringLiteral("[||||one]");
    QTest::newRow("empty values are not stored")
        << QByteArray("<row><c r=\"A1\"/><c r=\"B1\"><v></v></c><c r=\"C1\" t=\"inlineStr\"/>"
                      "<c r=\"D1\"><v>d</v></c><c r=\"F1\"/></row>")
        << QStringLiteral("[|||d]");
    QTest::newRow("inline string with runs")
        << QByteArray("<row><c r=\"A1\" t=\"inlineStr\"><is><r><t>ri</t></r><r><rPr/><t>ch</t>"
                      "</r></is></c>" +
                      inlineCell("B1", " ") + "</row>")
        << QStringLiteral("[rich| ]");
    QTest::newRow("t counts only in inline strings")
        << QByteArray("<row><c r=\"A1\" t=\"str\"><is><t>x</t></is></c></row>")
        << QStringLiteral("[]");
    QTest::newRow("stored texts unformatted, formula gives its cached value")
        << QByteArray("<row><c r=\"A1\" s=\"3\"><v>44927</v></c><c r=\"B1\" t=\"b\"><v>1</v></c>"
                      "<c r=\"C1\"><f>SUM(A1:B1)</f><v>0.1</v></c><c r=\"D1\"><f>NOW()</f></c>"
                      "</row>")
        << QStringLiteral("[44927|1|0.1]");
    QTest::newRow("a later cell in the same column replaces")
        << QByteArray("<row><c r=\"A1\"><v>first</v></c><c r=\"A1\"><v>second</v></c></row>")
        << QStringLiteral("[second]");
    QTest::newRow("rows in document order, without gaps")
        << QByteArray("<row r=\"5\"><c r=\"A5\"><v>5</v></c></row><row r=\"2\">"
                      "<c r=\"B2\"><v>2</v></c></row><row r=\"9\"/>")
        << QStringLiteral("[5][|2][]");
    QTest::newRow("cells before the first row are ignored, later ones join the last row")
        << QByteArray("<c r=\"A1\"><v>lost</v></c><row><c r=\"A2\"><v>a</v></c></row>"
                      "<c r=\"B1\"><v>b</v></c>")
        << QStringLiteral("[a|b]");
    QTest::newRow("an XML error ends the sheet")
        << QByteArray("<row><c r=\"A1\"><v>a</v></c></row><row><c r=\"A2\"><v>b</v></c>"
                      "<c r=\"B2\"><v>lost")
        << QStringLiteral("[a][b]");
    QTest::newRow("prefixed elements")
        << QByteArray("<x:row xmlns:x=\"" + kMain +
                      "\"><x:c r=\"A1\" t=\"inlineStr\"><x:is><x:t>p</x:t></x:is></x:c></x:row>")
        << QStringLiteral("[p]");
}

void TestSpreadsheet::cells() {
    QFETCH(QByteArray, rows);
    QFETCH(QString, expected);
    const auto sheets = extractSpreadsheet(
        workbook({deflated("xl/sharedStrings.xml", sharedXml("<si><t>zero</t></si><si><t>one</t>"
                                                             "</si>")),
                  deflated("xl/worksheets/sheet1.xml", sheetXml(rows))}));
    QCOMPARE(renderFirstSheet(sheets), expected);
    QCOMPARE(sheets->first().title, QStringLiteral("Sheet 1"));
}

void TestSpreadsheet::sharedStrings_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");
    // Cells A1 to D1 take shared strings 0 to 3; E1 is an inline string.
    const ZipEntry sheet =
        deflated("xl/worksheets/sheet1.xml",
                 sheetXml("<row><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c>"
                          "<c r=\"C1\" t=\"s\"><v>2</v></c><c r=\"D1\" t=\"s\"><v>3</v></c>" +
                          inlineCell("E1", "inline") + "</row>"));
    auto with = [&](const QByteArray& xml) {
        return workbook({deflated("xl/sharedStrings.xml", xml), sheet});
    };

    QTest::newRow("plain, rich and phonetic items")
        << with(sharedXml("<si><t>plain</t></si><si><r><rPr><b/></rPr><t>ri</t></r><r><t>ch</t>"
                          "</r></si><si><t>\xE6\xBC\xA2</t><rPh sb=\"0\" eb=\"1\"><t>\xE3\x81\x8B"
                          "</t></rPh></si><si/>"))
        << QStringLiteral("[plain|rich|\u6F22\u304B||inline]");
    QTest::newRow("t outside an item is ignored")
        << with(sharedXml("<t>stray</t><si><t>a</t></si>")) << QStringLiteral("[a||||inline]");
    QTest::newRow("an XML error ends the list")
        << with("<sst><si><t>a</t></si><si><t>b</t></si><si><t>c</t>")
        << QStringLiteral("[a|b|||inline]");
    QTest::newRow("found ignoring case")
        << workbook({deflated("XL/SharedStrings.XML", sharedXml("<si><t>a</t></si>")), sheet})
        << QStringLiteral("[a||||inline]");
    QTest::newRow("missing") << workbook({sheet}) << QStringLiteral("[||||inline]");
    QTest::newRow("refused") << with(sharedXml("<si><t>" + QByteArray(1 << 20, 'a') + "</t></si>"))
                             << QStringLiteral("[||||inline]");
}

void TestSpreadsheet::sharedStrings() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QCOMPARE(renderFirstSheet(extractSpreadsheet(bytes)), expected);
}

void TestSpreadsheet::sheetOrderAndSelection() {
    auto sheet = [](const QByteArray& name, const QByteArray& value) {
        return deflated(name, sheetXml("<row>" + inlineCell("A1", value) + "</row>"));
    };
    std::vector<ZipEntry> members{
        sheet("xl/worksheets/sheet10.xml", "ten"),
        sheet("xl/worksheets/sheet2.xml", "two"),
        sheet("xl/worksheets/sheetX.xml", "X"),
        sheet("xl/worksheets/sheet02.xml", "02"),
        sheet("xl/worksheets/sheet.xml", "none"),
        sheet("xl/worksheets/sheet7.xml", "bad CRC"),
        deflated("xl/worksheets/sheet8.xml", "not XML at all"),
        // Not worksheets: the prefix and suffix are compared with case.
        sheet("xl/worksheets/Sheet3.xml", "no"),
        sheet("xl/worksheets/sheet4.XML", "no"),
        sheet("XL/worksheets/sheet5.xml", "no"),
        sheet("xl/worksheets/_rels/sheet1.xml.rels", "no"),
        sheet("xl/chartsheets/sheet6.xml", "no"),
    };
    QByteArray bytes = workbook(members);
    patchBoth(bytes, "xl/worksheets/sheet7.xml", Field::Crc, 0);

    const auto sheets = extractSpreadsheet(bytes);
    QVERIFY(sheets);
    QStringList seen;
    for (const SheetData& s : *sheets)
        seen << s.title + u':' + render(s.rows);
    QCOMPARE(seen, QStringList({"Sheet 0:[none]", "Sheet 0:[X]", "Sheet 2:[02]", "Sheet 2:[two]",
                                "Sheet 8:", "Sheet 10:[ten]"}));
}

void TestSpreadsheet::noSheetIsNoValue_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("not an archive") << sheetXml("");
    QTest::newRow("no worksheet member")
        << workbook({deflated("xl/sharedStrings.xml", sharedXml("<si><t>a</t></si>"))});
    QTest::newRow("every worksheet refused")
        << workbook({deflated("xl/worksheets/sheet1.xml", QByteArray(1 << 20, ' ')),
                     {"xl/worksheets/sheet2.xml",
                      sheetXml(""),
                      Compression::Deflate,
                      0,
                      false,
                      {{ZIP_OPSYS_DOS, 0x10}}}});
}

void TestSpreadsheet::noSheetIsNoValue() {
    QFETCH(QByteArray, bytes);
    QVERIFY(!extractSpreadsheet(bytes));
}

void TestSpreadsheet::budgetSharedByAllMembers() {
    // Shared strings leave 1000 bytes of the budget: sheet 1 takes 500, sheet 2 needs one byte
    // more than is left and is lost, sheet 3 takes exactly the rest.
    auto padded = [](QByteArray xml, qsizetype size) {
        return xml.insert(xml.lastIndexOf('<'), QByteArray(size - xml.size(), ' '));
    };
    const qsizetype sharedSize = static_cast<qsizetype>(kWorkbookBudget) - 1000;
    const QByteArray row = "<row><c r=\"A1\" t=\"s\"><v>0</v></c></row>";
    const QByteArray bytes = workbook({
        stored("xl/sharedStrings.xml", padded(sharedXml("<si><t>s</t></si>"), sharedSize)),
        stored("xl/worksheets/sheet1.xml", padded(sheetXml(row), 500)),
        stored("xl/worksheets/sheet2.xml", padded(sheetXml(row), 501)),
        stored("xl/worksheets/sheet3.xml", padded(sheetXml(row), 500)),
    });
    const auto sheets = extractSpreadsheet(bytes);
    QVERIFY(sheets);
    QCOMPARE(sheets->size(), 2);
    QCOMPARE(sheets->at(0).title, QStringLiteral("Sheet 1"));
    QCOMPARE(sheets->at(1).title, QStringLiteral("Sheet 3"));
    QCOMPARE(render(sheets->at(1).rows), QStringLiteral("[s]"));
}

void TestSpreadsheet::memberCountLimit() {
    // Stored empty fillers keep the two large archives quick to write.
    std::vector<ZipEntry> members;
    members.reserve(kMaxWorkbookMembers + 1);
    members.push_back(
        deflated("xl/worksheets/sheet1.xml", sheetXml("<row>" + inlineCell("A1", "a") + "</row>")));
    for (std::uint64_t i = 1; i < kMaxWorkbookMembers; ++i)
        members.push_back(stored(QByteArray::number(i).prepend("fill/"), {}));

    const QByteArray atLimit = buildZip(members);
    const auto sheets = extractSpreadsheet(atLimit);
    QVERIFY(sheets);
    QCOMPARE(render(sheets->first().rows), QStringLiteral("[a]"));

    members.push_back(stored("fill/last", {}));
    QVERIFY(!extractSpreadsheet(buildZip(members)));
}

void TestSpreadsheet::tablesAreBoundedAcrossTheWorkbook_data() {
    QTest::addColumn<QByteArray>("rows"); // of sheet 1; sheet 2 holds "y" at A1
    QTest::addColumn<qsizetype>("rowsRead");
    QTest::addColumn<qsizetype>("width"); // the widest row of sheet 1
    QTest::addColumn<QString>("secondSheet");

    const QByteArray xfd = "<row><c r=\"XFD1\"><v>x</v></c></row>";
    const QByteArray empty = "<row/>";
    const qsizetype fullWidth = kMaxColumnIndex + 1;
    const qsizetype fullRows = qsizetype(kMaxWorkbookCells / fullWidth);
    QVERIFY(kMaxWorkbookCells % fullWidth == 0);
    const QString notRead = QStringLiteral("(not read)");

    // A sheet costs its table: rows x widest row, however few cells it stores.
    QTest::newRow("one cell at XFD, then 100,000 empty rows")
        << xfd + empty.repeated(100000) << fullRows << fullWidth << notRead;
    QTest::newRow("100,000 empty rows, then a cell at XFD: the cell ends the sheet")
        << empty.repeated(99999) + xfd << qsizetype(100000) << qsizetype(0) << notRead;
    QTest::newRow("a cell widening 1000 rows to FAN is charged for each of them")
        << empty.repeated(999) + "<row><c r=\"FAN1\"><v>x</v></c></row>" + empty.repeated(100)
        << qsizetype(kMaxWorkbookCells / 4096) << qsizetype(4096) << notRead;
    QTest::newRow("a cell at XFD in every row, one row more than fits")
        << xfd.repeated(fullRows + 1) << fullRows << fullWidth << notRead;
    // Nothing is left for sheet 2: it ends before its first row.
    QTest::newRow("exactly the allowance")
        << xfd.repeated(fullRows) << fullRows << fullWidth << QString();
    QTest::newRow("a small workbook comes back whole")
        << QByteArray("<row><c r=\"A1\"><v>a</v></c><c r=\"C1\"><v>c</v></c></row>") + empty
        << qsizetype(2) << qsizetype(3) << QStringLiteral("[y]");
}

void TestSpreadsheet::tablesAreBoundedAcrossTheWorkbook() {
    QFETCH(QByteArray, rows);
    QFETCH(qsizetype, rowsRead);
    QFETCH(qsizetype, width);
    QFETCH(QString, secondSheet);

    // Stored: deflated, the empty rows would compress beyond what an archive may claim.
    const auto sheets = extractSpreadsheet(
        workbook({stored("xl/worksheets/sheet1.xml", sheetXml(rows)),
                  deflated("xl/worksheets/sheet2.xml", sheetXml("<row><c r=\"A1\"><v>y</v></c>"
                                                                "</row>"))}));
    QVERIFY(sheets);
    QCOMPARE(sheets->first().title, QStringLiteral("Sheet 1"));
    std::int64_t cells = 0;
    for (const SheetData& sheet : *sheets) {
        qsizetype widest = 1;
        for (const QStringList& row : sheet.rows)
            widest = std::max(widest, row.size());
        cells += sheet.rows.size() * widest;
    }
    QVERIFY2(cells <= kMaxWorkbookCells, qPrintable(QString::number(cells)));

    const QList<QStringList>& read = sheets->first().rows;
    QCOMPARE(read.size(), rowsRead);
    qsizetype widest = 0;
    for (const QStringList& row : read)
        widest = std::max(widest, row.size());
    QCOMPARE(widest, width);
    QCOMPARE(sheets->size() > 1 ? render(sheets->at(1).rows) : QStringLiteral("(not read)"),
             secondSheet);
}

void TestSpreadsheet::sharedStringTableIsBounded() {
    QByteArray items;
    items.reserve(kMaxSharedStrings * 5 + 64);
    for (std::int64_t i = 0; i < kMaxSharedStrings - 1; ++i)
        items += "<si/>";
    items += "<si><t>last</t></si><si><t>beyond</t></si>";
    const QByteArray last = QByteArray::number(kMaxSharedStrings - 1);
    const QByteArray beyond = QByteArray::number(kMaxSharedStrings);
    const auto sheets = extractSpreadsheet(workbook(
        {deflated("xl/sharedStrings.xml", sharedXml(items), 1),
         deflated("xl/worksheets/sheet1.xml",
                  sheetXml("<row><c r=\"A1\" t=\"s\"><v>" + last +
                           "</v></c><c r=\"B1\" t=\"s\"><v>" + beyond + "</v></c></row>"))}));
    QCOMPARE(renderFirstSheet(sheets), QStringLiteral("[last]"));
}

void TestSpreadsheet::workbookWrittenByOpenpyxl() {
    QString whyNot;
    const auto bytes =
        writtenByPython(QStringLiteral("openpyxl"), QString::fromUtf8(kRealWorkbook), whyNot);
    if (!bytes)
        QSKIP(qPrintable(whyNot));
    const auto sheets = extractSpreadsheet(*bytes);
    QVERIFY(sheets);
    QCOMPARE(sheets->size(), 2);
    QCOMPARE(sheets->at(0).title, QStringLiteral("Sheet 1"));
    // The formula has no cached value, so its cell is dropped and its row stays empty.
    QCOMPARE(
        render(sheets->at(0).rows),
        QStringLiteral("[Name|Amount][Widget|42][\u00DCn\u00EFc\u00F6d\u00E9 \u20AC|2.5][||1][]"));
    QCOMPARE(sheets->at(1).title, QStringLiteral("Sheet 2"));
    QCOMPARE(render(sheets->at(1).rows), QStringLiteral("[|second sheet]"));
}

QTEST_GUILESS_MAIN(TestSpreadsheet)
#include "tst_spreadsheet.moc"
