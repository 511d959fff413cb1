#include "ui/SecretField.h"

#include "crypto/SecureWipe.h"

#include <QInputDialog>
#include <QLineEdit>
#include <algorithm>

namespace korvex::ui {

void prepareSecretField(QLineEdit* edit) {
    if (edit == nullptr)
        return;
    edit->setMaxLength(std::min(edit->maxLength(), kSecretFieldLength));
    // The field keeps this very buffer (with its room) as its text, and its undo history goes.
    QString room;
    room.reserve(edit->maxLength());
    edit->setText(room);
}

QLineEdit* prepareSecretField(QInputDialog& prompt) {
    QLineEdit* field = prompt.findChild<QLineEdit*>();
    if (field == nullptr)
        return nullptr;
    // The prompt would hold each text typed as its text value, and the field's next key would
    // then move the text to a new buffer, leaving the old one unwiped.
    QObject::disconnect(field, &QLineEdit::textChanged, &prompt, nullptr);
    prepareSecretField(field);
    return field;
}

void wipeLineEdit(QLineEdit* edit) {
    if (edit == nullptr)
        return;
    const QString shared = edit->text();
    // Text set from a literal is not on the heap and cannot be (and need not be) overwritten.
    if (!shared.isEmpty() && shared.data_ptr().isMutable())
        // Through the shared reference, without detaching: these are the field's characters.
        crypto::secureWipe(const_cast<QChar*>(shared.constData()),
                           static_cast<std::size_t>(shared.size()) * sizeof(QChar));
    prepareSecretField(edit);
}

crypto::SecureBuffer secretOf(const QLineEdit* edit) {
    const QString shared = edit->text();
    QByteArray utf8 = shared.toUtf8();
    crypto::SecureBuffer secret =
        crypto::SecureBuffer::copyOf(utf8.constData(), static_cast<std::size_t>(utf8.size()));
    crypto::secureWipe(utf8);
    return secret;
}

} // namespace korvex::ui
