#pragma once

#include "crypto/SecureBuffer.h"

class QLineEdit;

namespace korvex::ui {

// Empties a field that held a password, PIN or code, zeroing the characters the field itself
// held. QLineEdit::text() hands out a reference to the field's own buffer, so the characters
// are overwritten through it before the field lets go (wiping a copy of the text would detach
// the copy and leave the field to free its original unwiped). Whoever shares that buffer sees
// the zeros too: a field's text is set from a copy of its own, never from a string that must
// survive (text set from a literal is not on the heap, and is left alone).
void wipeLineEdit(QLineEdit* edit);

// The field's text as UTF-8 in a secure buffer; every copy on the way is zeroed. The field
// keeps its text.
crypto::SecureBuffer secretOf(const QLineEdit* edit);

} // namespace korvex::ui
