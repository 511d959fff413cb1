#pragma once

#include <QString>

namespace korvex::core {

// Securely erases a finished (committed or abandoned) transition file. If the erase fails the
// file is still removed: left behind, start-up recovery would find it again, see the vault's
// generation grown past its start value and commit it, bringing back old key material. Its
// bytes may then survive on disk, which eraseFailure (the owner's log line, with %1 for the
// path) says; owner names the component in the fallback's own line.
void discardTransitionFile(const QString& path, const QString& eraseFailure, const char* owner);

} // namespace korvex::core
