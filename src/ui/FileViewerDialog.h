#pragma once

#include <QByteArray>
#include <QDialog>
#include <QPdfDocument>
#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

class QBuffer;
class QLabel;
class QPdfView;
class QPlainTextEdit;
class SpreadsheetView;

namespace korvex::ui {

// How the viewer shows a file, decided by its name alone.
enum class ViewerKind { Image, Text, Pdf, WordDocument, Spreadsheet, Unsupported };

// The extension is the part after the last dot, compared in lower case; a name without a dot
// is unsupported.
ViewerKind viewerKindForFileName(const QString& fileName);

// Decoder format for an image extension (lower case): "PNG", "JPEG", "BMP", "GIF"; empty for
// anything else.
QByteArray imageFormatHint(const QString& extension);

// Limits on what the PDF engine is given.
inline constexpr qint64 kMaxPdfBytes = 209'715'200; // 200 MiB; one byte more is refused
inline constexpr int kMaxPdfPages = 10'000;
inline constexpr std::chrono::milliseconds kPdfLoadWait{2000};

// While document reports Loading, runs a local event loop that ends when its status changes or
// when wait has passed, whichever comes first. The loop handles timers and the document's own
// signals but no user input. Returns the status afterwards.
QPdfDocument::Status waitForPdfLoad(QPdfDocument& document,
                                    std::chrono::milliseconds wait = kPdfLoadWait);

// What to show for a document after loading (and waiting for) it.
enum class PdfVerdict { Show, TooManyPages, Protected, Undecodable };
PdfVerdict judgeLoadedPdf(const QPdfDocument& document);

} // namespace korvex::ui

// Shows one decrypted file of the vault in memory: an image, plain text, a PDF, the text of a
// Word document or the cells of a spreadsheet, chosen by the file name's extension. Nothing
// can be selected or copied out of the views, the window asks to be left out of screen
// capture each time it is shown, and everything it showed is overwritten when it closes, when
// it is destroyed and whenever overwriteContent() is called (the session wipe does).
//
// Bytes: the dialog copies the bytes it is given and never keeps a reference to the caller's
// memory. The copy is zeroed as soon as the view is built, except for a PDF, whose bytes the
// PDF engine reads for as long as the dialog lives; those are zeroed by overwriteContent().
// The caller still owns its own buffer (a PlaintextBuffer, Bytes or QByteArray) and zeroes it
// after the dialog has closed.
//
// Memory: the working copy, the decoded text, the extracted cells and the decoded image are
// all sized by the file. When any of them cannot be allocated, construction still completes:
// whatever had been built is overwritten and removed, the working copy is zeroed, a short
// message takes the content's place and ranOutOfMemory() is true, so that the caller can say so
// instead of showing the dialog.
class FileViewerDialog : public QDialog {
    Q_OBJECT

public:
    FileViewerDialog(std::span<const std::uint8_t> bytes, const QString& fileName,
                     QWidget* parent = nullptr);
    FileViewerDialog(const QByteArray& bytes, const QString& fileName, QWidget* parent = nullptr);
    ~FileViewerDialog() override;

    FileViewerDialog(const FileViewerDialog&) = delete;
    FileViewerDialog& operator=(const FileViewerDialog&) = delete;

    korvex::ui::ViewerKind kind() const { return kind_; }
    // True when building the view ran out of memory; the dialog then shows only a message.
    bool ranOutOfMemory() const { return ranOutOfMemory_; }

    // Overwrites and clears everything the dialog shows or holds: the PDF is detached from its
    // view and closed and its bytes are zeroed, the image is painted black, the text and every
    // cell are replaced by '0' characters and cleared. The dialog stays open, empty. Safe to
    // call more than once.
    void overwriteContent();

public Q_SLOTS:
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void build(const char* data, qsizetype size, const QString& fileName);
    QWidget* makeContent(QByteArray& working, const QString& extension, bool oversizedPdf);
    void discardContent(const QWidget* keep);
    QWidget* makeImageView(QByteArray& working, const QString& extension);
    QWidget* makeTextView(QString text);
    QWidget* makePdfView(QByteArray& working);
    QWidget* makeSpreadsheetView(const QByteArray& working);
    QLabel* makeMessage(const QString& text);

    // Declared in this order so that the document is destroyed before the device, and the
    // device before the bytes it reads.
    QByteArray pdfBytes_;
    std::unique_ptr<QBuffer> pdfDevice_;
    std::unique_ptr<QPdfDocument> pdfDocument_;

    // Owned by the widget tree; the overwrite reaches the content through these.
    QPdfView* pdfView_ = nullptr;
    QLabel* imageLabel_ = nullptr;
    QPlainTextEdit* textView_ = nullptr;
    SpreadsheetView* sheetView_ = nullptr;

    korvex::ui::ViewerKind kind_ = korvex::ui::ViewerKind::Unsupported;
    bool ranOutOfMemory_ = false;
};
