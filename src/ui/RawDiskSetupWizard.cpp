#include "ui/RawDiskSetupWizard.h"

#include "core/StorageConfigFile.h"
#include "platform/CaptureExclusion.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/MarkerKey.h"
#include "rawstore/PhysicalMedium.h"
#include "ui/DialogHeader.h"
#include "vault/RawBlockStore.h"
#include "vault/VaultContainer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>
#include <memory>

namespace korvex::ui {

using crypto::SecureBuffer;
using rawstore::DiskInfo;
using rawstore::FreeRegion;

namespace {

const QString kRed = QStringLiteral("color: #FF7A7A;");
const QString kGreen = QStringLiteral("color: #7CD992;");
const QString kAbandonPhrase = QStringLiteral("ABANDON MY CURRENT VAULT");
const QString kSystemDiskPhrase = QStringLiteral("I UNDERSTAND THE RISK");
constexpr int kPartitionTableMaxHeight = 140;

QPushButton* makeButton(const QString& text, const char* objectName) {
    auto* button = new QPushButton(text);
    button->setObjectName(QLatin1String(objectName));
    // Return in a prompt's field must never start a claim.
    button->setAutoDefault(false);
    return button;
}

// The phrase the user typed, compared exactly: no trimming, no case folding. Cancelled is a
// mismatch.
bool phraseConfirmed(QWidget* parent, const QString& title, const QString& prompt,
                     const QString& phrase) {
    bool ok = false;
    const QString typed =
        QInputDialog::getText(parent, title, prompt, QLineEdit::Normal, QString(), &ok);
    return ok && typed == phrase;
}

QString claimFailureText(vault::ClaimFailure failure, const DiskInfo& disk) {
    const QString device = QStringLiteral("/dev/") + disk.kernelName;
    switch (failure) {
    case vault::ClaimFailure::NotTheDisk:
        return RawDiskSetupWizard::tr(
                   "%1 is no longer the disk that was listed (it was disconnected, replaced or "
                   "resized). Nothing was written -- press Refresh and choose again.")
            .arg(device);
    case vault::ClaimFailure::NotFree:
        return RawDiskSetupWizard::tr("This region is no longer claimable -- the disk layout "
                                      "changed since it was listed. Refusing to claim it.");
    case vault::ClaimFailure::Unreadable:
        return RawDiskSetupWizard::tr("The partition table on %1 could not be read, so Zelvora "
                                      "cannot tell that this region is free. Nothing was written.")
            .arg(device);
    case vault::ClaimFailure::None:
    case vault::ClaimFailure::NotOpen:
    case vault::ClaimFailure::SystemDisk:
    case vault::ClaimFailure::WriteFailed:
        break;
    }
    return RawDiskSetupWizard::tr("Claiming this region failed. No vault was created.");
}

} // namespace

RawDiskSetupWizard::RawDiskSetupWizard(const SecureBuffer& vaultKey,
                                       core::StorageConfigFile& storage, const QString& machineId,
                                       const QString& dataFolder, QWidget* parent)
    : QDialog(parent), vaultKey_(vaultKey), storage_(storage), machineId_(machineId),
      dataFolder_(dataFolder) {
    setWindowTitle(tr("Zelvora - Advanced: Raw Disk Setup"));
    setMinimumSize(620, 600);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(12);

    layout->addWidget(makeDialogHeader(
        this, QStringLiteral(":/icons/key.svg"), tr("Advanced: Raw Disk"),
        tr("Stores the vault in unallocated disk space instead of an ordinary file.")));

    elevationWarningLabel_ = new QLabel;
    elevationWarningLabel_->setObjectName(QStringLiteral("elevationWarningLabel"));
    elevationWarningLabel_->setStyleSheet(kRed);
    elevationWarningLabel_->setWordWrap(true);
    elevationWarningLabel_->setVisible(false);
    layout->addWidget(elevationWarningLabel_);

    auto* diskRow = new QHBoxLayout;
    diskCombo_ = new QComboBox;
    diskCombo_->setObjectName(QStringLiteral("diskCombo"));
    diskCombo_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(diskCombo_, &QComboBox::currentIndexChanged, this,
            &RawDiskSetupWizard::onDiskSelectionChanged);
    diskRow->addWidget(diskCombo_, 1);
    refreshButton_ = makeButton(tr("Refresh"), "refreshDisksButton");
    connect(refreshButton_, &QPushButton::clicked, this, &RawDiskSetupWizard::onRefreshClicked);
    diskRow->addWidget(refreshButton_);
    layout->addLayout(diskRow);

    allowSystemDiskCheckBox_ =
        new QCheckBox(tr("Unlock the system disk (NOT RECOMMENDED -- a mistake here can stop your "
                         "system from booting)"));
    allowSystemDiskCheckBox_->setObjectName(QStringLiteral("allowSystemDiskCheckBox"));
    allowSystemDiskCheckBox_->setChecked(false);
    allowSystemDiskCheckBox_->setStyleSheet(kRed);
    connect(allowSystemDiskCheckBox_, &QCheckBox::toggled, this,
            &RawDiskSetupWizard::onAllowSystemDiskToggled);
    layout->addWidget(allowSystemDiskCheckBox_);

    diskInfoLabel_ = makeRoleLabel(QString(), "subtext");
    diskInfoLabel_->setObjectName(QStringLiteral("diskInfoLabel"));
    diskInfoLabel_->setWordWrap(true);
    layout->addWidget(diskInfoLabel_);

    partitionTable_ = new QTableWidget(0, 3);
    partitionTable_->setObjectName(QStringLiteral("partitionTable"));
    partitionTable_->setHorizontalHeaderLabels({tr("Partition"), tr("Start"), tr("Size")});
    partitionTable_->horizontalHeader()->setStretchLastSection(true);
    partitionTable_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    partitionTable_->setMaximumHeight(kPartitionTableMaxHeight);
    layout->addWidget(partitionTable_);

    layout->addWidget(makeRoleLabel(tr("Candidate free-space regions (between partitions, and "
                                       "after the last partition up to the disk's end):"),
                                    "subtext"));

    gapList_ = new QListWidget;
    gapList_->setObjectName(QStringLiteral("gapList"));
    connect(gapList_, &QListWidget::itemSelectionChanged, this,
            &RawDiskSetupWizard::onGapSelectionChanged);
    // The claim follows the current row, which can move without the selection changing.
    connect(gapList_, &QListWidget::currentRowChanged, this,
            &RawDiskSetupWizard::onGapSelectionChanged);
    layout->addWidget(gapList_);

    armedWarningLabel_ = new QLabel(
        tr("Real writes are armed. Claiming a region permanently reserves it for Zelvora and "
           "creates a brand-new, EMPTY vault there -- your existing vault's contents are not "
           "moved automatically. This is not easily reversible."));
    armedWarningLabel_->setObjectName(QStringLiteral("armedWarningLabel"));
    armedWarningLabel_->setStyleSheet(kRed);
    armedWarningLabel_->setWordWrap(true);
    layout->addWidget(armedWarningLabel_);

    claimButton_ = makeButton(tr("Claim This Region For Real..."), "claimButton");
    claimButton_->setProperty("accent", true);
    claimButton_->setEnabled(false);
    connect(claimButton_, &QPushButton::clicked, this, &RawDiskSetupWizard::onClaimClicked);
    layout->addWidget(claimButton_);

    statusLabel_ = new QLabel;
    statusLabel_->setObjectName(QStringLiteral("rawDiskStatusLabel"));
    statusLabel_->setWordWrap(true);
    layout->addWidget(statusLabel_);

    onRefreshClicked();
}

RawDiskSetupWizard::~RawDiskSetupWizard() = default;

QString RawDiskSetupWizard::regionText(const FreeRegion& region) {
    return tr("From %1 to %2  --  Size %3")
        .arg(rawstore::sizeText(region.start), rawstore::sizeText(region.start + region.length),
             rawstore::sizeText(region.length));
}

void RawDiskSetupWizard::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Linux offers no capture exclusion; the call then does nothing and says so.
    korvex::platform::excludeFromCapture(static_cast<quintptr>(winId()));
}

