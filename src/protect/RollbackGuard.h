#pragma once

#include "crypto/SecureBuffer.h"
#include "vault/VaultContainer.h"
#include "vault/VaultLocation.h"

#include <QList>
#include <QString>
#include <memory>

namespace korvex::protect {

// Outcome of a rollback check.
enum class RollbackStatus {
    Ok = 0,
    OlderCopy = 1,          // the vault's generation is below what this machine has seen
    RecordUnverifiable = 2, // the record is missing (for an existing vault) or fails verification
    RecordUnsaveable = 3,   // the record could not be sealed or written
};

// The vault generation record: per vault identifier, the highest generation this machine has
// seen. An older copy of a vault is refused; the stored value only grows.
//
// storage.dat is bound to the record's highest generation, and the two files cannot change in
// one step: whenever the highest generation changes, the record also keeps the value it had,
// as one storage.dat may still be bound to, until confirmStorageBinding says storage.dat has
// caught up. A crash in between therefore never leaves a storage.dat that cannot be read.
bool checkAndAdvance(const QString& recordPath, const QString& vaultId, quint64 generation,
                     bool createdNow, RollbackStatus* status = nullptr);
// Takes back an advance made ahead of a change that never reached the vault: when the record
// holds exactly generation + 1 for vaultId, it goes back to generation (the value storage.dat
// may be bound to meanwhile stays accepted until confirmStorageBinding). The caller must know
// that the vault is at generation and that the advance was this program's own, made before a
// re-key that did not commit. True when the record now holds generation.
bool withdrawAdvance(const QString& recordPath, const QString& vaultId, quint64 generation);
// Drops the member of a deleted vault; true when no member for it remains.
bool removeVault(const QString& recordPath, const QString& vaultId);
// The highest generation over all vaults; 0 when the record cannot be read or verified.
quint64 highestGeneration(const QString& recordPath);
// The generations storage.dat may be bound to: the highest first, then the earlier ones the
// record keeps, newest first. Just 0 when the record cannot be read or verified.
QList<quint64> storageBindingCandidates(const QString& recordPath);
// storage.dat is now written under binding: when that is the record's highest generation, the
// earlier values are forgotten. True when nothing was left to forget or the record was saved.
bool confirmStorageBinding(const QString& recordPath, quint64 binding);

// Opens the vault at location (or creates one there when none exists) and admits it only past
// the rollback check. On refusal the container is released untouched and message, when given,
// says why in the user's words. When the newest index does not open with vaultKey, the state
// before it is opened only if the record allows that state (the newest may be under a key this
// sign-in does not have yet); it is then written over the unreadable slot, and notice, when
// given, says in the user's words that the latest change was lost. With no key change left
// unsettled (keyChangeUnsettled false: no password or two-factor transition is pending), vaultKey
// is the only key the account holds, so a newest index it does not open is damaged, and the
// state before it is allowed even when the record has already seen the newest one.
std::unique_ptr<vault::VaultContainer>
openVaultGuarded(const vault::VaultLocation& location, const crypto::SecureBuffer& vaultKey,
                 const QString& machineId, const QString& recordPath,
                 const QString& recoveredVaultId, qint64 maxVaultSizeBytes,
                 QString* message = nullptr, QString* notice = nullptr,
                 bool keyChangeUnsettled = true);

} // namespace korvex::protect
