#pragma once

#include "crypto/SecureBuffer.h"

#include <QDialog>
#include <QImage>
#include <QString>
#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QWidget;

namespace korvex::core {
class AuthManager;
struct ContainerSettings;
class StorageConfigFile;
class TwoFactorManager;
} // namespace korvex::core
namespace korvex::vault {
class VaultContainer;
}

// The one settings window of a signed-in session: General (account and vault statistics),
// Security (two-factor authentication, auto-lock, master password, local protection) and Storage
// (where the vault lives, its size limit, its file protections and deleting it). Each section
// reports its outcome in its own status label; the dialog never closes by itself.
//
// Password changes and switching two-factor authentication on or off re-key the vault in an
// order that start-up recovery can always finish or roll back. The newest vault key produced
// here is used by every later step of the dialog and handed to the main window afterwards.
class ConfigureDialog : public QDialog {
    Q_OBJECT

public:
    // None of the references is owned; container may be null (the vault could not be opened).
    ConfigureDialog(const korvex::crypto::SecureBuffer& vaultKey, const QString& username,
                    const QString& machineId, korvex::core::AuthManager& auth,
                    korvex::core::TwoFactorManager& twoFactor,
                    korvex::core::StorageConfigFile& storage, const QString& idleLockPath,
                    const QString& generationRecordPath, korvex::vault::VaultContainer* container,
                    QWidget* parent = nullptr);
    ~ConfigureDialog() override;

    bool hasNewVaultKey() const { return newVaultKey_.has_value(); }
    // The key a re-keying produced, handed over once.
    std::optional<korvex::crypto::SecureBuffer> takeNewVaultKey();
    // Scrubs the password fields first.
    void reject() override;
    // Zeroes the new key, the password fields and the enrolment's secret (session wipe).
    void wipe();

    // "1.5 KB", "1.00 GB" and so on.
    static QString sizeText(qint64 bytes);
    // The otpauth URI as a QR code: error correction Medium, 6-pixel modules, a 4-module quiet
    // zone. A null image when the text does not fit in a QR code.
    static QImage renderQrCode(const QString& text);

private Q_SLOTS:
    void onEnableClicked();
    void onConfirmClicked();
    void onCancelEnrollmentClicked();
    void onDisableClicked();
    void onChangePasswordClicked();
    void onSetUpRawDiskClicked();
    void onSwitchToContainerClicked();
    void onShowRecoveryCodeClicked();
    void onApplyMaxSizeClicked();
    void onBrowseLocationClicked();
    void onApplyLocationClicked();
    void onHiddenToggled(bool checked);
    void onDeleteRestrictedToggled(bool checked);
    void onDeleteVaultClicked();
    void onAutoLockChanged(int index);

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QWidget* buildGeneralPage();
    QWidget* buildSecurityPage();
    QWidget* buildStoragePage();
    void refreshTwoFactorSection();
    void refreshStorageSection();
    void scrubPasswordFields();
    void endEnrollment();
    // Zeroes the manual secret's text and clears it and the QR code.
    void clearEnrollmentLabels();
    // The key every step uses: the newest one a re-keying produced, else the main window's.
    const korvex::crypto::SecureBuffer& currentVaultKey() const;
    void keepNewVaultKey(korvex::crypto::SecureBuffer key);
    enum class Transition { Password, TwoFactor };
    struct RekeyTexts {
        QString unchanged;       // the re-key failed and nothing changed
        QString unusable;        // the re-key failed and the vault's state is unknown
        const char* markFailure; // logged when the re-keyed mark cannot be written
    };
    // The step the three key changes share, after their transition is written: the rollback
    // pre-record, the re-key, then the transition marked as re-keyed, or abandoned when nothing
    // changed. False (its message in status, red) unless the vault now opens with key.
    bool rekeyVault(const korvex::crypto::SecureBuffer& key, Transition transition,
                    const RekeyTexts& texts, QLabel* status);
    // Advances the rollback record to the generation the next re-key will commit; the message
    // for the user when that fails.
    std::optional<QString> preRecordRollbackGuard();
    // After a re-key that failed cleanly, from the generation it started at.
    void withdrawRollbackAdvance(quint64 startGeneration);
    // The default data folder (the one holding the generation record).
    QString dataFolder() const;
    // Where the vault file of these settings is now: a move requested earlier and not yet
    // carried out leaves it at its old place.
    QString vaultPathNow(const korvex::core::ContainerSettings& settings) const;
    // True (with the message in status) while an earlier key change is still pending.
    bool refuseWhileChangePending(QLabel* status);
    // True (and says why in status) when the next start opens another vault than the open one.
    bool refuseAfterSwitchingVaults(QLabel* status);
    // A password typed into a "Confirm Your Password" prompt; nothing when cancelled.
    std::optional<QString> askPassword(const QString& prompt);

    const korvex::crypto::SecureBuffer& mainWindowKey_;
    std::optional<korvex::crypto::SecureBuffer> newVaultKey_;
    QString username_;
    QString machineId_;
    korvex::core::AuthManager& auth_;
    korvex::core::TwoFactorManager& twoFactor_;
    korvex::core::StorageConfigFile& storage_;
    QString idleLockPath_;
    QString generationRecordPath_;
    korvex::vault::VaultContainer* container_ = nullptr;
    bool enrollmentInProgress_ = false;

    QTabWidget* tabs_ = nullptr;
    QLabel* vaultStatsLabel_ = nullptr;
    QLabel* twoFactorStatusLabel_ = nullptr;
    QPushButton* enableButton_ = nullptr;
    QWidget* enrollmentPanel_ = nullptr;
    QLabel* qrCodeLabel_ = nullptr;
    QLabel* manualSecretLabel_ = nullptr;
    QLineEdit* codeEdit_ = nullptr;
    QWidget* disablePanel_ = nullptr;
    QComboBox* autoLockComboBox_ = nullptr;
    QLabel* autoLockStatusLabel_ = nullptr;
    QLineEdit* currentPasswordEdit_ = nullptr;
    QLineEdit* newPasswordEdit_ = nullptr;
    QLineEdit* confirmNewPasswordEdit_ = nullptr;
    QLabel* changePasswordStatusLabel_ = nullptr;
    QLabel* localSecurityStatusLabel_ = nullptr;
    QPushButton* showRecoveryCodeButton_ = nullptr;
    QLabel* storageStatusLabel_ = nullptr;
    QLabel* vaultSizeLabel_ = nullptr;
    QPushButton* setUpRawDiskButton_ = nullptr;
    QPushButton* switchToContainerButton_ = nullptr;
    QSpinBox* maxSizeSpinBox_ = nullptr;
    QLabel* maxSizeStatusLabel_ = nullptr;
    QLineEdit* locationDirectoryEdit_ = nullptr;
    QPushButton* browseLocationButton_ = nullptr;
    QLineEdit* locationFileNameEdit_ = nullptr;
    QPushButton* applyLocationButton_ = nullptr;
    QLabel* locationStatusLabel_ = nullptr;
    QCheckBox* hiddenCheckBox_ = nullptr;
    QCheckBox* deleteRestrictedCheckBox_ = nullptr;
    QLabel* containerProtectionStatusLabel_ = nullptr;
    QPushButton* deleteVaultButton_ = nullptr;
    QLabel* deleteVaultStatusLabel_ = nullptr;
};
