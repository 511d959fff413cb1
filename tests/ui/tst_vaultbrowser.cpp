#include "crypto/AeadCipher.h"
#include "support/TestSupport.h"
#include "ui/FileViewerDialog.h"
#include "ui/VaultBrowserWidget.h"
#include "vault/FileBlockStore.h"
#include "vault/VaultContainer.h"

#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QtTest>
#include <cstdio>
#include <functional>
#include <grp.h>
#include <memory>
#include <optional>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvex;
using test::readWholeFile;
using test::writeFile;

using korvex::test::setMode;

namespace {

const QString kRed = QStringLiteral("color: #FF7A7A;");

QString importedText(const QString& name) {
    return QStringLiteral("Imported \"%1\" and securely erased the original.").arg(name);
}

QString importFailedText(const QString& name) {
    return QStringLiteral("Could not import \"%1\" (a file with that name may already be in "
                          "the vault).")
        .arg(name);
}

QString noDeletePermissionText(const QString& name) {
    return QStringLiteral(
               "Could not import \"%1\" -- you don't have permission to delete this file, and "
               "this import flow always removes the original after copying it in. Free up "
               "delete permission on it first, or move a copy somewhere you can delete before "
               "importing it.")
        .arg(name);
}

// Answers the modal dialogs the widget opens, in the order they are expected, from inside their
// own event loops. A modal widget nobody expected is recorded and rejected, so that a test
// never hangs on it.
class ModalScript : public QObject {
public:
    using Step = std::function<bool(QWidget*)>; // false: not the widget this step expects

    ModalScript() {
        timer_.setInterval(5);
        connect(&timer_, &QTimer::timeout, this, &ModalScript::poll);
        timer_.start();
    }

    // Chooses path in a file dialog, with a check on the dialog first.
    void fileDialog(
        const QString& path, std::function<void(QFileDialog*)> check = [](QFileDialog*) {},
        std::function<void()> afterAccept = [] {}) {
        steps_.append([=](QWidget* widget) {
            auto* dialog = qobject_cast<QFileDialog*>(widget);
            if (dialog == nullptr)
                return false;
            check(dialog);
            dialog->selectFile(path);
            QMetaObject::invokeMethod(dialog, "accept", Qt::DirectConnection);
            afterAccept();
            return true;
        });
    }

    void messageBox(std::function<void(QMessageBox*)> answer) {
        steps_.append([=](QWidget* widget) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (box == nullptr)
                return false;
            answer(box);
            return true;
        });
    }

    template <typename Dialog> void dialog(std::function<void(Dialog*)> answer) {
        steps_.append([=](QWidget* widget) {
            auto* dialog = qobject_cast<Dialog*>(widget);
            if (dialog == nullptr)
                return false;
            answer(dialog);
            return true;
        });
    }

    // Every expected dialog came, and nothing else did.
    bool finished() const { return steps_.isEmpty() && unexpected_.isEmpty(); }
    QStringList unexpected() const { return unexpected_; }

private:
    void poll() {
        QWidget* widget = QApplication::activeModalWidget();
        if (widget == nullptr || widget == handled_)
            return;
        handled_ = widget;
        if (!steps_.isEmpty() && steps_.first()(widget)) {
            steps_.removeFirst();
            return;
        }
        const auto* box = qobject_cast<QMessageBox*>(widget);
        unexpected_.append(QStringLiteral("%1 \"%2\" %3")
                               .arg(QString::fromLatin1(widget->metaObject()->className()),
                                    widget->windowTitle(),
                                    box != nullptr ? box->text() : QString()));
        if (auto* dialog = qobject_cast<QDialog*>(widget))
            dialog->reject();
        else
            widget->close();
    }

    QTimer timer_;
    QList<Step> steps_;
    QPointer<QWidget> handled_;
    QStringList unexpected_;
};

// Clicks the message-box button with this object name, or this standard button.
void clickButton(QMessageBox* box, const QString& objectName) {
    if (auto* button = box->findChild<QPushButton*>(objectName)) {
        button->click();
        return;
    }
    QFAIL(qPrintable(QStringLiteral("no button %1").arg(objectName)));
}

// Runs the rest of a scope as an ordinary user: the effective user and group become nobody's
// and the supplementary groups are dropped, so that the kernel's permission checks treat this
// process as that user. Everything is restored at the end of the scope.
class AsOrdinaryUser {
public:
    AsOrdinaryUser(uid_t uid, gid_t gid) {
        savedGroups_.resize(static_cast<std::size_t>(::getgroups(0, nullptr)));
        if (::getgroups(static_cast<int>(savedGroups_.size()), savedGroups_.data()) < 0)
            return;
        active_ = ::setgroups(0, nullptr) == 0 && ::setegid(gid) == 0 && ::seteuid(uid) == 0;
    }
    ~AsOrdinaryUser() {
        if (::seteuid(0) != 0 || ::setegid(0) != 0 ||
            ::setgroups(savedGroups_.size(), savedGroups_.data()) != 0)
            qFatal("could not return to the original user");
    }
    AsOrdinaryUser(const AsOrdinaryUser&) = delete;
    AsOrdinaryUser& operator=(const AsOrdinaryUser&) = delete;
    bool active() const { return active_; }

private:
    std::vector<gid_t> savedGroups_;
    bool active_ = false;
};

} // namespace

