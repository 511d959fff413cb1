#include "ui/ConfigureDialog.h"

#include "core/AuthManager.h"
#include "core/IdleLockSetting.h"
#include "core/PasswordPolicy.h"
#include "core/StorageConfigFile.h"
#include "core/TwoFactorManager.h"
#include "crypto/SecureWipe.h"
#include "platform/CaptureExclusion.h"
#include "platform/UserKeyFileProtection.h"
#include "protect/FileProtection.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/RecoveryCode.h"
#include "protect/RollbackGuard.h"
#include "ui/DialogHeader.h"
#include "ui/PasswordPrompt.h"
#include "ui/RawDiskSetupWizard.h"
#include "ui/RecoveryCodeDialog.h"
#include "ui/SecretField.h"
#include "ui/Theme.h"
#include "vault/RawBlockStore.h"
#include "vault/VaultContainer.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>
#include <qrcodegen.hpp>
#include <stdexcept>
#include <string>

using korvex::crypto::SecureBuffer;
using korvex::vault::RekeyResult;
using korvex::vault::StorageBackend;

namespace {

QLabel* heading(const QString& text) {
    return korvex::ui::makeRoleLabel(text, "heading");
}

QLabel* subtext(const QString& text) {
    return korvex::ui::makeRoleLabel(text, "subtext");
}

constexpr int kQrModulePixels = 6;
constexpr int kQrQuietModules = 4;
constexpr qint64 kBytesPerMegabyte = 1048576;
constexpr int kMaxSizeMegabytes = 1000000;

enum class Tone { Success, Failure, Plain };

void showStatus(QLabel* label, const QString& text, Tone tone) {
    switch (tone) {
    case Tone::Success:
        label->setStyleSheet(QStringLiteral("color: #7CD992;"));
        break;
    case Tone::Failure:
        label->setStyleSheet(QStringLiteral("color: #FF7A7A;"));
        break;
    case Tone::Plain:
        label->setStyleSheet(QString());
        break;
    }
    label->setText(text);
}

void clearStatus(QLabel* label) {
    label->setStyleSheet(QString());
    label->clear();
}

QLabel* statusLabel(const char* objectName) {
    auto* label = new QLabel;
    label->setObjectName(QLatin1String(objectName));
    label->setWordWrap(true);
    return label;
}

QFrame* divider() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QPushButton* button(const QString& text, const char* objectName, bool accent = false) {
    auto* result = new QPushButton(text);
    result->setObjectName(QLatin1String(objectName));
    // Return in a field must never press a button of another section (a password field would
    // otherwise start a two-factor enrolment).
    result->setAutoDefault(false);
    if (accent)
        result->setProperty("accent", true);
    return result;
}

// Runs its function when the scope ends, whichever way it is left.
template <typename F> struct AtExit {
    F f;
    ~AtExit() { f(); }
};
template <typename F> AtExit(F) -> AtExit<F>;

// The password's UTF-8 bytes; the intermediate copy is zeroed.
std::string utf8Of(const QString& text) {
    QByteArray utf8 = text.toUtf8();
    std::string bytes(utf8.constData(), static_cast<std::size_t>(utf8.size()));
    korvex::crypto::secureWipe(utf8);
    return bytes;
}

// The statistics of the open container: the number of files and the sum of their sizes.
QPair<int, qint64> vaultStatistics(korvex::vault::VaultContainer* container) {
    qint64 total = 0;
    const QList<korvex::vault::EntrySummary> entries = container->listEntries();
    for (const korvex::vault::EntrySummary& entry : entries)
        total += entry.size;
    return {int(entries.size()), total};
}

} // namespace

ConfigureDialog::ConfigureDialog(const SecureBuffer& vaultKey, const QString& username,
                                 const QString& machineId, korvex::core::AuthManager& auth,
                                 korvex::core::TwoFactorManager& twoFactor,
                                 korvex::core::StorageConfigFile& storage,
                                 const QString& idleLockPath, const QString& generationRecordPath,
                                 korvex::vault::VaultContainer* container, QWidget* parent)
    : QDialog(parent), mainWindowKey_(vaultKey), username_(username), machineId_(machineId),
      auth_(auth), twoFactor_(twoFactor), storage_(storage), idleLockPath_(idleLockPath),
      generationRecordPath_(generationRecordPath), container_(container) {
    setWindowTitle(tr("Zelvora - Configure"));
    setMinimumSize(460, 420);

    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("configureTabs"));
    tabs_->addTab(buildGeneralPage(), tr("General"));
    tabs_->addTab(buildSecurityPage(), tr("Security"));
    tabs_->addTab(buildStoragePage(), tr("Storage"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);

    refreshTwoFactorSection();
    refreshStorageSection();

    QSize size(560, 660);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        size = QSize(qMin(560, int(available.width() * 0.9)),
                     qMin(660, int(available.height() * 0.9)));
    }
    setMaximumSize(size);
    resize(size);
}

ConfigureDialog::~ConfigureDialog() {
    wipe();
}

QWidget* ConfigureDialog::buildGeneralPage() {
    QVBoxLayout* column = nullptr;
    QScrollArea* page = korvex::ui::makeScrollPage(14, &column);

    column->addWidget(heading(tr("Account")));
    auto* user = new QLabel(tr("Signed in as: %1").arg(username_));
    user->setObjectName(QStringLiteral("generalUsernameLabel"));
    user->setTextFormat(Qt::PlainText);
    column->addWidget(user);

    column->addWidget(divider());
    column->addWidget(heading(tr("Vault")));
    vaultStatsLabel_ = new QLabel;
    vaultStatsLabel_->setObjectName(QStringLiteral("generalVaultStatsLabel"));
    if (container_) {
        const QPair<int, qint64> stats = vaultStatistics(container_);
        vaultStatsLabel_->setText(
            tr("%1 file(s), %2 total").arg(stats.first).arg(sizeText(stats.second)));
    } else {
        vaultStatsLabel_->setText(tr("Vault unavailable."));
    }
    column->addWidget(vaultStatsLabel_);
    column->addStretch(1);
    return page;
}

