#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

namespace korvex::core {

// What start-up can tell about a pending key transition: whether the vault was re-keyed to
// the key it describes. Unknown (the transition cannot be read just now, or the vault's
// generation cannot be read where the vault is) means neither committing nor abandoning it is
// safe: it stays for a later start.
enum class RekeyEvidence { NotRekeyed = 0, Rekeyed = 1, Unknown = 2 };

// The judgement shared by both transitions: the mark, else the generation the vault has now
// against the one it had when the transition was written.
RekeyEvidence judgeRekey(bool markedRekeyed, quint64 generationAtStart,
                         std::optional<quint64> currentGeneration);

// Whether a transition file is there at all, readable or not.
bool transitionFileExists(const QString& path);

// Securely erases a finished (committed or abandoned) transition file. If the erase fails the
// file is still removed: left behind, start-up recovery would find it again, see the vault's
// generation grown past its start value and commit it, bringing back old key material. Its
// bytes may then survive on disk, which eraseFailure (the owner's log line, with %1 for the
// path) says; owner names the component in the fallback's own line.
void discardTransitionFile(const QString& path, const QString& eraseFailure, const char* owner);

} // namespace korvex::core
