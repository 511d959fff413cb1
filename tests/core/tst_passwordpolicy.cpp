#include "core/PasswordPolicy.h"

#include <QTest>

using korvex::core::passwordPolicyViolation;

namespace {

const QString kLength = QStringLiteral("Must be at least 12 characters.");
const QString kUpper = QStringLiteral("Must include at least one uppercase letter.");
const QString kLower = QStringLiteral("Must include at least one lowercase letter.");
const QString kDigit = QStringLiteral("Must include at least one number.");
const QString kSymbol = QStringLiteral("Must include at least one symbol (e.g. !@#$%).");

// U+1F600, outside the Basic Multilingual Plane: two UTF-16 units.
const QString kEmoji = QString::fromUtf8("\xF0\x9F\x98\x80");

} // namespace

class TestPasswordPolicy : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void violation_data();
    void violation();
};

void TestPasswordPolicy::violation_data() {
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty") << QString() << kLength;
    QTest::newRow("11 units with every class") << QStringLiteral("Abcdefgh1!x") << kLength;
    QTest::newRow("12 units, one of each class plus eight")
        << QStringLiteral("Aa1!aaaaaaaa") << QString();
    QTest::newRow("13 units, no uppercase") << QStringLiteral("abcdefghijk1!") << kUpper;
    // Several rules broken: only the first one in the order is reported...
    QTest::newRow("no uppercase and no digit") << QStringLiteral("abcdefghijk!") << kUpper;
    // ...and fixing it reveals the next.
    QTest::newRow("uppercase added, still no digit") << QStringLiteral("Abcdefghijk!") << kDigit;
    QTest::newRow("no lowercase") << QStringLiteral("ABCDEFGHIJ1!") << kLower;
    QTest::newRow("no symbol") << QStringLiteral("Abcdefghij12") << kSymbol;
    QTest::newRow("space counts as a symbol") << QStringLiteral("Abcdef 12345") << QString();

    // Classes follow the Unicode categories, not ASCII ranges.
    QTest::newRow("accented uppercase is uppercase")
        << QString::fromUtf8("\xC3\x89") + QStringLiteral("bcdefghij1!") << QString();
    QTest::newRow("Arabic-Indic digit is a digit")
        << QStringLiteral("Abcdefghij!") + QChar(0x0663) << QString();
    QTest::newRow("superscript two is not a digit")
        << QStringLiteral("Abcdefghij!") + QChar(0x00B2) << kDigit;
    QTest::newRow("titlecase letter is not uppercase")
        << QChar(0x01C5) + QStringLiteral("bcdefghij1!") << kUpper;
    QTest::newRow("CJK ideograph is a symbol, not a letter")
        << QStringLiteral("Abcdefghij1") + QChar(0x4E2D) << QString();
    QTest::newRow("CJK ideographs do not supply a lowercase letter")
        << QString(10, QChar(0x4E2D)) + QStringLiteral("A1") << kLower;

    // Outside the BMP: two units of length, both symbols.
    QTest::newRow("astral character completes 12 units as the symbol")
        << QStringLiteral("Abcdefghi1") + kEmoji << QString();
    QTest::newRow("astral character, 11 units") << QStringLiteral("Abcdefgh1") + kEmoji << kLength;
    QTest::newRow("lone surrogate half is a symbol")
        << QStringLiteral("Abcdefghij1") + QChar(0xD800) << QString();
}

void TestPasswordPolicy::violation() {
    QFETCH(QString, password);
    QFETCH(QString, expected);
    QCOMPARE(passwordPolicyViolation(password), expected);
}

QTEST_GUILESS_MAIN(TestPasswordPolicy)
#include "tst_passwordpolicy.moc"
