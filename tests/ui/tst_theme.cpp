#include "ui/DialogHeader.h"
#include "ui/Theme.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QtTest>
#include <memory>

namespace {

enum class Sample {
    DialogBackground,
    HeadingText,
    SubtextText,
    ButtonFace,
    AccentButtonTop,
    AccentButtonBottom,
    DisabledAccentButtonFace,
    ReadOnlyLineEdit,
    PlateFace,
};

// Builds the widget a sample is taken from, styled and laid out inside a small dialog.
std::unique_ptr<QDialog> makeSampleDialog(Sample sample, QWidget** target) {
    auto dialog = std::make_unique<QDialog>();
    auto* layout = new QVBoxLayout(dialog.get());
    QWidget* widget = nullptr;
    switch (sample) {
    case Sample::DialogBackground:
        widget = dialog.get();
        break;
    case Sample::HeadingText:
    case Sample::SubtextText: {
        auto* label = new QLabel(QStringLiteral("Sample"), dialog.get());
        label->setProperty("role", sample == Sample::HeadingText ? "heading" : "subtext");
        widget = label;
        break;
    }
    case Sample::ButtonFace:
        widget = new QPushButton(QStringLiteral("Cancel"), dialog.get());
        break;
    case Sample::AccentButtonTop:
    case Sample::AccentButtonBottom:
    case Sample::DisabledAccentButtonFace: {
        auto* button = new QPushButton(QStringLiteral("OK"), dialog.get());
        button->setProperty("accent", true);
        button->setEnabled(sample != Sample::DisabledAccentButtonFace);
        widget = button;
        break;
    }
    case Sample::ReadOnlyLineEdit: {
        auto* edit = new QLineEdit(dialog.get());
        edit->setReadOnly(true);
        widget = edit;
        break;
    }
    case Sample::PlateFace: {
        auto* plate = new QWidget(dialog.get());
        plate->setObjectName(QStringLiteral("plate"));
        plate->setAttribute(Qt::WA_StyledBackground);
        plate->setMinimumSize(200, 120);
        widget = plate;
        break;
    }
    }
    if (widget != dialog.get()) {
        widget->setMinimumWidth(160);
        layout->addWidget(widget);
    }
    *target = widget;
    return dialog;
}

bool near(QColor actual, QColor expected, int tolerance) {
    return qAbs(actual.red() - expected.red()) <= tolerance &&
           qAbs(actual.green() - expected.green()) <= tolerance &&
           qAbs(actual.blue() - expected.blue()) <= tolerance;
}

} // namespace

Q_DECLARE_METATYPE(Sample)

class TestTheme : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void resourcesAreCompiledIn_data();
    void resourcesAreCompiledIn();
    void hooksGiveTheirLook_data();
    void hooksGiveTheirLook();
    void fontsFallBackFromSegoeUi();
    void dialogHeaderLaysOutIconHeadingAndSubtext();
};

void TestTheme::initTestCase() {
    // A style sheet Qt cannot parse is dropped with a warning and no other sign.
    QTest::failOnWarning(QRegularExpression(QStringLiteral("(?i)style ?sheet")));
    QVERIFY(korvex::ui::applyApplicationStyle(*qApp));
    QCOMPARE(qApp->styleSheet(), korvex::ui::loadStyleSheet());
    QVERIFY(!qApp->windowIcon().isNull());
}

void TestTheme::resourcesAreCompiledIn_data() {
    QTest::addColumn<QString>("path");
    for (const char* name : {"key", "lock", "app", "copy", "import", "export", "remove",
                             "user-plus", "check-shield", "sort-up", "sort-down"})
        QTest::newRow(name) << QStringLiteral(":/icons/%1.svg").arg(QLatin1String(name));
}

void TestTheme::resourcesAreCompiledIn() {
    QFETCH(QString, path);
    const QPixmap pixmap = korvex::ui::renderIcon(path, QSize(40, 40), 2.0);
    QVERIFY(!pixmap.isNull());
    QCOMPARE(pixmap.deviceIndependentSize(), QSizeF(40, 40));
    // Something is drawn: an icon that renders fully transparent is as good as missing.
    const QImage image = pixmap.toImage();
    bool drawn = false;
    for (int y = 0; y < image.height() && !drawn; ++y)
        for (int x = 0; x < image.width() && !drawn; ++x)
            drawn = qAlpha(image.pixel(x, y)) > 128;
    QVERIFY(drawn);
}

