#include "doctext/OfficeText.h"

#include "crypto/SecureWipe.h"
#include "doctext/ZipArchive.h"

#include <QXmlStreamReader>
#include <algorithm>
#include <utility>
#include <vector>

namespace korvex::doctext {

namespace {

constexpr char kWordBodyMember[] = "word/document.xml";
constexpr char kSharedStringsMember[] = "xl/sharedStrings.xml";
constexpr QByteArrayView kSheetPrefix = "xl/worksheets/sheet";
constexpr QByteArrayView kSheetSuffix = ".xml";

// Empties a text that held document content. A text still shared with a result (a cell value
// handed on) is only let go: its bytes belong to that result now.
void releaseText(QString& text) {
    if (text.isDetached())
        crypto::secureWipe(text);
    text.clear();
}

bool readWordBody(const QByteArray& xml, QString& text) {
    QXmlStreamReader reader(xml);
    bool inText = false;
    bool seenParagraph = false;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            const QStringView name = reader.name();
            if (name == u"p") {
                if (seenParagraph)
                    text.append(u'\n');
                seenParagraph = true;
            } else if (name == u"t") {
                inText = true;
            } else if (name == u"tab") {
                text.append(u'\t');
            } else if (name == u"br" || name == u"cr") {
                text.append(u'\n');
            }
            break;
        }
        case QXmlStreamReader::EndElement:
            if (reader.name() == u"t")
                inText = false;
            break;
        case QXmlStreamReader::Characters:
            if (inText)
                text.append(reader.text());
            break;
        default:
            break;
        }
    }
    return !reader.hasError();
}

// Each item is the concatenation of every `t` inside its `si`, so rich-text and phonetic runs
// both count. An XML error, or an item beyond kMaxSharedStrings, ends the list.
QStringList readSharedStrings(const QByteArray& xml) {
    QStringList items;
    QString current;
    bool inItem = false;
    bool inText = false;
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        const auto token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            const QStringView name = reader.name();
            if (name == u"si") {
                inItem = true;
                releaseText(current);
            } else if (name == u"t" && inItem) {
                inText = true;
            }
        } else if (token == QXmlStreamReader::EndElement) {
            const QStringView name = reader.name();
            if (name == u"si") {
                if (items.size() >= kMaxSharedStrings)
                    break;
                items.append(current);
                releaseText(current);
                inItem = false;
            } else if (name == u"t") {
                inText = false;
            }
        } else if (token == QXmlStreamReader::Characters && inText) {
            current.append(reader.text());
        }
    }
    releaseText(current);
    return items;
}

// The column index of a cell reference such as "AB12": letters up to the first digit, other
// characters skipped. -1 when the cell is to be dropped: no letter, more than three, or a column
// beyond XFD.
int columnIndex(QStringView reference) {
    int letters = 0;
    int column = 0;
    for (const QChar ch : reference) {
        const char16_t c = ch.unicode();
        if (c >= u'0' && c <= u'9')
            break;
        const bool upper = c >= u'A' && c <= u'Z';
        const bool lower = c >= u'a' && c <= u'z';
        if (!upper && !lower)
            continue;
        if (++letters > kMaxReferenceLetters)
            return -1;
        column = column * 26 + ((upper ? c : c - (u'a' - u'A')) - 64);
    }
    const int index = column - 1;
    return index < 0 || index > kMaxColumnIndex ? -1 : index;
}

class SheetReader {
public:
    SheetReader(const QStringList& sharedStrings, std::int64_t& cellAllowance)
        : sharedStrings_(sharedStrings), allowance_(cellAllowance) {}

    // Reads rows into `sheet` until the end, an XML error, or the cell allowance running out;
    // false in the last case.
    bool read(const QByteArray& xml, SheetData& sheet) {
        QXmlStreamReader reader(xml);
        bool withinAllowance = true;
        while (withinAllowance && !reader.atEnd()) {
            switch (reader.readNext()) {
            case QXmlStreamReader::StartElement:
                withinAllowance = startElement(reader, sheet);
                break;
            case QXmlStreamReader::EndElement: {
                const QStringView name = reader.name();
                if (name == u"v")
                    inValue_ = false;
                else if (name == u"t")
                    inInlineText_ = false;
                else if (name == u"c" && currentRow_ >= 0)
                    withinAllowance = storeCell(sheet.rows[currentRow_]);
                break;
            }
            case QXmlStreamReader::Characters:
                if (inValue_ || inInlineText_)
                    valueText_.append(reader.text());
                break;
            default:
                break;
            }
        }
        releaseText(valueText_);
        releaseText(cellReference_);
        return withinAllowance;
    }

private:
    bool startElement(const QXmlStreamReader& reader, SheetData& sheet) {
        const QStringView name = reader.name();
        if (name == u"row") {
            // Row numbers are not used: rows follow document order. The row is an index, not a
            // pointer, because appending rows moves them.
            if (allowance_ < 1)
                return false;
            --allowance_;
            sheet.rows.append(QStringList());
            currentRow_ = sheet.rows.size() - 1;
        } else if (name == u"c") {
            const QXmlStreamAttributes attributes = reader.attributes();
            cellType_ = attributes.value(QLatin1StringView("t")).toString();
            releaseText(cellReference_);
            cellReference_ = attributes.value(QLatin1StringView("r")).toString();
            releaseText(valueText_);
        } else if (name == u"v") {
            inValue_ = true;
        } else if (name == u"t" && cellType_ == u"inlineStr") {
            inInlineText_ = true;
        }
        return true;
    }

