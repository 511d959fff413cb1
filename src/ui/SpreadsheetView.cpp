#include "ui/SpreadsheetView.h"

#include "crypto/SecureWipe.h"

#include <QComboBox>
#include <QHeaderView>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace korvex::ui {

void wipeRows(QList<QStringList>& rows) {
    for (QStringList& row : rows) {
        for (QString& cell : row)
            crypto::secureWipe(cell);
        row.clear();
    }
    rows.clear();
}

void wipeSheets(QList<SheetContent>& sheets) {
    for (SheetContent& sheet : sheets)
        wipeRows(sheet.rows);
}

} // namespace korvex::ui

using korvex::ui::SheetContent;

SpreadsheetView::SpreadsheetView(QList<SheetContent>&& sheets, QWidget* parent)
    : QWidget(parent), sheets_(std::move(sheets)) {
    setObjectName(QStringLiteral("fileViewerSpreadsheet"));
    try {
        build();
    } catch (...) {
        // The destructor does not run for a constructor that throws.
        overwriteContent();
        throw;
    }
}

void SpreadsheetView::build() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    if (sheets_.size() >= 2) {
        chooser_ = new QComboBox(this);
        chooser_->setObjectName(QStringLiteral("fileViewerSheetChooser"));
        for (const SheetContent& sheet : std::as_const(sheets_))
            chooser_->addItem(sheet.title);
        layout->addWidget(chooser_, 0, Qt::AlignLeft);
    }

    table_ = new QTableWidget(this);
    table_->setObjectName(QStringLiteral("fileViewerSheetTable"));
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionMode(QAbstractItemView::NoSelection);
    table_->setContextMenuPolicy(Qt::NoContextMenu);
    table_->setAlternatingRowColors(true);
    table_->setWordWrap(false);
    layout->addWidget(table_, 1);

    if (chooser_ != nullptr)
        connect(chooser_, &QComboBox::currentIndexChanged, this, &SpreadsheetView::showSheet);
    showSheet(0);
}

SpreadsheetView::~SpreadsheetView() {
    overwriteContent();
}

void SpreadsheetView::showSheet(int index) {
    if (index < 0 || index >= sheets_.size())
        return;
    // The table's old texts are as secret as the new ones: overwrite them before refilling.
    overwriteTable();
    fillTable(sheets_.at(index));
}

void SpreadsheetView::fillTable(const SheetContent& sheet) {
    table_->clear();
    qsizetype columns = 0;
    for (const QStringList& row : sheet.rows)
        columns = std::max(columns, row.size());
    // Columns first: rows added to a table that has its columns already extend the model's
    // cell list in one step, where columns added to existing rows are inserted row by row.
    table_->setColumnCount(static_cast<int>(columns));
    table_->setRowCount(static_cast<int>(sheet.rows.size()));
    for (qsizetype r = 0; r < sheet.rows.size(); ++r) {
        const QStringList& row = sheet.rows.at(r);
        for (qsizetype c = 0; c < row.size(); ++c) {
            // Padding gets no item: what bounds a sheet is the positions of its table, and an
            // item per position would cost many times more.
            if (!row.at(c).isEmpty())
                table_->setItem(static_cast<int>(r), static_cast<int>(c),
                                new QTableWidgetItem(row.at(c)));
        }
    }
}

void SpreadsheetView::overwriteTable() {
    if (table_ == nullptr)
        return;
    for (int r = 0; r < table_->rowCount(); ++r) {
        for (int c = 0; c < table_->columnCount(); ++c) {
            // Positions without text have no item.
            QTableWidgetItem* item = table_->item(r, c);
            if (item == nullptr)
                continue;
            // The copy shares the item's buffer; once the item lets go of it, this copy is the
            // last holder and the wipe zeroes that buffer in place.
            QString taken = item->text();
            if (taken.isEmpty())
                continue;
            item->setText(QString(taken.size(), QLatin1Char('0')));
            korvex::crypto::secureWipe(taken);
        }
    }
    table_->clearContents();
    table_->setRowCount(0);
}

void SpreadsheetView::overwriteContent() {
    overwriteTable();
    korvex::ui::wipeSheets(sheets_);
    sheets_.clear();
}