class TestVaultBrowser : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<vault::VaultContainer> vault_;
    std::unique_ptr<VaultBrowserWidget> widget_;

    // A file to import, in the folder "sources" (or the one given).
    QString source(const QString& name, const QByteArray& bytes,
                   const QString& folder = QStringLiteral("sources")) {
        const QString path = QDir(dir_->filePath(folder)).filePath(name);
        if (!QDir().mkpath(QFileInfo(path).path()) || !writeFile(path, bytes))
            return {};
        return path;
    }
    // Stores a file straight through the container, before the widget is built.
    bool store(const QString& name, const QByteArray& bytes) {
        const QString path = source(name, bytes, QStringLiteral("setup"));
        return !path.isEmpty() && vault_->importFile(path, name);
    }
    QString vaultPath() const { return dir_->filePath(QStringLiteral("vault.kvxs")); }
    QString dataFolder() const { return dir_->filePath(QStringLiteral("data")); }
    void buildWidget() {
        widget_ = std::make_unique<VaultBrowserWidget>(
            vault_.get(), nullptr, protect::OwnFiles::of(dataFolder(), vaultPath()));
        widget_->resize(800, 500);
        widget_->show();
    }

    QTableWidget* table() const { return widget_->findChild<QTableWidget*>("vaultTable"); }
    QLabel* status() const { return widget_->findChild<QLabel*>("vaultStatusLabel"); }
    QPushButton* button(const char* name) const { return widget_->findChild<QPushButton*>(name); }
    QLineEdit* searchBox() const { return widget_->findChild<QLineEdit*>("vaultSearchBox"); }

    // Column texts from top to bottom, hidden rows included.
    QStringList column(int index) const {
        QStringList texts;
        for (int row = 0; row < table()->rowCount(); ++row)
            texts.append(table()->item(row, index) ? table()->item(row, index)->text() : QString());
        return texts;
    }
    QStringList visibleNames() const {
        QStringList names;
        for (int row = 0; row < table()->rowCount(); ++row)
            if (!table()->isRowHidden(row))
                names.append(table()->item(row, 0)->text());
        return names;
    }
    int rowOf(const QString& name) const { return column(0).indexOf(name); }
    QStringList vaultNames() const {
        QStringList names;
        for (const vault::EntrySummary& entry : vault_->listEntries())
            names.append(entry.name);
        names.sort();
        return names;
    }
    QByteArray vaultContent(const QString& name) const {
        std::optional<crypto::PlaintextBuffer> content = vault_->readFile(name);
        if (!content)
            return QByteArrayLiteral("<missing>");
        return test::bytesOf(*content);
    }
    bool selectionButtonsEnabled() const {
        return button("viewButton")->isEnabled() && button("exportButton")->isEnabled() &&
               button("removeButton")->isEnabled();
    }
    bool selectionButtonsDisabled() const {
        return !button("viewButton")->isEnabled() && !button("exportButton")->isEnabled() &&
               !button("removeButton")->isEnabled();
    }
    void selectRow(const QString& name) { table()->selectRow(rowOf(name)); }

    // The ordinary user the permission cases run as; empty optional when there is none.
    static std::optional<std::pair<uid_t, gid_t>> ordinaryUser() {
        const passwd* nobody = ::getpwnam("nobody");
        if (::geteuid() != 0 || nobody == nullptr)
            return std::nullopt;
        return std::make_pair(nobody->pw_uid, nobody->pw_gid);
    }

private Q_SLOTS:
    void init();
    void cleanup();

    void copyNames_data();
    void copyNames();
    void importStoresErasesAndReports();
    void importConflict_data();
    void importConflict();
    void replaceThatFailsKeepsTheOldFile();
    void letterCaseOnlyMatchAsksNothing();
    void importRefusedWhenOriginalCannotBeDeleted_data();
    void importRefusedWhenOriginalCannotBeDeleted();
    void failedEraseKeepsBothCopiesAndSaysSo();
    void sortsNumericallyAndIgnoringCase();
    void searchFiltersAndSurvivesRefresh();
    void exportWritesExactBytes();
    void ownFilesAreNeverImportedOrExportedOnto_data();
    void ownFilesAreNeverImportedOrExportedOnto();
    void anExportWithoutMemoryIsReportedAndKeepsTheSession();
    void removeAsksFirst_data();
    void removeAsksFirst();
    void viewShowsContentAndReportsMissingEntries();
    void clearEmptiesEverything();
    void theKeyboardReachesEveryAction();
    void anUnsupportedTypeIsNotDecrypted();
    void severalDroppedFilesEndInOneSummary();
};

