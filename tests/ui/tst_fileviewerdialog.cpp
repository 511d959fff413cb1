#include "ViewerFixtures.h"
#include "crypto/PlaintextBuffer.h"
#include "ui/FileViewerDialog.h"
#include "ui/SpreadsheetView.h"

#ifdef ZELVORA_HAVE_DOCTEXT
#include "doctext/OfficeText.h"
#endif

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QNetworkReply>
#include <QPdfPageRenderer>
#include <QPdfView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <QtTest>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using korvex::test::encodedImage;
using korvex::test::handWrittenPdf;
using korvex::ui::ViewerKind;

Q_DECLARE_METATYPE(ViewerKind)

namespace {

const QString kUnsupported = QStringLiteral(
    "Zelvora's built-in viewer doesn't support this file type yet. Use Export if you need to "
    "open it in another application.");
const QString kCouldNotDecodeDocument = QStringLiteral("Could not decode this document.");
const QString kPasswordProtected =
    QStringLiteral("This PDF is password-protected or uses an encryption scheme Zelvora's "
                   "viewer doesn't support.");

// The message shown in place of the content, or a null string when there is none.
QString messageOf(const FileViewerDialog& dialog) {
    const auto* label = dialog.findChild<QLabel*>(QStringLiteral("fileViewerMessage"));
    return label != nullptr ? label->text() : QString();
}

// A reply that announces a length and never delivers a byte: a document loaded from it stays
// in the Loading state until the reply fails.
class StalledReply : public QNetworkReply {
public:
    explicit StalledReply(qint64 announcedLength) {
        setHeader(QNetworkRequest::ContentLengthHeader, announcedLength);
        setOpenMode(QIODevice::ReadOnly);
    }
    void failAfter(int milliseconds) {
        QTimer::singleShot(milliseconds, this, [this] {
            setError(QNetworkReply::OperationCanceledError, QStringLiteral("cancelled"));
            setFinished(true);
            Q_EMIT finished();
        });
    }
    void abort() override {}

protected:
    qint64 readData(char*, qint64) override { return 0; }
};

QByteArray wordDocument(const QStringList& paragraphs) {
    QByteArray body;
    for (const QString& paragraph : paragraphs)
        body += "<w:p><w:r><w:t>" + paragraph.toUtf8() + "</w:t></w:r></w:p>";
    return korvex::test::storedZip(
        {{"word/document.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                               "<w:document xmlns:w=\"http://schemas.openxmlformats.org/"
                               "wordprocessingml/2006/main\"><w:body>" +
                                   body + "</w:body></w:document>"}});
}

// A worksheet member whose rows hold inline strings, cell references given.
QByteArray worksheet(const QList<QList<QPair<QByteArray, QByteArray>>>& rows) {
    QByteArray xml = "<worksheet><sheetData>";
    for (const auto& row : rows) {
        xml += "<row>";
        for (const auto& [reference, text] : row)
            xml += "<c r=\"" + reference + "\" t=\"inlineStr\"><is><t>" + text + "</t></is></c>";
        xml += "</row>";
    }
    return xml + "</sheetData></worksheet>";
}

// Whether any pixel is clearly red (the colour of the test images; the theme has none).
bool containsRed(const QImage& image) {
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < rgb.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x)
            if (qRed(line[x]) > 200 && qGreen(line[x]) < 60 && qBlue(line[x]) < 60)
                return true;
    }
    return false;
}

// Set in the environment of a copy of this test that runs the dialog under an address-space
// limit: the headroom in bytes above what the process had mapped before.
constexpr char kHeadroomVariable[] = "ZELVORA_VIEWER_TEST_HEADROOM";
constexpr std::size_t kLargeTextBytes = std::size_t{256} << 20;
const QString kNotEnoughMemory = QStringLiteral("There is not enough memory to open this file.");
// The child's exit code when the hard limit leaves no room for the one it wants to set.
constexpr int kNoLimitHere = 5;