void RawDiskSetupWizard::applyClaimButtonRule() {
    const int row = gapList_->currentRow();
    claimButton_->setEnabled(!regions_.isEmpty() && row >= 0 && row < regions_.size());
}

void RawDiskSetupWizard::showFailure(const QString& text) {
    statusLabel_->setStyleSheet(kRed);
    statusLabel_->setText(text);
}

void RawDiskSetupWizard::onRefreshClicked() {
    disks_ = rawstore::listDisks();

    {
        const QSignalBlocker blocker(diskCombo_);
        diskCombo_->clear();
        for (const DiskInfo& disk : std::as_const(disks_)) {
            QString text = rawstore::diskDescription(disk);
            if (disk.isSystemDisk)
                text += tr(" -- System Disk, not available");
            diskCombo_->addItem(text);
        }
    }

    if (disks_.isEmpty()) {
        elevationWarningLabel_->setText(
            rawstore::isElevated()
                ? tr("No disks found, even though Zelvora may open disks directly. This may be a "
                     "driver or hardware issue -- try restarting, or check the kernel log "
                     "(dmesg).")
                : tr("No disks found. Zelvora lists the disks the kernel reports; none of them "
                     "can hold a vault."));
    }
    elevationWarningLabel_->setVisible(disks_.isEmpty());

    partitionTable_->setRowCount(0);
    regions_.clear();
    {
        const QSignalBlocker blocker(gapList_);
        gapList_->clear();
    }
    diskInfoLabel_->clear();
    statusLabel_->setStyleSheet(QString());
    statusLabel_->clear();
    applyClaimButtonRule();

    if (!disks_.isEmpty())
        onDiskSelectionChanged(0);
}

