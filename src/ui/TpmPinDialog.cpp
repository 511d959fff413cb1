#include "ui/TpmPinDialog.h"

#include "crypto/SecureWipe.h"
#include "ui/DialogHeader.h"
#include "ui/SecretField.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

namespace korvex::ui {

using platform::PinRequest;

namespace {

// Below this many tries left, even the first prompt says how many there are.
constexpr quint32 kFewTries = 3;

QString pinTr(const char* text) {
    return QCoreApplication::translate("TpmPinDialog", text);
}

// What the TPM's count of wrong PINs means for the next one; empty when it says nothing.
QString triesText(const platform::PinTries& tries) {
    if (!tries.left || *tries.left == 0)
        return QString();
    if (*tries.left == 1) {
        if (tries.lockoutSeconds && *tries.lockoutSeconds > 0)
            return pinTr("This is the last try: one more wrong PIN locks the key for %1.")
                .arg(lockoutDuration(*tries.lockoutSeconds));
        return pinTr("This is the last try: one more wrong PIN locks the key.");
    }
    return pinTr("%1 tries are left before the TPM locks the key.").arg(*tries.left);
}

} // namespace

QString lockoutDuration(quint32 seconds) {
    if (seconds == 1)
        return pinTr("about a second");
    if (seconds < 120)
        return pinTr("about %1 seconds").arg(seconds);
    if (seconds < 2 * 3600)
        return pinTr("about %1 minutes").arg((seconds + 59) / 60);
    return pinTr("about %1 hours").arg((seconds + 3599) / 3600);
}

QString tpmUnreachableText(const QString& tctiConfig, platform::SealedKeyAvailability why) {
    switch (why) {
    case platform::SealedKeyAvailability::OwnerPasswordSet:
        return pinTr("The TPM that protects Zelvora's settings answers, but its owner hierarchy "
                     "now has a password that Zelvora does not know, so Zelvora cannot use its "
                     "key. Nothing has been lost.\n\nWhoever administers this machine's TPM can "
                     "remove that password again (tpm2_changeauth -c owner, with the current "
                     "password).");
    case platform::SealedKeyAvailability::NoRoom:
        return pinTr("The TPM that protects Zelvora's settings answers, but has no room for "
                     "Zelvora's key just now. Nothing has been lost.\n\nClose other programs "
                     "that use the TPM, or restart the computer.");
    case platform::SealedKeyAvailability::Faulty:
        return pinTr("The TPM that protects Zelvora's settings answers, but not as a TPM 2.0 that "
                     "Zelvora can use (Zelvora looked for it through: %1). Nothing has been "
                     "lost.\n\nCheck the TPM's settings in the computer's firmware.")
            .arg(tctiConfig);
    case platform::SealedKeyAvailability::Usable:
    case platform::SealedKeyAvailability::Absent:
        break;
    }
    return pinTr("The TPM that protects Zelvora's settings cannot be reached right now. Nothing "
                 "has been lost.\n\nCheck that the TPM is there and that you may use it: the "
                 "device /dev/tpmrm0 must exist (a TPM switched off in the firmware settings has "
                 "none), and your user must be in the tss group (sudo usermod -aG tss \"$USER\", "
                 "then sign in to the desktop again). If Zelvora reaches its TPM another way, "
                 "ZELVORA_TPM_TCTI must be set as usual when Zelvora starts (Zelvora looked for "
                 "it through: %1).")
        .arg(tctiConfig);
}

TpmPinDialog::TpmPinDialog(const platform::SealedKeyPrompt& words, PinRequest request,
                           const platform::PinTries& tries, QWidget* parent)
    : QDialog(parent), request_(request) {
    setObjectName(QStringLiteral("tpmPinDialog"));
    setWindowTitle(words.title);
    setModal(true);
    setMinimumWidth(440);

    const QString intro =
        request == PinRequest::NewPin
            ? tr("Choose a PIN for this key. Zelvora asks for it when it needs the key -- at most "
                 "once per sign-in. The TPM counts wrong PINs and locks the key for a while after "
                 "too many.")
            : tr("Type the PIN you chose for Zelvora's TPM key when you created your account (or "
                 "when you last restored access with your recovery code). This is not your "
                 "master password.");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(makeDialogHeader(this, QStringLiteral(":/icons/key.svg"), words.friendlyName,
                                       words.description));
    layout->addWidget(makeRoleLabel(intro, "subtext"));

    auto* form = new QFormLayout;
    pin_ = new QLineEdit(this);
    pin_->setObjectName(QStringLiteral("tpmPinField"));
    pin_->setEchoMode(QLineEdit::Password);
    prepareSecretField(pin_);
    form->addRow(request == PinRequest::NewPin ? tr("New PIN:") : tr("PIN:"), pin_);
    if (request == PinRequest::NewPin) {
        confirm_ = new QLineEdit(this);
        confirm_->setObjectName(QStringLiteral("tpmPinConfirmField"));
        confirm_->setEchoMode(QLineEdit::Password);
        prepareSecretField(confirm_);
        form->addRow(tr("Confirm PIN:"), confirm_);
    }
    layout->addLayout(form);

    problem_ = new QLabel(this);
    problem_->setObjectName(QStringLiteral("tpmPinMessage"));
    problem_->setWordWrap(true);
    problem_->setStyleSheet(QStringLiteral("color: #FF7A7A;"));
    layout->addWidget(problem_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    ok_->setObjectName(QStringLiteral("tpmPinOkButton"));
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("tpmPinCancelButton"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    connect(pin_, &QLineEdit::textChanged, this, &TpmPinDialog::check);
    if (confirm_)
        connect(confirm_, &QLineEdit::textChanged, this, &TpmPinDialog::check);
    check();
    const QString left = triesText(tries);
    if (request == PinRequest::WrongPin)
        problem_->setText(left.isEmpty() ? tr("That PIN is not right. Try again.")
                                         : tr("That PIN is not right. %1").arg(left));
    else if (request == PinRequest::Pin && tries.left && *tries.left <= kFewTries)
        problem_->setText(left);
    pin_->setFocus();
}

TpmPinDialog::~TpmPinDialog() {
    clearFields();
}

void TpmPinDialog::check() {
    const int length = int(pin_->text().size());
    const bool longEnough = length >= kMinimumTpmPinLength;
    const bool matching = confirm_ == nullptr || confirm_->text() == pin_->text();
    ok_->setEnabled(longEnough && matching);
    if (length == 0 && (confirm_ == nullptr || confirm_->text().isEmpty()))
        return;
    if (!longEnough)
        problem_->setText(
            tr("The PIN must have at least %1 characters.").arg(kMinimumTpmPinLength));
    else if (!matching)
        problem_->setText(tr("The two PINs do not match."));
    else
        problem_->clear();
}

crypto::SecureBuffer TpmPinDialog::takePin() {
    crypto::SecureBuffer pin = secretOf(pin_);
    clearFields();
    return pin;
}

void TpmPinDialog::clearFields() {
    // No copy of the PIN stays with the dialog.
    wipeLineEdit(pin_);
    wipeLineEdit(confirm_);
}

std::optional<crypto::SecureBuffer> TpmPinPrompt::askForPin(const platform::SealedKeyPrompt& words,
                                                            PinRequest request,
                                                            const platform::PinTries& tries) {
    if (QThread::currentThread() != qApp->thread()) {
        qWarning("TpmPinPrompt: the TPM key's PIN was asked for off the interface thread; "
                 "refused.");
        return std::nullopt;
    }
    TpmPinDialog dialog(words, request, tries, QApplication::activeWindow());
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.takePin();
}

QString TpmPinPrompt::lockedOutText(const platform::PinTries& tries) {
    const auto tr = [](const char* text) {
        return QCoreApplication::translate("TpmPinPrompt", text);
    };
    if (!tries.lockoutSeconds)
        return tr("The TPM has locked this key after too many wrong PINs. Wait a while, then try "
                  "again. This is not a wrong master password.");
    if (*tries.lockoutSeconds == 0)
        return tr("The TPM has locked this key after too many wrong PINs, and it stays locked "
                  "until the TPM's lockout is cleared by whoever administers this machine's TPM "
                  "(for example with \"tpm2_dictionarylockout --clear-lockout\"). This is not a "
                  "wrong master password.");
    return tr("The TPM has locked this key after too many wrong PINs. It takes a PIN again in %1; "
              "wait until then, and try again. This is not a wrong master password.")
        .arg(lockoutDuration(*tries.lockoutSeconds));
}

void TpmPinPrompt::tellLockedOut(const platform::SealedKeyPrompt& words,
                                 const platform::PinTries& tries) {
    if (QThread::currentThread() != qApp->thread())
        return;
    QMessageBox box(QMessageBox::Warning, words.title, lockedOutText(tries), QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setObjectName(QStringLiteral("tpmLockedOutMessage"));
    box.exec();
}

} // namespace korvex::ui