// The child's side: a 256 MiB text file, decrypted into a buffer as the vault browser holds
// one, before the limit, so that only what the dialog allocates counts against the headroom.
// Exits 0 when the dialog reported running out of memory and shows nothing but its message.
int viewLargeTextUnderLimit(qint64 headroom) {
    korvex::crypto::PlaintextBuffer text(kLargeTextBytes);
    std::memset(text.data(), 'a', text.size());
    {
        // Fonts, style and plugins are loaded by the first dialog, before the limit.
        FileViewerDialog warmUp(QByteArray("warm"), QStringLiteral("warm.txt"));
    }

    unsigned long long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%llu", &pages) != 1)
            pages = 0;
        std::fclose(statm);
    }
    rlimit saved{};
    if (pages == 0 || ::getrlimit(RLIMIT_AS, &saved) != 0)
        return 4;
    const rlimit lowered{static_cast<rlim_t>(pages) * static_cast<rlim_t>(::getpagesize()) +
                             static_cast<rlim_t>(headroom),
                         saved.rlim_max};
    if (::setrlimit(RLIMIT_AS, &lowered) != 0)
        return kNoLimitHere;

    bool outOfMemory = false;
    bool textShown = true;
    QString message;
    {
        FileViewerDialog dialog(text.bytes(), QStringLiteral("large.txt"));
        outOfMemory = dialog.ranOutOfMemory();
        textShown = dialog.findChild<QPlainTextEdit*>() != nullptr;
        message = messageOf(dialog);
    }
    // The leak check at exit needs memory of its own.
    ::setrlimit(RLIMIT_AS, &saved);

    std::printf("ranOutOfMemory=%d textShown=%d message=%s\n", int(outOfMemory), int(textShown),
                qPrintable(message));
    return outOfMemory && !textShown && message == kNotEnoughMemory ? 0 : 1;
}

// A worksheet with one cell at XFD, then 100,000 empty rows: 600 KB asking for a table of
// 1.6 billion cells.
QByteArray sparseWideWorkbook() {
    return korvex::test::storedZip(
        {{"xl/worksheets/sheet1.xml",
          "<worksheet><sheetData><row><c r=\"XFD1\"><v>x</v></c></row>" +
              QByteArray("<row/>").repeated(100000) + "</sheetData></worksheet>"}});
}

} // namespace

class TestFileViewerDialog : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void kindFollowsLowerCasedExtension_data();
    void kindFollowsLowerCasedExtension();
    void imagesDecodeWithTheirFormatHint_data();
    void imagesDecodeWithTheirFormatHint();
    void failuresBecomeMessagesAndTheDialogStillOpens_data();
    void failuresBecomeMessagesAndTheDialogStillOpens();
    void pdfPageLimit_data();
    void pdfPageLimit();
    void pdfSizeLimit_data();
    void pdfSizeLimit();
    void pdfStillLoadingAfterTheWaitIsUndecodable();
    void pdfWaitEndsWhenTheStatusChanges();
    void textDirectionFollowsTheText_data();
    void textDirectionFollowsTheText();
    void textViewOffersNoSelectionCopyOrContextMenu();
    void overwriteLeavesNothingInTheWidgets_data();
    void overwriteLeavesNothingInTheWidgets();
    void spreadsheetViewShowsSheetsAndForgetsThemOnOverwrite();
    void officeDocumentsShowTheirText();
    void aSparseWideSheetMakesABoundedTable();
    void runningOutOfMemoryIsAMessage_data();
    void runningOutOfMemoryIsAMessage();
};

void TestFileViewerDialog::kindFollowsLowerCasedExtension_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<ViewerKind>("kind");
    QTest::newRow("Photo.JPG") << "Photo.JPG" << ViewerKind::Image;
    QTest::newRow("scan.Jpeg") << "scan.Jpeg" << ViewerKind::Image;
    QTest::newRow("no extension") << "notes" << ViewerKind::Unsupported;
    QTest::newRow("trailing dot") << "notes." << ViewerKind::Unsupported;
    QTest::newRow("last dot decides") << "report.pdf.txt" << ViewerKind::Text;
    QTest::newRow("two-part extension") << "backup.tar.gz" << ViewerKind::Unsupported;
    QTest::newRow("YAML") << "config.YML" << ViewerKind::Text;
    QTest::newRow("PDF") << "Statement.PDF" << ViewerKind::Pdf;
    QTest::newRow("Word") << "letter.DocX" << ViewerKind::WordDocument;
    QTest::newRow("old Word") << "letter.doc" << ViewerKind::Unsupported;
    QTest::newRow("spreadsheet") << "budget.xlsx" << ViewerKind::Spreadsheet;
    QTest::newRow("svg is not an image here") << "logo.svg" << ViewerKind::Unsupported;
}

