#include "ZipFixture.h"
#include "doctext/OfficeText.h"

#include <QtTest>

using namespace korvex::doctext;
using namespace korvex::test;

namespace {

QByteArray wordXml(const QByteArray& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
           "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
           "xmlns:v=\"urn:schemas-microsoft-com:vml\"><w:body>" +
           body + "<w:sectPr/></w:body></w:document>";
}

QByteArray docx(const QByteArray& documentXml, const QByteArray& memberName = "word/document.xml") {
    return buildZip({deflated("[Content_Types].xml", "<Types/>"), deflated(memberName, documentXml),
                     deflated("word/styles.xml", "<styles/>")});
}

const char kRealDocument[] = R"(
import sys, docx
d = docx.Document()
d.add_paragraph('First paragraph')
p = d.add_paragraph('Bold ')
p.runs[0].bold = True
p.add_run('and italic').italic = True
p.add_run().add_tab()
p.add_run('after tab')
d.add_paragraph('')
d.add_paragraph('Ünïcödé – €')
r = d.add_paragraph().add_run('line one')
r.add_break()
r.add_text('line two')
d.add_table(rows=1, cols=2).rows[0].cells[1].text = 'cell'
d.save(sys.argv[1])
)";

} // namespace

class TestWordText : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void bodyText_data();
    void bodyText();
    void archiveFailures_data();
    void archiveFailures();
    void documentWrittenByPythonDocx();
};

void TestWordText::bodyText_data() {
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<bool>("decodes");
    QTest::addColumn<QString>("text");

    QTest::newRow("two paragraphs, tab")
        << wordXml("<w:p><w:r><w:t>a</w:t></w:r></w:p>"
                   "<w:p><w:r><w:t>b</w:t><w:tab/><w:t>c</w:t></w:r></w:p>")
        << true << QStringLiteral("a\nb\tc");
    QTest::newRow("empty paragraph is an empty line")
        << wordXml("<w:p><w:r><w:t>a</w:t></w:r></w:p><w:p/><w:p><w:r><w:t>b</w:t></w:r></w:p>")
        << true << QStringLiteral("a\n\nb");
    QTest::newRow("leading empty paragraph")
        << wordXml("<w:p/><w:p><w:r><w:t>x</w:t></w:r></w:p>") << true << QStringLiteral("\nx");
    QTest::newRow("br and cr")
        << wordXml("<w:p><w:r><w:t>a</w:t><w:br/><w:t>b</w:t><w:cr/><w:t>c</w:t></w:r></w:p>")
        << true << QStringLiteral("a\nb\nc");
    QTest::newRow("no prefix") << QByteArray("<document><body><p><t>x</t></p><p><t>y</t></p>"
                                             "</body></document>")
                               << true << QStringLiteral("x\ny");
    QTest::newRow("text box inside a paragraph")
        << wordXml("<w:p><w:r><w:t>before</w:t></w:r><w:r><w:pict><v:shape><w:txbxContent>"
                   "<w:p><w:r><w:t>boxed</w:t></w:r></w:p></w:txbxContent></v:shape></w:pict></w:r>"
                   "</w:p>")
        << true << QStringLiteral("before\nboxed");
    QTest::newRow("only t elements count")
        << wordXml("<w:p><w:r><w:instrText>PAGE</w:instrText><w:delText>gone</w:delText>"
                   "<w:t>kept</w:t></w:r></w:p>")
        << true << QStringLiteral("kept");
    QTest::newRow("whitespace, entities, CDATA")
        << wordXml("<w:p><w:r><w:t xml:space=\"preserve\"> a &amp; b &#x20AC; </w:t>"
                   "<w:t><![CDATA[<x>]]></w:t></w:r></w:p>")
        << true << QStringLiteral(" a & b \u20AC <x>");
    QTest::newRow("no paragraphs") << wordXml("") << true << QString();

    const QByteArray whole = wordXml("<w:p><w:r><w:t>a</w:t></w:r></w:p><w:p><w:r><w:t>b</w:t>"
                                     "</w:r></w:p>");
    QTest::newRow("truncated inside an element")
        << whole.left(whole.lastIndexOf("<w:t>") + 3) << false << QString();
    QTest::newRow("truncated between elements")
        << whole.left(whole.lastIndexOf("<w:p>")) << false << QString();
    QTest::newRow("undeclared prefix")
        << QByteArray("<w:document><w:body><w:p><w:t>a</w:t></w:p></w:body></w:document>") << false
        << QString();
    QTest::newRow("mismatched tags") << wordXml("<w:p><w:t>a</w:p></w:t>") << false << QString();
    QTest::newRow("not XML") << QByteArray("plain text") << false << QString();
    QTest::newRow("empty member") << QByteArray() << false << QString();
    // Nested entities that would expand to a billion characters stop at the reader's limit.
    QByteArray laughs = "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY l0 \"lol\">";
    for (int level = 1; level <= 9; ++level) {
        laughs += QStringLiteral("<!ENTITY l%1 \"").arg(level).toUtf8();
        for (int i = 0; i < 10; ++i)
            laughs += QStringLiteral("&l%1;").arg(level - 1).toUtf8();
        laughs += "\">";
    }
    laughs += "]><document><body><p><t>&l9;</t></p></body></document>";
    QTest::newRow("entity expansion") << laughs << false << QString();
}

