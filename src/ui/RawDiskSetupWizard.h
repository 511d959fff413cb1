#pragma once

#include "crypto/SecureBuffer.h"
#include "rawstore/PhysicalDisks.h"

#include <QDialog>
#include <QList>
#include <QString>

class QCheckBox;
class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTableWidget;

namespace korvex::core {
class StorageConfigFile;
}

namespace korvex::ui {

// Moves the vault into a region of unallocated space between the partitions of a physical disk:
// lists the disks, shows the chosen disk's partitions and the free regions between them, and
// claims one region only after a chain of checks and typed confirmations. A successful claim
// writes the claim marker, creates a new, empty vault in the region and switches the storage
// configuration to the raw disk for the next start; the current vault is not moved.
class RawDiskSetupWizard : public QDialog {
    Q_OBJECT

public:
    // None of the references is owned. dataFolder holds the claim-marker key.
    RawDiskSetupWizard(const korvex::crypto::SecureBuffer& vaultKey,
                       korvex::core::StorageConfigFile& storage, const QString& machineId,
                       const QString& dataFolder, QWidget* parent = nullptr);
    ~RawDiskSetupWizard() override;

    // "From 11.00 MiB to 20.00 MiB  --  Size 9.00 MiB".
    static QString regionText(const korvex::rawstore::FreeRegion& region);

private Q_SLOTS:
    void onRefreshClicked();
    void onDiskSelectionChanged(int index);
    void onGapSelectionChanged();
    void onAllowSystemDiskToggled(bool checked);
    void onClaimClicked();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void applyClaimButtonRule();
    void showFailure(const QString& text);
    // The claim of region on disk (freshly queried), through every check and confirmation.
    void claim(const korvex::rawstore::DiskInfo& disk, const korvex::rawstore::FreeRegion& region);

    const korvex::crypto::SecureBuffer& vaultKey_;
    korvex::core::StorageConfigFile& storage_;
    QString machineId_;
    QString dataFolder_;
    QList<korvex::rawstore::DiskInfo> disks_;
    QList<korvex::rawstore::FreeRegion> regions_;

    QLabel* elevationWarningLabel_ = nullptr;
    QComboBox* diskCombo_ = nullptr;
    QPushButton* refreshButton_ = nullptr;
    QCheckBox* allowSystemDiskCheckBox_ = nullptr;
    QLabel* diskInfoLabel_ = nullptr;
    QTableWidget* partitionTable_ = nullptr;
    QListWidget* gapList_ = nullptr;
    QLabel* armedWarningLabel_ = nullptr;
    QPushButton* claimButton_ = nullptr;
    QLabel* statusLabel_ = nullptr;
};

} // namespace korvex::ui
