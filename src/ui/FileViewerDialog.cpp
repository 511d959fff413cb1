#include "ui/FileViewerDialog.h"

#include "crypto/SecureWipe.h"
#include "platform/CaptureExclusion.h"
#include "ui/SpreadsheetView.h"

#ifdef ZELVORA_HAVE_DOCTEXT
#include "doctext/OfficeText.h"
#endif

#include <QBuffer>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QPainter>
#include <QPdfPageRenderer>
#include <QPdfView>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSet>
#include <QStyle>
#include <QTextOption>
#include <QTimer>
#include <QVBoxLayout>
#include <new>
#include <optional>
#include <utility>

namespace korvex::ui {

namespace {

const QSet<QString>& imageExtensions() {
    static const QSet<QString> set{QStringLiteral("png"), QStringLiteral("jpg"),
                                   QStringLiteral("jpeg"), QStringLiteral("bmp"),
                                   QStringLiteral("gif")};
    return set;
}

const QSet<QString>& textExtensions() {
    static const QSet<QString> set{
        QStringLiteral("txt"), QStringLiteral("md"),   QStringLiteral("log"),
        QStringLiteral("csv"), QStringLiteral("json"), QStringLiteral("xml"),
        QStringLiteral("ini"), QStringLiteral("yaml"), QStringLiteral("yml")};
    return set;
}

QString extensionOf(const QString& fileName) {
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return {};
    return fileName.mid(dot + 1).toLower();
}

// Zeroes the pixels of image when it does not share them with pixmap (the conversion to a
// pixmap copied them); shared pixels are the pixmap's, wiped when the label is overwritten.
void wipeDecodedImage(QImage& image, const QPixmap& pixmap) {
    if (image.isNull())
        return;
    if (!pixmap.isNull() && pixmap.toImage().constBits() == image.constBits())
        return;
    crypto::secureWipe(image.bits(), static_cast<std::size_t>(image.sizeInBytes()));
}

std::optional<QString> extractWordDocumentText(const QByteArray& bytes) {
#ifdef ZELVORA_HAVE_DOCTEXT
    return doctext::extractWordText(bytes);
#else
    Q_UNUSED(bytes);
    return std::nullopt;
#endif
}

std::optional<QList<SheetContent>> extractSheets(const QByteArray& bytes) {
#ifdef ZELVORA_HAVE_DOCTEXT
    std::optional<QList<doctext::SheetData>> extracted = doctext::extractSpreadsheet(bytes);
    if (!extracted)
        return std::nullopt;
    // Moving the rows keeps their buffers: no copy of a cell is left behind unzeroed. Once the
    // list has its room, the moves below allocate nothing.
    QList<SheetContent> sheets;
    try {
        sheets.reserve(extracted->size());
    } catch (...) {
        for (doctext::SheetData& sheet : *extracted)
            wipeRows(sheet.rows);
        throw;
    }
    for (doctext::SheetData& sheet : *extracted)
        sheets.append(SheetContent{std::move(sheet.title), std::move(sheet.rows)});
    return sheets;
#else
    Q_UNUSED(bytes);
    return std::nullopt;
#endif
}

} // namespace

ViewerKind viewerKindForFileName(const QString& fileName) {
    const QString extension = extensionOf(fileName);
    if (extension.isEmpty())
        return ViewerKind::Unsupported;
    if (imageExtensions().contains(extension))
        return ViewerKind::Image;
    if (textExtensions().contains(extension))
        return ViewerKind::Text;
    if (extension == QLatin1String("pdf"))
        return ViewerKind::Pdf;
    if (extension == QLatin1String("docx"))
        return ViewerKind::WordDocument;
    if (extension == QLatin1String("xlsx"))
        return ViewerKind::Spreadsheet;
    return ViewerKind::Unsupported;
}

QByteArray imageFormatHint(const QString& extension) {
    if (extension == QLatin1String("png"))
        return QByteArrayLiteral("PNG");
    if (extension == QLatin1String("jpg") || extension == QLatin1String("jpeg"))
        return QByteArrayLiteral("JPEG");
    if (extension == QLatin1String("bmp"))
        return QByteArrayLiteral("BMP");
    if (extension == QLatin1String("gif"))
        return QByteArrayLiteral("GIF");
    return {};
}

QPdfDocument::Status waitForPdfLoad(QPdfDocument& document, std::chrono::milliseconds wait) {
    if (document.status() != QPdfDocument::Status::Loading)
        return document.status();

    QEventLoop loop;
    const QMetaObject::Connection statusConnection =
        QObject::connect(&document, &QPdfDocument::statusChanged, &loop, &QEventLoop::quit);
    if (!statusConnection)
        return document.status();

    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    const QDeadlineTimer deadline(wait);
    while (document.status() == QPdfDocument::Status::Loading && !deadline.hasExpired()) {
        timer.start(std::chrono::milliseconds(deadline.remainingTime()));
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    QObject::disconnect(statusConnection);
    return document.status();
}

PdfVerdict judgeLoadedPdf(const QPdfDocument& document) {
    if (document.status() == QPdfDocument::Status::Ready)
        return document.pageCount() > kMaxPdfPages ? PdfVerdict::TooManyPages : PdfVerdict::Show;
    const QPdfDocument::Error error = document.error();
    if (error == QPdfDocument::Error::IncorrectPassword ||
        error == QPdfDocument::Error::UnsupportedSecurityScheme)
        return PdfVerdict::Protected;
    return PdfVerdict::Undecodable;
}

} // namespace korvex::ui

using korvex::ui::PdfVerdict;
using korvex::ui::ViewerKind;

FileViewerDialog::FileViewerDialog(std::span<const std::uint8_t> bytes, const QString& fileName,
                                   QWidget* parent)
    : QDialog(parent) {
    build(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()),
          fileName);
}

