#pragma once

#include "protect/OwnFiles.h"

#include <QString>
#include <QStringList>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace korvex::vault {
class VaultContainer;
} // namespace korvex::vault

namespace korvex::ui {

// The name an imported file takes beside an existing one: the complete base name (before the
// last dot), "_n" and the suffix (after the last dot), for the first n = 1, 2, ... that no name
// in taken bears exactly (case-sensitive). report.pdf -> report_1.pdf, archive.tar.gz ->
// archive.tar_1.gz, README -> README_1. Should every candidate up to 2147483647 be taken, the
// name comes back unchanged.
QString firstFreeCopyName(const QString& name, const QStringList& taken);

} // namespace korvex::ui

// The vault's files in a sortable, filterable table, with the four operations on them: import
// (the original is then securely erased), view in memory, export a decrypted copy and remove.
// Every outcome is reported in the status line under the table; only the replace-or-copy
// question and the removal confirmation are asked in message boxes.
class VaultBrowserWidget : public QWidget {
    Q_OBJECT

public:
    // The container is not owned and must outlive the widget. The table is filled at once.
    // ownFiles are the program's own files, which are never imported or exported onto.
    VaultBrowserWidget(korvex::vault::VaultContainer* container, QWidget* parent = nullptr,
                       korvex::protect::OwnFiles ownFiles = {});

    // The session wipe: every cell text and the status text are zeroed and cleared, the table
    // is left with no rows, the search text is cleared, and View, Export and Remove are
    // disabled. The table is not filled again.
    void clear();

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private Q_SLOTS:
    void onImportClicked();
    void onExportClicked();
    void onRemoveClicked();
    void onViewClicked();
    void onRowDoubleClicked(int row, int column);
    void onSearchTextChanged(const QString& text);

private:
    enum class ImportOutcome { Imported, Skipped, Failed, OriginalKept, Cancelled };
    // Imports each file in turn; several end in one summary line.
    void importFiles(const QStringList& paths);
    // One file, with its name question and the erase of the original; its own status line.
    ImportOutcome importOne(const QString& path);
    void refreshTable();
    void applySearchFilter(const QString& text);
    void setSelectionButtonsEnabled(bool enabled);
    void viewRow(int row);
    // The name in the row's Name cell; empty when the row has none.
    QString nameInRow(int row) const;
    // The row of the first selected item, or -1.
    int selectedRow() const;
    void wipeCells();
    QString ownFileImportMessage(const QString& fileName) const;
    QString ownFileExportMessage(const QString& name) const;
    void showFailure(const QString& text);
    void showSuccess(const QString& text);

    korvex::vault::VaultContainer* container_;
    korvex::protect::OwnFiles ownFiles_;
    QTableWidget* table_ = nullptr;
    QLineEdit* searchBox_ = nullptr;
    QPushButton* viewButton_ = nullptr;
    QPushButton* exportButton_ = nullptr;
    QPushButton* removeButton_ = nullptr;
    QLabel* statusLabel_ = nullptr;
};
