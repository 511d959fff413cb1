// A vault moved into unallocated disk space the way a user does it: File > Configure > Storage,
// the setup wizard claims a gap of a real (loop) disk, the next start opens the new vault there,
// a file stored in it survives a restart, and deleting the vault wipes the region and gives it
// back as free space.

#include "GuiScript.h"
#include "SessionTest.h"
#include "SessionWindows.h"
#include "app/SessionRunner.h"
#include "core/AuthManager.h"
#include "core/LockoutTracker.h"
#include "core/StorageConfigFile.h"
#include "core/TwoFactorManager.h"
#include "platform/PrivateSessionBus.h"
#include "platform/SealedKeyStore.h"
#include "platform/UserDataProtection.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/MarkerKey.h"
#include "rawstore/PhysicalDisks.h"
#include "support/LoopDisk.h"
#include "support/ManualClock.h"
#include "support/TestSupport.h"
#include "ui/ConfigureDialog.h"
#include "ui/FirstRunWizard.h"
#include "ui/MainWindow.h"
#include "ui/RawDiskSetupWizard.h"
#include "vault/RawBlockStore.h"
#include "vault/VaultContainer.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>

using namespace korvex;
using test::child;
using test::GuiScript;
using test::mainWindow;
using test::mainWindowReady;

namespace {

const QString kUser = QStringLiteral("dana");
const QString kPassword = QStringLiteral("Correct-Horse-42!");
const QString kMachine = QStringLiteral("0123456789abcdef0123456789abcdef");
const QByteArray kDocument("kept in the container file\n");
const QByteArray kRawDocument("kept between two partitions\n");
constexpr quint64 MiB = 1024 * 1024;
// Partitions at [1 MiB, 11 MiB) and [20 MiB, 30 MiB) of 64 MiB: the first gap is 9 MiB.
const char kTable[] = "label: gpt\nstart=2048, size=20480\nstart=40960, size=20480\n";
constexpr quint64 kGapStart = 11 * MiB;
constexpr quint64 kGapLength = 9 * MiB;

QString labelText(QWidget* parent, const char* name) {
    auto* label = child<QLabel>(parent, name);
    return label ? label->text() : QStringLiteral("<no %1>").arg(QLatin1String(name));
}

} // namespace

class TestRawDiskSession : public test::SessionTest {
    Q_OBJECT

    test::LoopDisk disk_;
    QStringList seen_;

    // Signs in with the account's password and opens File > Configure.
    void signInAndOpenConfigure(GuiScript& script) {
        test::signInWith(script, QStringLiteral("sign in"), kPassword);
        script.add(QStringLiteral("open Configure"), mainWindowReady, [] {
            QAction* configure =
                mainWindow()->findChild<QAction*>(QStringLiteral("configureAction"));
            GuiScript::later([configure] { configure->trigger(); });
        });
    }