void TestTheme::hooksGiveTheirLook_data() {
    QTest::addColumn<Sample>("sample");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<int>("tolerance");
    QTest::newRow("dialog background") << Sample::DialogBackground << QColor(0x0B1A2E) << 0;
    QTest::newRow("heading text") << Sample::HeadingText << QColor(0xF0D57A) << 0;
    QTest::newRow("subtext text") << Sample::SubtextText << QColor(0x8DA0BC) << 0;
    QTest::newRow("button face") << Sample::ButtonFace << QColor(0x16283F) << 0;
    QTest::newRow("accent button, top") << Sample::AccentButtonTop << QColor(0xF0D57A) << 14;
    QTest::newRow("accent button, bottom") << Sample::AccentButtonBottom << QColor(0xD4AF37) << 14;
    QTest::newRow("disabled accent button")
        << Sample::DisabledAccentButtonFace << QColor(0x46402A) << 0;
    QTest::newRow("read-only line edit") << Sample::ReadOnlyLineEdit << QColor(0x101E30) << 0;
    QTest::newRow("plate, middle") << Sample::PlateFace << QColor(0x132841) << 6;
}

void TestTheme::hooksGiveTheirLook() {
    QFETCH(Sample, sample);
    QFETCH(QColor, colour);
    QFETCH(int, tolerance);

    QWidget* widget = nullptr;
    const std::unique_ptr<QDialog> dialog = makeSampleDialog(sample, &widget);
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));

    QColor actual;
    if (sample == Sample::HeadingText || sample == Sample::SubtextText) {
        actual = widget->palette().color(QPalette::WindowText);
    } else {
        // Away from borders and text: the left edge of the face, or its top or bottom row.
        const QImage image = widget->grab().toImage();
        QPoint at(8, image.height() / 2);
        if (sample == Sample::AccentButtonTop)
            at = QPoint(image.width() / 2, 2);
        else if (sample == Sample::AccentButtonBottom)
            at = QPoint(image.width() / 2, image.height() - 3);
        else if (sample == Sample::PlateFace)
            at = QPoint(image.width() / 2, image.height() / 2);
        actual = image.pixelColor(at);
    }
    QVERIFY2(near(actual, colour, tolerance),
             qPrintable(actual.name() + QStringLiteral(" instead of ") + colour.name()));

    if (sample == Sample::HeadingText) {
        QCOMPARE(widget->font().pointSizeF(), 15.0);
        QCOMPARE(widget->font().weight(), QFont::DemiBold);
    } else if (sample == Sample::SubtextText) {
        QCOMPARE(widget->font().pointSizeF(), 9.5);
    } else if (sample == Sample::DialogBackground) {
        QCOMPARE(widget->font().pointSizeF(), 10.5);
    }
}

void TestTheme::fontsFallBackFromSegoeUi() {
    QLabel label(QStringLiteral("Sample"));
    label.ensurePolished();
    const QStringList families = label.font().families();
    QVERIFY2(families.size() >= 2, qPrintable(families.join(QLatin1Char('|'))));
    QCOMPARE(families.first(), QStringLiteral("Segoe UI"));
    QCOMPARE(families.last(), QStringLiteral("sans-serif"));
    // Whatever the machine has, some real face is used.
    QVERIFY(!QFontInfo(label.font()).family().isEmpty());
}

void TestTheme::dialogHeaderLaysOutIconHeadingAndSubtext() {
    QDialog dialog;
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(korvex::ui::makeDialogHeader(&dialog, QStringLiteral(":/icons/lock.svg"),
                                                   QStringLiteral("You've Been Idle"),
                                                   QStringLiteral("Enter your master password.")));
    layout->addStretch();
    dialog.resize(420, 200);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    auto* icon = dialog.findChild<QLabel*>(QLatin1String(korvex::ui::kDialogHeaderIconName));
    auto* heading = dialog.findChild<QLabel*>(QLatin1String(korvex::ui::kDialogHeaderHeadingName));
    auto* subtext = dialog.findChild<QLabel*>(QLatin1String(korvex::ui::kDialogHeaderSubtextName));
    QVERIFY(icon != nullptr && heading != nullptr && subtext != nullptr);

    QCOMPARE(icon->size(), QSize(40, 40));
    QCOMPARE(icon->pixmap().deviceIndependentSize(), QSizeF(40, 40));
    QCOMPARE(heading->property("role").toString(), QStringLiteral("heading"));
    QCOMPARE(subtext->property("role").toString(), QStringLiteral("subtext"));
    QCOMPARE(heading->text(), QStringLiteral("You've Been Idle"));
    QVERIFY(subtext->wordWrap());

    // Icon, 10 pixels, then the texts, the heading 2 pixels above the subtext.
    const QRect iconRect = icon->geometry();
    const QRect headingRect = heading->geometry();
    const QRect subtextRect = subtext->geometry();
    QCOMPARE(headingRect.left() - iconRect.right() - 1, 10);
    QCOMPARE(subtextRect.left(), headingRect.left());
    QCOMPARE(subtextRect.top() - headingRect.bottom() - 1, 2);
}

QTEST_MAIN(TestTheme)
#include "tst_theme.moc"