QWidget* ConfigureDialog::buildSecurityPage() {
    QVBoxLayout* column = nullptr;
    QScrollArea* page = korvex::ui::makeScrollPage(14, &column);

    // Two-factor authentication.
    column->addWidget(heading(tr("Two-Factor Authentication")));
    column->addWidget(
        subtext(tr("Add a one-time code from your phone as a second step at login.")));
    twoFactorStatusLabel_ = statusLabel("twoFactorStatusLabel");
    column->addWidget(twoFactorStatusLabel_);
    enableButton_ = button(tr("Enable Two-Factor Authentication"), "enableTwoFactorButton", true);
    enableButton_->setIcon(korvex::ui::loadIcon(QStringLiteral(":/icons/key.svg")));
    enableButton_->setIconSize(QSize(18, 18));
    connect(enableButton_, &QPushButton::clicked, this, &ConfigureDialog::onEnableClicked);
    column->addWidget(enableButton_);

    enrollmentPanel_ = new QWidget;
    auto* enrollment = new QVBoxLayout(enrollmentPanel_);
    enrollment->setContentsMargins(0, 0, 0, 0);
    qrCodeLabel_ = new QLabel;
    qrCodeLabel_->setObjectName(QStringLiteral("qrCodeLabel"));
    qrCodeLabel_->setAlignment(Qt::AlignCenter);
    enrollment->addWidget(qrCodeLabel_);
    manualSecretLabel_ = subtext(QString());
    manualSecretLabel_->setObjectName(QStringLiteral("manualSecretLabel"));
    manualSecretLabel_->setTextFormat(Qt::PlainText);
    manualSecretLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    enrollment->addWidget(manualSecretLabel_);
    auto* codeRow = new QHBoxLayout;
    codeEdit_ = new QLineEdit;
    codeEdit_->setObjectName(QStringLiteral("twoFactorCodeEdit"));
    codeEdit_->setPlaceholderText(tr("Enter the 6-digit code from your app"));
    codeEdit_->setMaxLength(6);
    connect(codeEdit_, &QLineEdit::returnPressed, this, &ConfigureDialog::onConfirmClicked);
    codeRow->addWidget(codeEdit_, 1);
    QPushButton* confirm = button(tr("Confirm"), "confirmTwoFactorButton", true);
    confirm->setIcon(korvex::ui::loadIcon(QStringLiteral(":/icons/check-shield.svg")));
    confirm->setIconSize(QSize(16, 16));
    connect(confirm, &QPushButton::clicked, this, &ConfigureDialog::onConfirmClicked);
    codeRow->addWidget(confirm);
    enrollment->addLayout(codeRow);
    QPushButton* cancel = button(tr("Cancel"), "cancelTwoFactorButton");
    connect(cancel, &QPushButton::clicked, this, &ConfigureDialog::onCancelEnrollmentClicked);
    enrollment->addWidget(cancel);
    column->addWidget(enrollmentPanel_);

    disablePanel_ = new QWidget;
    auto* disable = new QVBoxLayout(disablePanel_);
    disable->setContentsMargins(0, 0, 0, 0);
    QPushButton* disableButton =
        button(tr("Disable Two-Factor Authentication"), "disableTwoFactorButton");
    connect(disableButton, &QPushButton::clicked, this, &ConfigureDialog::onDisableClicked);
    disable->addWidget(disableButton);
    column->addWidget(disablePanel_);

    // Auto-lock.
    column->addWidget(divider());
    column->addWidget(heading(tr("Auto-Lock")));
    column->addWidget(
        subtext(tr("Automatically sign out after a period of inactivity while a vault is open.")));
    autoLockComboBox_ = new QComboBox;
    autoLockComboBox_->setObjectName(QStringLiteral("autoLockComboBox"));
    autoLockComboBox_->addItem(tr("Never"), 0);
    autoLockComboBox_->addItem(tr("1 minute"), 1);
    autoLockComboBox_->addItem(tr("5 minutes"), 5);
    autoLockComboBox_->addItem(tr("15 minutes"), 15);
    autoLockComboBox_->addItem(tr("30 minutes"), 30);
    const int index =
        autoLockComboBox_->findData(korvex::core::loadIdleTimeoutMinutes(idleLockPath_));
    autoLockComboBox_->setCurrentIndex(index < 0 ? 0 : index);
    connect(autoLockComboBox_, &QComboBox::currentIndexChanged, this,
            &ConfigureDialog::onAutoLockChanged);
    column->addWidget(autoLockComboBox_);
    autoLockStatusLabel_ = statusLabel("autoLockStatusLabel");
    column->addWidget(autoLockStatusLabel_);

    // Master password.
    column->addWidget(divider());
    column->addWidget(heading(tr("Master Password")));
    column->addWidget(
        subtext(tr("At least %1 characters, with uppercase, lowercase, a number, and a symbol.")
                    .arg(korvex::core::kMinPasswordLength)));
    column->addWidget(subtext(
        tr("Changing your password creates a new vault key and re-protects every file's key with "
           "it, but doesn't re-encrypt each file's own content. If someone obtained your OLD "
           "vault key before this change, they could still decrypt content that hasn't changed "
           "since then.")));
    auto* form = new QFormLayout;
    auto passwordEdit = [](const char* objectName) {
        auto* edit = new QLineEdit;
        edit->setObjectName(QLatin1String(objectName));
        edit->setEchoMode(QLineEdit::Password);
        korvex::ui::prepareSecretField(edit);
        return edit;
    };
    currentPasswordEdit_ = passwordEdit("currentPasswordEdit");
    newPasswordEdit_ = passwordEdit("newPasswordEdit");
    confirmNewPasswordEdit_ = passwordEdit("confirmNewPasswordEdit");
    form->addRow(tr("Current password"), currentPasswordEdit_);
    form->addRow(tr("New password"), newPasswordEdit_);
    form->addRow(tr("Confirm new password"), confirmNewPasswordEdit_);
    column->addLayout(form);
    QPushButton* change = button(tr("Change Password"), "changePasswordButton", true);
    connect(change, &QPushButton::clicked, this, &ConfigureDialog::onChangePasswordClicked);
    column->addWidget(change);
    changePasswordStatusLabel_ = statusLabel("changePasswordStatusLabel");
    column->addWidget(changePasswordStatusLabel_);

    // Local security: what really protects the settings files here.
    column->addWidget(divider());
    column->addWidget(heading(tr("Local Security")));
    column->addWidget(
        subtext(tr("How Zelvora protects its local configuration files on this device.")));
    const QString accountKeyFile = auth_.identityPath() + QStringLiteral(".key");
    const bool tpmSealed = korvex::protect::LocalIntegrityKey::isTpmProtected(accountKeyFile);
    localSecurityStatusLabel_ = statusLabel("localSecurityStatusLabel");
    if (tpmSealed) {
        localSecurityStatusLabel_->setText(tr(
            "TPM-protected: local configuration files are checked against this device's TPM for "
            "tampering; the vault settings file is also encrypted under it. Most of these files "
            "remain readable as plain text to anyone with direct access to this device's disk -- "
            "the TPM detects changes to them, it does not hide their content. If you export a "
            "recovery code, that code -- not this device -- becomes the real key: anyone who has "
            "it can read a copy of these files on any device."));
    } else {
        const QString why = tr("no usable TPM was found on this device");
        using korvex::protect::LocalProtectionKind;
        switch (korvex::protect::LocalIntegrityKey::protectionOf(accountKeyFile)) {
        case LocalProtectionKind::Keyring:
            localSecurityStatusLabel_->setText(
                tr("Software-protected: %1, so local configuration files are protected with a "
                   "key kept in your desktop keyring (the Secret Service), tied to your user "
                   "account.")
                    .arg(why));
            break;
        case LocalProtectionKind::UserKeyFile:
            localSecurityStatusLabel_->setText(
                tr("Software-protected: %1 and no desktop keyring was available, so local "
                   "configuration files are protected with a key kept in a private file in %2 "
                   "(readable only by your user account). That key file is not itself "
                   "encrypted: anyone who can read your files -- the root user, or anyone with a "
                   "copy of an unencrypted disk -- can recover it.")
                    .arg(why,
                         korvex::platform::UserKeyFileDataProtection::defaultKeyFolderShown()));
            break;
        case LocalProtectionKind::Tpm:
        case LocalProtectionKind::Unavailable:
            localSecurityStatusLabel_->setText(
                tr("Zelvora could not load the key that protects its local configuration files "
                   "right now, so it cannot say what protects them on this device."));
            break;
        }
    }
    column->addWidget(localSecurityStatusLabel_);
    showRecoveryCodeButton_ = button(tr("Show Recovery Code..."), "showRecoveryCodeButton");
    showRecoveryCodeButton_->setVisible(tpmSealed);
    connect(showRecoveryCodeButton_, &QPushButton::clicked, this,
            &ConfigureDialog::onShowRecoveryCodeClicked);
    column->addWidget(showRecoveryCodeButton_);
    column->addStretch(1);
    return page;
}

