#include "ui/RecoveryCodeDialog.h"

#include "crypto/SecureWipe.h"
#include "platform/CaptureExclusion.h"
#include "ui/SecretClipboard.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int kGroupLength = 4;

} // namespace

QString RecoveryCodeDialog::grouped(const QString& code) {
    QString plain;
    plain.reserve(code.size());
    for (const QChar c : code) {
        if (c != QLatin1Char('=') && c != QLatin1Char('-') && !c.isSpace())
            plain.append(c);
    }
    QString result;
    result.reserve(plain.size() + plain.size() / kGroupLength);
    for (qsizetype i = 0; i < plain.size(); ++i) {
        if (i > 0 && i % kGroupLength == 0)
            result.append(QLatin1Char('-'));
        result.append(plain.at(i));
    }
    korvex::crypto::secureWipe(plain);
    return result;
}

RecoveryCodeDialog::RecoveryCodeDialog(const QString& code, QWidget* parent)
    : QDialog(parent),
      // A copy of its own: wiping it must not depend on, or reach into, the caller's string.
      // The code reads in groups of four, without the padding a restore ignores anyway.
      code_(grouped(code)) {
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

    copyStatus_ = new QLabel(this);
    copyStatus_->setObjectName(QStringLiteral("recoveryCodeCopyStatus"));
    copyStatus_->setWordWrap(true);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    buttons->setObjectName(QStringLiteral("recoveryCodeButtons"));
    copyButton_ = buttons->addButton(tr("Copy"), QDialogButtonBox::ActionRole);
    copyButton_->setObjectName(QStringLiteral("recoveryCodeCopyButton"));
    copyButton_->setAutoDefault(false);
    connect(copyButton_, &QPushButton::clicked, this, [this] {
        if (code_.isEmpty())
            return;
        korvex::ui::SecretClipboard::instance().copy(code_);
        copyStatus_->setText(
            tr("Copied. Zelvora clears the clipboard in %1 seconds, or when you sign out.")
                .arg(korvex::ui::SecretClipboard::kClearAfterMs / 1000));
    });
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(messageLabel_);
    layout->addWidget(copyStatus_);
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
    copyButton_->setEnabled(false);
}

void RecoveryCodeDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Linux offers no capture exclusion; the call then does nothing and says so.
    korvex::platform::excludeFromCapture(static_cast<quintptr>(winId()));
}
