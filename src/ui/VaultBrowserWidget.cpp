#include "ui/VaultBrowserWidget.h"

#include "crypto/PlaintextBuffer.h"
#include "crypto/SecureWipe.h"
#include "protect/FileProtection.h"
#include "ui/BackgroundTask.h"
#include "ui/FileViewerDialog.h"
#include "ui/Theme.h"
#include "vault/VaultContainer.h"

#include <QAbstractItemView>
#include <QAction>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSet>
#include <QTableWidget>
#include <QTableWidgetItem>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>
#include <new>
#include <optional>

namespace {

constexpr int kNameColumn = 0;
constexpr int kSizeColumn = 1;
constexpr int kImportedColumn = 2;
constexpr int kIconSide = 18;

const QString kFailureStyle = QStringLiteral("color: #FF7A7A;");

// Name column: ordered by text without regard to letter case.
class CaseInsensitiveTableWidgetItem : public QTableWidgetItem {
public:
    explicit CaseInsensitiveTableWidgetItem(const QString& text) : QTableWidgetItem(text) {}

    bool operator<(const QTableWidgetItem& other) const override {
        return text().compare(other.text(), Qt::CaseInsensitive) < 0;
    }
};

// Size and Imported columns: shown as text, ordered by a number carried beside it.
class NumericTableWidgetItem : public QTableWidgetItem {
public:
    NumericTableWidgetItem(const QString& text, qint64 sortKey)
        : QTableWidgetItem(text), sortKey_(sortKey) {}

    bool operator<(const QTableWidgetItem& other) const override {
        if (const auto* numeric = dynamic_cast<const NumericTableWidgetItem*>(&other))
            return sortKey_ < numeric->sortKey_;
        return QTableWidgetItem::operator<(other);
    }

private:
    qint64 sortKey_;
};

// Takes the text out of an item and zeroes it. Once the item has let go of its value this copy
// is the only holder of the characters, so they are zeroed where they lay.
void wipeItemText(QTableWidgetItem* item) {
    if (item == nullptr)
        return;
    QString text = item->text();
    // The tool tip shares the name's characters; it lets go first.
    item->setToolTip(QString());
    item->setText(QString());
    korvex::crypto::secureWipe(text);
}

} // namespace

namespace korvex::ui {

QString firstFreeCopyName(const QString& name, const QStringList& taken) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString base = dot < 0 ? name : name.left(dot);
    const QString suffix = dot < 0 ? QString() : name.mid(dot + 1);
    const QSet<QString> takenNames(taken.cbegin(), taken.cend());
    // One arg() call each, so that a name holding "%1" is never taken for a placeholder.
    for (int n = 1; n < std::numeric_limits<int>::max(); ++n) {
        const QString number = QString::number(n);
        const QString candidate = suffix.isEmpty()
                                      ? QStringLiteral("%1_%2").arg(base, number)
                                      : QStringLiteral("%1_%2.%3").arg(base, number, suffix);
        if (!takenNames.contains(candidate))
            return candidate;
    }
    return name;
}

} // namespace korvex::ui

