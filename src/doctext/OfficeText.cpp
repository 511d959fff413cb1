#include "doctext/OfficeText.h"

#include "crypto/SecureWipe.h"
#include "doctext/ZipArchive.h"

#include <QXmlStreamReader>
#include <algorithm>
#include <limits>
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

void releaseRows(QList<QStringList>& rows) {
    for (QStringList& row : rows) {
        for (QString& cell : row)
            releaseText(cell);
        row.clear();
    }
    rows.clear();
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
// both count. An XML error, or an item beyond kMaxSharedStrings, ends the list. Items go into
// the caller's list, so that on running out of memory the caller still holds (and wipes) those
// read before.
void readSharedStrings(const QByteArray& xml, QStringList& items) {
    QString current;
    bool inItem = false;
    bool inText = false;
    QXmlStreamReader reader(xml);
    try {
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
    } catch (...) {
        releaseText(current);
        throw;
    }
    releaseText(current);
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

// The viewer shows a sheet as a table as wide as its widest row, so what a sheet costs is that
// rectangle: rows x width, the width being the widest row read so far and at least one. A new
// row costs the current width; a cell beyond it widens every row read so far, the new one
// included.
static_assert(kMaxWorkbookCells <= std::numeric_limits<std::int64_t>::max() / (kMaxColumnIndex + 1),
              "rows x width must fit: a row costs at least one, a width is at most XFD");

class SheetReader {
public:
    SheetReader(const QStringList& sharedStrings, std::int64_t& cellAllowance)
        : sharedStrings_(sharedStrings), allowance_(cellAllowance) {}
    ~SheetReader() {
        releaseText(valueText_);
        releaseText(cellReference_);
    }
    SheetReader(const SheetReader&) = delete;
    SheetReader& operator=(const SheetReader&) = delete;

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
                    withinAllowance = storeCell(sheet.rows);
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
        return withinAllowance;
    }

private:
    bool startElement(const QXmlStreamReader& reader, SheetData& sheet) {
        const QStringView name = reader.name();
        if (name == u"row") {
            // Row numbers are not used: rows follow document order. The row is an index, not a
            // pointer, because appending rows moves them.
            if (width_ > allowance_)
                return false;
            allowance_ -= width_;
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

    bool storeCell(QList<QStringList>& rows) {
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
        if (!widenTo(column + 1, rows.size()))
            return false;
        QStringList& row = rows[currentRow_];
        if (row.size() <= column)
            row.resize(column + 1);
        releaseText(row[column]);
        row[column] = std::move(value);
        return true;
    }

    bool widenTo(qsizetype width, qsizetype rowCount) {
        if (width <= width_)
            return true;
        // rowCount <= kMaxWorkbookCells, width - width_ <= kMaxColumnIndex: see the assertion.
        const std::int64_t added = std::int64_t{rowCount} * (width - width_);
        if (added > allowance_)
            return false;
        allowance_ -= added;
        width_ = width;
        return true;
    }

    const QStringList& sharedStrings_;
    std::int64_t& allowance_;
    qsizetype width_ = 1;
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
    bool wellFormed = false;
    try {
        wellFormed = readWordBody(*body, text);
    } catch (...) {
        // Out of memory part way: the text read so far is as secret as the whole.
        crypto::secureWipe(*body);
        crypto::secureWipe(text);
        throw;
    }
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
    QList<SheetData> sheets;
    std::optional<QByteArray> xml;
    try {
        xml = extractZipMember(*archive, kSharedStringsMember, &budget);
        if (xml) {
            readSharedStrings(*xml, sharedStrings);
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
        // ignores case scans every member, which for many sheets would cost quadratic time, and
        // an index also reads exactly the member that was listed when names repeat. Each sheet
        // is read in place at the end of the list, so that running out of memory part way
        // leaves every cell read so far where the wipe below finds it.
        std::int64_t cellAllowance = kMaxWorkbookCells;
        for (const SheetMember& member : members) {
            xml = extractZipMember(*archive, member.index, &budget);
            if (!xml)
                continue;
            sheets.append(SheetData{QStringLiteral("Sheet %1").arg(member.number), {}});
            const bool withinAllowance =
                SheetReader(sharedStrings, cellAllowance).read(*xml, sheets.last());
            crypto::secureWipe(*xml);
            if (!withinAllowance)
                break;
        }
    } catch (...) {
        if (xml)
            crypto::secureWipe(*xml);
        for (SheetData& sheet : sheets)
            releaseRows(sheet.rows);
        for (QString& text : sharedStrings)
            releaseText(text);
        throw;
    }
    archive->close();
    for (QString& text : sharedStrings)
        releaseText(text);

    if (sheets.isEmpty())
        return std::nullopt;
    return sheets;
}

} // namespace korvex::doctext
