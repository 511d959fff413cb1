// The raw-disk setup wizard driven through its widgets against real loop devices: what it lists,
// a full claim that leaves a vault which opens again, and the refusals that must write nothing.

#include "app/GuiScript.h"
#include "core/StorageConfigFile.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/MarkerKey.h"
#include "rawstore/PhysicalDisks.h"
#include "support/LoopDisk.h"
#include "support/PlatformDoubles.h"
#include "support/TestSupport.h"
#include "ui/RawDiskSetupWizard.h"
#include "vault/RawBlockStore.h"
#include "vault/VaultContainer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QInputDialog>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sodium.h>
#include <unistd.h>

using namespace korvex;
using crypto::SecureBuffer;
using korvex::ui::RawDiskSetupWizard;

namespace {

const QString kMachine = QStringLiteral("raw-disk-wizard-test-machine");
const QString kGreen = QStringLiteral("color: #7CD992;");
const QString kRed = QStringLiteral("color: #FF7A7A;");
const QString kAbandon = QStringLiteral("ABANDON MY CURRENT VAULT");
const QString kClaimed = QStringLiteral(
    "Claimed the region and created a new raw-disk vault. Restart Zelvora to start using it.");
const QString kPhraseMismatch =
    QStringLiteral("Claim cancelled -- confirmation phrase did not match.");
const QString kNoGaps = QStringLiteral("(No free space found between partitions on this disk)");

constexpr quint64 kSector = 512;
constexpr quint64 kSmallDiskSectors = 131072; // 64 MiB
constexpr quint64 kFirstStart = 2048;
constexpr quint64 kFirstSize = 8192;
constexpr quint64 kGapStart = kFirstStart + kFirstSize;
// sector size + 2 MiB: the smallest region a vault is made in.
constexpr quint64 kMinimumGapSectors = (kSector + 2097152) / kSector;

// A GPT table with a gap of gapSectors between two partitions and the second running up to the
// last usable sector (nothing free after it).
QString gptWithGap(quint64 gapSectors, quint64 diskSectors = kSmallDiskSectors) {
    const quint64 secondStart = kGapStart + gapSectors;
    const quint64 lastUsableEnd = diskSectors - 33;
    return QStringLiteral("label: gpt\nstart=%1, size=%2\nstart=%3, size=%4\n")
        .arg(kFirstStart)
        .arg(kFirstSize)
        .arg(secondStart)
        .arg(lastUsableEnd - secondStart);
}

// One partition from 1 MiB up to the last usable sector: no free space anywhere.
QString gptFull(quint64 diskSectors = kSmallDiskSectors) {
    return QStringLiteral("label: gpt\nstart=%1, size=%2\n")
        .arg(kFirstStart)
        .arg(diskSectors - 33 - kFirstStart);
}

} // namespace

class RawDiskSetupWizardTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    test::FakeSealedKeyStore tpm_;
    test::FakeUserDataProtection user_;
    SecureBuffer vaultKey_;
    QString folder_;
    std::unique_ptr<core::StorageConfigFile> storage_;
    std::unique_ptr<RawDiskSetupWizard> wizard_;

    void freshFolder() {
        wizard_.reset();
        QString name = QString::fromLatin1(QTest::currentTestFunction());
        if (QTest::currentDataTag() != nullptr)
            name += QLatin1Char('-') + QString::fromLatin1(QTest::currentDataTag());
        folder_ = dir_.filePath(name.replace(QLatin1Char(' '), QLatin1Char('-')));
        QVERIFY(QDir().mkpath(folder_));
        storage_ = std::make_unique<core::StorageConfigFile>(
            folder_ + QStringLiteral("/storage.dat"), kMachine, 0);
    }
    QString markerKeyPath() const { return protect::markerKeyPath(folder_); }

    RawDiskSetupWizard& openWizard() {
        wizard_ = std::make_unique<RawDiskSetupWizard>(vaultKey_, *storage_, kMachine, folder_);
        wizard_->show();
        return *wizard_;
    }
    template <typename T> T* widget(const char* name) const {
        T* found = wizard_->findChild<T*>(QLatin1String(name));
        if (found == nullptr)
            qFatal("no widget named %s", name);
        return found;
    }
    QString status() const { return widget<QLabel>("rawDiskStatusLabel")->text(); }
    QString statusStyle() const { return widget<QLabel>("rawDiskStatusLabel")->styleSheet(); }
    QStringList gapLines() const {
        QStringList lines;
        auto* list = widget<QListWidget>("gapList");
        for (int row = 0; row < list->count(); ++row)
            lines << list->item(row)->text();
        return lines;
    }

    // The disk record of a loop disk as the wizard lists it, and its position in the combo box.
    static std::optional<QPair<int, rawstore::DiskInfo>> listed(const test::LoopDisk& disk) {
        const QList<rawstore::DiskInfo> disks = rawstore::listDisks();
        for (int i = 0; i < disks.size(); ++i) {
            if (disks[i].kernelName == disk.kernelName())
                return qMakePair(i, disks[i]);
        }
        return std::nullopt;
    }
    // Selects the loop disk and its first region in the open wizard; its disk record.
    rawstore::DiskInfo selectFirstRegion(const test::LoopDisk& disk) {
        const auto entry = listed(disk);
        if (!entry)
            return {};
        widget<QComboBox>("diskCombo")->setCurrentIndex(entry->first);
        widget<QListWidget>("gapList")->setCurrentRow(0);
        return entry->second;
    }

    // Clicks the claim button with the script answering the prompts. A dialog still up after
    // the script's last step is one the claim should not have shown: it is rejected and fails
    // the test, rather than waiting for an answer that never comes.
    void claimThrough(test::GuiScript& script) {
        QString unexpected;
        QWidget* seen = nullptr;
        QTimer guard;
        guard.setInterval(250);
        connect(&guard, &QTimer::timeout, this, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!script.finished() || modal == nullptr || modal == wizard_.get()) {
                seen = nullptr;
                return;
            }
            if (modal != seen) {
                seen = modal;
                return;
            }
            unexpected = modal->windowTitle();
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
        });
        guard.start();
        script.start();
        widget<QPushButton>("claimButton")->click();
        guard.stop();
        QVERIFY2(script.failure().isEmpty(), qPrintable(script.failure()));
        QVERIFY2(script.finished(),
                 qPrintable(QStringLiteral("never opened: ") + script.nextStep()));
        QVERIFY2(unexpected.isEmpty(), qPrintable(QStringLiteral("unexpected: ") + unexpected));
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        tpm_.mode = test::FakeSealedKeyStore::Mode::NoProvider;
        protect::setLocalProtectionServices(&tpm_, &user_);
        vaultKey_ = SecureBuffer(32);
        randombytes_buf(vaultKey_.data(), vaultKey_.size());
    }
    void cleanup() { wizard_.reset(); }
    void cleanupTestCase() { protect::setLocalProtectionServices(nullptr, nullptr); }

    void listsDisksPartitionsAndRegions() {
        const QString why = test::LoopDisk::unavailable();
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
        freshFolder();
        // 8 GiB, sparse: partitions at 1 MiB..1 GiB and 3..5 GiB, free space between them and
        // after the second up to the backup GPT.
        test::LoopDisk gaps;
        QVERIFY2(gaps.create(8ull << 30, QStringLiteral("label: gpt\nstart=2048, size=2095104\n"
                                                        "start=6291456, size=4194304\n")),
                 qPrintable(gaps.lastError()));
        test::LoopDisk full;
        QVERIFY2(full.create(kSmallDiskSectors * kSector, gptFull()), qPrintable(full.lastError()));

        openWizard();
        QVERIFY(widget<QLabel>("elevationWarningLabel")->isHidden());
        auto* combo = widget<QComboBox>("diskCombo");
        const auto entry = listed(gaps);
        QVERIFY(entry);
        const rawstore::DiskInfo& disk = entry->second;
        // Named as people know a disk: its device, model, identity and size in units that fit.
        QCOMPARE(combo->itemText(entry->first),
                 QStringLiteral("/dev/%1 (Loop device, file %2, 8.00 GiB)")
                     .arg(gaps.kernelName(), gaps.imagePath()));

        combo->setCurrentIndex(entry->first);
        QCOMPARE(widget<QLabel>("diskInfoLabel")->text(),
                 QStringLiteral("Serial: %1  |  Sector size: 512 bytes  |  Partitions: 2")
                     .arg(disk.serialNumber.isEmpty() ? QStringLiteral("(unknown)")
                                                      : disk.serialNumber));
        auto* table = widget<QTableWidget>("partitionTable");
        QCOMPARE(table->rowCount(), 2);
        const QList<QStringList> rows{
            {QStringLiteral("1"), QStringLiteral("1.00 MiB"), QStringLiteral("1023.00 MiB")},
            {QStringLiteral("2"), QStringLiteral("3.00 GiB"), QStringLiteral("2.00 GiB")}};
        for (int row = 0; row < 2; ++row) {
            for (int column = 0; column < 3; ++column)
                QCOMPARE(table->item(row, column)->text(), rows[row][column]);
        }
        // The space after the last partition counts too, up to the backup table.
        QCOMPARE(gapLines(),
                 QStringList({QStringLiteral("From 1.00 GiB to 3.00 GiB  --  Size 2.00 GiB"),
                              QStringLiteral("From 5.00 GiB to 8.00 GiB  --  Size 3.00 GiB")}));
        auto* claim = widget<QPushButton>("claimButton");
        QVERIFY(!claim->isEnabled());
        widget<QListWidget>("gapList")->setCurrentRow(1);
        QVERIFY(claim->isEnabled());

        // A disk with no gap offers a line that cannot be claimed.
        const auto fullEntry = listed(full);
        QVERIFY(fullEntry);
        // Two loop disks of one kind are told apart.
        QVERIFY(combo->itemText(fullEntry->first) != combo->itemText(entry->first));
        combo->setCurrentIndex(fullEntry->first);
        QCOMPARE(gapLines(), QStringList{kNoGaps});
        QVERIFY(!claim->isEnabled());
        widget<QListWidget>("gapList")->setCurrentRow(0);
        QVERIFY(!claim->isEnabled());

        // The system disk offers nothing until it is unlocked.
        const QList<rawstore::DiskInfo> disks = rawstore::listDisks();
        for (int i = 0; i < disks.size(); ++i) {
            if (!disks[i].isSystemDisk)
                continue;
            QVERIFY(combo->itemText(i).endsWith(QStringLiteral(" -- System Disk, not available")));
            combo->setCurrentIndex(i);
            QVERIFY(widget<QLabel>("diskInfoLabel")
                        ->text()
                        .endsWith(QStringLiteral("  |  SYSTEM DISK -- excluded")));
            QCOMPARE(gapLines(),
                     QStringList{QStringLiteral(
                         "(No regions offered -- this is the system/boot disk. Check \"Unlock "
                         "the system disk\" above to see its free-space regions.)")});
            widget<QListWidget>("gapList")->setCurrentRow(0);
            QVERIFY(!claim->isEnabled());
            widget<QCheckBox>("allowSystemDiskCheckBox")->setChecked(true);
            QVERIFY(widget<QLabel>("diskInfoLabel")
                        ->text()
                        .endsWith(QStringLiteral("  |  SYSTEM DISK -- unlocked")));
            QVERIFY(!gapLines().first().startsWith(QStringLiteral("(No regions offered")));
            widget<QCheckBox>("allowSystemDiskCheckBox")->setChecked(false);
            break;
        }
    }

    // The region is exactly the smallest one accepted; a vault is already bound, so the
    // abandonment phrase is asked for too.
    void claimsRegionAndCreatesVault() {
        const QString why = test::LoopDisk::unavailable();
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
        freshFolder();
        QVERIFY(storage_->setBoundVaultId(QStringLiteral("the-current-vault")));
        test::LoopDisk loop;
        QVERIFY2(loop.create(kSmallDiskSectors * kSector, gptWithGap(kMinimumGapSectors)),
                 qPrintable(loop.lastError()));

        openWizard();
        const rawstore::DiskInfo disk = selectFirstRegion(loop);
        QVERIFY(disk.valid);
        QCOMPARE(gapLines(),
                 QStringList{QStringLiteral("From 5.00 MiB to 7.00 MiB  --  Size 2.00 MiB")});
        QVERIFY(widget<QPushButton>("claimButton")->isEnabled());

        // A first attempt cancelled at the phrase leaves its refusal...
        {
            test::GuiScript cancelled;
            test::answerText(cancelled, QStringLiteral("phrase"), std::nullopt);
            claimThrough(cancelled);
            QCOMPARE(status(), kPhraseMismatch);
        }
        // ...which the next attempt clears as it starts.
        test::GuiScript script;
        QString abandonPrompt;
        QString question;
        QString statusWhileAsking = QStringLiteral("<not asked>");
        script.onModal<QInputDialog>(QStringLiteral("phrase"), [&](QInputDialog* input) {
            statusWhileAsking = status();
            abandonPrompt = input->windowTitle() + QLatin1Char('|') + input->labelText();
            input->setTextValue(kAbandon);
            static_cast<QDialog*>(input)->accept();
        });
        bool cancelIsDefault = false;
        test::answerQuestion(script, QMessageBox::Yes, &question, &cancelIsDefault);
        claimThrough(script);
        QVERIFY(abandonPrompt.startsWith(
            QStringLiteral("Confirm Abandoning The Current Vault|Zelvora already has a vault "
                           "bound to your master password.")));
        QVERIFY(abandonPrompt.endsWith(
            QStringLiteral("Type \"ABANDON MY CURRENT VAULT\" (without quotes) to proceed:")));
        QCOMPARE(statusWhileAsking, QString());
        QVERIFY2(question.startsWith(
                     QStringLiteral("Confirm Real Disk Claim|This will permanently claim 2.00 MiB "
                                    "of unallocated space (from 5.00 MiB to 7.00 MiB) on %1 for "
                                    "Zelvora's vault storage")
                         .arg(rawstore::diskDescription(disk))),
                 qPrintable(question));
        QVERIFY(question.contains(QStringLiteral("administrator authorisation at each start")));
        QVERIFY(question.endsWith(QStringLiteral("Continue?")));
        QVERIFY(cancelIsDefault);

        QCOMPARE(status(), kClaimed);
        QCOMPARE(statusStyle(), kGreen);
        for (const char* name : {"diskCombo", "refreshDisksButton", "gapList",
                                 "allowSystemDiskCheckBox", "claimButton"})
            QVERIFY2(!widget<QWidget>(name)->isEnabled(), name);

        // The marker sits in the region's first sector.
        const quint64 start = kGapStart * kSector;
        const quint64 length = kMinimumGapSectors * kSector;
        QVERIFY(loop.read(start, qint64(kSector)) != QByteArray(qsizetype(kSector), '\0'));

        QCOMPARE(storage_->backend(), vault::StorageBackend::RawDisk);
        const vault::RawDiskClaim claim = storage_->rawDiskClaim();
        QCOMPARE(claim.diskNumber, disk.diskNumber);
        QCOMPARE(claim.claimedStartOffset, start);
        QCOMPARE(claim.claimedLength, length);
        QCOMPARE(claim.sectorSize, quint32(kSector));
        QCOMPARE(claim.diskSerialHash, rawstore::diskIdentityHash(disk.serialNumber));
        wizard_.reset();

        // The next start opens the new, empty vault in the region with the same key.
        auto store =
            std::make_unique<vault::RawBlockStore>(claim, false, protect::markerKeyLoader(folder_));
        QString error;
        auto vault =
            vault::VaultContainer::open(std::move(store), vaultKey_, kMachine, QString(), &error);
        QVERIFY2(vault, qPrintable(error));
        QVERIFY(vault->listEntries().isEmpty());
    }

    // Each refusal leaves the region as it was (all zeros), the storage configuration on the
    // container and no marker key made.
    void refusalsWriteNothing_data() {
        QTest::addColumn<quint64>("gapSectors");
        QTest::addColumn<bool>("bound");
        QTest::addColumn<QString>("phrase"); // typed at the abandonment prompt; null: cancel it
        QTest::addColumn<int>("answer");     // to the real-claim question; 0: not asked
        QTest::addColumn<QString>("change"); // what happens to the disk before the claim
        QTest::addColumn<QString>("expected");

        const QString tooSmall =
            QStringLiteral("This region is too small for a vault (needs at least %1). Choose a "
                           "larger region.")
                .arg(QStringLiteral("2.00 MiB"));
        QTest::newRow("one sector short")
            << kMinimumGapSectors - 1 << false << QString() << 0 << QString() << tooSmall;
        QTest::newRow("phrase in lower case") << kMinimumGapSectors << true << kAbandon.toLower()
                                              << 0 << QString() << kPhraseMismatch;
        QTest::newRow("phrase with a trailing space")
            << kMinimumGapSectors << true << kAbandon + QLatin1Char(' ') << 0 << QString()
            << kPhraseMismatch;
        QTest::newRow("phrase prompt cancelled")
            << kMinimumGapSectors << true << QString() << 0 << QString() << kPhraseMismatch;
        QTest::newRow("real claim cancelled") << kMinimumGapSectors << false << QString()
                                              << int(QMessageBox::Cancel) << QString() << QString();
        QTest::newRow("disk detached")
            << kMinimumGapSectors << false << QString() << 0 << QStringLiteral("detach")
            << QStringLiteral("Could not re-query %1 -- it may have been disconnected.");
        QTest::newRow("layout changed")
            << kMinimumGapSectors << false << QString() << 0 << QStringLiteral("repartition")
            << QStringLiteral("This region is no longer claimable -- the disk layout changed "
                              "since it was listed. Refusing to claim it.");
        QTest::newRow("disk in use")
            << kMinimumGapSectors << false << QString() << int(QMessageBox::Yes)
            << QStringLiteral("hold")
            << QStringLiteral("Could not open %1 for writing. It must not be mounted or in use, "
                              "and Zelvora needs administrator authorisation (or to run as root "
                              "or in the disk group).");
        // The layout changes while the user answers: only the disk as it is once held counts.
        QTest::newRow("partition added while asking")
            << kMinimumGapSectors << false << QString() << int(QMessageBox::Yes)
            << QStringLiteral("append while asking")
            << QStringLiteral("This region is no longer claimable -- the disk layout changed "
                              "since it was listed. Refusing to claim it.");
        // A table written to the disk that the kernel never re-read: the disk is read again
        // when the claim starts, the device's own table with it.
        QTest::newRow("table the kernel has not read")
            << kMinimumGapSectors << false << QString() << 0
            << QStringLiteral("append table only")
            << QStringLiteral("This region is no longer claimable -- the disk layout changed "
                              "since it was listed. Refusing to claim it.");
    }
    void refusalsWriteNothing() {
        QFETCH(quint64, gapSectors);
        QFETCH(bool, bound);
        QFETCH(QString, phrase);
        QFETCH(int, answer);
        QFETCH(QString, change);
        QFETCH(QString, expected);
        const QString why = test::LoopDisk::unavailable();
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
        freshFolder();
        if (bound)
            QVERIFY(storage_->setBoundVaultId(QStringLiteral("the-current-vault")));
        test::LoopDisk loop;
        QVERIFY2(loop.create(kSmallDiskSectors * kSector, gptWithGap(gapSectors)),
                 qPrintable(loop.lastError()));

        openWizard();
        const rawstore::DiskInfo disk = selectFirstRegion(loop);
        QVERIFY(disk.valid);
        QVERIFY(widget<QPushButton>("claimButton")->isEnabled());

        int held = -1;
        if (change == QStringLiteral("detach")) {
            QVERIFY(loop.detach());
        } else if (change == QStringLiteral("repartition")) {
            QVERIFY2(loop.repartition(QStringLiteral("label: gpt\nstart=%1, size=%2\nstart=%3\n")
                                          .arg(kFirstStart)
                                          .arg(kFirstSize)
                                          .arg(kGapStart)),
                     qPrintable(loop.lastError()));
        } else if (change == QStringLiteral("hold")) {
            // Another program holds the disk exclusively, as a mounted file system would.
            held = ::open(QFile::encodeName(loop.devicePath()).constData(),
                          O_RDONLY | O_EXCL | O_CLOEXEC);
            QVERIFY(held >= 0);
        }

        // A partition inside the region, its first sector where the marker would go.
        const QString inside =
            QStringLiteral("start=%1, size=%2").arg(kGapStart).arg(kMinimumGapSectors - 2);
        if (change == QStringLiteral("append table only"))
            QVERIFY2(loop.appendPartition(inside, false), qPrintable(loop.lastError()));

        test::GuiScript script;
        if (bound)
            test::answerText(script, QStringLiteral("phrase"),
                             phrase.isNull() ? std::nullopt : std::optional<QString>(phrase));
        if (change == QStringLiteral("append while asking")) {
            script.onModal<QMessageBox>(QStringLiteral("question"), [&](QMessageBox* box) {
                QVERIFY2(loop.appendPartition(inside), qPrintable(loop.lastError()));
                box->button(QMessageBox::Yes)->click();
            });
        } else if (answer != 0) {
            test::answerQuestion(script, QMessageBox::StandardButton(answer));
        }
        claimThrough(script);
        if (held >= 0)
            ::close(held);

        QCOMPARE(status(), expected.contains(QStringLiteral("%1"))
                               ? expected.arg(QStringLiteral("/dev/") + disk.kernelName)
                               : expected);
        QCOMPARE(statusStyle(), expected.isEmpty() ? QString() : kRed);

        const quint64 start = kGapStart * kSector;
        const qint64 length = qint64(gapSectors * kSector);
        const QByteArray region =
            loop.attached() ? loop.read(start, length)
                            : test::readFileRange(loop.imagePath(), qint64(start), length);
        QCOMPARE(region, QByteArray(length, '\0'));
        QCOMPARE(storage_->backend(), vault::StorageBackend::Container);
        QVERIFY(!QFile::exists(markerKeyPath()));
        // Nothing was claimed, so the user may choose again.
        QVERIFY(widget<QComboBox>("diskCombo")->isEnabled());
    }
};

QTEST_MAIN(RawDiskSetupWizardTest)
#include "tst_rawdisksetupwizard.moc"
