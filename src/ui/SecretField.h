#pragma once

#include "crypto/SecureBuffer.h"

class QInputDialog;
class QLineEdit;
class QString;

namespace korvex::ui {

// The longest text a secret field takes: a password, a PIN, a recovery code.
inline constexpr int kSecretFieldLength = 1024;

// Readies a field for a password, PIN or code: its text gets room for the longest one at once,
// so typing never moves it to a larger buffer (which would leave the shorter copy behind
// unwiped), and takes no more than that (a field limited to fewer keeps its limit).
// wipeLineEdit readies it again.
void prepareSecretField(QLineEdit* edit);

// The same for the field of a text prompt, which also stops the prompt from keeping a copy of
// its own of each text typed (read the field itself, not textValue()). The field, or nullptr.
QLineEdit* prepareSecretField(QInputDialog& prompt);

// Empties a field that held a password, PIN or code, zeroing the characters the field itself
// held, and drops its undo history. QLineEdit::text() hands out a reference to the field's own
// buffer, so the characters are overwritten through it before the field lets go (wiping a copy
// of the text would detach the copy and leave the field to free its original unwiped). Whoever
// shares that buffer sees the zeros too: a field's text is set from a copy of its own, never
// from a string that must survive (text set from a literal is not on the heap, and is left
// alone).
void wipeLineEdit(QLineEdit* edit);

// The field's text as UTF-8 in a secure buffer; every copy on the way is zeroed. The field
// keeps its text.
crypto::SecureBuffer secretOf(const QLineEdit* edit);

} // namespace korvex::ui