QWidget* ConfigureDialog::buildStoragePage() {
    QVBoxLayout* column = nullptr;
    QScrollArea* page = korvex::ui::makeScrollPage(14, &column);

    column->addWidget(heading(tr("Storage")));
    column->addWidget(subtext(tr("Choose where your encrypted vault lives: an ordinary file, or "
                                 "unallocated disk space with no file-system entry.")));
    storageStatusLabel_ = statusLabel("storageStatusLabel");
    column->addWidget(storageStatusLabel_);
    vaultSizeLabel_ = statusLabel("vaultSizeLabel");
    column->addWidget(vaultSizeLabel_);
    setUpRawDiskButton_ =
        button(tr("Set Up Unallocated Disk Partition (Advanced)..."), "setUpRawDiskButton");
    connect(setUpRawDiskButton_, &QPushButton::clicked, this,
            &ConfigureDialog::onSetUpRawDiskClicked);
    column->addWidget(setUpRawDiskButton_);
    switchToContainerButton_ =
        button(tr("Switch Back to Container File"), "switchToContainerButton");
    connect(switchToContainerButton_, &QPushButton::clicked, this,
            &ConfigureDialog::onSwitchToContainerClicked);
    column->addWidget(switchToContainerButton_);
    column->addWidget(subtext(tr("Changes here take effect the next time you start Zelvora.")));

    column->addWidget(divider());
    column->addWidget(heading(tr("Vault Size Limit")));
    column->addWidget(subtext(tr("Caps how much data the vault can hold. Applies immediately.")));
    auto* sizeRow = new QHBoxLayout;
    maxSizeSpinBox_ = new QSpinBox;
    maxSizeSpinBox_->setObjectName(QStringLiteral("maxSizeSpinBox"));
    maxSizeSpinBox_->setRange(0, kMaxSizeMegabytes);
    maxSizeSpinBox_->setSuffix(tr(" MB"));
    maxSizeSpinBox_->setSpecialValueText(tr("No limit"));
    sizeRow->addWidget(maxSizeSpinBox_, 1);
    QPushButton* applySize = button(tr("Apply"), "applyMaxSizeButton");
    connect(applySize, &QPushButton::clicked, this, &ConfigureDialog::onApplyMaxSizeClicked);
    sizeRow->addWidget(applySize);
    column->addLayout(sizeRow);
    maxSizeStatusLabel_ = statusLabel("maxSizeStatusLabel");
    column->addWidget(maxSizeStatusLabel_);

    column->addWidget(divider());
    column->addWidget(heading(tr("Vault File Location (Container Backend)")));
    column->addWidget(
        subtext(tr("Only applies to the container-file backend. Moves the file on next restart.")));
    auto* form = new QFormLayout;
    auto* folderRow = new QHBoxLayout;
    locationDirectoryEdit_ = new QLineEdit;
    locationDirectoryEdit_->setObjectName(QStringLiteral("locationDirectoryEdit"));
    folderRow->addWidget(locationDirectoryEdit_, 1);
    browseLocationButton_ = button(tr("Browse..."), "browseLocationButton");
    connect(browseLocationButton_, &QPushButton::clicked, this,
            &ConfigureDialog::onBrowseLocationClicked);
    folderRow->addWidget(browseLocationButton_);
    form->addRow(tr("Folder"), folderRow);
    locationFileNameEdit_ = new QLineEdit;
    locationFileNameEdit_->setObjectName(QStringLiteral("locationFileNameEdit"));
    form->addRow(tr("File name"), locationFileNameEdit_);
    column->addLayout(form);
    applyLocationButton_ = button(tr("Apply"), "applyLocationButton");
    connect(applyLocationButton_, &QPushButton::clicked, this,
            &ConfigureDialog::onApplyLocationClicked);
    column->addWidget(applyLocationButton_);
    locationStatusLabel_ = statusLabel("locationStatusLabel");
    column->addWidget(locationStatusLabel_);

    column->addWidget(divider());
    column->addWidget(heading(tr("File Protection (Container Backend)")));
    const bool attributesAvailable = korvex::protect::hiddenAttributeSupported() ||
                                     korvex::protect::deleteRestrictionSupported();
    if (attributesAvailable) {
        column->addWidget(subtext(
            tr("\"Hidden\" only stops casual discovery -- trivially undone by showing hidden "
               "files. \"Restrict delete\" blocks deletion by other accounts. It does NOT stop "
               "this account: because Zelvora needs permission to maintain this restriction "
               "across launches, this same account can always remove it directly, with no "
               "special rights needed.")));
    } else {
        column->addWidget(
            subtext(tr("This system has no hidden-file attribute and no way to stop your own "
                       "account deleting a file it can still write, so these options are not "
                       "available here. The vault file is private to your user account "
                       "(permissions 0600): no other account except root can read or change "
                       "it.")));
    }
    hiddenCheckBox_ = new QCheckBox(tr("Hide the vault file"));
    hiddenCheckBox_->setObjectName(QStringLiteral("hiddenCheckBox"));
    connect(hiddenCheckBox_, &QCheckBox::toggled, this, &ConfigureDialog::onHiddenToggled);
    column->addWidget(hiddenCheckBox_);
    deleteRestrictedCheckBox_ = new QCheckBox(tr("Restrict delete to root"));
    deleteRestrictedCheckBox_->setObjectName(QStringLiteral("deleteRestrictedCheckBox"));
    connect(deleteRestrictedCheckBox_, &QCheckBox::toggled, this,
            &ConfigureDialog::onDeleteRestrictedToggled);
    column->addWidget(deleteRestrictedCheckBox_);
    containerProtectionStatusLabel_ = statusLabel("containerProtectionStatusLabel");
    column->addWidget(containerProtectionStatusLabel_);

    column->addWidget(divider());
    column->addWidget(heading(tr("Delete Vault")));
    column->addWidget(subtext(
        tr("Permanently deletes the vault and everything in it. Requires your master password.")));
    deleteVaultButton_ = button(tr("Delete Vault..."), "deleteVaultButton");
    connect(deleteVaultButton_, &QPushButton::clicked, this,
            &ConfigureDialog::onDeleteVaultClicked);
    column->addWidget(deleteVaultButton_);
    deleteVaultStatusLabel_ = statusLabel("deleteVaultStatusLabel");
    column->addWidget(deleteVaultStatusLabel_);
    column->addStretch(1);
    return page;
}

