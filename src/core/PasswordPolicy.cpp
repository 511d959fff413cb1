#include "core/PasswordPolicy.h"

#include <QChar>
#include <QCoreApplication>

namespace korvex::core {

QString passwordPolicyViolation(const QString& password) {
    // Length first: a short password gets no hints about its character classes.
    if (password.size() < kMinPasswordLength)
        return QCoreApplication::translate("PasswordPolicy", "Must be at least %1 characters.")
            .arg(kMinPasswordLength);

    // Every UTF-16 unit lands in exactly one class. Anything that is not a cased letter or a
    // decimal digit -- punctuation, spaces, marks, caseless letters, surrogate halves -- is a
    // symbol.
    bool upper = false;
    bool lower = false;
    bool digit = false;
    bool symbol = false;
    for (const QChar unit : password) {
        switch (unit.category()) {
        case QChar::Letter_Uppercase:
            upper = true;
            break;
        case QChar::Letter_Lowercase:
            lower = true;
            break;
        case QChar::Number_DecimalDigit:
            digit = true;
            break;
        default:
            symbol = true;
            break;
        }
    }

    if (!upper)
        return QCoreApplication::translate("PasswordPolicy",
                                           "Must include at least one uppercase letter.");
    if (!lower)
        return QCoreApplication::translate("PasswordPolicy",
                                           "Must include at least one lowercase letter.");
    if (!digit)
        return QCoreApplication::translate("PasswordPolicy", "Must include at least one number.");
    if (!symbol)
        return QCoreApplication::translate("PasswordPolicy",
                                           "Must include at least one symbol (e.g. !@#$%).");
    return {};
}

} // namespace korvex::core
