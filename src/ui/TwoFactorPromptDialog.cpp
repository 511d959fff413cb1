#include "ui/TwoFactorPromptDialog.h"

#include "core/AuthManager.h"
#include "core/TwoFactorManager.h"
#include "crypto/SecureWipe.h"
#include "platform/CaptureExclusion.h"
#include "ui/DialogHeader.h"
#include "ui/SecretField.h"
#include "ui/Theme.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int kCooldownRecheckMs = 1000;

} // namespace

TwoFactorPromptDialog::TwoFactorPromptDialog(const korvex::crypto::SecureBuffer& pendingKey,
                                             korvex::core::TwoFactorManager& twoFactor,
                                             korvex::core::AuthManager& auth, QWidget* parent)
    : QDialog(parent), pendingKey_(pendingKey), twoFactor_(twoFactor), auth_(auth) {
    setWindowTitle(tr("Zelvora - Verification"));
    setMinimumWidth(380);

    QWidget* header = korvex::ui::makeDialogHeader(
        this, QStringLiteral(":/icons/check-shield.svg"), tr("Two-Factor Verification"),
        tr("Enter the code from your authenticator app."));

    codeEdit_ = new QLineEdit(this);
    codeEdit_->setObjectName(QStringLiteral("twoFactorPromptCodeEdit"));
    codeEdit_->setPlaceholderText(tr("6-digit code"));
    codeEdit_->setMaxLength(6);
    connect(codeEdit_, &QLineEdit::returnPressed, this, &TwoFactorPromptDialog::onVerifyClicked);

    auto* form = new QFormLayout;
    form->addRow(tr("Authentication code"), codeEdit_);

    errorLabel_ = new QLabel(this);
    errorLabel_->setObjectName(QStringLiteral("twoFactorPromptErrorLabel"));
    errorLabel_->setStyleSheet(QStringLiteral("color: #FF7A7A;"));
    errorLabel_->setWordWrap(true);
    errorLabel_->hide();

    verifyButton_ = new QPushButton(tr("Verify"), this);
    verifyButton_->setObjectName(QStringLiteral("twoFactorPromptVerifyButton"));
    verifyButton_->setProperty("accent", true);
    verifyButton_->setIcon(korvex::ui::loadIcon(QStringLiteral(":/icons/check-shield.svg")));
    verifyButton_->setIconSize(QSize(18, 18));
    // Return verifies through returnPressed alone; as a default button Verify would answer the
    // same key press again and burn a second attempt.
    verifyButton_->setAutoDefault(false);
    verifyButton_->setDefault(false);
    connect(verifyButton_, &QPushButton::clicked, this, &TwoFactorPromptDialog::onVerifyClicked);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(16);
    layout->addWidget(header);
    layout->addLayout(form);
    layout->addWidget(errorLabel_);
    layout->addWidget(verifyButton_);

    cooldownTimer_ = new QTimer(this);
    cooldownTimer_->setObjectName(QStringLiteral("twoFactorPromptCooldownTimer"));
    cooldownTimer_->setInterval(kCooldownRecheckMs);
    connect(cooldownTimer_, &QTimer::timeout, this, &TwoFactorPromptDialog::onCooldownTimerTimeout);

    refreshCooldown();
}

TwoFactorPromptDialog::~TwoFactorPromptDialog() {
    korvex::ui::wipeLineEdit(codeEdit_);
}

std::optional<korvex::crypto::SecureBuffer> TwoFactorPromptDialog::takeVaultKey() {
    std::optional<korvex::crypto::SecureBuffer> key = std::move(vaultKey_);
    vaultKey_.reset();
    return key;
}

void TwoFactorPromptDialog::onVerifyClicked() {
    if (auth_.lockoutSecondsRemaining() >= 1) {
        refreshCooldown();
        return;
    }

    QString code = codeEdit_->text().trimmed();
    if (twoFactor_.verifyLoginCode(pendingKey_, code))
        vaultKey_ = twoFactor_.effectiveVaultKey(pendingKey_);
    korvex::crypto::secureWipe(code);

    if (vaultKey_) {
        korvex::ui::wipeLineEdit(codeEdit_);
        cooldownTimer_->stop();
        auth_.resetFailedAttempts();
        accept();
        return;
    }

    showingCooldown_ = false;
    if (auth_.recordFailedAttempt()) {
        errorLabel_->setText(tr("Incorrect code."));
    } else {
        errorLabel_->setText(
            tr("Incorrect code. Zelvora also could not save this attempt to its data folder -- its "
               "protection against repeated guessing may not be active right now. Check that the "
               "data folder is writable."));
    }
    errorLabel_->show();
    adjustSize();
    korvex::ui::wipeLineEdit(codeEdit_);
    codeEdit_->setFocus();
    refreshCooldown();
}

void TwoFactorPromptDialog::onCooldownTimerTimeout() {
    refreshCooldown();
}

void TwoFactorPromptDialog::refreshCooldown() {
    const int seconds = auth_.lockoutSecondsRemaining();
    const bool coolingDown = seconds >= 1;
    if (coolingDown) {
        errorLabel_->setText(tr("Too many attempts. Try again in %1s.").arg(seconds));
        errorLabel_->show();
        adjustSize();
        showingCooldown_ = true;
        if (!cooldownTimer_->isActive())
            cooldownTimer_->start();
    } else {
        cooldownTimer_->stop();
        if (showingCooldown_) {
            // The cooldown is over: its message no longer applies.
            showingCooldown_ = false;
            errorLabel_->clear();
            errorLabel_->hide();
        }
    }
    verifyButton_->setEnabled(!coolingDown);
    const bool wasEnabled = codeEdit_->isEnabled();
    codeEdit_->setEnabled(!coolingDown);
    if (!wasEnabled && !coolingDown)
        codeEdit_->setFocus();
}

void TwoFactorPromptDialog::reject() {
    korvex::ui::wipeLineEdit(codeEdit_);
    cooldownTimer_->stop();
    QDialog::reject();
}

void TwoFactorPromptDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Linux offers no capture exclusion; the call then does nothing and says so.
    korvex::platform::excludeFromCapture(static_cast<quintptr>(winId()));
}