QString ConfigureDialog::sizeText(qint64 bytes) {
    if (bytes >= 1073741824)
        return tr("%1 GB").arg(double(bytes) / 1073741824.0, 0, 'f', 2);
    if (bytes >= 1048576)
        return tr("%1 MB").arg(double(bytes) / 1048576.0, 0, 'f', 2);
    if (bytes >= 1024)
        return tr("%1 KB").arg(double(bytes) / 1024.0, 0, 'f', 1);
    return tr("%1 bytes").arg(bytes);
}

QImage ConfigureDialog::renderQrCode(const QString& text) {
    QByteArray utf8 = text.toUtf8();
    std::optional<qrcodegen::QrCode> code;
    try {
        code.emplace(
            qrcodegen::QrCode::encodeText(utf8.constData(), qrcodegen::QrCode::Ecc::MEDIUM));
    } catch (const std::exception&) {
        // Too long for any QR code version (or out of memory).
    }
    korvex::crypto::secureWipe(utf8);
    if (!code)
        return QImage();

    const int modules = code->getSize();
    const int side = (modules + 2 * kQrQuietModules) * kQrModulePixels;
    QImage image(side, side, QImage::Format_RGB32);
    if (image.isNull())
        return image;
    image.fill(Qt::white);
    QPainter painter(&image);
    const int margin = kQrQuietModules * kQrModulePixels;
    for (int row = 0; row < modules; ++row) {
        for (int column = 0; column < modules; ++column) {
            if (code->getModule(column, row))
                painter.fillRect(margin + kQrModulePixels * column, margin + kQrModulePixels * row,
                                 kQrModulePixels, kQrModulePixels, Qt::black);
        }
    }
    return image;
}

std::optional<SecureBuffer> ConfigureDialog::takeNewVaultKey() {
    std::optional<SecureBuffer> key = std::move(newVaultKey_);
    newVaultKey_.reset();
    return key;
}

void ConfigureDialog::wipe() {
    newVaultKey_.reset(); // SecureBuffer zeroes itself when released
    scrubPasswordFields();
    clearEnrollmentLabels();
    korvex::ui::wipeLineEdit(codeEdit_);
}

const SecureBuffer& ConfigureDialog::currentVaultKey() const {
    return newVaultKey_ ? *newVaultKey_ : mainWindowKey_;
}

void ConfigureDialog::keepNewVaultKey(SecureBuffer key) {
    newVaultKey_ = std::move(key);
}

QString ConfigureDialog::dataFolder() const {
    return QFileInfo(generationRecordPath_).absolutePath();
}

QString ConfigureDialog::vaultPathNow(const korvex::core::ContainerSettings& settings) const {
    return korvex::core::currentContainerPath(settings, dataFolder());
}

void ConfigureDialog::scrubPasswordFields() {
    for (QLineEdit* edit : {currentPasswordEdit_, newPasswordEdit_, confirmNewPasswordEdit_})
        korvex::ui::wipeLineEdit(edit);
}

void ConfigureDialog::clearEnrollmentLabels() {
    qrCodeLabel_->clear();
    QString secret = manualSecretLabel_->text();
    manualSecretLabel_->clear();
    korvex::crypto::secureWipe(secret);
}

void ConfigureDialog::endEnrollment() {
    enrollmentInProgress_ = false;
}

void ConfigureDialog::closeEvent(QCloseEvent* event) {
    scrubPasswordFields();
    QDialog::closeEvent(event);
}

void ConfigureDialog::reject() {
    scrubPasswordFields();
    QDialog::reject();
}

void ConfigureDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    korvex::platform::excludeFromCapture(static_cast<quintptr>(winId()));
}

void ConfigureDialog::refreshTwoFactorSection() {
    const bool enabled = twoFactor_.isEnabled();
    if (!enabled && !enrollmentInProgress_) {
        enableButton_->setVisible(true);
        enrollmentPanel_->setVisible(false);
        disablePanel_->setVisible(false);
        return;
    }
    enableButton_->setVisible(false);
    enrollmentPanel_->setVisible(enrollmentInProgress_);
    disablePanel_->setVisible(enabled);
}

void ConfigureDialog::refreshStorageSection() {
    korvex::core::StorageConfig config;
    storage_.load(&config);
    const bool containerBackend = config.backend == StorageBackend::Container;

    if (containerBackend)
        storageStatusLabel_->setText(tr("Currently: container file (application data folder)."));
    else
        storageStatusLabel_->setText(
            tr("Currently: unallocated disk partition (%1).")
                .arg(korvex::vault::claimedRegionText(config.rawDiskClaim)));
    setUpRawDiskButton_->setEnabled(containerBackend);
    switchToContainerButton_->setEnabled(!containerBackend);

    QString size;
    if (container_) {
        const QPair<int, qint64> stats = vaultStatistics(container_);
        size = tr("Vault size: %1 (%2 file(s))").arg(sizeText(stats.second)).arg(stats.first);
    } else {
        size = tr("Vault size: unavailable.");
    }
    if (!containerBackend)
        size += tr("\nClaimed region: %1")
                    .arg(sizeText(qint64(
                        qMin<quint64>(config.rawDiskClaim.claimedLength, quint64(INT64_MAX)))));
    vaultSizeLabel_->setText(size);

    {
        const QSignalBlocker blocker(maxSizeSpinBox_);
        const qint64 megabytes =
            config.maxVaultSizeBytes <= 0 ? 0 : config.maxVaultSizeBytes / kBytesPerMegabyte;
        maxSizeSpinBox_->setValue(int(qMin<qint64>(megabytes, kMaxSizeMegabytes)));
    }

    {
        const QSignalBlocker folderBlocker(locationDirectoryEdit_);
        const QSignalBlocker nameBlocker(locationFileNameEdit_);
        locationDirectoryEdit_->setText(config.container.overrideDirectory.isEmpty()
                                            ? QDir::toNativeSeparators(dataFolder())
                                            : config.container.overrideDirectory);
        locationFileNameEdit_->setText(
            config.container.overrideFileName.isEmpty()
                ? QString::fromLatin1(korvex::core::kDefaultVaultFileName)
                : config.container.overrideFileName);
    }

    {
        const QSignalBlocker hiddenBlocker(hiddenCheckBox_);
        const QSignalBlocker restrictedBlocker(deleteRestrictedCheckBox_);
        const QString vaultPath = vaultPathNow(config.container);
        if (containerBackend && QFileInfo::exists(vaultPath)) {
            hiddenCheckBox_->setChecked(korvex::protect::isHidden(vaultPath));
            deleteRestrictedCheckBox_->setChecked(korvex::protect::isDeleteRestricted(vaultPath));
        } else {
            hiddenCheckBox_->setChecked(config.container.hidden);
            deleteRestrictedCheckBox_->setChecked(config.container.deleteRestricted);
        }
    }

    for (QWidget* control : {static_cast<QWidget*>(locationDirectoryEdit_),
                             static_cast<QWidget*>(browseLocationButton_),
                             static_cast<QWidget*>(locationFileNameEdit_),
                             static_cast<QWidget*>(applyLocationButton_)})
        control->setEnabled(containerBackend);
    // A protection this system cannot give is never offered.
    hiddenCheckBox_->setEnabled(containerBackend && korvex::protect::hiddenAttributeSupported());
    deleteRestrictedCheckBox_->setEnabled(containerBackend &&
                                          korvex::protect::deleteRestrictionSupported());
    // Once a deletion is scheduled there is nothing left to delete in this session.
    deleteVaultButton_->setEnabled(
        container_ != nullptr &&
        (containerBackend ? config.pendingDeletePath.isEmpty() : !config.pendingDeleteRawDisk));
}

