#include "ui/TpmPinDialog.h"

#include "crypto/SecureWipe.h"
#include "ui/DialogHeader.h"

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

TpmPinDialog::TpmPinDialog(const platform::SealedKeyPrompt& words, PinRequest request,
                           QWidget* parent)
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
            : tr("Type the PIN of this key.");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(makeDialogHeader(this, QStringLiteral(":/icons/key.svg"), words.friendlyName,
                                       words.description));
    layout->addWidget(makeRoleLabel(intro, "subtext"));

    auto* form = new QFormLayout;
    pin_ = new QLineEdit(this);
    pin_->setObjectName(QStringLiteral("tpmPinField"));
    pin_->setEchoMode(QLineEdit::Password);
    form->addRow(request == PinRequest::NewPin ? tr("New PIN:") : tr("PIN:"), pin_);
    if (request == PinRequest::NewPin) {
        confirm_ = new QLineEdit(this);
        confirm_->setObjectName(QStringLiteral("tpmPinConfirmField"));
        confirm_->setEchoMode(QLineEdit::Password);
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
    if (request == PinRequest::WrongPin)
        problem_->setText(tr("That PIN is not right. Try again."));
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
    QString text = pin_->text();
    QByteArray utf8 = text.toUtf8();
    crypto::SecureBuffer pin =
        crypto::SecureBuffer::copyOf(utf8.constData(), static_cast<std::size_t>(utf8.size()));
    crypto::secureWipe(utf8);
    crypto::secureWipe(text);
    clearFields();
    return pin;
}

void TpmPinDialog::clearFields() {
    // The fields let go of their text, so that no copy of the PIN stays with the dialog.
    pin_->clear();
    if (confirm_)
        confirm_->clear();
}

std::optional<crypto::SecureBuffer> TpmPinPrompt::askForPin(const platform::SealedKeyPrompt& words,
                                                            PinRequest request) {
    if (QThread::currentThread() != qApp->thread()) {
        qWarning("TpmPinPrompt: the TPM key's PIN was asked for off the interface thread; "
                 "refused.");
        return std::nullopt;
    }
    TpmPinDialog dialog(words, request, QApplication::activeWindow());
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.takePin();
}

QString TpmPinPrompt::lockedOutText() {
    return QCoreApplication::translate(
        "TpmPinPrompt",
        "The TPM has locked this key after too many wrong PINs. Wait a while, then try again. "
        "This is not a wrong master password.");
}

void TpmPinPrompt::tellLockedOut(const platform::SealedKeyPrompt& words) {
    if (QThread::currentThread() != qApp->thread())
        return;
    QMessageBox box(QMessageBox::Warning, words.title, lockedOutText(), QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setObjectName(QStringLiteral("tpmLockedOutMessage"));
    box.exec();
}

} // namespace korvex::ui
