#include "ui/PasswordPrompt.h"

#include <QInputDialog>
#include <QLineEdit>

namespace korvex::ui {

std::optional<QString> askForPassword(QWidget* parent, const QString& title, const QString& label) {
    QInputDialog dialog(parent);
    dialog.setWindowTitle(title);
    dialog.setLabelText(label);
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setTextEchoMode(QLineEdit::Password);
    dialog.setTextValue(QString());
    const bool accepted = dialog.exec() == QDialog::Accepted;
    std::optional<QString> text;
    if (accepted)
        text = dialog.textValue();
    // The field lets go of its reference.
    dialog.setTextValue(QString());
    return text;
}

} // namespace korvex::ui