VaultBrowserWidget::VaultBrowserWidget(korvex::vault::VaultContainer* container, QWidget* parent,
                                       korvex::protect::OwnFiles ownFiles)
    : QWidget(parent), container_(container), ownFiles_(std::move(ownFiles)) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(16, 16, 16, 16);

    auto* plate = new QFrame(this);
    plate->setObjectName(QStringLiteral("plate"));
    outer->addWidget(plate);

    auto* inner = new QVBoxLayout(plate);
    inner->setContentsMargins(18, 18, 18, 18);
    inner->setSpacing(14);

    const QSize iconSize(kIconSide, kIconSide);

    // The Import button is never disabled, so it is not kept.
    auto* importButton = new QPushButton(tr("Import..."), plate);
    importButton->setObjectName(QStringLiteral("importButton"));
    importButton->setProperty("accent", true);
    importButton->setIcon(korvex::ui::loadIcon(QStringLiteral(":/icons/import.svg")));
    importButton->setIconSize(iconSize);
    importButton->setToolTip(
        tr("Import a file into the vault. The original is securely erased afterward."));

    viewButton_ = new QPushButton(tr("View"), plate);
    viewButton_->setObjectName(QStringLiteral("viewButton"));
    viewButton_->setToolTip(tr("View images, text, and PDFs without leaving the vault."));

    exportButton_ = new QPushButton(tr("Export..."), plate);
    exportButton_->setObjectName(QStringLiteral("exportButton"));
    exportButton_->setIcon(korvex::ui::loadIcon(QStringLiteral(":/icons/export.svg")));
    exportButton_->setIconSize(iconSize);
    exportButton_->setToolTip(
        tr("Export a file out of the vault, decrypted, to a location you choose."));

    removeButton_ = new QPushButton(tr("Remove"), plate);
    removeButton_->setObjectName(QStringLiteral("removeButton"));
    removeButton_->setIcon(korvex::ui::loadIcon(QStringLiteral(":/icons/remove.svg")));
    removeButton_->setIconSize(iconSize);

    searchBox_ = new QLineEdit(plate);
    searchBox_->setObjectName(QStringLiteral("vaultSearchBox"));
    searchBox_->setPlaceholderText(tr("Search"));
    searchBox_->setClearButtonEnabled(true);
    searchBox_->setMaximumWidth(220);

    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(importButton);
    buttonRow->addWidget(viewButton_);
    buttonRow->addWidget(exportButton_);
    buttonRow->addWidget(removeButton_);
    buttonRow->addStretch();
    buttonRow->addWidget(searchBox_);
    inner->addLayout(buttonRow);

    table_ = new QTableWidget(0, 3, plate);
    table_->setObjectName(QStringLiteral("vaultTable"));
    table_->setHorizontalHeaderLabels({tr("Name"), tr("Size"), tr("Imported")});
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->setAlternatingRowColors(true);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Left alone, the header would start out sorting by name in descending order.
    table_->horizontalHeader()->setSortIndicator(kNameColumn, Qt::AscendingOrder);
    table_->setSortingEnabled(true);
    inner->addWidget(table_);

    // File names reach this label; as plain text a name that looks like markup stays a name.
    statusLabel_ = new QLabel(plate);
    statusLabel_->setObjectName(QStringLiteral("vaultStatusLabel"));
    statusLabel_->setProperty("role", QStringLiteral("subtext"));
    statusLabel_->setTextFormat(Qt::PlainText);
    statusLabel_->setWordWrap(true);
    inner->addWidget(statusLabel_);

    setSelectionButtonsEnabled(false);

    connect(importButton, &QPushButton::clicked, this, &VaultBrowserWidget::onImportClicked);
    connect(viewButton_, &QPushButton::clicked, this, &VaultBrowserWidget::onViewClicked);
    connect(exportButton_, &QPushButton::clicked, this, &VaultBrowserWidget::onExportClicked);
    connect(removeButton_, &QPushButton::clicked, this, &VaultBrowserWidget::onRemoveClicked);
    connect(table_, &QTableWidget::itemSelectionChanged, this,
            [this] { setSelectionButtonsEnabled(!table_->selectedItems().isEmpty()); });
    connect(table_, &QTableWidget::cellDoubleClicked, this,
            &VaultBrowserWidget::onRowDoubleClicked);
    connect(searchBox_, &QLineEdit::textChanged, this, &VaultBrowserWidget::onSearchTextChanged);

    // Keyboard: Enter views and Delete removes the selected file while the list has the focus;
    // Ctrl+O imports, Ctrl+E exports and Ctrl+F goes to the search box anywhere in the window.
    auto addShortcut = [this](QWidget* owner, const char* name, const QList<QKeySequence>& keys,
                              Qt::ShortcutContext context, auto slot) {
        auto* action = new QAction(owner);
        action->setObjectName(QLatin1String(name));
        action->setShortcuts(keys);
        action->setShortcutContext(context);
        owner->addAction(action);
        connect(action, &QAction::triggered, this, slot);
    };
    addShortcut(table_, "viewShortcut", {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)},
                Qt::WidgetShortcut, &VaultBrowserWidget::onViewClicked);
    addShortcut(table_, "removeShortcut", {QKeySequence(QKeySequence::Delete)}, Qt::WidgetShortcut,
                &VaultBrowserWidget::onRemoveClicked);
    addShortcut(this, "importShortcut", {QKeySequence(Qt::CTRL | Qt::Key_O)}, Qt::WindowShortcut,
                &VaultBrowserWidget::onImportClicked);
    addShortcut(this, "exportShortcut", {QKeySequence(Qt::CTRL | Qt::Key_E)}, Qt::WindowShortcut,
                &VaultBrowserWidget::onExportClicked);
    addShortcut(this, "searchShortcut", {QKeySequence(Qt::CTRL | Qt::Key_F)}, Qt::WindowShortcut,
                [this] {
                    searchBox_->setFocus(Qt::ShortcutFocusReason);
                    searchBox_->selectAll();
                });
    importButton->setToolTip(importButton->toolTip() + tr(" (Ctrl+O)"));
    exportButton_->setToolTip(exportButton_->toolTip() + tr(" (Ctrl+E)"));

    setAcceptDrops(true);
    refreshTable();
}

