#include "ui/SecretField.h"

#include "crypto/SecureWipe.h"

#include <QLineEdit>

namespace korvex::ui {

void wipeLineEdit(QLineEdit* edit) {
    if (edit == nullptr)
        return;
    const QString shared = edit->text();
    // Text set from a literal is not on the heap and cannot be (and need not be) overwritten.
    if (!shared.isEmpty() && shared.data_ptr().isMutable())
        // Through the shared reference, without detaching: these are the field's characters.
        crypto::secureWipe(const_cast<QChar*>(shared.constData()),
                           static_cast<std::size_t>(shared.size()) * sizeof(QChar));
    edit->clear();
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
