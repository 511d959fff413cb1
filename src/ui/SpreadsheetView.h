#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

class QComboBox;
class QTableWidget;

namespace korvex::ui {

// One worksheet as the viewer shows it: a title for the sheet chooser and the cell texts,
// row by row (position i of a row is column i).
struct SheetContent {
    QString title;
    QList<QStringList> rows;
};

// Zeroes every cell text of the rows in place and empties them.
void wipeRows(QList<QStringList>& rows);
// The same for every sheet.
void wipeSheets(QList<SheetContent>& sheets);

} // namespace korvex::ui

// Read-only table of a workbook's sheets. With two or more sheets a chooser above the table
// switches between them; with one, only the table is shown. The table cannot be edited or
// selected and has no context menu, so nothing can be copied out of it.
//
// The view keeps the sheets so that the chooser can refill the table; overwriteContent()
// zeroes both the table's cells and that copy. Only cells with text get an item: the table is
// as wide as the widest row, and most of a sparse sheet's positions stay empty.
class SpreadsheetView : public QWidget {
    Q_OBJECT

public:
    // Takes the sheets over (the caller's list is left empty) and shows the first one. Filling
    // the table may throw std::bad_alloc; the table and the sheets are overwritten before the
    // exception leaves. Should the widget itself fail to be created, the sheets stay in the
    // caller's list, for the caller to wipe.
    explicit SpreadsheetView(QList<korvex::ui::SheetContent>&& sheets, QWidget* parent = nullptr);
    ~SpreadsheetView() override;

    QTableWidget* table() const { return table_; }
    // Null with fewer than two sheets.
    QComboBox* sheetChooser() const { return chooser_; }

    // Refills the table with the sheet at index; an index outside the list is ignored.
    void showSheet(int index);

    // Replaces every cell text in the table with as many '0' characters, zeroes the text taken
    // out of it, empties the table, and zeroes the kept sheets. Safe to call more than once.
    void overwriteContent();

private:
    void build();
    void fillTable(const korvex::ui::SheetContent& sheet);
    void overwriteTable();

    QList<korvex::ui::SheetContent> sheets_;
    QTableWidget* table_ = nullptr;
    QComboBox* chooser_ = nullptr;
};