void TestFileViewerDialog::kindFollowsLowerCasedExtension() {
    QFETCH(QString, name);
    QFETCH(ViewerKind, kind);
    QCOMPARE(korvex::ui::viewerKindForFileName(name), kind);
}

void TestFileViewerDialog::imagesDecodeWithTheirFormatHint_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QSize>("size"); // empty: the image does not decode
    const QSize size(64, 48);
    // Qt writes no GIF: a 1 x 1 one, byte by byte.
    const QByteArray gif = QByteArray::fromHex("4749463839610100010080000"
                                               "0ff0000000000"
                                               "2c00000000010001000002024401003b");
    QTest::newRow("Photo.JPG") << "Photo.JPG" << encodedImage(Qt::red, size, "JPEG") << size;
    QTest::newRow("chart.png") << "chart.png" << encodedImage(Qt::red, size, "PNG") << size;
    QTest::newRow("icon.BMP") << "icon.BMP" << encodedImage(Qt::red, size, "BMP") << size;
    QTest::newRow("dot.Gif") << "dot.Gif" << gif << QSize(1, 1);
    // The extension picks the decoder; content in another format does not decode.
    QTest::newRow("PNG named .jpg")
        << "mislabelled.jpg" << encodedImage(Qt::red, size, "PNG") << QSize();
    QTest::newRow("garbage") << "broken.png" << QByteArray("\x89PNG but no more") << QSize();
    QTest::newRow("empty") << "empty.bmp" << QByteArray() << QSize();
}

void TestFileViewerDialog::imagesDecodeWithTheirFormatHint() {
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QSize, size);

    FileViewerDialog dialog(bytes, name);
    QCOMPARE(dialog.kind(), ViewerKind::Image);
    auto* image = dialog.findChild<QLabel*>(QStringLiteral("fileViewerImageLabel"));
    QVERIFY(image != nullptr);
    QCOMPARE(image->contextMenuPolicy(), Qt::NoContextMenu);
    if (!size.isEmpty()) {
        QCOMPARE(image->pixmap().size(), size);
        QVERIFY(image->text().isEmpty());
    } else {
        QVERIFY(image->pixmap().isNull());
        QCOMPARE(image->text(), QStringLiteral("Could not decode this image."));
    }
}

void TestFileViewerDialog::failuresBecomeMessagesAndTheDialogStillOpens_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("message");

    const QByteArray garbage("this is not what the name says it is");
    QTest::newRow("no extension") << "notes" << QByteArray("plain words") << kUnsupported;
    QTest::newRow("unknown extension") << "setup.exe" << garbage << kUnsupported;
    QTest::newRow("broken PDF") << "broken.pdf" << garbage << kCouldNotDecodeDocument;
    QTest::newRow("empty PDF") << "empty.pdf" << QByteArray() << kCouldNotDecodeDocument;
    QTest::newRow("PDF with a password")
        << "locked.pdf" << handWrittenPdf(1, 0, "Standard") << kPasswordProtected;
    QTest::newRow("PDF with an unknown security handler")
        << "odd.pdf" << handWrittenPdf(1, 0, "NoSuchHandler") << kPasswordProtected;
    QTest::newRow("broken Word document") << "letter.docx" << garbage << kCouldNotDecodeDocument;
    QTest::newRow("broken spreadsheet")
        << "budget.xlsx" << garbage << QStringLiteral("Could not decode this spreadsheet.");
}

