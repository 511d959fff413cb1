#include "ui/IdleLockWarningDialog.h"

#include "core/AuthManager.h"
#include "core/TwoFactorManager.h"
#include "platform/CaptureExclusion.h"
#include "ui/DialogHeader.h"
#include "ui/LoginDialog.h"
#include "ui/TwoFactorPromptDialog.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

IdleLockWarningDialog::IdleLockWarningDialog(int seconds, korvex::core::AuthManager& auth,
                                             korvex::core::TwoFactorManager& twoFactor,
                                             const QString& vaultId, QWidget* parent)
    : QDialog(parent), auth_(auth), twoFactor_(twoFactor), vaultId_(vaultId),
      remainingSeconds_(seconds) {
    setWindowTitle(tr("Zelvora - Still there?"));
    setMinimumWidth(380);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(16);
    layout->addWidget(korvex::ui::makeDialogHeader(
        this, QStringLiteral(":/icons/lock.svg"), tr("You've Been Idle"),
        tr("Enter your master password to stay signed in.")));

    countdownLabel_ = new QLabel(this);
    countdownLabel_->setObjectName(QStringLiteral("idleLockCountdownLabel"));
    countdownLabel_->setWordWrap(true);
    layout->addWidget(countdownLabel_);

    auto* stillHere = new QPushButton(tr("I'm Still Here"), this);
    stillHere->setObjectName(QStringLiteral("idleLockStillHereButton"));
    stillHere->setProperty("accent", true);
    stillHere->setDefault(true);
    connect(stillHere, &QPushButton::clicked, this, &IdleLockWarningDialog::onStillHereClicked);
    layout->addWidget(stillHere);

    countdownTimer_ = new QTimer(this);
    countdownTimer_->setObjectName(QStringLiteral("idleLockCountdownTimer"));
    countdownTimer_->setInterval(1000);
    connect(countdownTimer_, &QTimer::timeout, this, &IdleLockWarningDialog::onTick);
    countdownTimer_->start();
    onTick();
}

void IdleLockWarningDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    korvex::platform::excludeFromCapture(winId());
}

void IdleLockWarningDialog::onTick() {
    if (remainingSeconds_ < 1) {
        countdownTimer_->stop();
        // A login or code prompt opened from here must not outlive the countdown.
        for (QDialog* child : findChildren<QDialog*>())
            child->reject();
        reject();
        return;
    }
    countdownLabel_->setText(
        tr("Signing out in %1 second(s) unless you confirm your password.").arg(remainingSeconds_));
    --remainingSeconds_;
}

void IdleLockWarningDialog::onStillHereClicked() {
    const bool twoFactorOn = twoFactor_.isEnabled();
    LoginDialog login(auth_, twoFactorOn, vaultId_, this);
    if (login.exec() != QDialog::Accepted)
        return;
    // The key only proves the password; the session keeps its own.
    std::optional<korvex::crypto::SecureBuffer> key = login.takeVaultKey();
    if (!key)
        return;
    if (twoFactorOn) {
        TwoFactorPromptDialog prompt(*key, twoFactor_, auth_, this);
        const bool verified = prompt.exec() == QDialog::Accepted;
        std::optional<korvex::crypto::SecureBuffer> effective = prompt.takeVaultKey();
        effective.reset();
        if (!verified)
            return;
    }
    key.reset();
    countdownTimer_->stop();
    accept();
}
