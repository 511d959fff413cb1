#include "ui/RecoveryCodeRestore.h"

#include "crypto/SecureWipe.h"
#include "protect/RecoveryCode.h"
#include "ui/SecretField.h"

#include <QCoreApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>

namespace korvex::ui {

namespace {

QString restoreTr(const char* text) {
    return QCoreApplication::translate("LoginDialog", text);
}

} // namespace

QString restoreTitle() {
    return restoreTr("Restore From Recovery Code");
}

RestoreOutcome restoreFromRecoveryCodeDialog(QWidget* parent, const QString& keyFilePath) {
    QInputDialog prompt(parent);
    prompt.setWindowTitle(restoreTitle());
    prompt.setLabelText(restoreTr(
        "Enter the recovery code you saved when this device's secure key was first set up:"));
    prompt.setInputMode(QInputDialog::TextInput);
    prompt.setTextEchoMode(QLineEdit::Normal);
    QLineEdit* field = prepareSecretField(prompt);
    const bool accepted = prompt.exec() == QDialog::Accepted;
    // A copy of its own, apart from the field's text, which is wiped where the field holds it.
    QString code;
    if (accepted && field != nullptr) {
        const QString typed = field->text();
        code = typed.trimmed();
        code.detach();
    }
    wipeLineEdit(field);
    if (code.isEmpty()) {
        crypto::secureWipe(code);
        return RestoreOutcome::Cancelled;
    }
    const bool restored = protect::restoreFromRecoveryCode(keyFilePath, code);
    crypto::secureWipe(code);
    if (!restored) {
        QMessageBox::warning(parent, restoreTitle(),
                             restoreTr("Could not restore from that code -- it may not be a valid "
                                       "recovery code for this account, or no usable TPM is "
                                       "available on this device right now to reseal it under."));
        return RestoreOutcome::Failed;
    }
    QMessageBox::information(
        parent, restoreTitle(),
        restoreTr("Restored. Enter your master password and select Unlock to continue."));
    return RestoreOutcome::Restored;
}

} // namespace korvex::ui