void VaultBrowserWidget::clear() {
    table_->setSortingEnabled(false);
    wipeCells();
    table_->clearContents();
    table_->setRowCount(0);
    table_->setSortingEnabled(true);
    setSelectionButtonsEnabled(false);

    QString status = statusLabel_->text();
    statusLabel_->clear();
    statusLabel_->setStyleSheet(QString());
    korvex::crypto::secureWipe(status);

    // What was typed may be part of a name.
    QString search = searchBox_->text();
    searchBox_->clear();
    korvex::crypto::secureWipe(search);
}

void VaultBrowserWidget::refreshTable() {
    const QList<korvex::vault::EntrySummary> entries =
        container_ != nullptr ? container_->listEntries() : QList<korvex::vault::EntrySummary>();

    table_->setSortingEnabled(false);
    wipeCells();
    table_->setRowCount(static_cast<int>(entries.size()));
    int row = 0;
    for (const korvex::vault::EntrySummary& entry : entries) {
        // A column too narrow for its text still shows all of it in the tool tip.
        auto* name = new CaseInsensitiveTableWidgetItem(entry.name);
        name->setToolTip(entry.name);
        table_->setItem(row, kNameColumn, name);
        auto* size =
            new NumericTableWidgetItem(QString::number(entry.size) + tr(" bytes"), entry.size);
        size->setToolTip(size->text());
        table_->setItem(row, kSizeColumn, size);
        table_->setItem(
            row, kImportedColumn,
            new NumericTableWidgetItem(entry.importedAt.toLocalTime().toString(Qt::ISODate),
                                       entry.importedAt.toSecsSinceEpoch()));
        ++row;
    }
    table_->setSortingEnabled(true);
    applySearchFilter(searchBox_->text());
    setSelectionButtonsEnabled(false);
}

void VaultBrowserWidget::onSearchTextChanged(const QString& text) {
    applySearchFilter(text);
}

void VaultBrowserWidget::applySearchFilter(const QString& text) {
    for (int row = 0; row < table_->rowCount(); ++row) {
        if (text.isEmpty()) {
            table_->setRowHidden(row, false);
            continue;
        }
        const QTableWidgetItem* item = table_->item(row, kNameColumn);
        table_->setRowHidden(row,
                             item == nullptr || !item->text().contains(text, Qt::CaseInsensitive));
    }
}

void VaultBrowserWidget::onImportClicked() {
    importFiles(QFileDialog::getOpenFileNames(this, tr("Import into vault"), QString(), QString(),
                                              nullptr, QFileDialog::DontUseNativeDialog));
}

void VaultBrowserWidget::importFiles(const QStringList& paths) {
    if (paths.isEmpty())
        return;
    if (paths.size() == 1) {
        const ImportOutcome outcome = importOne(paths.first());
        if (outcome != ImportOutcome::Skipped && outcome != ImportOutcome::Cancelled)
            refreshTable();
        return;
    }
    // Each file is asked about and erased as if it came alone; one line then sums them up,
    // followed by the first problem in its own words.
    int imported = 0;
    int skipped = 0;
    int failed = 0;
    int kept = 0;
    QString firstProblem;
    for (qsizetype i = 0; i < paths.size(); ++i) {
        // A session wiped while a question was open ends the batch: nothing more is read, and
        // no name is written back into the cleared window.
        if (container_ != nullptr && container_->isWiped())
            return;
        const ImportOutcome outcome = importOne(paths[i]);
        switch (outcome) {
        case ImportOutcome::Imported:
            ++imported;
            break;
        case ImportOutcome::Skipped:
            ++skipped;
            break;
        case ImportOutcome::OriginalKept:
            ++imported;
            ++kept;
            break;
        case ImportOutcome::Failed:
            ++failed;
            break;
        case ImportOutcome::Cancelled:
            ++skipped;
            break;
        }
        // Cancel stops the whole batch: what was not yet imported stays where it is.
        if (outcome == ImportOutcome::Cancelled) {
            skipped += int(paths.size() - i - 1);
            break;
        }
        if ((outcome == ImportOutcome::Failed || outcome == ImportOutcome::OriginalKept) &&
            firstProblem.isEmpty())
            firstProblem = statusLabel_->text();
    }
    if (container_ != nullptr && container_->isWiped())
        return;
    refreshTable();
    QString summary = imported == 1 ? tr("Imported 1 file") : tr("Imported %1 files").arg(imported);
    if (skipped > 0)
        summary += tr("; %1 skipped").arg(skipped);
    if (failed > 0)
        summary += tr("; %1 failed").arg(failed);
    if (kept > 0)
        summary += tr("; %1 original(s) could not be erased").arg(kept);
    if (firstProblem.isEmpty())
        showSuccess(summary);
    else
        showFailure(summary + QLatin1Char('\n') + firstProblem);
}