void TestVaultBrowser::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    // Reachable by the ordinary user some cases run as.
    QVERIFY(setMode(dir_->path(), 0755));
    const crypto::SecureBuffer key = crypto::AeadCipher::generateKey();
    vault_ = vault::VaultContainer::create(
        std::make_unique<vault::FileBlockStore>(dir_->filePath(QStringLiteral("vault.kvxs"))), key,
        QStringLiteral("test-machine"));
    QVERIFY(vault_);
}

void TestVaultBrowser::cleanup() {
    widget_.reset();
    vault_.reset();
    dir_.reset();
}

void TestVaultBrowser::copyNames_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("taken");
    QTest::addColumn<QString>("expected");

    QTest::newRow("suffix") << "report.pdf" << QStringList{"report.pdf"} << "report_1.pdf";
    QTest::newRow("next free") << "report.pdf"
                               << QStringList{"report.pdf", "report_1.pdf", "report_3.pdf"}
                               << "report_2.pdf";
    QTest::newRow("last dot only")
        << "archive.tar.gz" << QStringList{"archive.tar.gz"} << "archive.tar_1.gz";
    QTest::newRow("no dot") << "README" << QStringList{"README"} << "README_1";
    QTest::newRow("no dot, next") << "README" << QStringList{"README", "README_1"} << "README_2";
    QTest::newRow("placeholder-like name")
        << "50%1 off.txt" << QStringList{"50%1 off.txt"} << "50%1 off_1.txt";
    QTest::newRow("case matters") << "a.txt" << QStringList{"a.txt", "A_1.txt", "a_1.TXT"}
                                  << "a_1.txt";
}

void TestVaultBrowser::copyNames() {
    QFETCH(QString, name);
    QFETCH(QStringList, taken);
    QFETCH(QString, expected);
    QCOMPARE(ui::firstFreeCopyName(name, taken), expected);
}

void TestVaultBrowser::importStoresErasesAndReports() {
    QVERIFY(store(QStringLiteral("old.txt"), "old"));
    buildWidget();
    selectRow(QStringLiteral("old.txt"));
    QVERIFY(selectionButtonsEnabled());

    // A name that looks like markup is still shown as a name.
    const QString name = QStringLiteral("<b>plan.txt");
    const QByteArray content(1024, 'p');
    const QString path = source(name, content);

    ModalScript script;
    script.fileDialog(path, [](QFileDialog* dialog) {
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Import into vault"));
        QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFiles);
    });
    button("importButton")->click();
    QVERIFY2(script.finished(), qPrintable(script.unexpected().join('\n')));

    QVERIFY(!QFile::exists(path));
    QCOMPARE(vaultContent(name), content);
    QCOMPARE(status()->text(), importedText(name));
    QCOMPARE(status()->textFormat(), Qt::PlainText);
    QCOMPARE(status()->styleSheet(), QString());
    const int row = rowOf(name);
    QVERIFY(row >= 0);
    QCOMPARE(table()->item(row, 1)->text(), QStringLiteral("1024 bytes"));
    // The refresh leaves nothing enabled that needs a selection.
    QVERIFY(selectionButtonsDisabled());
}

void TestVaultBrowser::importConflict_data() {
    QTest::addColumn<QString>("choice"); // a button's object name, or "close"
    QTest::addColumn<QStringList>("expectedNames");
    QTest::addColumn<QByteArray>("storedContent"); // of "a.txt" afterwards
    QTest::addColumn<bool>("originalErased");
    QTest::addColumn<QString>("expectedStatus");

    QTest::newRow("add as a copy")
        << "importConflictCopyButton" << QStringList{"a.txt", "a_1.txt"} << QByteArray("old")
        << true << importedText(QStringLiteral("a_1.txt"));
    QTest::newRow("replace") << "importConflictReplaceButton" << QStringList{"a.txt"}
                             << QByteArray("new") << true << importedText(QStringLiteral("a.txt"));
    QTest::newRow("cancel") << "cancel" << QStringList{"a.txt"} << QByteArray("old") << false
                            << QString();
    QTest::newRow("box closed") << "close" << QStringList{"a.txt"} << QByteArray("old") << false
                                << QString();
}

void TestVaultBrowser::importConflict() {
    QFETCH(QString, choice);
    QFETCH(QStringList, expectedNames);
    QFETCH(QByteArray, storedContent);
    QFETCH(bool, originalErased);
    QFETCH(QString, expectedStatus);

    const QString name = QStringLiteral("a.txt");
    QVERIFY(store(name, "old"));
    buildWidget();
    const QString path = source(name, "new");

    ModalScript script;
    script.fileDialog(path);
    script.messageBox([&](QMessageBox* box) {
        QCOMPARE(box->windowTitle(), QStringLiteral("File Already Exists"));
        QCOMPARE(box->text(), QStringLiteral("\"a.txt\" already exists in the vault."));
        QCOMPARE(box->informativeText(),
                 QStringLiteral("Do you want to replace the existing file, or add this one as "
                                "a separate copy?"));
        QCOMPARE(box->textFormat(), Qt::PlainText);
        QVERIFY(box->defaultButton() == box->button(QMessageBox::Cancel));
        if (choice == QLatin1String("cancel"))
            box->button(QMessageBox::Cancel)->click();
        else if (choice == QLatin1String("close"))
            box->close();
        else
            clickButton(box, choice);
    });
    button("importButton")->click();
    QVERIFY2(script.finished(), qPrintable(script.unexpected().join('\n')));

    QCOMPARE(vaultNames(), expectedNames);
    QCOMPARE(vaultContent(name), storedContent);
    QCOMPARE(QFile::exists(path), !originalErased);
    QCOMPARE(status()->text(), expectedStatus);
    QStringList shown = column(0);
    shown.sort();
    QCOMPARE(shown, expectedNames);
    if (expectedNames.contains(QStringLiteral("a_1.txt")))
        QCOMPARE(vaultContent(QStringLiteral("a_1.txt")), QByteArray("new"));
}