std::optional<QString> ConfigureDialog::preRecordRollbackGuard() {
    if (!container_)
        return tr("Vault unavailable.");
    korvex::protect::RollbackStatus status = korvex::protect::RollbackStatus::Ok;
    if (korvex::protect::checkAndAdvance(generationRecordPath_, container_->vaultId(),
                                         container_->generationCounter() + 1, false, &status))
        return std::nullopt;
    switch (status) {
    case korvex::protect::RollbackStatus::OlderCopy:
        return tr("Zelvora's rollback-protection record disagrees with this vault's actual state. "
                  "This usually means a previous save didn't fully complete.");
    case korvex::protect::RollbackStatus::RecordUnverifiable:
        return tr("Zelvora could not verify this vault's rollback-protection record.");
    case korvex::protect::RollbackStatus::Ok:
    case korvex::protect::RollbackStatus::RecordUnsaveable:
        break;
    }
    return tr("Zelvora could not save its rollback-protection record -- check that its data "
              "folder is writable.");
}

bool ConfigureDialog::rekeyVault(const SecureBuffer& key, Transition transition,
                                 const RekeyTexts& texts, QLabel* status) {
    auto abandon = [&] {
        if (transition == Transition::Password)
            auth_.abandonTransition();
        else
            twoFactor_.abandonTransition();
    };
    if (const std::optional<QString> failure = preRecordRollbackGuard()) {
        abandon();
        showStatus(status, *failure, Tone::Failure);
        return false;
    }
    const quint64 startGeneration = container_->generationCounter();
    switch (container_->rekey(key)) {
    case RekeyResult::Unchanged:
        withdrawRollbackAdvance(startGeneration);
        abandon();
        showStatus(status, texts.unchanged, Tone::Failure);
        return false;
    case RekeyResult::Unusable:
        // Nothing is abandoned: the next start finds out which key the vault has.
        showStatus(status, texts.unusable, Tone::Failure);
        return false;
    case RekeyResult::Rekeyed:
        break;
    }
    const bool marked = transition == Transition::Password
                            ? auth_.markTransitionVaultRekeyed()
                            : twoFactor_.markTransitionVaultRekeyed();
    if (!marked)
        qWarning("%s", texts.markFailure);
    return true;
}

void ConfigureDialog::withdrawRollbackAdvance(quint64 startGeneration) {
    // A re-key that failed before writing anything leaves the vault where it started; the
    // advance made for it would then make the next start take the vault for an older copy of
    // itself. (One that failed while committing has committed the old state again, one further.)
    if (container_->generationCounter() != startGeneration)
        return;
    if (!korvex::protect::withdrawAdvance(generationRecordPath_, container_->vaultId(),
                                          startGeneration))
        qWarning("ConfigureDialog: could not take back the rollback-protection advance of a "
                 "re-key that did not happen.");
}

bool ConfigureDialog::refuseAfterSwitchingVaults(QLabel* status) {
    // Once the storage names another vault than the open one (a region claimed in this
    // session), a re-key would reach only the open vault: the next start would meet a vault the
    // account's new key does not open.
    if (!container_)
        return false;
    korvex::core::StorageConfig config;
    if (!storage_.load(&config))
        return false;
    const std::optional<korvex::platform::FileIdentity> open = container_->backingFile();
    bool nextIsAnother = open.has_value();
    if (config.backend == StorageBackend::Container) {
        const std::optional<korvex::platform::FileIdentity> configured =
            korvex::platform::identityOfPath(
                korvex::core::currentContainerPath(config.container, dataFolder()));
        nextIsAnother = !open || !configured || *configured != *open;
    }
    if (!nextIsAnother)
        return false;
    showStatus(status,
               tr("Zelvora will use another vault from the next start (set up in this session), "
                  "and a change made now would reach only the vault that is open. Restart "
                  "Zelvora first, then change the password, two-factor authentication or delete "
                  "the vault."),
               Tone::Failure);
    return true;
}

bool ConfigureDialog::refuseWhileChangePending(QLabel* status) {
    if (refuseAfterSwitchingVaults(status))
        return true;
    // An earlier re-key whose outcome is still being settled (its commit failed, or the vault
    // could not confirm its state) owns the transition files: a second change would overwrite
    // the only record of the key the vault may already be using.
    if (!auth_.hasPendingTransition() && !twoFactor_.hasPendingTransition())
        return false;
    showStatus(status,
               tr("A previous change is still being finished. Restart Zelvora to finish or roll "
                  "it back automatically."),
               Tone::Failure);
    return true;
}

std::optional<QString> ConfigureDialog::askPassword(const QString& prompt) {
    return korvex::ui::askForPassword(this, tr("Confirm Your Password"), prompt);
}

void ConfigureDialog::onEnableClicked() {
    if (refuseWhileChangePending(twoFactorStatusLabel_))
        return;
    if (!container_) {
        showStatus(twoFactorStatusLabel_,
                   tr("Vault unavailable -- cannot set up two-factor authentication right now."),
                   Tone::Failure);
        return;
    }
    std::optional<QString> uri =
        twoFactor_.beginEnrollment(currentVaultKey(), username_, QStringLiteral("Zelvora"));
    if (!uri) {
        showStatus(twoFactorStatusLabel_,
                   tr("Could not start enrollment -- check disk space/permissions and try again."),
                   Tone::Failure);
        return;
    }

    QImage qr = renderQrCode(*uri);
    qrCodeLabel_->setPixmap(QPixmap::fromImage(qr));
    // The image shows the secret too; its pixels are cleared once the label has its own copy.
    if (!qr.isNull())
        qr.fill(Qt::white);

    QString secret;
    const qsizetype start = uri->indexOf(QStringLiteral("secret="));
    if (start >= 0) {
        const qsizetype from = start + 7;
        const qsizetype end = uri->indexOf(QLatin1Char('&'), from);
        secret = uri->mid(from, end < 0 ? -1 : end - from);
    }
    QString manual = tr("Can't scan? Enter this code manually: %1").arg(secret);
    manualSecretLabel_->setText(manual);
    korvex::crypto::secureWipe(manual);
    korvex::crypto::secureWipe(secret);
    korvex::crypto::secureWipe(*uri);

    korvex::ui::wipeLineEdit(codeEdit_);
    enrollmentInProgress_ = true;
    clearStatus(twoFactorStatusLabel_);
    refreshTwoFactorSection();
}