FileViewerDialog::FileViewerDialog(const QByteArray& bytes, const QString& fileName,
                                   QWidget* parent)
    : QDialog(parent) {
    build(bytes.constData(), bytes.size(), fileName);
}

FileViewerDialog::~FileViewerDialog() {
    overwriteContent();
}

void FileViewerDialog::build(const char* data, qsizetype size, const QString& fileName) {
    setWindowTitle(tr("Zelvora - Viewer"));
    resize(760, 640);

    auto* nameLabel = new QLabel(fileName, this);
    nameLabel->setObjectName(QStringLiteral("fileViewerNameLabel"));
    nameLabel->setProperty("role", QStringLiteral("heading"));
    nameLabel->setWordWrap(true);

    const QString extension = korvex::ui::extensionOf(fileName);
    kind_ = korvex::ui::viewerKindForFileName(fileName);

    // The working copy is a deep one (never implicitly shared with the caller's array), so
    // that zeroing it and zeroing the caller's buffer are independent. A PDF above the limit
    // is refused before anything is copied.
    const bool oversizedPdf = kind_ == ViewerKind::Pdf && size > korvex::ui::kMaxPdfBytes;
    QByteArray working;
    QWidget* content = nullptr;
    try {
        if (!oversizedPdf)
            working = QByteArray(data, size);
        content = makeContent(working, extension, oversizedPdf);
    } catch (const std::bad_alloc&) {
        // Any of the allocations sized by the file; whatever stands of the view goes.
        korvex::crypto::secureWipe(working);
        discardContent(nameLabel);
        ranOutOfMemory_ = true;
        content = makeMessage(tr("There is not enough memory to open this file."));
    }
    korvex::crypto::secureWipe(working);

    auto* notice = new QLabel(
        tr("On Windows and macOS, screenshot and screen-recording tools are blocked while this "
           "viewer is open; copying out of it is disabled everywhere. None of this prevents "
           "someone from photographing the screen, and Linux has no equivalent capture-blocking "
           "mechanism available."),
        this);
    notice->setObjectName(QStringLiteral("fileViewerNoticeLabel"));
    notice->setProperty("role", QStringLiteral("subtext"));
    notice->setWordWrap(true);

    auto* closeButton = new QPushButton(tr("Close"), this);
    closeButton->setObjectName(QStringLiteral("fileViewerCloseButton"));
    closeButton->setProperty("accent", true);
    closeButton->setDefault(true);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(nameLabel);
    layout->addWidget(content, 1);
    layout->addWidget(notice);
    layout->addWidget(closeButton, 0, Qt::AlignRight);
}