void TestVaultBrowser::replaceThatFailsKeepsTheOldFile() {
    const QString name = QStringLiteral("a.txt");
    QVERIFY(store(name, QByteArray(10, 'o')));
    // Room for the old file, not for the new one.
    vault_->setMaxVaultSizeBytes(50);
    buildWidget();
    const QString path = source(name, QByteArray(100, 'n'));

    ModalScript script;
    script.fileDialog(path);
    script.messageBox(
        [](QMessageBox* box) { clickButton(box, QStringLiteral("importConflictReplaceButton")); });
    button("importButton")->click();
    QVERIFY2(script.finished(), qPrintable(script.unexpected().join('\n')));

    // The old file goes only in the commit that stores the new one: it is still there.
    QCOMPARE(vaultNames(), QStringList{name});
    QCOMPARE(vaultContent(name), QByteArray(10, 'o'));
    QCOMPARE(readWholeFile(path), QByteArray(100, 'n'));
    QCOMPARE(status()->text(), importFailedText(name));
    QCOMPARE(status()->styleSheet(), kRed);
    QCOMPARE(column(0), QStringList{name});
}

void TestVaultBrowser::letterCaseOnlyMatchAsksNothing() {
    QVERIFY(store(QStringLiteral("report.pdf"), "lower"));
    buildWidget();
    const QString path = source(QStringLiteral("REPORT.pdf"), "upper");

    ModalScript script;
    script.fileDialog(path);
    button("importButton")->click();
    QVERIFY2(script.finished(), qPrintable(script.unexpected().join('\n')));

    // The container tells the two names apart, so both are kept.
    QCOMPARE(vaultNames(), (QStringList{"REPORT.pdf", "report.pdf"}));
    QCOMPARE(status()->text(), importedText(QStringLiteral("REPORT.pdf")));
}

void TestVaultBrowser::importRefusedWhenOriginalCannotBeDeleted_data() {
    QTest::addColumn<bool>("asOrdinaryUser");
    // Gone between the choice and the import: counted as not deletable.
    QTest::newRow("file vanished") << false;
    // In a folder only root may write to.
    QTest::newRow("folder not writable for the user") << true;
}

void TestVaultBrowser::importRefusedWhenOriginalCannotBeDeleted() {
    QFETCH(bool, asOrdinaryUser);
    const auto user = ordinaryUser();
    if (asOrdinaryUser && !user)
        QSKIP("needs root and a user 'nobody' to act as an ordinary user");

    buildWidget();
    const QString name = QStringLiteral("locked.txt");
    const QString path = source(name, "keep me", QStringLiteral("rootonly"));
    QVERIFY(setMode(QFileInfo(path).path(), 0755));

    ModalScript script;
    if (asOrdinaryUser)
        script.fileDialog(path);
    else
        script.fileDialog(
            path, [](QFileDialog*) {}, [path] { QFile::remove(path); });
    {
        std::optional<AsOrdinaryUser> ordinary;
        if (asOrdinaryUser) {
            ordinary.emplace(user->first, user->second);
            QVERIFY(ordinary->active());
        }
        button("importButton")->click();
    }
    QVERIFY2(script.finished(), qPrintable(script.unexpected().join('\n')));

    QCOMPARE(status()->text(), noDeletePermissionText(name));
    QCOMPARE(status()->styleSheet(), kRed);
    QCOMPARE(vaultNames(), QStringList());
    if (asOrdinaryUser)
        QCOMPARE(readWholeFile(path), QByteArray("keep me"));
}

void TestVaultBrowser::failedEraseKeepsBothCopiesAndSaysSo() {
    const auto user = ordinaryUser();
    if (!user)
        QSKIP("needs root and a user 'nobody' to act as an ordinary user");

    buildWidget();
    // The user may delete the file from its open folder but not overwrite it, which the
    // secure erase must do first.
    const QString name = QStringLiteral("readonly.txt");
    const QString path = source(name, "stays", QStringLiteral("open"));
    QVERIFY(setMode(QFileInfo(path).path(), 0777));
    QVERIFY(setMode(path, 0444));

    ModalScript script;
    script.fileDialog(path);
    {
        AsOrdinaryUser ordinary(user->first, user->second);
        QVERIFY(ordinary.active());
        button("importButton")->click();
    }
    QVERIFY2(script.finished(), qPrintable(script.unexpected().join('\n')));

    QCOMPARE(status()->text(), QStringLiteral("Imported \"%1\", but the original at \"%2\" could "
                                              "not be erased -- it's still on disk.")
                                   .arg(name, path));
    QCOMPARE(status()->styleSheet(), kRed);
    QCOMPARE(readWholeFile(path), QByteArray("stays"));
    QCOMPARE(vaultContent(name), QByteArray("stays"));
    QCOMPARE(column(0), QStringList{name});
}

