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
// A row is padded with empty strings up to its highest column, so a few bytes of XML (one cell
// at XFD) can ask for 16384 strings. The cell positions of a workbook, counting each row as one,
// are therefore bounded; once they are spent, the sheet being read ends where it is, as at an XML
// error, and later sheets are not read. The shared-string table is bounded the same way.
inline constexpr std::int64_t kMaxWorkbookCells = 4194304;
inline constexpr std::int64_t kMaxSharedStrings = 4194304;

// The body text of a Word document (word/document.xml): paragraphs separated by one line feed,
// tabs and breaks kept. No value when the bytes are not a readable archive, the body is missing
// or refused, or the body is not well-formed XML.
std::optional<QString> extractWordText(QByteArrayView bytes);

// Every worksheet of a workbook, ordered by sheet number, then member name, with shared strings
// resolved. No value when the bytes are not a readable archive, the archive has more than
// kMaxWorkbookMembers members, or no worksheet could be extracted.
std::optional<QList<SheetData>> extractSpreadsheet(QByteArrayView bytes);

} // namespace korvex::doctext