void TestFileViewerDialog::failuresBecomeMessagesAndTheDialogStillOpens() {
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, message);

    FileViewerDialog dialog(bytes, name);
    QCOMPARE(messageOf(dialog), message);
    QVERIFY(dialog.findChild<QLabel*>(QStringLiteral("fileViewerNoticeLabel")) != nullptr);
    auto* close = dialog.findChild<QPushButton*>(QStringLiteral("fileViewerCloseButton"));
    QVERIFY(close != nullptr);
    QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("fileViewerNameLabel"))->text(), name);

    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    close->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QVERIFY(!dialog.isVisible());
}

void TestFileViewerDialog::pdfPageLimit_data() {
    QTest::addColumn<int>("pages");
    QTest::addColumn<bool>("opens");
    QTest::newRow("1 page") << 1 << true;
    QTest::newRow("10,000 pages") << 10000 << true;
    QTest::newRow("10,001 pages") << 10001 << false;
}

void TestFileViewerDialog::pdfPageLimit() {
    QFETCH(int, pages);
    QFETCH(bool, opens);

    FileViewerDialog dialog(handWrittenPdf(pages), QStringLiteral("book.pdf"));
    auto* view = dialog.findChild<QPdfView*>(QStringLiteral("fileViewerPdfView"));
    if (opens) {
        QVERIFY(view != nullptr);
        QCOMPARE(view->document()->pageCount(), pages);
        QCOMPARE(view->pageMode(), QPdfView::PageMode::MultiPage);
        QCOMPARE(view->contextMenuPolicy(), Qt::NoContextMenu);
        // Pages are drawn on the GUI thread, never concurrently with the overwrite.
        auto* renderer = view->findChild<QPdfPageRenderer*>();
        QVERIFY(renderer != nullptr);
        QCOMPARE(renderer->renderMode(), QPdfPageRenderer::RenderMode::SingleThreaded);
    } else {
        QVERIFY(view == nullptr);
        QCOMPARE(messageOf(dialog), QStringLiteral("This PDF has too many pages to open safely."));
    }
}

void TestFileViewerDialog::pdfSizeLimit_data() {
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("opens");
    QTest::newRow("exactly 200 MiB") << korvex::ui::kMaxPdfBytes << true;
    QTest::newRow("200 MiB and one byte") << korvex::ui::kMaxPdfBytes + 1 << false;
}

void TestFileViewerDialog::pdfSizeLimit() {
    QFETCH(qint64, size);
    QFETCH(bool, opens);

    QByteArray pdf = handWrittenPdf(2, size);
    QCOMPARE(pdf.size(), size);
    FileViewerDialog dialog(pdf, QStringLiteral("scan.pdf"));
    pdf.clear();
    auto* view = dialog.findChild<QPdfView*>(QStringLiteral("fileViewerPdfView"));
    if (opens) {
        QVERIFY2(view != nullptr, qPrintable(messageOf(dialog)));
        QCOMPARE(view->document()->pageCount(), 2);
    } else {
        QVERIFY(view == nullptr);
        QCOMPARE(messageOf(dialog), QStringLiteral("This PDF is too large to open safely."));
    }
}

void TestFileViewerDialog::pdfStillLoadingAfterTheWaitIsUndecodable() {
    StalledReply reply(4096);
    QPdfDocument document;
    document.load(&reply);
    QCOMPARE(document.status(), QPdfDocument::Status::Loading);

    QElapsedTimer clock;
    clock.start();
    const QPdfDocument::Status status = korvex::ui::waitForPdfLoad(document);
    const qint64 waited = clock.elapsed();

    QCOMPARE(status, QPdfDocument::Status::Loading);
    QVERIFY2(waited >= 1990 && waited < 4000, qPrintable(QString::number(waited)));
    QCOMPARE(korvex::ui::judgeLoadedPdf(document), korvex::ui::PdfVerdict::Undecodable);
}