void ConfigureDialog::onConfirmClicked() {
    if (!enrollmentInProgress_ || refuseWhileChangePending(twoFactorStatusLabel_))
        return;
    if (!container_) {
        showStatus(twoFactorStatusLabel_,
                   tr("Vault unavailable -- cannot set up two-factor authentication right now."),
                   Tone::Failure);
        return;
    }
    QString entered = codeEdit_->text();
    QString code = entered.trimmed();
    std::optional<SecureBuffer> newKey =
        twoFactor_.confirmEnrollment(currentVaultKey(), code, container_->generationCounter());
    korvex::crypto::secureWipe(code);
    korvex::crypto::secureWipe(entered);
    if (!newKey) {
        showStatus(twoFactorStatusLabel_,
                   tr("That code didn't match. Check your app and try again."), Tone::Failure);
        refreshTwoFactorSection();
        return;
    }
    korvex::ui::wipeLineEdit(codeEdit_);

    const RekeyTexts texts{
        tr("Could not re-key the vault for two-factor authentication -- not enabled."),
        tr("Something went wrong enabling two-factor authentication and Zelvora could not "
           "confirm the vault's state. Do not try again -- close Zelvora and contact support."),
        "ConfigureDialog: failed to durably record that the vault was re-keyed for enabling "
        "two-factor authentication -- recovery on next launch will rely on the container's own "
        "generation counter instead."};
    if (rekeyVault(*newKey, Transition::TwoFactor, texts, twoFactorStatusLabel_)) {
        keepNewVaultKey(std::move(*newKey));
        endEnrollment();
        clearEnrollmentLabels();
        if (twoFactor_.commitTransition())
            showStatus(twoFactorStatusLabel_, tr("Two-factor authentication is enabled."),
                       Tone::Success);
        else
            showStatus(twoFactorStatusLabel_,
                       tr("Two-factor authentication will finish enabling the next time Zelvora "
                          "starts."),
                       Tone::Success);
    }
    endEnrollment();
    clearEnrollmentLabels();
    refreshTwoFactorSection();
}

void ConfigureDialog::onCancelEnrollmentClicked() {
    if (twoFactor_.hasPendingTransition()) {
        showStatus(twoFactorStatusLabel_,
                   tr("Two-factor authentication is already being enabled and can't be cancelled "
                      "now. Restart Zelvora to finish or roll back the change automatically."),
                   Tone::Failure);
        return;
    }
    twoFactor_.cancelEnrollment();
    endEnrollment();
    clearEnrollmentLabels();
    korvex::ui::wipeLineEdit(codeEdit_);
    clearStatus(twoFactorStatusLabel_);
    refreshTwoFactorSection();
}

void ConfigureDialog::onDisableClicked() {
    if (refuseWhileChangePending(twoFactorStatusLabel_))
        return;
    std::optional<QString> password =
        askPassword(tr("Type your master password to disable two-factor authentication:"));
    if (!password)
        return;
    std::string bytes = utf8Of(*password);
    korvex::crypto::secureWipe(*password);
    // login zeroes its own copy of the password.
    std::optional<SecureBuffer> key =
        auth_.login(bytes, true, container_ ? container_->vaultId() : QString(), nullptr, nullptr);
    korvex::crypto::secureWipe(bytes);
    if (!key) {
        showStatus(twoFactorStatusLabel_,
                   tr("Incorrect password. Two-factor authentication not disabled."),
                   Tone::Failure);
        return;
    }
    if (!container_) {
        showStatus(twoFactorStatusLabel_,
                   tr("Vault unavailable -- cannot disable two-factor authentication right now."),
                   Tone::Failure);
        return;
    }
    if (!twoFactor_.beginDisable(container_->generationCounter())) {
        showStatus(twoFactorStatusLabel_,
                   tr("Could not disable two-factor authentication -- try again."), Tone::Failure);
        return;
    }
    const RekeyTexts texts{
        tr("Could not re-key the vault -- two-factor authentication not disabled."),
        tr("Something went wrong disabling two-factor authentication and Zelvora could not "
           "confirm the vault's state. Do not try again -- close Zelvora and contact support."),
        "ConfigureDialog: failed to durably record that the vault was re-keyed for disabling "
        "two-factor authentication -- recovery on next launch will rely on the container's own "
        "generation counter instead."};
    if (!rekeyVault(*key, Transition::TwoFactor, texts, twoFactorStatusLabel_))
        return;
    keepNewVaultKey(std::move(*key));
    endEnrollment();
    if (twoFactor_.commitTransition())
        showStatus(twoFactorStatusLabel_, tr("Two-factor authentication is disabled."),
                   Tone::Plain);
    else
        showStatus(twoFactorStatusLabel_,
                   tr("Two-factor authentication will finish disabling the next time Zelvora "
                      "starts."),
                   Tone::Plain);
    refreshTwoFactorSection();
}

void ConfigureDialog::onChangePasswordClicked() {
    auto fail = [this](const QString& text) {
        showStatus(changePasswordStatusLabel_, text, Tone::Failure);
    };
    // Copies of the three fields, every one zeroed on the way out; the fields keep their text.
    QString current = currentPasswordEdit_->text();
    QString next = newPasswordEdit_->text();
    QString confirmation = confirmNewPasswordEdit_->text();
    std::string currentBytes;
    std::string nextBytes;
    const AtExit scrub{[&] {
        for (QString* text : {&current, &next, &confirmation})
            korvex::crypto::secureWipe(*text);
        korvex::crypto::secureWipe(currentBytes);
        korvex::crypto::secureWipe(nextBytes);
    }};

    if (next != confirmation)
        return fail(tr("New passwords do not match."));
    const QString violation = korvex::core::passwordPolicyViolation(next);
    if (!violation.isEmpty())
        return fail(violation);
    if (!container_)
        return fail(tr("Vault unavailable -- cannot change password right now."));
    if (enrollmentInProgress_)
        return fail(tr("Finish or cancel setting up two-factor authentication before changing "
                       "your password."));
    if (refuseWhileChangePending(changePasswordStatusLabel_))
        return;

    currentBytes = utf8Of(current);
    nextBytes = utf8Of(next);
    const bool twoFactorOn = twoFactor_.isEnabled();
    std::optional<SecureBuffer> secret;
    if (twoFactorOn) {
        // login zeroes its own copy of the password.
        const std::optional<SecureBuffer> oldKey =
            auth_.login(currentBytes, true, container_->vaultId(), nullptr, nullptr);
        if (!oldKey)
            return fail(tr("Current password is incorrect."));
        secret = twoFactor_.unwrapSecret(*oldKey);
        if (!secret)
            return fail(tr("Could not read the two-factor secret -- password not changed."));
    }

    std::optional<SecureBuffer> newKey = auth_.verifyPasswordAndGenerateKey(currentBytes);
    if (!newKey)
        return fail(tr("Current password is incorrect."));

    korvex::crypto::Bytes wrappedSecret;
    korvex::crypto::Bytes wrapSalt;
    if (twoFactorOn) {
        wrapSalt = twoFactor_.currentWrapSalt();
        if (wrapSalt.empty())
            return fail(tr("Could not read the two-factor secret -- password not changed."));
        wrappedSecret =
            korvex::core::TwoFactorManager::wrapSecretForKey(*newKey, *secret, wrapSalt);
    }

    if (!auth_.beginPasswordChange(*newKey, nextBytes, container_->vaultId(),
                                   container_->generationCounter(), wrappedSecret, wrapSalt))
        return fail(tr("Could not save the new password. Please try again."));

    SecureBuffer rekeyKey =
        twoFactorOn ? korvex::core::TwoFactorManager::deriveEffectiveKey(*newKey, *secret)
                    : std::move(*newKey);

    const RekeyTexts texts{
        tr("Could not re-key the vault -- password not changed."),
        tr("Something went wrong changing your password and Zelvora could not confirm the "
           "vault's state. Do not try again -- close Zelvora and contact support."),
        "ConfigureDialog: failed to durably record that the vault was re-keyed for a password "
        "change -- recovery on next launch will rely on the container's own generation counter "
        "instead."};
    if (!rekeyVault(rekeyKey, Transition::Password, texts, changePasswordStatusLabel_))
        return;
    keepNewVaultKey(std::move(rekeyKey));
    if (auth_.commitTransition(twoFactor_))
        showStatus(changePasswordStatusLabel_, tr("Password changed."), Tone::Success);
    else
        showStatus(changePasswordStatusLabel_,
                   tr("Vault re-keyed; the password change will finish the next time Zelvora "
                      "starts."),
                   Tone::Success);
}