VaultBrowserWidget::ImportOutcome VaultBrowserWidget::importOne(const QString& path) {
    const QString originalName = QFileInfo(path).fileName();
    // The vault and its settings must never be read into the vault and then erased.
    if (ownFiles_.contains(path)) {
        showFailure(ownFileImportMessage(originalName));
        return ImportOutcome::Failed;
    }
    if (!korvex::protect::canDelete(path)) {
        showFailure(tr("Could not import \"%1\" -- you don't have permission to delete this "
                       "file, and this import flow always removes the original after copying "
                       "it in. Free up delete permission on it first, or move a copy somewhere "
                       "you can delete before importing it.")
                        .arg(originalName));
        return ImportOutcome::Failed;
    }
    if (container_ == nullptr) {
        showFailure(tr("Could not import \"%1\" (a file with that name may already be in the "
                       "vault).")
                        .arg(originalName));
        return ImportOutcome::Failed;
    }

    QString name = originalName;
    bool replaced = false;
    QStringList taken;
    for (const korvex::vault::EntrySummary& entry : container_->listEntries())
        taken.append(entry.name);
    if (taken.contains(name, Qt::CaseSensitive)) {
        QMessageBox box(QMessageBox::Question, tr("File Already Exists"),
                        tr("\"%1\" already exists in the vault.").arg(name), QMessageBox::NoButton,
                        this);
        box.setTextFormat(Qt::PlainText);
        box.setInformativeText(
            tr("Do you want to replace the existing file, or add this one as a separate copy?"));
        QPushButton* replace = box.addButton(tr("Replace"), QMessageBox::DestructiveRole);
        replace->setObjectName(QStringLiteral("importConflictReplaceButton"));
        QPushButton* copy = box.addButton(tr("Add as a Copy"), QMessageBox::AcceptRole);
        copy->setObjectName(QStringLiteral("importConflictCopyButton"));
        QPushButton* cancel = box.addButton(QMessageBox::Cancel);
        box.setDefaultButton(cancel);
        box.setEscapeButton(cancel);
        box.exec();

        const QAbstractButton* choice = box.clickedButton();
        if (choice == replace) {
            // The old file goes in the same commit that stores the new one: should the import
            // fail, the vault still holds the old one.
            replaced = true;
        } else if (choice == copy) {
            name = korvex::ui::firstFreeCopyName(name, taken);
        } else {
            return ImportOutcome::Skipped;
        }
    }

    // Read, encrypt, save and erase on the worker; the erase follows a commit and is never
    // left half done.
    korvex::vault::TransferProgress progress;
    bool stored = false;
    bool erased = false;
    korvex::ui::BackgroundTask::run(this, tr("Importing"), originalName, progress, [&] {
        stored = replaced ? container_->replaceFile(path, name, &progress)
                          : container_->importFile(path, name, &progress);
        if (stored)
            erased = korvex::protect::secureErase(path, &progress);
    });
    // The session was wiped meanwhile: nothing goes back into the cleared window.
    if (container_->isWiped())
        return stored ? ImportOutcome::Imported : ImportOutcome::Cancelled;
    if (!stored) {
        switch (container_->lastTransferError()) {
        case korvex::vault::TransferError::OutOfMemory:
            showFailure(
                tr("Could not import \"%1\" -- there is not enough memory to read the whole "
                   "file. The original was left where it is.")
                    .arg(name));
            break;
        case korvex::vault::TransferError::OwnStorage:
            showFailure(ownFileImportMessage(originalName));
            break;
        case korvex::vault::TransferError::NotRegularFile:
            showFailure(tr("Could not import \"%1\" -- it is not a regular file (a folder, device, "
                           "pipe or link).")
                            .arg(originalName));
            break;
        case korvex::vault::TransferError::Cancelled:
            showSuccess(tr("Import of \"%1\" cancelled. The vault and the original are unchanged.")
                            .arg(originalName));
            return ImportOutcome::Cancelled;
        case korvex::vault::TransferError::None:
        case korvex::vault::TransferError::Failed:
            showFailure(
                tr("Could not import \"%1\" (a file with that name may already be in the vault).")
                    .arg(name));
            break;
        }
        return ImportOutcome::Failed;
    }

    if (erased) {
        showSuccess(tr("Imported \"%1\" and securely erased the original.").arg(name));
        return ImportOutcome::Imported;
    }
    showFailure(tr("Imported \"%1\", but the original at \"%2\" could not be erased -- it's "
                   "still on disk.")
                    .arg(name, path));
    return ImportOutcome::OriginalKept;
}