void TestFileViewerDialog::pdfWaitEndsWhenTheStatusChanges() {
    StalledReply reply(4096);
    QPdfDocument document;
    document.load(&reply);
    reply.failAfter(50);

    QElapsedTimer clock;
    clock.start();
    const QPdfDocument::Status status = korvex::ui::waitForPdfLoad(document);
    QCOMPARE(status, QPdfDocument::Status::Error);
    QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));

    // A document that is not loading is not waited for at all.
    clock.restart();
    korvex::ui::waitForPdfLoad(document);
    QVERIFY(clock.elapsed() < 100);
}

void TestFileViewerDialog::textDirectionFollowsTheText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("rightToLeft");
    QTest::newRow("Arabic") << QStringLiteral("مرحبا بالعالم") << true;
    QTest::newRow("Hebrew") << QStringLiteral("שלום עולם") << true;
    QTest::newRow("digits before Hebrew") << QStringLiteral("2024 שלום") << true;
    QTest::newRow("Hebrew after English") << QStringLiteral("Hi שלום") << false;
    QTest::newRow("English") << QStringLiteral("Hello") << false;
}

void TestFileViewerDialog::textDirectionFollowsTheText() {
    QFETCH(QString, text);
    QFETCH(bool, rightToLeft);

    FileViewerDialog dialog(text.toUtf8(), QStringLiteral("note.txt"));
    auto* view = dialog.findChild<QPlainTextEdit*>(QStringLiteral("fileViewerTextView"));
    QVERIFY(view != nullptr);
    QCOMPARE(view->toPlainText(), text);
    QCOMPARE(view->layoutDirection(), rightToLeft ? Qt::RightToLeft : Qt::LeftToRight);

    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QTextBlock block = view->document()->firstBlock();
    QCOMPARE(block.textDirection(), rightToLeft ? Qt::RightToLeft : Qt::LeftToRight);

    // What the user sees: right-to-left text hugs the right edge of the view.
    QTRY_VERIFY(block.layout() != nullptr && block.layout()->lineCount() > 0);
    const QRectF line = block.layout()->lineAt(0).naturalTextRect();
    const qreal width = view->viewport()->width();
    if (rightToLeft)
        QVERIFY2(line.left() > width / 2, qPrintable(QString::number(line.left())));
    else
        QVERIFY2(line.right() < width / 2, qPrintable(QString::number(line.right())));
}

void TestFileViewerDialog::textViewOffersNoSelectionCopyOrContextMenu() {
    const QString secret = QStringLiteral("account 4711 / PIN 0815");
    FileViewerDialog dialog(secret.toUtf8(), QStringLiteral("pins.md"));
    auto* view = dialog.findChild<QPlainTextEdit*>(QStringLiteral("fileViewerTextView"));
    QVERIFY(view != nullptr);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    // A context menu may run its own event loop; close any that appears and remember it.
    bool menuAppeared = false;
    QTimer closer;
    connect(&closer, &QTimer::timeout, &closer, [&] {
        if (QWidget* popup = QApplication::activePopupWidget()) {
            menuAppeared = true;
            popup->close();
        }
    });
    closer.start(20);
    QWidget* viewport = view->viewport();
    QContextMenuEvent byMouse(QContextMenuEvent::Mouse, QPoint(10, 6),
                              viewport->mapToGlobal(QPoint(10, 6)));
    QApplication::sendEvent(viewport, &byMouse);
    QContextMenuEvent byKeyboard(QContextMenuEvent::Keyboard, QPoint(10, 6),
                                 view->mapToGlobal(QPoint(10, 6)));
    QApplication::sendEvent(view, &byKeyboard);
    QTest::qWait(60);
    QVERIFY(!menuAppeared);
    QVERIFY(dialog.findChildren<QMenu*>().isEmpty());

    QApplication::clipboard()->setText(QStringLiteral("before"));
    view->setFocus();
    QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(view, Qt::Key_End, Qt::ShiftModifier);
    QTest::mousePress(viewport, Qt::LeftButton, {}, QPoint(4, 6));
    QTest::mouseMove(viewport, QPoint(viewport->width() - 4, 6));
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, QPoint(viewport->width() - 4, 6));
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, QPoint(12, 6));
    QVERIFY(!view->textCursor().hasSelection());
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(view, Qt::Key_Insert, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("before"));

    // Nothing to undo either: the document keeps no history of its text.
    QVERIFY(!view->document()->isUndoRedoEnabled());
    QCOMPARE(view->toPlainText(), secret);
}