    void quit(GuiScript& script, const QString& name, const QByteArray& content) {
        script.add(QStringLiteral("check the document and quit"), mainWindowReady,
                   [this, name, content] {
                       seen_ << test::documentState(name, content);
                       MainWindow* window = mainWindow();
                       GuiScript::later([window] { window->close(); });
                   });
    }

private Q_SLOTS:
    void initTestCase() {
        if (const QString why = test::LoopDisk::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        QVERIFY2(disk_.create(64 * MiB, QString::fromLatin1(kTable)),
                 qPrintable(disk_.lastError()));
        QVERIFY(makeSession(kMachine));
        useSoftwareProtection();

        // An account whose container-file vault holds one document.
        QVERIFY(firstRunWithDocument(kUser, kPassword, QStringLiteral("doc.txt"), kDocument));
    }
    void cleanupTestCase() { protect::setLocalProtectionServices(nullptr, nullptr); }

private:
    // Once the dialog's label reads text starting with prefix: records that text, and closes
    // the dialog.
    template <typename Dialog>
    void recordStatusAndClose(GuiScript& script, const QString& step, const char* label,
                              const QString& prefix) {
        script.onModal<Dialog>(
            step,
            [this, label](Dialog* dialog) {
                seen_ << labelText(dialog, label);
                GuiScript::later([dialog] { dialog->reject(); });
            },
            [label, prefix](Dialog* dialog) {
                return labelText(dialog, label).startsWith(prefix);
            });
    }

    // From an open Configure dialog: Storage > the wizard claims the loop disk's first gap and
    // makes a new, empty vault there; back in Configure, then (when given) one more step there.
    void claimThroughTheWizard(GuiScript& script, const rawstore::DiskInfo& disk,
                               const std::function<void(ConfigureDialog*)>& then) {
        script.onModal<ConfigureDialog>(
            QStringLiteral("set up the raw disk"), [](ConfigureDialog* dialog) {
                GuiScript::clickLater(child<QPushButton>(dialog, "setUpRawDiskButton"));
            });
        const QString diskLabel = QStringLiteral("/dev/%1 ").arg(disk.kernelName);
        script.onModal<korvex::ui::RawDiskSetupWizard>(
            QStringLiteral("choose the loop disk's gap and claim it"),
            [this, diskLabel](korvex::ui::RawDiskSetupWizard* wizard) {
                auto* combo = child<QComboBox>(wizard, "diskCombo");
                const int index = combo->findText(diskLabel, Qt::MatchStartsWith);
                QVERIFY(index >= 0);
                combo->setCurrentIndex(index);
                auto* gaps = child<QListWidget>(wizard, "gapList");
                seen_ << gaps->item(0)->text();
                gaps->setCurrentRow(0);
                GuiScript::clickLater(child<QPushButton>(wizard, "claimButton"));
            });
        script.onModal<QInputDialog>(
            QStringLiteral("abandon the current vault"), [this](QInputDialog* input) {
                seen_ << input->windowTitle();
                input->setTextValue(QStringLiteral("ABANDON MY CURRENT VAULT"));
                static_cast<QDialog*>(input)->accept();
            });
        script.onModal<QMessageBox>(QStringLiteral("confirm the claim"), [this](QMessageBox* box) {
            seen_ << box->windowTitle();
            box->button(QMessageBox::Yes)->click();
        });
        recordStatusAndClose<korvex::ui::RawDiskSetupWizard>(
            script, QStringLiteral("claimed"), "rawDiskStatusLabel", QStringLiteral("Claimed"));
        script.onModal<ConfigureDialog>(
            QStringLiteral("the storage section after the wizard"),
            [this, then](ConfigureDialog* dialog) {
                seen_ << labelText(dialog, "storageStatusLabel");
                seen_ << labelText(dialog, "vaultSizeLabel").section(QLatin1Char('\n'), 1);
                if (then)
                    then(dialog);
                else
                    GuiScript::later([dialog] { dialog->reject(); });
            },
            [](ConfigureDialog* dialog) {
                return labelText(dialog, "storageStatusLabel").contains(QStringLiteral("disk"));
            });
    }

    // The claimed gap as the program names it.
    static QString gapText(const rawstore::DiskInfo& disk) {
        return QStringLiteral("9.00 MiB from 11.00 MiB to 20.00 MiB of %1")
            .arg(rawstore::diskDescription(disk));
    }

    QStringList claimedSteps(const rawstore::DiskInfo& disk) const {
        return {QStringLiteral("From 11.00 MiB to 20.00 MiB  --  Size 9.00 MiB"),
                QStringLiteral("Confirm Abandoning The Current Vault"),
                QStringLiteral("Confirm Real Disk Claim"),
                QStringLiteral("Claimed the region and created a new raw-disk vault. Restart "
                               "Zelvora to start using it."),
                QStringLiteral("Currently: unallocated disk partition (%1).").arg(gapText(disk)),
                QStringLiteral("Claimed region: 9.00 MB")};
    }

private Q_SLOTS:
    // A claim, then back to the container file before the new vault was ever used: the next
    // start opens the container file's vault as before.
    void claimAndSwitchBackBeforeUsingIt() {
        const std::optional<rawstore::DiskInfo> disk = disk_.diskInfo();
        QVERIFY(disk);
        seen_.clear();
        GuiScript script;
        signInAndOpenConfigure(script);
        claimThroughTheWizard(script, *disk, [](ConfigureDialog* dialog) {
            GuiScript::clickLater(child<QPushButton>(dialog, "switchToContainerButton"));
        });
        script.onModal<QMessageBox>(QStringLiteral("switch back"), [this](QMessageBox* box) {
            seen_ << box->windowTitle();
            box->button(QMessageBox::Yes)->click();
        });
        recordStatusAndClose<ConfigureDialog>(script, QStringLiteral("switched back"),
                                              "storageStatusLabel", QStringLiteral("Switched"));
        quit(script, QStringLiteral("doc.txt"), kDocument);
        QCOMPARE(run(script), 0);
        QVERIFY2(script.finished(), qPrintable(script.nextStep()));
        QCOMPARE(storage_->backend(), vault::StorageBackend::Container);

        GuiScript next;
        test::signInWith(next, QStringLiteral("sign in to the container file"), kPassword);
        quit(next, QStringLiteral("doc.txt"), kDocument);
        QCOMPARE(run(next), 0);
        QVERIFY2(next.finished(), qPrintable(next.nextStep()));
        QCOMPARE(seen_, claimedSteps(*disk) +
                            QStringList({QStringLiteral("Switch Back to Container File"),
                                         QStringLiteral("Switched back to the container "
                                                        "file. Restart Zelvora to use it."),
                                         QStringLiteral("document intact"),
                                         QStringLiteral("document intact")}));
    }

    // The gap claimed again for good.
    void claimAGapThroughTheWizard() {
        const std::optional<rawstore::DiskInfo> disk = disk_.diskInfo();
        QVERIFY(disk);
        seen_.clear();
        GuiScript script;
        signInAndOpenConfigure(script);
        claimThroughTheWizard(script, *disk, nullptr);
        quit(script, QStringLiteral("doc.txt"), kDocument);
        QCOMPARE(run(script), 0);
        QVERIFY2(script.finished(), qPrintable(script.nextStep()));
        QCOMPARE(seen_, claimedSteps(*disk) + QStringList{QStringLiteral("document intact")});
        QCOMPARE(storage_->backend(), vault::StorageBackend::RawDisk);
        const vault::RawDiskClaim claim = storage_->rawDiskClaim();
        QCOMPARE(claim.claimedStartOffset, kGapStart);
        QCOMPARE(claim.claimedLength, kGapLength);
        QCOMPARE(claim.diskSerialHash, rawstore::diskIdentityHash(disk->serialNumber));
    }

    // The next start opens the vault in the region; what is stored there survives a restart.
    void theRawVaultIsUsedAcrossRestarts() {
        seen_.clear();
        GuiScript script;
        test::signInWith(script, QStringLiteral("sign in"), kPassword);
        script.add(QStringLiteral("a new, empty vault; store a file"), mainWindowReady, [this] {
            vault::VaultContainer* vault = mainWindow()->container();
            QVERIFY(vault);
            seen_ << QString::number(vault->listEntries().size());
            const QString source = outside_ + QStringLiteral("/raw.txt");
            QVERIFY(test::writeFile(source, kRawDocument));
            QVERIFY(vault->importFile(source, QStringLiteral("raw.txt")));
        });
        quit(script, QStringLiteral("raw.txt"), kRawDocument);
        QCOMPARE(run(script), 0);
        QVERIFY2(script.finished(), qPrintable(script.nextStep()));

        GuiScript again;
        test::signInWith(again, QStringLiteral("sign in again"), kPassword);
        quit(again, QStringLiteral("raw.txt"), kRawDocument);
        QCOMPARE(run(again), 0);
        QVERIFY2(again.finished(), qPrintable(again.nextStep()));
        QCOMPARE(seen_, QStringList({QStringLiteral("0"), QStringLiteral("document intact"),
                                     QStringLiteral("document intact")}));
        // The vault's bytes are in the region, the container file is untouched.
        QVERIFY(vault::RawBlockStore::parseClaimMarker(
            disk_.read(kGapStart, 512),
            protect::LocalIntegrityKey::loadKey(protect::markerKeyPath(data_))));
        QVERIFY(disk_.read(kGapStart + 512, 8).startsWith("KVXSVLT1"));
        QVERIFY(QFile::exists(data_ + QStringLiteral("/vault.kvxs")));
    }

    // Delete Vault, then the next start wipes the region: free space again, no marker left.
    void deletingTheRawVaultGivesTheSpaceBack() {
        seen_.clear();
        GuiScript script;
        signInAndOpenConfigure(script);
        // The account is bound to the vault in the region now: switching back would leave
        // Zelvora unable to start, so it is refused.
        script.onModal<ConfigureDialog>(
            QStringLiteral("try to switch back"), [](ConfigureDialog* dialog) {
                GuiScript::clickLater(child<QPushButton>(dialog, "switchToContainerButton"));
            });
        script.onModal<ConfigureDialog>(
            QStringLiteral("refused; delete"),
            [this](ConfigureDialog* dialog) {
                seen_ << labelText(dialog, "storageStatusLabel").section(QLatin1Char(','), 0, 0);
                GuiScript::clickLater(child<QPushButton>(dialog, "deleteVaultButton"));
            },
            [](ConfigureDialog* dialog) {
                return labelText(dialog, "storageStatusLabel").startsWith(QStringLiteral("Your"));
            });
        test::answerText(script, QStringLiteral("the password"), kPassword);
        script.onModal<QMessageBox>(QStringLiteral("the warning"), [this](QMessageBox* box) {
            seen_ << box->text().section(QLatin1Char('\n'), 1, 1);
            box->button(QMessageBox::Yes)->click();
        });
        recordStatusAndClose<ConfigureDialog>(script, QStringLiteral("scheduled"),
                                              "deleteVaultStatusLabel", QStringLiteral("The"));
        quit(script, QStringLiteral("raw.txt"), kRawDocument);
        QCOMPARE(run(script), 0);
        QVERIFY2(script.finished(), qPrintable(script.nextStep()));
        QVERIFY(storage_->pendingDeleteRawDisk());
        const quint32 claimedNumber = storage_->rawDiskClaim().diskNumber;
        QCOMPARE(storage_->backend(), vault::StorageBackend::RawDisk);

        QVERIFY(startAfterDeletion(kPassword));
        const std::optional<rawstore::DiskInfo> disk = disk_.diskInfo();
        QVERIFY(disk);
        QCOMPARE(disk->diskNumber, claimedNumber);
        QCOMPARE(
            seen_,
            QStringList({QStringLiteral("Your master password now opens the vault in the "
                                        "unallocated disk partition"),
                         QStringLiteral("the unallocated disk partition: %1").arg(gapText(*disk)),
                         QStringLiteral("The vault will be permanently deleted the next time "
                                        "you start Zelvora. Restart now to complete this."),
                         QStringLiteral("document intact")}));
        QVERIFY(!auth_->identityExists());
        QCOMPARE(storage_->backend(), vault::StorageBackend::Container);
        QVERIFY(rawstore::regionIsFree(*disk, {kGapStart, kGapLength}, false));
        const crypto::SecureBuffer markerKey =
            protect::LocalIntegrityKey::loadKey(protect::markerKeyPath(data_));
        QVERIFY(!markerKey.empty());
        QVERIFY(!vault::RawBlockStore::parseClaimMarker(disk_.read(kGapStart, 512), markerKey));
        QVERIFY(!disk_.read(kGapStart + 512, 8).startsWith("KVXSVLT1"));
        // The container vault the claim abandoned went with the account: the next account
        // starts with a new one instead of meeting the old.
        QVERIFY(!QFile::exists(data_ + QStringLiteral("/vault.kvxs")));
        QVERIFY(firstRunWithDocument(kUser, kPassword, QStringLiteral("doc.txt"), kDocument));
        seen_.clear();
        GuiScript again;
        test::signInWith(again, QStringLiteral("sign in to the new account"), kPassword);
        quit(again, QStringLiteral("doc.txt"), kDocument);
        QCOMPARE(run(again), 0);
        QVERIFY2(again.finished(), qPrintable(again.nextStep()));
        QCOMPARE(seen_, QStringList{QStringLiteral("document intact")});
    }

    // A claim, then a password change in the same session: the change would reach only the
    // vault that is open, not the one the next start opens, so it waits for the restart.
    void aKeyChangeAfterAClaimWaitsForTheRestart() {
        const std::optional<rawstore::DiskInfo> disk = disk_.diskInfo();
        QVERIFY(disk);
        seen_.clear();
        GuiScript script;
        signInAndOpenConfigure(script);
        claimThroughTheWizard(script, *disk, [](ConfigureDialog* dialog) {
            child<QLineEdit>(dialog, "currentPasswordEdit")
                ->setText(QStringLiteral("Correct-Horse-42!"));
            child<QLineEdit>(dialog, "newPasswordEdit")
                ->setText(QStringLiteral("Battery-Staple-77?"));
            child<QLineEdit>(dialog, "confirmNewPasswordEdit")
                ->setText(QStringLiteral("Battery-Staple-77?"));
            GuiScript::clickLater(child<QPushButton>(dialog, "changePasswordButton"));
        });
        recordStatusAndClose<ConfigureDialog>(script, QStringLiteral("the change is refused"),
                                              "changePasswordStatusLabel",
                                              QStringLiteral("Zelvora will use another vault"));
        quit(script, QStringLiteral("doc.txt"), kDocument);
        QCOMPARE(run(script), 0);
        QVERIFY2(script.finished(), qPrintable(script.nextStep()));
        QCOMPARE(seen_.mid(claimedSteps(*disk).size()),
                 QStringList({QStringLiteral("Zelvora will use another vault from the next start "
                                             "(set up in this session), and a change made now "
                                             "would reach only the vault that is open. Restart "
                                             "Zelvora first, then change the password, two-factor "
                                             "authentication or delete the vault."),
                              QStringLiteral("document intact")}));

        // The vault in the region opens with the account's password as it is.
        seen_.clear();
        GuiScript next;
        test::signInWith(next, QStringLiteral("sign in to the raw vault"), kPassword);
        next.add(QStringLiteral("the new vault"), mainWindowReady, [this] {
            seen_ << QString::number(mainWindow()->container()->listEntries().size());
            MainWindow* window = mainWindow();
            GuiScript::later([window] { window->close(); });
        });
        QCOMPARE(run(next), 0);
        QVERIFY2(next.finished(), qPrintable(next.nextStep()));
        QCOMPARE(seen_, QStringList{QStringLiteral("0")});
    }

    // The disk is detached: the start says the disk cannot be found (not that its layout
    // changed) and offers the way out, which forgets the vault and its account after the
    // password, without a hand edit of the data folder.
    void aDetachedDiskIsToldAsMissingWithAWayOut() {
        QCOMPARE(storage_->backend(), vault::StorageBackend::RawDisk);
        QVERIFY(disk_.detach());
        seen_.clear();
        GuiScript script;
        test::signInWith(script, QStringLiteral("sign in"), kPassword);
        // Each question titled title: its first words (up to stop) recorded, its way on taken.
        const auto goOn = [this, &script](const QString& title, QChar stop) {
            script.onModal<QMessageBox>(
                title,
                [this, stop](QMessageBox* box) {
                    seen_ << box->windowTitle() << box->text().section(stop, 0, 0);
                    child<QPushButton>(box, "deferredChoiceAccept")->click();
                },
                [title](QMessageBox* box) {
                    return box->objectName() == QStringLiteral("deferredChoiceBox") &&
                           box->windowTitle() == title;
                });
        };
        goOn(QStringLiteral("Vault Unavailable"), QLatin1Char('\n'));
        test::answerText(script, QStringLiteral("the password"), kPassword);
        goOn(QStringLiteral("Vault Deletion Waiting"), QLatin1Char('('));
        QCOMPARE(run(script), 1); // the next session starts
        QVERIFY2(script.finished(), qPrintable(script.nextStep()));
        QCOMPARE(seen_, QStringList({QStringLiteral("Vault Unavailable"),
                                     QStringLiteral("The disk that holds this vault cannot be "
                                                    "found -- connect it and start Zelvora again."),
                                     QStringLiteral("Vault Deletion Waiting"),
                                     QStringLiteral("The disk that holds the raw-disk vault "
                                                    "waiting to be deleted cannot be found ")}));
        QVERIFY(!auth_->identityExists());
        QCOMPARE(storage_->backend(), vault::StorageBackend::Container);
        QVERIFY(!storage_->pendingDeleteRawDisk());
    }
};

int main(int argc, char** argv) {
    // A private HOME and data folders, and no session bus, before anything reads them.
    test::PrivateSessionBus session;
    if (!session.isolate())
        return 2;
    QApplication app(argc, argv);
    TestRawDiskSession test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_rawdisksession.moc"