// Files dropped on the window are imported as if chosen in the import dialog; anything that is
// not a local file (a link from a browser, text) is not accepted.
void VaultBrowserWidget::dragEnterEvent(QDragEnterEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    const bool allLocal =
        !urls.isEmpty() &&
        std::all_of(urls.begin(), urls.end(), [](const QUrl& url) { return url.isLocalFile(); });
    if (allLocal)
        event->acceptProposedAction();
}

void VaultBrowserWidget::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    }
    if (paths.isEmpty())
        return;
    event->acceptProposedAction();
    // The drag source waits until the drop returns: the questions and the work come after it.
    QMetaObject::invokeMethod(
        this, [this, paths] { importFiles(paths); }, Qt::QueuedConnection);
}

void VaultBrowserWidget::onExportClicked() {
    const int row = selectedRow();
    const QString name = nameInRow(row);
    if (name.isEmpty() || container_ == nullptr)
        return;

    const QString path = QFileDialog::getSaveFileName(this, tr("Export from vault"), name);
    if (path.isEmpty())
        return;
    // Writing into the data folder, or over the vault itself, would destroy what keeps it.
    if (ownFiles_.contains(path)) {
        showFailure(ownFileExportMessage(name));
        return;
    }
    korvex::vault::TransferProgress progress;
    bool exported = false;
    korvex::ui::BackgroundTask::run(this, tr("Exporting"), name, progress, [&] {
        exported = container_->exportFile(name, path, &progress);
    });
    if (container_->isWiped())
        return;
    if (exported) {
        showSuccess(tr("Exported \"%1\".").arg(name));
        return;
    }
    switch (container_->lastTransferError()) {
    case korvex::vault::TransferError::Cancelled:
        showSuccess(tr("Export of \"%1\" cancelled; nothing was written.").arg(name));
        break;
    case korvex::vault::TransferError::OutOfMemory:
        showFailure(tr("Could not export \"%1\" -- there is not enough memory to decrypt the "
                       "whole file.")
                        .arg(name));
        break;
    case korvex::vault::TransferError::OwnStorage:
        showFailure(ownFileExportMessage(name));
        break;
    case korvex::vault::TransferError::NotRegularFile:
        showFailure(tr("Could not export \"%1\" -- the chosen location is not a regular file (a "
                       "folder, device, pipe or link).")
                        .arg(name));
        break;
    case korvex::vault::TransferError::None:
    case korvex::vault::TransferError::Failed:
        showFailure(tr("Could not export \"%1\".").arg(name));
        break;
    }
}

void VaultBrowserWidget::onRemoveClicked() {
    const int row = selectedRow();
    const QString name = nameInRow(row);
    if (name.isEmpty() || container_ == nullptr)
        return;

    QMessageBox box(QMessageBox::Warning, tr("Remove From Vault"),
                    tr("Permanently remove \"%1\" from the vault?\n\nThis cannot be undone -- "
                       "there is no way to recover this file afterward.")
                        .arg(name),
                    QMessageBox::Yes | QMessageBox::Cancel, this);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::Cancel);
    if (box.exec() != QMessageBox::Yes)
        return;

    if (container_->removeFile(name)) {
        showSuccess(tr("Removed \"%1\" from the vault.").arg(name));
        refreshTable();
    } else {
        showFailure(tr("Could not remove \"%1\".").arg(name));
    }
}