void TestFileViewerDialog::overwriteLeavesNothingInTheWidgets_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("how");

    const QByteArray image = encodedImage(Qt::red, QSize(120, 90), "PNG");
    const QByteArray text = QByteArrayLiteral("first line of a secret\nsecond line\n");
    const QByteArray pdf = handWrittenPdf(3);
    for (const char* how : {"on demand", "Close button", "Escape", "window closed"}) {
        QTest::addRow("text, %s", how) << "secret.txt" << text << how;
        QTest::addRow("image, %s", how) << "secret.png" << image << how;
        QTest::addRow("PDF, %s", how) << "secret.pdf" << pdf << how;
    }
}

void TestFileViewerDialog::overwriteLeavesNothingInTheWidgets() {
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, how);

    FileViewerDialog dialog(bytes, name);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    auto* imageLabel = dialog.findChild<QLabel*>(QStringLiteral("fileViewerImageLabel"));
    auto* textView = dialog.findChild<QPlainTextEdit*>(QStringLiteral("fileViewerTextView"));
    auto* pdfView = dialog.findChild<QPdfView*>(QStringLiteral("fileViewerPdfView"));
    QPdfDocument* document = pdfView != nullptr ? pdfView->document() : nullptr;
    switch (dialog.kind()) {
    case ViewerKind::Image:
        QVERIFY(imageLabel != nullptr && !imageLabel->pixmap().isNull());
        QVERIFY(containsRed(dialog.grab().toImage()));
        break;
    case ViewerKind::Text:
        QVERIFY(textView != nullptr && textView->toPlainText() == QString::fromUtf8(bytes));
        break;
    case ViewerKind::Pdf:
        QVERIFY(document != nullptr && document->pageCount() == 3);
        break;
    default:
        QFAIL("unexpected kind");
    }

    if (how == QLatin1String("on demand")) {
        dialog.overwriteContent();
    } else if (how == QLatin1String("Close button")) {
        dialog.findChild<QPushButton*>(QStringLiteral("fileViewerCloseButton"))->click();
    } else if (how == QLatin1String("Escape")) {
        QTest::keyClick(&dialog, Qt::Key_Escape);
    } else {
        dialog.close();
    }

    for (const QLabel* label : dialog.findChildren<QLabel*>()) {
        QVERIFY2(label->pixmap().isNull(), qPrintable(label->objectName()));
        QVERIFY(!label->text().contains(QLatin1String("secret\n")));
    }
    for (const QPlainTextEdit* edit : dialog.findChildren<QPlainTextEdit*>()) {
        QVERIFY(edit->toPlainText().isEmpty());
        QCOMPARE(edit->document()->characterCount(), 1);
    }
    for (const QPdfView* view : dialog.findChildren<QPdfView*>())
        QVERIFY(view->document() == nullptr);
    if (document != nullptr) {
        QCOMPARE(document->status(), QPdfDocument::Status::Null);
        QCOMPARE(document->pageCount(), 0);
    }
    if (imageLabel != nullptr) {
        QVERIFY(imageLabel->pixmap().isNull());
        QVERIFY(imageLabel->text().isEmpty());
        QVERIFY(!containsRed(dialog.grab().toImage()));
    }

    // A second overwrite, as the session wipe may add after a close, finds nothing to do.
    dialog.overwriteContent();
}