void ConfigureDialog::onSetUpRawDiskClicked() {
    {
        korvex::ui::RawDiskSetupWizard wizard(currentVaultKey(), storage_, machineId_, dataFolder(),
                                              this);
        wizard.exec();
    }
    refreshStorageSection();
}

void ConfigureDialog::onSwitchToContainerClicked() {
    // Once the vault in the region has been opened, the account is bound to it: the start would
    // then refuse the container file as another vault, and Zelvora would not start at all.
    korvex::core::StorageConfig config;
    storage_.load(&config);
    const QString containerVaultId = korvex::vault::VaultContainer::readVaultIdFromFile(
        korvex::core::currentContainerPath(config.container, dataFolder()));
    if (!config.boundVaultId.isEmpty() && config.boundVaultId != containerVaultId) {
        showStatus(storageStatusLabel_,
                   tr("Your master password now opens the vault in the unallocated disk "
                      "partition, not the container file, so Zelvora could not start with the "
                      "container file. Nothing was changed. To leave this vault, delete it "
                      "(Delete Vault): the next start then begins again with a container file."),
                   Tone::Failure);
        return;
    }
    const auto answer = QMessageBox::question(
        this, tr("Switch Back to Container File"),
        tr("This switches Zelvora back to using the container-file vault (the data folder) on "
           "your next restart. The unallocated-disk-partition vault is left exactly as it is -- "
           "it isn't deleted, and its space can be claimed again later from here.") +
            QStringLiteral("\n\n") + tr("Continue?"),
        QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
    if (answer != QMessageBox::Yes)
        return;
    const bool saved = storage_.switchToContainer();
    refreshStorageSection();
    if (saved)
        showStatus(storageStatusLabel_,
                   tr("Switched back to the container file. Restart Zelvora to use it."),
                   Tone::Success);
    else
        showStatus(storageStatusLabel_,
                   tr("Could not save the storage configuration. Please try again."),
                   Tone::Failure);
}

void ConfigureDialog::onShowRecoveryCodeClicked() {
    std::optional<QString> password =
        askPassword(tr("Type your master password to view this device's recovery code:"));
    if (!password)
        return;
    std::string bytes = utf8Of(*password);
    korvex::crypto::secureWipe(*password);
    const std::optional<SecureBuffer> key =
        auth_.login(bytes, true, container_ ? container_->vaultId() : QString(), nullptr, nullptr);
    korvex::crypto::secureWipe(bytes);
    if (!key) {
        QMessageBox::warning(this, tr("Recovery Code"),
                             tr("Incorrect password. Recovery code not shown."));
        return;
    }
    QString code = korvex::protect::recoveryCodeFor(auth_.identityPath() + QStringLiteral(".key"));
    if (code.isEmpty()) {
        QMessageBox::warning(this, tr("Recovery Code"),
                             tr("Could not obtain a recovery code right now. Try again, or check "
                                "that this device's TPM is still available."));
        return;
    }
    {
        RecoveryCodeDialog dialog(code, this);
        dialog.exec();
        dialog.wipe();
    }
    code.fill(QLatin1Char('0'));
    korvex::crypto::secureWipe(code);
}

void ConfigureDialog::onApplyMaxSizeClicked() {
    const int megabytes = maxSizeSpinBox_->value();
    const qint64 bytes = qint64(megabytes) * kBytesPerMegabyte;
    if (!storage_.setMaxVaultSizeBytes(bytes)) {
        showStatus(maxSizeStatusLabel_, tr("Could not save the size limit."), Tone::Failure);
        return;
    }
    if (container_)
        container_->setMaxVaultSizeBytes(bytes);
    showStatus(maxSizeStatusLabel_,
               megabytes == 0 ? tr("No size limit.")
                              : tr("Size limit set to %1 MB.").arg(megabytes),
               Tone::Success);
}

void ConfigureDialog::onBrowseLocationClicked() {
    const QString chosen = QFileDialog::getExistingDirectory(
        this, tr("Choose Vault Folder"), locationDirectoryEdit_->text(), QFileDialog::ShowDirsOnly);
    if (!chosen.isEmpty())
        locationDirectoryEdit_->setText(QDir::toNativeSeparators(chosen));
}

void ConfigureDialog::onApplyLocationClicked() {
    const QString folder = locationDirectoryEdit_->text().trimmed();
    const QString fileName = locationFileNameEdit_->text().trimmed();
    if (folder.isEmpty() || fileName.isEmpty()) {
        showStatus(locationStatusLabel_, tr("Folder and file name cannot be empty."),
                   Tone::Failure);
        return;
    }
    if (!korvex::core::StorageConfigFile::isValidOverrideDirectory(folder)) {
        showStatus(locationStatusLabel_,
                   tr("Folder must be a local path (not a network path) with no \"..\" segments."),
                   Tone::Failure);
        return;
    }
    if (!korvex::core::StorageConfigFile::isValidOverrideFileName(fileName)) {
        showStatus(locationStatusLabel_,
                   tr("File name must not contain \"/\" or \"\\\", and cannot be \".\" or "
                      "\"..\"."),
                   Tone::Failure);
        return;
    }

    korvex::core::ContainerSettings settings = storage_.containerSettings();
    const QString currentPath = vaultPathNow(settings);
    korvex::core::StorageConfigFile::setContainerLocation(settings, folder, fileName, dataFolder());
    const QString newPath =
        korvex::core::StorageConfigFile::resolveVaultPath(settings, dataFolder());
    const bool unchanged = QDir::cleanPath(newPath) == QDir::cleanPath(currentPath);
    // The vault is moved from where it is now; back to where it already is, nothing moves.
    if (unchanged) {
        settings.pendingMigrateFromPath.clear();
        settings.pendingMigrateAttempts = 0;
    } else if (settings.pendingMigrateFromPath != currentPath) {
        settings.pendingMigrateFromPath = currentPath;
        settings.pendingMigrateAttempts = 0;
    }
    if (!storage_.setContainerSettings(settings)) {
        showStatus(locationStatusLabel_, tr("Could not save the new location."), Tone::Failure);
        return;
    }
    showStatus(locationStatusLabel_,
               unchanged ? tr("No change.")
                         : tr("Location updated. Restart Zelvora to move the vault there."),
               Tone::Success);
}

void ConfigureDialog::onHiddenToggled(bool checked) {
    korvex::core::StorageConfig config;
    storage_.load(&config);
    const bool containerBackend = config.backend == StorageBackend::Container;
    if (containerBackend && container_) {
        if (!korvex::protect::setHidden(vaultPathNow(config.container), checked)) {
            showStatus(containerProtectionStatusLabel_,
                       tr("Could not change the hidden attribute."), Tone::Failure);
            const QSignalBlocker blocker(hiddenCheckBox_);
            hiddenCheckBox_->setChecked(!checked);
            return;
        }
    }
    korvex::core::ContainerSettings& settings = config.container;
    settings.hidden = checked;
    const bool saved = storage_.setContainerSettings(settings);
    if (containerBackend && container_) {
        if (saved)
            showStatus(containerProtectionStatusLabel_,
                       checked ? tr("Vault file is now hidden.")
                               : tr("Vault file is no longer hidden."),
                       Tone::Success);
        else
            showStatus(containerProtectionStatusLabel_,
                       tr("Could not save the storage configuration. Please try again."),
                       Tone::Failure);
    }
}

void ConfigureDialog::onDeleteRestrictedToggled(bool checked) {
    auto setBack = [this, checked] {
        const QSignalBlocker blocker(deleteRestrictedCheckBox_);
        deleteRestrictedCheckBox_->setChecked(!checked);
    };
    QMessageBox::StandardButton answer;
    if (!checked) {
        answer = QMessageBox::question(
            this, tr("Allow Delete Without Root"),
            tr("This will allow any account on this computer to delete the vault file directly, "
               "not just root. The vault is protected by root-only delete by default -- turning "
               "this off removes that protection.") +
                QStringLiteral("\n\n") + tr("Continue?"),
            QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
    } else {
        answer = QMessageBox::question(
            this, tr("Restrict Delete to Root"),
            tr("This changes permissions on the vault file AND its containing folder so only "
               "root can delete them -- you won't be able to delete it directly without root "
               "rights.") +
                QStringLiteral("\n\n") +
                tr("When the vault is in the default data folder, this also restricts deleting "
                   "the other settings files that share that folder.") +
                QStringLiteral("\n\n") +
                tr("Note: if the account you're logged in as can act as root, it can still take "
                   "back control of the file -- this stops other accounts and casual deletion, "
                   "not a determined administrator.") +
                QStringLiteral("\n\n") + tr("Continue?"),
            QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
    }
    if (answer != QMessageBox::Yes)
        return setBack();

    korvex::core::StorageConfig config;
    storage_.load(&config);
    korvex::core::ContainerSettings& settings = config.container;
    if (config.backend != StorageBackend::Container || !container_) {
        settings.deleteRestricted = checked;
        storage_.setContainerSettings(settings);
        return;
    }
    const QString verified =
        korvex::vault::VaultContainer::resolveVaultFilePath(vaultPathNow(settings));
    if (verified.isEmpty()) {
        showStatus(containerProtectionStatusLabel_,
                   tr("Could not verify the vault location. Permissions not changed."),
                   Tone::Failure);
        return setBack();
    }
    const bool changed = checked ? korvex::protect::applyDeleteRestriction(verified)
                                 : korvex::protect::clearDeleteRestriction(verified);
    if (!changed) {
        showStatus(containerProtectionStatusLabel_, tr("Could not change delete permissions."),
                   Tone::Failure);
        return setBack();
    }
    settings.deleteRestricted = checked;
    if (!storage_.setContainerSettings(settings)) {
        showStatus(containerProtectionStatusLabel_,
                   tr("Could not save the storage configuration. Please try again."),
                   Tone::Failure);
        return;
    }
    showStatus(containerProtectionStatusLabel_,
               checked ? tr("Delete now restricted to root.") : tr("Delete restriction lifted."),
               Tone::Success);
}

void ConfigureDialog::onDeleteVaultClicked() {
    korvex::core::StorageConfig config;
    storage_.load(&config);
    if (!container_ || refuseAfterSwitchingVaults(deleteVaultStatusLabel_))
        return;
    const bool containerBackend = config.backend == StorageBackend::Container;
    std::optional<QString> password =
        askPassword(tr("Type your master password to delete the vault:"));
    if (!password)
        return;
    std::string bytes = utf8Of(*password);
    korvex::crypto::secureWipe(*password);
    const AtExit scrub{[&] { korvex::crypto::secureWipe(bytes); }};

    // login zeroes its own copy of the password.
    if (!auth_.login(bytes, true, container_->vaultId(), nullptr, nullptr)) {
        showStatus(deleteVaultStatusLabel_, tr("Incorrect password. Vault not deleted."),
                   Tone::Failure);
        return;
    }
    const QString vaultPath = containerBackend ? vaultPathNow(config.container) : QString();
    const QString place = containerBackend
                              ? QDir::toNativeSeparators(vaultPath)
                              : tr("the unallocated disk partition: %1")
                                    .arg(korvex::vault::claimedRegionText(config.rawDiskClaim));
    // A region's vault takes with it the vault file the account used before the claim.
    const QString earlierFile =
        containerBackend ? QString()
                         : korvex::core::containerVaultInDataFolder(config.container, dataFolder());
    QString question =
        tr("This will PERMANENTLY delete the vault at:\n%1\n\nand everything in it. This cannot "
           "be undone.")
            .arg(place);
    if (!earlierFile.isEmpty())
        question += QStringLiteral("\n\n") +
                    tr("The vault file this account used before the disk partition is erased "
                       "with it:\n%1")
                        .arg(QDir::toNativeSeparators(earlierFile));
    const auto answer = QMessageBox::warning(
        this, tr("Delete Vault"), question + QStringLiteral("\n\n") + tr("Continue?"),
        QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
    if (answer != QMessageBox::Yes)
        return;

    // The account's stored key is replaced by a random one: from now on the password opens
    // nothing, whatever happens to the deletion.
    const std::optional<SecureBuffer> decoy = auth_.verifyPasswordAndGenerateKey(bytes);
    if (!decoy || !auth_.rewrapVaultKey(*decoy, bytes, container_->vaultId())) {
        showStatus(deleteVaultStatusLabel_,
                   tr("Could not rotate the vault key. Vault not deleted."), Tone::Failure);
        return;
    }
    // A claimed region is wiped and released at the next start, like a vault file.
    if (!(containerBackend ? storage_.setPendingDeletePath(vaultPath)
                           : storage_.setPendingDeleteRawDisk(true))) {
        showStatus(deleteVaultStatusLabel_,
                   tr("Could not schedule the deletion. Please try again."), Tone::Failure);
        return;
    }
    deleteVaultButton_->setEnabled(false);
    showStatus(deleteVaultStatusLabel_,
               tr("The vault will be permanently deleted the next time you start Zelvora. "
                  "Restart now to complete this."),
               Tone::Success);
}

void ConfigureDialog::onAutoLockChanged(int index) {
    const int minutes = autoLockComboBox_->itemData(index).toInt();
    if (!korvex::core::saveIdleTimeoutMinutes(idleLockPath_, minutes)) {
        showStatus(autoLockStatusLabel_,
                   tr("Could not save the auto-lock setting. Please try again."), Tone::Failure);
        return;
    }
    showStatus(autoLockStatusLabel_,
               minutes == 0 ? tr("Auto-lock disabled.") : tr("Auto-lock timeout updated."),
               Tone::Success);
}