    bool storeCell(QStringList& row) {
        QString value;
        if (cellType_ == u"s") {
            bool ok = false;
            const qlonglong index = valueText_.toLongLong(&ok, 10);
            if (ok && index >= 0 && index < sharedStrings_.size())
                value = sharedStrings_.at(static_cast<qsizetype>(index));
        } else {
            value = valueText_;
        }
        if (value.isEmpty())
            return true;
        const int column = columnIndex(cellReference_);
        if (column < 0)
            return true;
        if (row.size() <= column) {
            const qsizetype added = column + 1 - row.size();
            if (added > allowance_)
                return false;
            allowance_ -= added;
            row.resize(column + 1);
        }
        releaseText(row[column]);
        row[column] = std::move(value);
        return true;
    }

    const QStringList& sharedStrings_;
    std::int64_t& allowance_;
    QString cellType_;
    QString cellReference_;
    QString valueText_;
    bool inValue_ = false;
    bool inInlineText_ = false;
    qsizetype currentRow_ = -1;
};

struct SheetMember {
    int number = 0;
    QByteArray name;
    std::uint64_t index = 0;
};

std::optional<SheetMember> sheetMember(const ZipMemberInfo& info, std::uint64_t index) {
    const QByteArray& name = info.name;
    if (name.size() < kSheetPrefix.size() + kSheetSuffix.size() || !name.startsWith(kSheetPrefix) ||
        !name.endsWith(kSheetSuffix))
        return std::nullopt;
    const QByteArray digits =
        name.mid(kSheetPrefix.size(), name.size() - kSheetPrefix.size() - kSheetSuffix.size());
    bool ok = false;
    const int number = digits.toInt(&ok, 10);
    return SheetMember{ok ? number : 0, name, index};
}

} // namespace

std::optional<QString> extractWordText(QByteArrayView bytes) {
    std::optional<QByteArray> body;
    {
        auto archive = ZipArchive::open(bytes);
        if (!archive)
            return std::nullopt;
        body = extractZipMember(*archive, kWordBodyMember, nullptr);
    }
    if (!body)
        return std::nullopt;
    QString text;
    const bool wellFormed = readWordBody(*body, text);
    crypto::secureWipe(*body);
    if (!wellFormed) {
        crypto::secureWipe(text);
        return std::nullopt;
    }
    return text;
}

std::optional<QList<SheetData>> extractSpreadsheet(QByteArrayView bytes) {
    auto archive = ZipArchive::open(bytes);
    if (!archive)
        return std::nullopt;
    // Counted first: an archive refused for its size is not inflated at all.
    const std::uint64_t memberCount = archive->memberCount();
    if (memberCount > kMaxWorkbookMembers)
        return std::nullopt;

    std::uint64_t budget = kWorkbookBudget;
    QStringList sharedStrings;
    if (auto xml = extractZipMember(*archive, kSharedStringsMember, &budget)) {
        sharedStrings = readSharedStrings(*xml);
        crypto::secureWipe(*xml);
    }

    std::vector<SheetMember> members;
    for (std::uint64_t index = 0; index < memberCount; ++index) {
        if (const auto info = archive->memberInfo(index)) {
            if (auto member = sheetMember(*info, index))
                members.push_back(std::move(*member));
        }
    }
    std::stable_sort(members.begin(), members.end(), [](const auto& a, const auto& b) {
        return a.number != b.number ? a.number < b.number : a.name < b.name;
    });

    // Sheets are extracted by index rather than looked up by name again: a name lookup that
    // ignores case scans every member, which for many sheets would cost quadratic time, and an
    // index also reads exactly the member that was listed when names repeat.
    QList<SheetData> sheets;
    std::int64_t cellAllowance = kMaxWorkbookCells;
    for (const SheetMember& member : members) {
        auto xml = extractZipMember(*archive, member.index, &budget);
        if (!xml)
            continue;
        SheetData sheet;
        sheet.title = QStringLiteral("Sheet %1").arg(member.number);
        const bool withinAllowance = SheetReader(sharedStrings, cellAllowance).read(*xml, sheet);
        crypto::secureWipe(*xml);
        sheets.append(std::move(sheet));
        if (!withinAllowance)
            break;
    }
    archive->close();
    for (QString& text : sharedStrings)
        releaseText(text);

    if (sheets.isEmpty())
        return std::nullopt;
    return sheets;
}

} // namespace korvex::doctext