void TestFileViewerDialog::spreadsheetViewShowsSheetsAndForgetsThemOnOverwrite() {
    using korvex::ui::SheetContent;
    {
        SpreadsheetView single(
            {SheetContent{QStringLiteral("Sheet 1"), {{QStringLiteral("only")}}}});
        QVERIFY(single.sheetChooser() == nullptr);
        QVERIFY(single.findChild<QComboBox*>() == nullptr);
        QCOMPARE(single.table()->item(0, 0)->text(), QStringLiteral("only"));
    }

    SpreadsheetView view({
        SheetContent{QStringLiteral("Sheet 2"),
                     {{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")},
                      {QStringLiteral("d")},
                      {}}},
        SheetContent{QStringLiteral("Sheet 10"), {{QString(), QString(), QStringLiteral("x")}}},
    });
    QTableWidget* table = view.table();
    QComboBox* chooser = view.sheetChooser();
    QVERIFY(chooser != nullptr);
    QCOMPARE(chooser->count(), 2);
    QCOMPARE(chooser->itemText(0), QStringLiteral("Sheet 2"));
    QCOMPARE(chooser->itemText(1), QStringLiteral("Sheet 10"));
    QCOMPARE(table->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(table->selectionMode(), QAbstractItemView::NoSelection);
    QCOMPARE(table->contextMenuPolicy(), Qt::NoContextMenu);

    // The first sheet first: as many columns as the longest row, short rows left empty.
    QCOMPARE(table->rowCount(), 3);
    QCOMPARE(table->columnCount(), 3);
    QCOMPARE(table->item(0, 2)->text(), QStringLiteral("c"));
    QCOMPARE(table->item(1, 0)->text(), QStringLiteral("d"));
    QVERIFY(table->item(1, 1) == nullptr);
    QVERIFY(table->item(2, 0) == nullptr);

    chooser->setCurrentIndex(1);
    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(table->item(0, 2)->text(), QStringLiteral("x"));
    // Padding gets no item.
    QVERIFY(table->item(0, 0) == nullptr);
    view.showSheet(7); // outside the list: ignored
    view.showSheet(-1);
    QCOMPARE(table->item(0, 2)->text(), QStringLiteral("x"));

    view.overwriteContent();
    QCOMPARE(table->rowCount(), 0);
    // The sheets kept for the chooser are gone as well: choosing brings nothing back.
    chooser->setCurrentIndex(0);
    view.showSheet(0);
    QCOMPARE(table->rowCount(), 0);
}

void TestFileViewerDialog::officeDocumentsShowTheirText() {
#ifndef ZELVORA_HAVE_DOCTEXT
    QSKIP("built without the document-text layer");
#else
    using korvex::test::storedZip;

    {
        FileViewerDialog dialog(wordDocument({QStringLiteral("שלום"), QStringLiteral("Zweite")}),
                                QStringLiteral("Brief.DOCX"));
        auto* view = dialog.findChild<QPlainTextEdit*>(QStringLiteral("fileViewerTextView"));
        QVERIFY(view != nullptr);
        QCOMPARE(view->toPlainText(), QStringLiteral("שלום\nZweite"));
        QCOMPARE(view->layoutDirection(), Qt::RightToLeft);
        QCOMPARE(view->textInteractionFlags(), Qt::NoTextInteraction);
        dialog.overwriteContent();
        QVERIFY(view->toPlainText().isEmpty());
    }
    {
        FileViewerDialog dialog(
            storedZip({{"xl/worksheets/sheet1.xml", worksheet({{{"A1", "solo"}}})}}),
            QStringLiteral("one.xlsx"));
        auto* table = dialog.findChild<QTableWidget*>(QStringLiteral("fileViewerSheetTable"));
        QVERIFY(table != nullptr);
        QVERIFY(dialog.findChild<QComboBox*>() == nullptr);
        QCOMPARE(table->item(0, 0)->text(), QStringLiteral("solo"));
    }
    {
        FileViewerDialog dialog(
            storedZip({{"xl/worksheets/sheet10.xml", worksheet({{{"B1", "ten"}}})},
                       {"xl/worksheets/sheet2.xml",
                        worksheet({{{"A1", "two"}, {"C1", "x"}}, {{"A2", "y"}}})}}),
            QStringLiteral("two.xlsx"));
        auto* table = dialog.findChild<QTableWidget*>(QStringLiteral("fileViewerSheetTable"));
        auto* chooser = dialog.findChild<QComboBox*>(QStringLiteral("fileViewerSheetChooser"));
        QVERIFY(table != nullptr && chooser != nullptr);
        QCOMPARE(chooser->itemText(0), QStringLiteral("Sheet 2"));
        QCOMPARE(chooser->itemText(1), QStringLiteral("Sheet 10"));
        QCOMPARE(table->rowCount(), 2);
        QCOMPARE(table->columnCount(), 3);
        QCOMPARE(table->item(0, 2)->text(), QStringLiteral("x"));
        chooser->setCurrentIndex(1);
        QCOMPARE(table->item(0, 1)->text(), QStringLiteral("ten"));

        dialog.findChild<QPushButton*>(QStringLiteral("fileViewerCloseButton"))->click();
        QCOMPARE(table->rowCount(), 0);
        chooser->setCurrentIndex(0);
        QCOMPARE(table->rowCount(), 0);
    }
    {
        // An archive without any worksheet member.
        FileViewerDialog dialog(storedZip({{"xl/workbook.xml", "<workbook/>"}}),
                                QStringLiteral("empty.xlsx"));
        QCOMPARE(messageOf(dialog), QStringLiteral("Could not decode this spreadsheet."));
    }
#endif
}

void TestFileViewerDialog::aSparseWideSheetMakesABoundedTable() {
#ifndef ZELVORA_HAVE_DOCTEXT
    QSKIP("built without the document-text layer");
#else
    FileViewerDialog dialog(sparseWideWorkbook(), QStringLiteral("wide.xlsx"));
    auto* table = dialog.findChild<QTableWidget*>(QStringLiteral("fileViewerSheetTable"));
    QVERIFY2(table != nullptr, qPrintable(messageOf(dialog)));
    QCOMPARE(table->columnCount(), korvex::doctext::kMaxColumnIndex + 1);
    QVERIFY(table->rowCount() > 1);
    QVERIFY(qint64(table->rowCount()) * table->columnCount() <= korvex::doctext::kMaxWorkbookCells);
    QCOMPARE(table->item(0, korvex::doctext::kMaxColumnIndex)->text(), QStringLiteral("x"));
    // The padding before the cell, and the empty rows, have no items.
    QVERIFY(table->item(0, 0) == nullptr);
    QVERIFY(table->item(1, korvex::doctext::kMaxColumnIndex) == nullptr);
#endif
}

void TestFileViewerDialog::runningOutOfMemoryIsAMessage_data() {
    QTest::addColumn<qint64>("headroom");
    // Too little for the working copy; enough for it, but not for its UTF-16 decoding (twice
    // its size), so that the copy made first must be zeroed as well.
    QTest::newRow("working copy") << qint64(32) * 1024 * 1024;
    QTest::newRow("decoding") << qint64(kLargeTextBytes) + 32 * 1024 * 1024;
}

void TestFileViewerDialog::runningOutOfMemoryIsAMessage() {
    QFETCH(qint64, headroom);

    // A copy of this test, under an address-space limit. Containers report a failed allocation
    // as std::bad_alloc; a sanitizer build returns null from malloc only when told to.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QString sanitizer = environment.value(QStringLiteral("ASAN_OPTIONS"));
    if (!sanitizer.isEmpty())
        sanitizer += u':';
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       sanitizer + QStringLiteral("allocator_may_return_null=1"));
    environment.insert(QString::fromLatin1(kHeadroomVariable), QString::number(headroom));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

    QProcess child;
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(child.waitForFinished(120000));
    const QByteArray output = child.readAllStandardOutput() + child.readAllStandardError();
    QVERIFY2(child.exitStatus() == QProcess::NormalExit, output.constData());
    if (child.exitCode() == kNoLimitHere)
        QSKIP("the address-space limit cannot be lowered here");
    QVERIFY2(child.exitCode() == 0, output.constData());
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    const QByteArray headroom = qgetenv(kHeadroomVariable);
    if (!headroom.isEmpty())
        return viewLargeTextUnderLimit(headroom.toLongLong());
    TestFileViewerDialog test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_fileviewerdialog.moc"