void TestVaultBrowser::sortsNumericallyAndIgnoringCase() {
    QVERIFY(store(QStringLiteral("B.bin"), QByteArray(1024, 'x')));
    QVERIFY(store(QStringLiteral("a.bin"), QByteArray(900, 'x')));
    QVERIFY(store(QStringLiteral("c.bin"), QByteArray(5, 'x')));
    buildWidget();

    table()->sortByColumn(1, Qt::AscendingOrder);
    QCOMPARE(column(1), (QStringList{"5 bytes", "900 bytes", "1024 bytes"}));
    table()->sortByColumn(1, Qt::DescendingOrder);
    QCOMPARE(column(1), (QStringList{"1024 bytes", "900 bytes", "5 bytes"}));
    table()->sortByColumn(0, Qt::AscendingOrder);
    QCOMPARE(column(0), (QStringList{"a.bin", "B.bin", "c.bin"}));
}

void TestVaultBrowser::searchFiltersAndSurvivesRefresh() {
    QVERIFY(store(QStringLiteral("report.pdf"), "r"));
    QVERIFY(store(QStringLiteral("notes.txt"), "n"));
    buildWidget();

    searchBox()->setText(QStringLiteral("PDF"));
    QCOMPARE(visibleNames(), QStringList{"report.pdf"});

    // A refresh (here after an import) keeps the filter while the text stays.
    ModalScript script;
    script.fileDialog(source(QStringLiteral("todo.txt"), "t"));
    button("importButton")->click();
    QVERIFY2(script.finished(), qPrintable(script.unexpected().join('\n')));
    QCOMPARE(table()->rowCount(), 3);
    QCOMPARE(visibleNames(), QStringList{"report.pdf"});

    searchBox()->clear();
    QCOMPARE(visibleNames().size(), 3);
}

// The vault and the settings beside it must never be read into the vault (the import would
// then erase "the original") nor written over by an export.
void TestVaultBrowser::ownFilesAreNeverImportedOrExportedOnto_data() {
    QTest::addColumn<bool>("import");
    QTest::addColumn<QString>("target"); // relative to the test folder
    QTest::newRow("import the vault") << true << "vault.kvxs";
    QTest::newRow("import a settings file") << true << "data/identity.dat";
    QTest::newRow("export onto the vault") << false << "vault.kvxs";
    QTest::newRow("export into the data folder") << false << "data/new.txt";
}

void TestVaultBrowser::ownFilesAreNeverImportedOrExportedOnto() {
    QFETCH(bool, import);
    QFETCH(QString, target);
    QVERIFY(store(QStringLiteral("kept.txt"), "kept"));
    QVERIFY(QDir().mkpath(dataFolder()));
    QVERIFY(writeFile(dataFolder() + QStringLiteral("/identity.dat"), "account"));
    buildWidget();
    const QString path = dir_->filePath(target);
    const QByteArray before = readWholeFile(path);
    const bool existed = QFile::exists(path);
    if (!import)
        selectRow(QStringLiteral("kept.txt"));

    ModalScript script;
    // The user has already agreed to replace an existing file: the refusal must come anyway.
    script.fileDialog(path, [](QFileDialog* dialog) {
        dialog->setOption(QFileDialog::DontConfirmOverwrite, true);
    });
    button(import ? "importButton" : "exportButton")->click();
    QVERIFY2(script.finished(), qPrintable(script.unexpected().join('\n')));

    QCOMPARE(status()->styleSheet(), kRed);
    QVERIFY2(status()->text().contains(QStringLiteral("Zelvora's own files")),
             qPrintable(status()->text()));
    QCOMPARE(QFile::exists(path), existed);
    QCOMPARE(readWholeFile(path), before);
    QCOMPARE(vaultNames(), QStringList{QStringLiteral("kept.txt")});
    QCOMPARE(vaultContent(QStringLiteral("kept.txt")), QByteArray("kept"));
}