void RawDiskSetupWizard::onDiskSelectionChanged(int index) {
    regions_.clear();
    {
        const QSignalBlocker blocker(gapList_);
        gapList_->clear();
    }
    statusLabel_->setStyleSheet(QString());
    statusLabel_->clear();

    if (index < 0 || index >= disks_.size()) {
        diskInfoLabel_->clear();
        partitionTable_->setRowCount(0);
        applyClaimButtonRule();
        return;
    }

    const DiskInfo& disk = disks_[index];
    const bool unlocked = allowSystemDiskCheckBox_->isChecked();
    QString systemNote;
    if (disk.isSystemDisk)
        systemNote =
            unlocked ? tr("  |  SYSTEM DISK -- unlocked") : tr("  |  SYSTEM DISK -- excluded");
    diskInfoLabel_->setText(
        tr("Serial: %1  |  Sector size: %2 bytes  |  Partitions: %3%4")
            .arg(disk.serialNumber.isEmpty() ? tr("(unknown)") : disk.serialNumber,
                 QString::number(disk.sectorSize), QString::number(disk.partitions.size()),
                 systemNote));

    partitionTable_->setRowCount(int(disk.partitions.size()));
    for (int row = 0; row < disk.partitions.size(); ++row) {
        const rawstore::PartitionExtent& partition = disk.partitions[row];
        partitionTable_->setItem(row, 0,
                                 new QTableWidgetItem(QString::number(partition.partitionNumber)));
        partitionTable_->setItem(
            row, 1, new QTableWidgetItem(rawstore::sizeText(partition.startingOffset)));
        partitionTable_->setItem(row, 2,
                                 new QTableWidgetItem(rawstore::sizeText(partition.length)));
    }

    {
        const QSignalBlocker blocker(gapList_);
        if (disk.isSystemDisk && !unlocked) {
            gapList_->addItem(
                tr("(No regions offered -- this is the system/boot disk. Check \"Unlock the "
                   "system disk\" above to see its free-space regions.)"));
        } else {
            regions_ = rawstore::computeFreeRegions(disk, 0, unlocked);
            for (const FreeRegion& region : std::as_const(regions_))
                gapList_->addItem(regionText(region));
            if (regions_.isEmpty())
                gapList_->addItem(tr("(No free space found between partitions on this disk)"));
        }
    }
    applyClaimButtonRule();
}

void RawDiskSetupWizard::onGapSelectionChanged() {
    applyClaimButtonRule();
}

void RawDiskSetupWizard::onAllowSystemDiskToggled(bool /*checked*/) {
    onDiskSelectionChanged(diskCombo_->currentIndex());
}

