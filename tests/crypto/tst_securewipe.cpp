#include "crypto/SecureWipe.h"

#include <QByteArray>
#include <QString>
#include <QtTest>
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

using namespace korvex::crypto;

namespace {

enum class Holder { StdString, ByteVector, CharVector, QtByteArray, QtString, RawRange };

bool allZero(const void* data, std::size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    return std::all_of(bytes, bytes + length, [](unsigned char b) { return b == 0; });
}

} // namespace

Q_DECLARE_METATYPE(Holder)

class TestSecureWipe : public QObject {
    Q_OBJECT

private slots:
    void zeroesInPlaceAndKeepsLength_data();
    void zeroesInPlaceAndKeepsLength();
    void qtCopiesHeldElsewhereAreLeftIntact();
    void nullAndEmptyInputsAreLeftAlone();
};

void TestSecureWipe::zeroesInPlaceAndKeepsLength_data() {
    QTest::addColumn<Holder>("holder");
    QTest::addColumn<int>("length");
    const struct {
        const char* name;
        Holder holder;
    } holders[] = {{"std::string", Holder::StdString},  {"byte vector", Holder::ByteVector},
                   {"char vector", Holder::CharVector}, {"QByteArray", Holder::QtByteArray},
                   {"QString", Holder::QtString},       {"pointer and length", Holder::RawRange}};
    // 1 and 15 stay inside std::string's inline storage, 300 is on the heap.
    for (const auto& h : holders)
        for (int length : {1, 15, 300})
            QTest::addRow("%s, %d", h.name, length) << h.holder << length;
}

void TestSecureWipe::zeroesInPlaceAndKeepsLength() {
    QFETCH(Holder, holder);
    QFETCH(int, length);
    const auto n = static_cast<std::size_t>(length);

    switch (holder) {
    case Holder::StdString: {
        std::string text(n, 'p');
        const char* before = text.data();
        secureWipe(text);
        QCOMPARE(text.size(), n);
        QVERIFY(text.data() == before);
        QVERIFY(allZero(text.data(), n));
        break;
    }
    case Holder::ByteVector: {
        std::vector<std::uint8_t> bytes(n, 0xA7);
        const std::uint8_t* before = bytes.data();
        secureWipe(bytes);
        QCOMPARE(bytes.size(), n);
        QVERIFY(bytes.data() == before);
        QVERIFY(allZero(bytes.data(), n));
        break;
    }
    case Holder::CharVector: {
        std::vector<char> bytes(n, 'k');
        const char* before = bytes.data();
        secureWipe(bytes);
        QCOMPARE(bytes.size(), n);
        QVERIFY(bytes.data() == before);
        QVERIFY(allZero(bytes.data(), n));
        break;
    }
    case Holder::QtByteArray: {
        QByteArray bytes(length, 's');
        const char* before = bytes.constData();
        secureWipe(bytes);
        QCOMPARE(bytes.size(), length);
        QVERIFY(bytes.constData() == before);
        QVERIFY(allZero(bytes.constData(), n));
        break;
    }
    case Holder::QtString: {
        // U+20AC has a non-zero byte in both halves of its UTF-16 code unit, so wiping only
        // size() bytes instead of size() code units would leave half of the text behind.
        QString text(length, QChar(0x20AC));
        const QChar* before = text.constData();
        secureWipe(text);
        QCOMPARE(text.size(), length);
        QVERIFY(text.constData() == before);
        QVERIFY(allZero(text.constData(), n * sizeof(QChar)));
        break;
    }
    case Holder::RawRange: {
        // Sentinels on both sides catch a wipe that starts early or runs long.
        std::vector<std::uint8_t> block(n + 8, 0x5E);
        secureWipe(block.data() + 4, n);
        QVERIFY(allZero(block.data() + 4, n));
        for (std::size_t i : {std::size_t(0), std::size_t(3), n + 4, n + 7})
            QCOMPARE(block[i], std::uint8_t(0x5E));
        break;
    }
    }
}

void TestSecureWipe::qtCopiesHeldElsewhereAreLeftIntact() {
    // Qt containers share their data implicitly; a wipe zeroes this holder's bytes only, and must
    // never write through into a copy another holder still uses, nor into read-only raw data.
    QByteArray original("shared password");
    QByteArray holder = original;
    secureWipe(holder);
    QCOMPARE(original, QByteArray("shared password"));
    QVERIFY(allZero(holder.constData(), std::size_t(holder.size())));

    QString originalText = QStringLiteral("shared passphrase");
    QString textHolder = originalText;
    secureWipe(textHolder);
    QCOMPARE(originalText, QStringLiteral("shared passphrase"));
    QCOMPARE(textHolder, QString(originalText.size(), QChar(0)));

    static const char readOnly[] = "constant bytes";
    QByteArray raw = QByteArray::fromRawData(readOnly, qsizetype(sizeof(readOnly) - 1));
    secureWipe(raw);
    QCOMPARE(QByteArray(readOnly), QByteArray("constant bytes"));
    QVERIFY(allZero(raw.constData(), std::size_t(raw.size())));
}

void TestSecureWipe::nullAndEmptyInputsAreLeftAlone() {
    secureWipe(nullptr, 16);

    std::array<std::uint8_t, 4> untouched{1, 2, 3, 4};
    secureWipe(untouched.data(), 0);
    QCOMPARE(untouched, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));

    std::string text;
    std::vector<std::uint8_t> bytes;
    std::vector<char> chars;
    QByteArray nullArray;
    QString nullString;
    QString emptyString("");
    secureWipe(text);
    secureWipe(bytes);
    secureWipe(chars);
    secureWipe(nullArray);
    secureWipe(nullString);
    secureWipe(emptyString);
    QVERIFY(text.empty());
    QVERIFY(bytes.empty());
    QVERIFY(chars.empty());
    QVERIFY(nullArray.isNull());
    QVERIFY(nullString.isNull());
    QVERIFY(emptyString.isEmpty() && !emptyString.isNull());
}

QTEST_APPLESS_MAIN(TestSecureWipe)
#include "tst_securewipe.moc"