void TestWordText::bodyText() {
    QFETCH(QByteArray, xml);
    QFETCH(bool, decodes);
    QFETCH(QString, text);
    const auto result = extractWordText(docx(xml));
    QCOMPARE(result.has_value(), decodes);
    if (decodes)
        QCOMPARE(*result, text);
}

void TestWordText::archiveFailures_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("decodes");
    const QByteArray xml = wordXml("<w:p><w:r><w:t>hello</w:t></w:r></w:p>");

    QTest::newRow("body found ignoring case") << docx(xml, "Word/Document.XML") << true;
    QTest::newRow("not an archive") << xml << false;
    QTest::newRow("no body") << docx(xml, "word/document2.xml") << false;
    QTest::newRow("body in another folder") << docx(xml, "document.xml") << false;
    QTest::newRow("body compressed beyond the ratio limit")
        << docx(wordXml("<w:p><w:r><w:t>" + QByteArray(4 << 20, 'a') + "</w:t></w:r></w:p>"))
        << false;
    QByteArray crc = docx(xml);
    patchBoth(crc, "word/document.xml", Field::Crc, 0);
    QTest::newRow("wrong CRC-32") << crc << false;
    QTest::newRow("body marked as a directory") << buildZip({{"word/document.xml",
                                                              xml,
                                                              Compression::Deflate,
                                                              0,
                                                              false,
                                                              {{ZIP_OPSYS_DOS, 0x10}}}})
                                                << false;
}

void TestWordText::archiveFailures() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, decodes);
    const auto result = extractWordText(bytes);
    QCOMPARE(result.has_value(), decodes);
    if (decodes)
        QCOMPARE(*result, QStringLiteral("hello"));
}

void TestWordText::documentWrittenByPythonDocx() {
    QString whyNot;
    const auto bytes =
        writtenByPython(QStringLiteral("docx"), QString::fromUtf8(kRealDocument), whyNot);
    if (!bytes)
        QSKIP(qPrintable(whyNot));
    const auto text = extractWordText(*bytes);
    QVERIFY(text);
    // The table's first cell holds an empty paragraph, its second one "cell".
    QCOMPARE(*text, QStringLiteral("First paragraph\nBold and italic\tafter tab\n\n"
                                   "\u00DCn\u00EFc\u00F6d\u00E9 \u2013 \u20AC\nline one\nline two"
                                   "\n\ncell"));
}

QTEST_GUILESS_MAIN(TestWordText)
#include "tst_wordtext.moc"