// No memory for the whole file (an address-space limit here): the import fails with its own
// words, the original stays, and the vault and the session go on.
// An export decrypts the whole file in memory first; without room for it the user is told so,
// nothing is written, and the session goes on.
void TestVaultBrowser::anExportWithoutMemoryIsReportedAndKeepsTheSession() {
    const QString source = dir_->filePath(QStringLiteral("sources/large.bin"));
    QVERIFY(QDir().mkpath(QFileInfo(source).path()));
    {
        QFile large(source);
        QVERIFY(large.open(QIODevice::WriteOnly) && large.resize(qint64(384) << 20));
    }
    QVERIFY(vault_->importFile(source, QStringLiteral("large.bin")));
    buildWidget();
    selectRow(QStringLiteral("large.bin"));
    const QString destination = dir_->filePath(QStringLiteral("exported.bin"));
    unsigned long long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    QVERIFY(statm != nullptr);
    QVERIFY(std::fscanf(statm, "%llu", &pages) == 1);
    std::fclose(statm);
    rlimit saved{};
    QVERIFY(::getrlimit(RLIMIT_AS, &saved) == 0);
    rlimit limited = saved;
    limited.rlim_cur =
        pages * static_cast<unsigned long long>(::sysconf(_SC_PAGESIZE)) + (256ull << 20);
    {
        ModalScript script;
        script.fileDialog(destination);
        QVERIFY(::setrlimit(RLIMIT_AS, &limited) == 0);
        button("exportButton")->click();
        ::setrlimit(RLIMIT_AS, &saved);
        QVERIFY2(script.finished(), qPrintable(script.unexpected().join('\n')));
    }
    QCOMPARE(status()->text(),
             QStringLiteral("Could not export \"large.bin\" -- there is not enough memory to "
                            "decrypt the whole file."));
    QCOMPARE(status()->styleSheet(), kRed);
    QVERIFY(!QFile::exists(destination));
    QCOMPARE(vaultNames(), QStringList{QStringLiteral("large.bin")});
    QVERIFY(store(QStringLiteral("small.txt"), "small"));
}

void TestVaultBrowser::exportWritesExactBytes() {
    const QString name = QStringLiteral("data.bin");
    QByteArray content(3000, '\0');
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i * 7);
    QVERIFY(store(name, content));
    QVERIFY(store(QStringLiteral("gone.bin"), "g"));
    buildWidget();

    // A failure first (the entry left the vault behind the table's back): red until the next
    // success clears it.
    QVERIFY(vault_->removeFile(QStringLiteral("gone.bin")));
    selectRow(QStringLiteral("gone.bin"));
    const QString failedDestination = dir_->filePath(QStringLiteral("gone.bin"));
    {
        ModalScript failing;
        failing.fileDialog(failedDestination);
        button("exportButton")->click();
        QVERIFY2(failing.finished(), qPrintable(failing.unexpected().join('\n')));
    }
    QCOMPARE(status()->text(), QStringLiteral("Could not export \"gone.bin\"."));
    QCOMPARE(status()->styleSheet(), kRed);
    QVERIFY(!QFile::exists(failedDestination));

    selectRow(name);
    const QString destination = dir_->filePath(QStringLiteral("exported.bin"));
    ModalScript script;
    script.fileDialog(destination, [](QFileDialog* dialog) {
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Export from vault"));
        QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptSave);
        QCOMPARE(QFileInfo(dialog->selectedFiles().value(0)).fileName(),
                 QStringLiteral("data.bin"));
    });
    button("exportButton")->click();
    QVERIFY2(script.finished(), qPrintable(script.unexpected().join('\n')));
    QCOMPARE(readWholeFile(destination), content);
    QCOMPARE(status()->text(), QStringLiteral("Exported \"data.bin\"."));
    QCOMPARE(status()->styleSheet(), QString());
    QCOMPARE(vaultNames(), QStringList{name});
}

void TestVaultBrowser::removeAsksFirst_data() {
    QTest::addColumn<bool>("confirm");
    QTest::newRow("yes") << true;
    QTest::newRow("cancel") << false;
}

void TestVaultBrowser::removeAsksFirst() {
    QFETCH(bool, confirm);
    QVERIFY(store(QStringLiteral("keep.txt"), "k"));
    QVERIFY(store(QStringLiteral("gone.txt"), "g"));
    buildWidget();
    selectRow(QStringLiteral("gone.txt"));

    ModalScript script;
    script.messageBox([&](QMessageBox* box) {
        QCOMPARE(box->windowTitle(), QStringLiteral("Remove From Vault"));
        QCOMPARE(box->text(), QStringLiteral("Permanently remove \"gone.txt\" from the vault?\n\n"
                                             "This cannot be undone -- there is no way to "
                                             "recover this file afterward."));
        QVERIFY(box->defaultButton() == box->button(QMessageBox::Cancel));
        box->button(confirm ? QMessageBox::Yes : QMessageBox::Cancel)->click();
    });
    button("removeButton")->click();
    QVERIFY2(script.finished(), qPrintable(script.unexpected().join('\n')));

    if (confirm) {
        QCOMPARE(vaultNames(), QStringList{"keep.txt"});
        QCOMPARE(column(0), QStringList{"keep.txt"});
        QCOMPARE(status()->text(), QStringLiteral("Removed \"gone.txt\" from the vault."));
        QVERIFY(selectionButtonsDisabled());
    } else {
        QCOMPARE(vaultNames(), (QStringList{"gone.txt", "keep.txt"}));
        QCOMPARE(table()->rowCount(), 2);
        QCOMPARE(status()->text(), QString());
    }
}