void VaultBrowserWidget::onViewClicked() {
    const int row = selectedRow();
    if (row >= 0)
        viewRow(row);
}

void VaultBrowserWidget::onRowDoubleClicked(int row, int column) {
    Q_UNUSED(column);
    viewRow(row);
}

void VaultBrowserWidget::viewRow(int row) {
    const QString name = nameInRow(row);
    if (name.isEmpty())
        return;
    // A type the viewer cannot show gets its message without the file being decrypted at all.
    if (korvex::ui::viewerKindForFileName(name) == korvex::ui::ViewerKind::Unsupported) {
        FileViewerDialog viewer(QByteArray(), name, this);
        viewer.exec();
        return;
    }

    if (container_ == nullptr) {
        showFailure(tr("Could not open \"%1\" for viewing.").arg(name));
        return;
    }
    std::optional<korvex::crypto::PlaintextBuffer> content;
    bool outOfMemory = false;
    korvex::vault::TransferProgress progress;
    korvex::ui::BackgroundTask::run(this, tr("Opening"), name, progress, [&] {
        try {
            content = container_->readFile(name, &progress);
        } catch (const std::bad_alloc&) {
            // No memory for the whole file: nothing to show, and nothing to crash over.
            content.reset();
            outOfMemory = true;
        }
    });
    // Wiped while it was read: the plaintext goes at once and nothing is shown.
    if (container_->isWiped()) {
        content.reset();
        return;
    }
    if (progress.stopRequested()) {
        content.reset();
        showSuccess(tr("Opening \"%1\" cancelled.").arg(name));
        return;
    }
    if (content) {
        FileViewerDialog viewer(content->bytes(), name, this);
        // The viewer could not build its view (a working copy, the decoded text): say so here
        // rather than show an empty window.
        if (viewer.ranOutOfMemory())
            outOfMemory = true;
        else
            viewer.exec();
    }
    // Releasing the buffer zeroes the plaintext.
    const bool read = content.has_value();
    content.reset();
    if (outOfMemory)
        showFailure(
            tr("Could not open \"%1\" for viewing -- there is not enough memory.").arg(name));
    else if (!read)
        showFailure(tr("Could not open \"%1\" for viewing.").arg(name));
}

QString VaultBrowserWidget::nameInRow(int row) const {
    if (row < 0 || row >= table_->rowCount())
        return {};
    const QTableWidgetItem* item = table_->item(row, kNameColumn);
    return item != nullptr ? item->text() : QString();
}

int VaultBrowserWidget::selectedRow() const {
    const QList<QTableWidgetItem*> selected = table_->selectedItems();
    return selected.isEmpty() ? -1 : selected.first()->row();
}

// With sorting on, each emptied cell would move its row while the loop walks the table: the
// caller switches sorting off first.
void VaultBrowserWidget::wipeCells() {
    for (int row = 0; row < table_->rowCount(); ++row)
        for (int column = 0; column < table_->columnCount(); ++column)
            wipeItemText(table_->item(row, column));
}

void VaultBrowserWidget::setSelectionButtonsEnabled(bool enabled) {
    viewButton_->setEnabled(enabled);
    exportButton_->setEnabled(enabled);
    removeButton_->setEnabled(enabled);
}

QString VaultBrowserWidget::ownFileImportMessage(const QString& fileName) const {
    return tr("Could not import \"%1\" -- it is one of Zelvora's own files (the vault or its "
              "settings). Importing it would destroy it, so it was left as it is.")
        .arg(fileName);
}

QString VaultBrowserWidget::ownFileExportMessage(const QString& name) const {
    return tr("Could not export \"%1\" -- the chosen location is one of Zelvora's own files or "
              "folders. Choose a place outside Zelvora's data folder.")
        .arg(name);
}

void VaultBrowserWidget::showFailure(const QString& text) {
    statusLabel_->setStyleSheet(kFailureStyle);
    statusLabel_->setText(text);
}

void VaultBrowserWidget::showSuccess(const QString& text) {
    statusLabel_->setStyleSheet(QString());
    statusLabel_->setText(text);
}