QWidget* FileViewerDialog::makeContent(QByteArray& working, const QString& extension,
                                       bool oversizedPdf) {
    switch (kind_) {
    case ViewerKind::Image:
        return makeImageView(working, extension);
    case ViewerKind::Text:
        return makeTextView(QString::fromUtf8(working));
    case ViewerKind::Pdf:
        return oversizedPdf ? makeMessage(tr("This PDF is too large to open safely."))
                            : makePdfView(working);
    case ViewerKind::WordDocument: {
        std::optional<QString> text = korvex::ui::extractWordDocumentText(working);
        if (!text)
            return makeMessage(tr("Could not decode this document."));
        return makeTextView(std::move(*text));
    }
    case ViewerKind::Spreadsheet:
        return makeSpreadsheetView(working);
    case ViewerKind::Unsupported:
        break;
    }
    return makeMessage(tr("Zelvora's built-in viewer doesn't support this file type yet. "
                          "Use Export if you need to open it in another application."));
}

// What was built before memory ran out is overwritten and removed: every child of the dialog
// other than `keep` (the name label) belongs to the view. The overwrite needs a little memory
// of its own (the '0' texts it writes); should even that fail, the widgets are removed as they
// are, which is still better than ending the session.
void FileViewerDialog::discardContent(const QWidget* keep) {
    try {
        overwriteContent();
    } catch (const std::bad_alloc&) {
        korvex::crypto::secureWipe(pdfBytes_);
    }
    const QList<QWidget*> children = findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (QWidget* child : children) {
        if (child != keep)
            delete child;
    }
    pdfView_ = nullptr;
    imageLabel_ = nullptr;
    textView_ = nullptr;
    sheetView_ = nullptr;
    pdfDocument_.reset();
    pdfDevice_.reset();
    pdfBytes_ = QByteArray();
}

QWidget* FileViewerDialog::makeImageView(QByteArray& working, const QString& extension) {
    QImage image;
    QPixmap pixmap;
    try {
        // Reads the working bytes where they lie; they are zeroed after the view is built.
        QBuffer device(&working);
        if (device.open(QIODevice::ReadOnly)) {
            QImageReader reader(&device, korvex::ui::imageFormatHint(extension));
            image = reader.read();
        }
        pixmap = QPixmap::fromImage(image);
    } catch (...) {
        korvex::ui::wipeDecodedImage(image, pixmap);
        throw;
    }
    korvex::ui::wipeDecodedImage(image, pixmap);
    image = QImage();

    // Owned by the dialog from the start, so that a failure further on leaves no orphan.
    imageLabel_ = new QLabel(this);
    imageLabel_->setObjectName(QStringLiteral("fileViewerImageLabel"));
    imageLabel_->setContextMenuPolicy(Qt::NoContextMenu);
    if (!pixmap.isNull()) {
        imageLabel_->setPixmap(pixmap);
    } else {
        imageLabel_->setText(tr("Could not decode this image."));
        imageLabel_->setAlignment(Qt::AlignCenter);
        imageLabel_->setWordWrap(true);
    }

    auto* area = new QScrollArea(this);
    area->setObjectName(QStringLiteral("fileViewerImageArea"));
    area->setContextMenuPolicy(Qt::NoContextMenu);
    area->setAlignment(Qt::AlignCenter);
    area->setWidget(imageLabel_);
    return area;
}

QWidget* FileViewerDialog::makeTextView(QString text) {
    textView_ = new QPlainTextEdit(this);
    textView_->setObjectName(QStringLiteral("fileViewerTextView"));
    textView_->setReadOnly(true);
    textView_->setTextInteractionFlags(Qt::NoTextInteraction);
    textView_->setContextMenuPolicy(Qt::NoContextMenu);
    textView_->setUndoRedoEnabled(false);

    // The view is right-to-left exactly when the text is (its first strongly directional
    // character is); each paragraph still takes its own direction from its content. A plain
    // text layout aligns lines by the option alone, so the leading edge is made explicit.
    // The option is set after the layout direction, whose change event rewrites it.
    textView_->setLayoutDirection(text.isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight);
    QTextOption option = textView_->document()->defaultTextOption();
    option.setTextDirection(Qt::LayoutDirectionAuto);
    option.setAlignment(QStyle::visualAlignment(textView_->layoutDirection(), Qt::AlignLeft));
    textView_->document()->setDefaultTextOption(option);

    try {
        textView_->setPlainText(text);
    } catch (...) {
        korvex::crypto::secureWipe(text);
        throw;
    }
    korvex::crypto::secureWipe(text);
    return textView_;
}

