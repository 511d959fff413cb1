#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace korvex::doctext {

// One worksheet of a workbook: rows in document order, position i of a row is column i (column
// A is 0), and positions without a value hold empty strings.
struct SheetData {
    QString title; // "Sheet N", N taken from the member name
    QList<QStringList> rows;
};

inline constexpr std::uint64_t kMaxWorkbookMembers = 100000;
// Shared strings and all worksheets of one workbook together, uncompressed.
inline constexpr std::uint64_t kWorkbookBudget = 67108864;
inline constexpr int kMaxColumnIndex = 16383; // XFD
inline constexpr int kMaxReferenceLetters = 3;
// A row is padded with empty strings up to its highest column, and the viewer shows a sheet as
// a table as wide as its widest row. A few bytes of XML (one cell at XFD, then a hundred thousand
// empty rows) would therefore ask for billions of table cells. The cells of a workbook are
// bounded by what its tables will hold: each sheet is charged rows x widest row (at least one
// per row), whatever it actually stores. Once the allowance is spent, the sheet being read ends
// where it is, as at an XML error (rows and cells read before stay), and later sheets are not
// read. A row costs at least one, so the rows of a workbook never exceed the allowance and the
// product cannot overflow. The shared-string table is bounded by its number of items.
inline constexpr std::int64_t kMaxWorkbookCells = 4194304;
inline constexpr std::int64_t kMaxSharedStrings = 4194304;

// The body text of a Word document (word/document.xml): paragraphs separated by one line feed,
// tabs and breaks kept. No value when the bytes are not a readable archive, the body is missing
// or refused, or the body is not well-formed XML.
std::optional<QString> extractWordText(QByteArrayView bytes);

// Every worksheet of a workbook, ordered by sheet number, then member name, with shared strings
// resolved. No value when the bytes are not a readable archive, the archive has more than
// kMaxWorkbookMembers members, or no worksheet could be extracted.
//
// Both extractors may throw std::bad_alloc; whatever document text they held by then is zeroed
// first.
std::optional<QList<SheetData>> extractSpreadsheet(QByteArrayView bytes);

} // namespace korvex::doctext