void RawDiskSetupWizard::onClaimClicked() {
    const int index = diskCombo_->currentIndex();
    const int row = gapList_->currentRow();
    if (index < 0 || index >= disks_.size() || row < 0 || row >= regions_.size())
        return;
    // A new attempt: what an earlier one said no longer applies.
    statusLabel_->setStyleSheet(QString());
    statusLabel_->clear();
    const DiskInfo& listed = disks_[index];
    const FreeRegion region = regions_[row];

    const DiskInfo fresh = rawstore::queryDiskInfo(listed.diskNumber);
    // Numbers follow the disks present: when the listed disk went away its number may now
    // name another disk, which is not the one the user chose.
    if (!fresh.valid || fresh.device != listed.device ||
        fresh.serialNumber != listed.serialNumber) {
        showFailure(tr("Could not re-query %1 -- it may have been disconnected.")
                        .arg(QStringLiteral("/dev/") + listed.kernelName));
        return;
    }
    claim(fresh, region);
}

void RawDiskSetupWizard::claim(const DiskInfo& disk, const FreeRegion& region) {
    const bool unlocked = allowSystemDiskCheckBox_->isChecked();

    // 1. Still free on the disk as it is now.
    if (!rawstore::regionIsFree(disk, region, unlocked)) {
        showFailure(tr("This region is no longer claimable -- the disk layout changed since it "
                       "was listed. Refusing to claim it."));
        return;
    }

    // 2. Room for the marker sector and a vault.
    const quint64 minimum = rawstore::minimumClaimSize(disk.sectorSize);
    if (region.length < minimum) {
        showFailure(tr("This region is too small for a vault (needs at least %1). Choose a larger "
                       "region.")
                        .arg(rawstore::sizeText(minimum)));
        return;
    }

    // 3. A vault already bound to the password is abandoned only on the typed phrase.
    if (storage_.boundVaultIdRecorded() && !storage_.boundVaultId().isEmpty()) {
        const QString prompt =
            tr("Zelvora already has a vault bound to your master password. Claiming a new region "
               "creates a SEPARATE, empty vault and rebinds your password to IT instead -- the "
               "current vault's files stay on disk, untouched, but your password will no longer "
               "open them through Zelvora. There is no supported way to undo this.\n\nBack up "
               "anything you need from the current vault FIRST, if you haven't already.\n\nType "
               "\"%1\" (without quotes) to proceed:")
                .arg(kAbandonPhrase);
        if (!phraseConfirmed(this, tr("Confirm Abandoning The Current Vault"), prompt,
                             kAbandonPhrase)) {
            showFailure(tr("Claim cancelled -- confirmation phrase did not match."));
            return;
        }
    }

    // 4. The real claim.
    const auto answer = QMessageBox::warning(
        this, tr("Confirm Real Disk Claim"),
        tr("This will permanently claim %1 of unallocated space (from %2 to %3) on %4 for "
           "Zelvora's vault storage, and create a brand-new, EMPTY vault there.\n\nIMPORTANT: "
           "from now on, "
           "opening this vault needs direct access to the physical disk EVERY time you launch "
           "Zelvora -- not just today. Unless Zelvora runs as a user who may open disks (root or "
           "the disk group), you will be asked for administrator authorisation at each start; "
           "refusing it leaves the vault closed.\n\nThis is not easily reversible. Continue?")
            .arg(rawstore::sizeText(region.length), rawstore::sizeText(region.start),
                 rawstore::sizeText(region.start + region.length), rawstore::diskDescription(disk)),
        QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
    if (answer != QMessageBox::Yes)
        return;

    // 5. The system disk needs its own phrase.
    if (disk.isSystemDisk) {
        const QString prompt =
            tr("This is your system/boot disk. A mistake here can stop your machine from "
               "booting. We strongly recommend backing up the disk, or at least its partition "
               "table (sfdisk --dump), before continuing.\n\nType \"%1\" (without quotes) to "
               "proceed:")
                .arg(kSystemDiskPhrase);
        if (!phraseConfirmed(this, tr("Confirm System Disk Claim"), prompt, kSystemDiskPhrase)) {
            showFailure(tr("System disk claim cancelled -- confirmation phrase did not match."));
            return;
        }
    }

    // 6. The disk, for writing.
    auto medium = std::make_shared<rawstore::PhysicalDiskMedium>(disk, disk.size, disk.sectorSize);
    if (!medium->open()) {
        showFailure(tr("Could not open %1 for writing. It must not be mounted or in use, and "
                       "Zelvora needs administrator authorisation (or to run as root or in the "
                       "disk group).")
                        .arg(QStringLiteral("/dev/") + disk.kernelName));
        return;
    }

    // The disk as it is now that it is held, before anything is made for the claim: the same
    // disk, and the region still free in the kernel's view and in the table on the device.
    {
        const vault::RawBlockStore::ClaimResult checked =
            vault::RawBlockStore::claimRegion(medium, disk, region, true, unlocked, SecureBuffer());
        if (!checked.ok) {
            medium->close();
            showFailure(claimFailureText(checked.failure, disk));
            return;
        }
    }

    // 7. The marker key.
    const SecureBuffer markerKey =
        protect::LocalIntegrityKey::getOrCreateKey(protect::markerKeyPath(dataFolder_));
    if (markerKey.empty()) {
        medium->close();
        showFailure(tr("Could not secure the claim marker. No vault was created."));
        return;
    }

    // A record of an earlier wipe of this space would be taken for the new claim's: it goes
    // before the claim is made, or no claim is made.
    const QString journal = protect::releaseJournalPath(dataFolder_);
    if (QFileInfo::exists(journal) && !QFile::remove(journal)) {
        medium->close();
        showFailure(tr("Could not remove the record of an earlier wipe (%1). No vault was "
                       "created.")
                        .arg(QDir::toNativeSeparators(journal)));
        return;
    }

    // 8. The marker, after the same checks once more.
    {
        vault::RawBlockStore::ClaimResult claimed =
            vault::RawBlockStore::claimRegion(medium, disk, region, false, unlocked, markerKey);
        if (!claimed.ok) {
            medium->close();
            showFailure(claimFailureText(claimed.failure, disk));
            return;
        }
    }

    // 9. A new vault in the claimed region.
    medium->close();
    const QByteArray serialHash = rawstore::diskIdentityHash(disk.serialNumber);
    auto keyCopy = std::make_shared<const SecureBuffer>(markerKey.clone());
    vault::MarkerKeyLoader loader = [keyCopy](vault::MarkerKeyFailure* failure) {
        if (failure)
            *failure = vault::MarkerKeyFailure::None;
        return keyCopy->clone();
    };
    auto store = std::make_unique<vault::RawBlockStore>(disk.diskNumber, region.start,
                                                        region.length, disk.sectorSize, serialHash,
                                                        true, std::move(loader));
    std::unique_ptr<vault::VaultContainer> container =
        vault::VaultContainer::create(std::move(store), vaultKey_, machineId_);

    // 10. Without a vault the claim is given back: its marker zeroed, only while the sector
    // still holds it.
    if (!container) {
        bool released = false;
        if (medium->open()) {
            released = vault::RawBlockStore::withdrawClaim(*medium, disk, region, markerKey);
            medium->close();
        }
        showFailure(released
                        ? tr("The region was claimed, but creating a vault inside it failed. The "
                             "claim has been released, so this space is free again -- try a "
                             "different region.")
                        : tr("The region was claimed, but creating a vault inside it failed. The "
                             "claimed space is now unused; please report this."));
        return;
    }

    // 11. The next start uses the new vault.
    vault::RawDiskClaim record;
    record.diskNumber = disk.diskNumber;
    record.claimedStartOffset = region.start;
    record.claimedLength = region.length;
    record.sectorSize = disk.sectorSize;
    record.diskSerialHash = serialHash;
    if (!storage_.setRawDiskClaim(record)) {
        showFailure(tr("The vault was created, but saving the storage configuration failed. "
                       "Please report this."));
        return;
    }
    statusLabel_->setStyleSheet(kGreen);
    statusLabel_->setText(tr("Claimed the region and created a new raw-disk vault. Restart "
                             "Zelvora to start using it."));
    diskCombo_->setEnabled(false);
    refreshButton_->setEnabled(false);
    gapList_->setEnabled(false);
    allowSystemDiskCheckBox_->setEnabled(false);
    claimButton_->setEnabled(false);
    // Opened at the next start.
    container.reset();
}

} // namespace korvex::ui