void TestVaultBrowser::viewShowsContentAndReportsMissingEntries() {
    QVERIFY(store(QStringLiteral("notes.txt"), "secret notes"));
    QVERIFY(store(QStringLiteral("vanishing.txt"), "v"));
    buildWidget();
    QVERIFY(QTest::qWaitForWindowExposed(widget_.get()));

    // The View button opens the viewer on the selected row, modally and over the browser.
    selectRow(QStringLiteral("notes.txt"));
    {
        ModalScript script;
        script.dialog<FileViewerDialog>([&](FileViewerDialog* viewer) {
            QCOMPARE(viewer->parentWidget(), widget_.get());
            QCOMPARE(viewer->kind(), ui::ViewerKind::Text);
            const auto* text = viewer->findChild<QPlainTextEdit*>();
            QVERIFY(text != nullptr);
            QCOMPARE(text->toPlainText(), QStringLiteral("secret notes"));
            viewer->reject();
        });
        button("viewButton")->click();
        QVERIFY2(script.finished(), qPrintable(script.unexpected().join('\n')));
    }
    QCOMPARE(status()->text(), QString());

    // An entry that left the vault behind the table's back: reported, no viewer.
    QVERIFY(vault_->removeFile(QStringLiteral("vanishing.txt")));
    const int row = rowOf(QStringLiteral("vanishing.txt"));
    const QRect cell = table()->visualItemRect(table()->item(row, 1));
    ModalScript none;
    QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(table()->viewport(), Qt::LeftButton, {}, cell.center());
    QVERIFY2(none.finished(), qPrintable(none.unexpected().join('\n')));
    QCOMPARE(status()->text(), QStringLiteral("Could not open \"vanishing.txt\" for viewing."));
    QCOMPARE(status()->styleSheet(), kRed);
}

void TestVaultBrowser::clearEmptiesEverything() {
    QVERIFY(store(QStringLiteral("one.txt"), "1"));
    QVERIFY(store(QStringLiteral("two.txt"), "2"));
    buildWidget();
    selectRow(QStringLiteral("one.txt"));
    QVERIFY(selectionButtonsEnabled());
    // A message in the status line, and text in the search box.
    ModalScript script;
    script.fileDialog(dir_->filePath(QStringLiteral("no/such/folder/one.txt")));
    button("exportButton")->click();
    QVERIFY2(script.finished(), qPrintable(script.unexpected().join('\n')));
    QVERIFY(!status()->text().isEmpty());
    searchBox()->setText(QStringLiteral("one"));

    widget_->clear();
    QCOMPARE(table()->rowCount(), 0);
    QVERIFY(selectionButtonsDisabled());
    QCOMPARE(status()->text(), QString());
    QCOMPARE(status()->styleSheet(), QString());
    QCOMPARE(searchBox()->text(), QString());
    // Nothing was taken out of the vault.
    QCOMPARE(vaultNames(), (QStringList{"one.txt", "two.txt"}));
}

// Enter views, Delete asks to remove, Ctrl+E exports and Ctrl+O imports, Ctrl+F goes to the
// search box; names and sizes too long for their column are in the tool tips.
void TestVaultBrowser::theKeyboardReachesEveryAction() {
    QVERIFY(store(QStringLiteral("alpha.txt"), "alpha"));
    buildWidget();
    QApplication::setActiveWindow(widget_.get());
    QVERIFY(QTest::qWaitForWindowActive(widget_.get()));
    const int row = rowOf(QStringLiteral("alpha.txt"));
    QCOMPARE(table()->item(row, 0)->toolTip(), QStringLiteral("alpha.txt"));
    QCOMPARE(table()->item(row, 1)->toolTip(), table()->item(row, 1)->text());

    selectRow(QStringLiteral("alpha.txt"));
    QStringList seen;
    ModalScript script;
    script.dialog<FileViewerDialog>([&](FileViewerDialog* viewer) {
        seen << QStringLiteral("viewer");
        viewer->reject();
    });
    script.messageBox([&](QMessageBox* box) {
        seen << box->windowTitle();
        box->button(QMessageBox::Cancel)->click();
    });
    const QString exported = dir_->filePath(QStringLiteral("exported.txt"));
    script.fileDialog(exported);
    const QString imported = source(QStringLiteral("beta.txt"), "beta");
    script.fileDialog(imported);
    for (const auto& [key, modifiers] :
         {std::pair{Qt::Key_Return, Qt::NoModifier}, std::pair{Qt::Key_Delete, Qt::NoModifier},
          std::pair{Qt::Key_E, Qt::ControlModifier}, std::pair{Qt::Key_O, Qt::ControlModifier}}) {
        // As the window manager would, the window gets the focus back after each dialog.
        QApplication::setActiveWindow(widget_.get());
        table()->setFocus();
        QTest::keyClick(table(), key, modifiers);
    }
    QVERIFY2(script.finished(), qPrintable(script.unexpected().join('\n')));
    QCOMPARE(seen, (QStringList{QStringLiteral("viewer"), QStringLiteral("Remove From Vault")}));
    QCOMPARE(readWholeFile(exported), QByteArray("alpha"));
    QCOMPARE(vaultNames(), (QStringList{"alpha.txt", "beta.txt"}));

    QApplication::setActiveWindow(widget_.get());
    table()->setFocus();
    QTest::keyClick(table(), Qt::Key_F, Qt::ControlModifier);
    QVERIFY(searchBox()->hasFocus());
}