QWidget* FileViewerDialog::makePdfView(QByteArray& working) {
    // The working array's buffer becomes the PDF bytes: same bytes, one copy fewer.
    pdfBytes_ = std::move(working);
    working = QByteArray();

    pdfDevice_ = std::make_unique<QBuffer>();
    pdfDevice_->setBuffer(&pdfBytes_);
    pdfDocument_ = std::make_unique<QPdfDocument>();
    if (pdfDevice_->open(QIODevice::ReadOnly)) {
        pdfDocument_->load(pdfDevice_.get());
        korvex::ui::waitForPdfLoad(*pdfDocument_, korvex::ui::kPdfLoadWait);
    }

    switch (korvex::ui::judgeLoadedPdf(*pdfDocument_)) {
    case PdfVerdict::Show:
        pdfView_ = new QPdfView(this);
        pdfView_->setObjectName(QStringLiteral("fileViewerPdfView"));
        pdfView_->setContextMenuPolicy(Qt::NoContextMenu);
        pdfView_->setPageMode(QPdfView::PageMode::MultiPage);
        pdfView_->setZoomMode(QPdfView::ZoomMode::FitToWidth);
        // QPdfView renders on a worker thread of its own; rendering on the GUI thread instead
        // means no page is being drawn from the bytes while the overwrite zeroes them.
        if (auto* renderer = pdfView_->findChild<QPdfPageRenderer*>())
            renderer->setRenderMode(QPdfPageRenderer::RenderMode::SingleThreaded);
        pdfView_->setDocument(pdfDocument_.get());
        return pdfView_;
    case PdfVerdict::TooManyPages:
        return makeMessage(tr("This PDF has too many pages to open safely."));
    case PdfVerdict::Protected:
        return makeMessage(tr("This PDF is password-protected or uses an encryption scheme "
                              "Zelvora's viewer doesn't support."));
    case PdfVerdict::Undecodable:
        break;
    }
    return makeMessage(tr("Could not decode this document."));
}

QWidget* FileViewerDialog::makeSpreadsheetView(const QByteArray& working) {
    std::optional<QList<korvex::ui::SheetContent>> sheets = korvex::ui::extractSheets(working);
    if (!sheets || sheets->isEmpty())
        return makeMessage(tr("Could not decode this spreadsheet."));
    try {
        sheetView_ = new SpreadsheetView(std::move(*sheets), this);
    } catch (...) {
        // Still here when the view could not be created to take them.
        korvex::ui::wipeSheets(*sheets);
        throw;
    }
    return sheetView_;
}

QLabel* FileViewerDialog::makeMessage(const QString& text) {
    auto* message = new QLabel(text, this);
    message->setObjectName(QStringLiteral("fileViewerMessage"));
    message->setAlignment(Qt::AlignCenter);
    message->setWordWrap(true);
    return message;
}

void FileViewerDialog::overwriteContent() {
    // Nothing may read the PDF bytes once they are zeroed: the view lets go of the document
    // (and of the pages it rendered), the document closes, then the bytes are overwritten.
    if (pdfView_ != nullptr)
        pdfView_->setDocument(nullptr);
    if (pdfDocument_)
        pdfDocument_->close();
    if (pdfDevice_)
        pdfDevice_->close();
    korvex::crypto::secureWipe(pdfBytes_);

    if (imageLabel_ != nullptr) {
        // Once the label lets go, this copy is the pixmap's only holder and the painting
        // below lands on the decoded pixels themselves rather than on a detached copy.
        QPixmap pixmap = imageLabel_->pixmap();
        imageLabel_->clear();
        if (!pixmap.isNull()) {
            QPainter painter(&pixmap);
            painter.setCompositionMode(QPainter::CompositionMode_Source);
            painter.fillRect(pixmap.rect(), Qt::black);
        }
    }

    if (textView_ != nullptr) {
        QString taken = textView_->toPlainText();
        if (!taken.isEmpty())
            textView_->setPlainText(QString(taken.size(), QLatin1Char('0')));
        textView_->clear();
        korvex::crypto::secureWipe(taken);
    }

    if (sheetView_ != nullptr)
        sheetView_->overwriteContent();
}

void FileViewerDialog::done(int result) {
    overwriteContent();
    QDialog::done(result);
}

void FileViewerDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Refused on platforms without the mechanism; the notice label says so to the user.
    korvex::platform::excludeFromCapture(static_cast<quintptr>(winId()));
}
