#include "ui/PasswordPrompt.h"

#include "ui/SecretField.h"

#include <QInputDialog>
#include <QLineEdit>

namespace korvex::ui {

std::optional<QString> askForPassword(QWidget* parent, const QString& title, const QString& label) {
    QInputDialog dialog(parent);
    dialog.setWindowTitle(title);
    dialog.setLabelText(label);
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setTextEchoMode(QLineEdit::Password);
    QLineEdit* field = prepareSecretField(dialog);
    const bool accepted = dialog.exec() == QDialog::Accepted;
    std::optional<QString> text;
    // A copy of its own for the caller to wipe; the field's own text is wiped here.
    if (accepted && field != nullptr)
        text = QString(field->text().constData(), field->text().size());
    wipeLineEdit(field);
    return text;
}

} // namespace korvex::ui