// A type the viewer cannot show is answered without reading the file: here the vault can no
// longer decrypt anything, and the viewer still says what it would have said.
void TestVaultBrowser::anUnsupportedTypeIsNotDecrypted() {
    QVERIFY(store(QStringLiteral("archive.bin"), QByteArray(4096, 'x')));
    buildWidget();
    vault_->wipeSecrets();
    selectRow(QStringLiteral("archive.bin"));
    QString shown;
    ModalScript script;
    script.dialog<FileViewerDialog>([&](FileViewerDialog* viewer) {
        QCOMPARE(viewer->kind(), ui::ViewerKind::Unsupported);
        for (const QLabel* label : viewer->findChildren<QLabel*>())
            shown += label->text();
        viewer->reject();
    });
    button("viewButton")->click();
    QVERIFY2(script.finished(), qPrintable(script.unexpected().join('\n')));
    QVERIFY2(shown.contains(QStringLiteral("doesn't support this file type")), qPrintable(shown));
    QCOMPARE(status()->text(), QString());
}

// Files dropped together: each gets its own question and erase, and one line sums them up with
// the first problem after it.
void TestVaultBrowser::severalDroppedFilesEndInOneSummary() {
    QVERIFY(store(QStringLiteral("clash.txt"), "already in the vault"));
    buildWidget();
    const QString fresh = source(QStringLiteral("fresh.txt"), "fresh");
    const QString clash = source(QStringLiteral("clash.txt"), "the user's other copy");
    const QString pipe = dir_->filePath(QStringLiteral("sources/pipe.txt"));
    QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);

    auto* mime = new QMimeData;
    mime->setUrls(
        {QUrl::fromLocalFile(fresh), QUrl::fromLocalFile(clash), QUrl::fromLocalFile(pipe)});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget_.get(), &enter);
    QVERIFY(enter.isAccepted());
    {
        ModalScript script;
        script.messageBox([](QMessageBox* box) { box->button(QMessageBox::Cancel)->click(); });
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(widget_.get(), &drop);
        QTRY_VERIFY(status()->text().startsWith(QStringLiteral("Imported")));
        QVERIFY2(script.finished(), qPrintable(script.unexpected().join('\n')));
    }
    delete mime;

    QCOMPARE(status()->text(),
             QStringLiteral("Imported 1 file; 1 skipped; 1 failed\nCould not import \"pipe.txt\" "
                            "-- it is not a regular file (a folder, device, pipe or link)."));
    QCOMPARE(vaultNames(), (QStringList{"clash.txt", "fresh.txt"}));
    QCOMPARE(vaultContent(QStringLiteral("clash.txt")), QByteArray("already in the vault"));
    QVERIFY(!QFileInfo::exists(fresh));
    QCOMPARE(readWholeFile(clash), QByteArray("the user's other copy"));
    QVERIFY(QFileInfo(pipe).exists());
    QCOMPARE(column(0).size(), 2);

    // The session is wiped while the first of two questions is open: the second file is not
    // touched, and nothing is written back into the cleared window.
    const QString second = source(QStringLiteral("fresh2.txt"), "second");
    const QString clashAgain = clash;
    auto* more = new QMimeData;
    more->setUrls({QUrl::fromLocalFile(clashAgain), QUrl::fromLocalFile(second)});
    ModalScript wiped;
    wiped.messageBox([this](QMessageBox* box) {
        widget_->clear();
        vault_->wipeSecrets();
        box->button(QMessageBox::Cancel)->click();
    });
    QDragEnterEvent enterAgain(QPoint(10, 10), Qt::CopyAction, more, Qt::LeftButton,
                               Qt::NoModifier);
    QApplication::sendEvent(widget_.get(), &enterAgain);
    QDropEvent late(QPointF(10, 10), Qt::CopyAction, more, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget_.get(), &late);
    QTRY_VERIFY2(wiped.finished(), qPrintable(wiped.unexpected().join('\n')));
    QCoreApplication::processEvents();
    delete more;
    QCOMPARE(status()->text(), QString());
    QCOMPARE(readWholeFile(second), QByteArray("second"));
    QCOMPARE(table()->rowCount(), 0);

    // Something that is not a local file is not taken.
    QMimeData web;
    web.setUrls({QUrl(QStringLiteral("https://example.org/file.txt"))});
    QDragEnterEvent refused(QPoint(10, 10), Qt::CopyAction, &web, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget_.get(), &refused);
    QVERIFY(!refused.isAccepted());
}

QTEST_MAIN(TestVaultBrowser)
#include "tst_vaultbrowser.moc"
