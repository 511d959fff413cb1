#include "ui/RecoveryCodeDialog.h"

#include "crypto/SecureWipe.h"
#include "platform/CaptureExclusion.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

RecoveryCodeDialog::RecoveryCodeDialog(const QString& code, QWidget* parent)
    : QDialog(parent),
      // A deep copy: wiping it must not depend on, or reach into, the caller's string.
      code_(code.constData(), code.size()) {
    setWindowTitle(tr("Recovery Code"));

    messageLabel_ = new QLabel(
        tr("Save this recovery code somewhere safe and separate from this device. If this "
           "device's TPM is ever reset or cleared, this is the ONLY way to restore access to your "
           "account -- Zelvora cannot recover it any other way, the same as a lost master "
           "password.\n\n%1\n\nThis code IS your key, not a token that only works on this device "
           "-- anyone who obtains it can use it on ANY device, with no need to ever touch this "
           "one. Treat it exactly like your master password.")
            .arg(code_),
        this);
    messageLabel_->setObjectName(QStringLiteral("recoveryCodeLabel"));
    messageLabel_->setWordWrap(true);
    messageLabel_->setTextFormat(Qt::PlainText);
    messageLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    buttons->setObjectName(QStringLiteral("recoveryCodeButtons"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(messageLabel_);
    layout->addWidget(buttons);
}

RecoveryCodeDialog::~RecoveryCodeDialog() {
    wipe();
}

void RecoveryCodeDialog::wipe() {
    // text() shares the label's buffer; once the label has been cleared this copy is its only
    // owner, so the wipe zeroes the characters the label held.
    QString shown = messageLabel_->text();
    messageLabel_->clear();
    korvex::crypto::secureWipe(shown);
    korvex::crypto::secureWipe(code_);
    code_.clear();
}

void RecoveryCodeDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Linux offers no capture exclusion; the call then does nothing and says so.
    korvex::platform::excludeFromCapture(static_cast<quintptr>(winId()));
}
