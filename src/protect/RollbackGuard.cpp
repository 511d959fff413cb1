#include "protect/RollbackGuard.h"

#include "protect/ProtectedFile.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <algorithm>

namespace korvex::protect {

namespace {

const QString kVaultsKey = QStringLiteral("vaults");
const QString kStorageBindingsKey = QStringLiteral("storageBindings");
// Normally one value waits at a time; a long run of failed rebinds keeps the oldest and the
// newest.
constexpr qsizetype kMaxKeptBindings = 16;

quint64 generationOf(const QJsonValue& value) {
    bool ok = false;
    const quint64 generation = value.toString().toULongLong(&ok);
    return ok ? generation : 0;
}

void setStatus(RollbackStatus* out, RollbackStatus status) {
    if (out)
        *out = status;
}

quint64 highestOf(const QJsonObject& vaults) {
    quint64 highest = 0;
    for (auto it = vaults.begin(); it != vaults.end(); ++it)
        highest = std::max(highest, generationOf(it.value()));
    return highest;
}

// The record as stored: the vaults, and the earlier bindings storage.dat may still carry.
QJsonObject recordObject(const QJsonObject& vaults, const QJsonArray& bindings) {
    QJsonObject record{{kVaultsKey, vaults}};
    if (!bindings.isEmpty())
        record.insert(kStorageBindingsKey, bindings);
    return record;
}

// When the highest generation moves from before to after, storage.dat may still be bound to
// before: keep it among the bindings to accept.
QJsonArray keepBinding(QJsonArray bindings, quint64 before, quint64 after) {
    if (before == after)
        return bindings;
    const QJsonValue value(QString::number(before));
    if (!bindings.contains(value))
        bindings.append(value);
    // The oldest is the one storage.dat is still bound to when its rebinding keeps failing:
    // it stays; those in between go.
    while (bindings.size() > kMaxKeptBindings)
        bindings.removeAt(1);
    return bindings;
}

} // namespace

bool checkAndAdvance(const QString& recordPath, const QString& vaultId, quint64 generation,
                     bool createdNow, RollbackStatus* status) {
    setStatus(status, RollbackStatus::Ok);
    const ProtectedReadResult record = readProtectedFile(recordPath, EnvelopeKind::Authenticated);
    QJsonObject vaults;
    QJsonArray bindings;
    switch (record.status) {
    case ProtectedReadStatus::Ok:
        vaults = record.object.value(kVaultsKey).toObject();
        bindings = record.object.value(kStorageBindingsKey).toArray();
        break;
    case ProtectedReadStatus::NotAnObject:
        break;
    case ProtectedReadStatus::Unverifiable:
    case ProtectedReadStatus::KeyUnavailable:
        setStatus(status, RollbackStatus::RecordUnverifiable);
        return false;
    case ProtectedReadStatus::Missing:
        // Without the record an existing vault cannot be vouched for; a new one starts it.
        if (!createdNow) {
            setStatus(status, RollbackStatus::RecordUnverifiable);
            return false;
        }
        break;
    }

    const quint64 stored = generationOf(vaults.value(vaultId));
    if (generation < stored) {
        setStatus(status, RollbackStatus::OlderCopy);
        return false;
    }
    const quint64 highestBefore = highestOf(vaults);
    vaults.insert(vaultId, QString::number(std::max(stored, generation)));
    bindings = keepBinding(bindings, highestBefore, highestOf(vaults));
    if (!writeProtectedFile(recordPath, recordObject(vaults, bindings),
                            EnvelopeKind::Authenticated)) {
        setStatus(status, RollbackStatus::RecordUnsaveable);
        return false;
    }
    return true;
}

bool withdrawAdvance(const QString& recordPath, const QString& vaultId, quint64 generation) {
    const ProtectedReadResult record = readProtectedFile(recordPath, EnvelopeKind::Authenticated);
    if (!record.ok())
        return false;
    QJsonObject vaults = record.object.value(kVaultsKey).toObject();
    const quint64 stored = generationOf(vaults.value(vaultId));
    if (stored != generation + 1)
        return stored == generation;
    const quint64 highestBefore = highestOf(vaults);
    vaults.insert(vaultId, QString::number(generation));
    const QJsonArray bindings = keepBinding(record.object.value(kStorageBindingsKey).toArray(),
                                            highestBefore, highestOf(vaults));
    return writeProtectedFile(recordPath, recordObject(vaults, bindings),
                              EnvelopeKind::Authenticated);
}

bool removeVault(const QString& recordPath, const QString& vaultId) {
    const ProtectedReadResult record = readProtectedFile(recordPath, EnvelopeKind::Authenticated);
    if (record.status == ProtectedReadStatus::Missing)
        return true;
    if (record.status == ProtectedReadStatus::Unverifiable ||
        record.status == ProtectedReadStatus::KeyUnavailable)
        return false;
    QJsonObject vaults = record.object.value(kVaultsKey).toObject();
    if (!vaults.contains(vaultId))
        return true;
    const quint64 highestBefore = highestOf(vaults);
    vaults.remove(vaultId);
    const QJsonArray bindings = keepBinding(record.object.value(kStorageBindingsKey).toArray(),
                                            highestBefore, highestOf(vaults));
    return writeProtectedFile(recordPath, recordObject(vaults, bindings),
                              EnvelopeKind::Authenticated);
}

quint64 highestGeneration(const QString& recordPath) {
    const ProtectedReadResult record = readProtectedFile(recordPath, EnvelopeKind::Authenticated);
    if (!record.ok())
        return 0;
    return highestOf(record.object.value(kVaultsKey).toObject());
}

QList<quint64> storageBindingCandidates(const QString& recordPath) {
    const ProtectedReadResult record = readProtectedFile(recordPath, EnvelopeKind::Authenticated);
    if (!record.ok())
        return {0};
    QList<quint64> candidates{highestOf(record.object.value(kVaultsKey).toObject())};
    const QJsonArray bindings = record.object.value(kStorageBindingsKey).toArray();
    for (qsizetype i = bindings.size() - 1; i >= 0; --i) {
        bool ok = false;
        const quint64 binding = bindings.at(i).toString().toULongLong(&ok);
        if (ok && !candidates.contains(binding))
            candidates.append(binding);
    }
    return candidates;
}

bool confirmStorageBinding(const QString& recordPath, quint64 binding) {
    const ProtectedReadResult record = readProtectedFile(recordPath, EnvelopeKind::Authenticated);
    if (!record.ok() || !record.object.contains(kStorageBindingsKey))
        return true;
    const QJsonObject vaults = record.object.value(kVaultsKey).toObject();
    // Only a storage.dat bound to the highest generation lets the earlier values go.
    if (highestOf(vaults) != binding)
        return true;
    return writeProtectedFile(recordPath, recordObject(vaults, QJsonArray()),
                              EnvelopeKind::Authenticated);
}

std::unique_ptr<vault::VaultContainer>
openVaultGuarded(const vault::VaultLocation& location, const crypto::SecureBuffer& vaultKey,
                 const QString& machineId, const QString& recordPath,
                 const QString& recoveredVaultId, qint64 maxVaultSizeBytes, QString* message,
                 QString* notice, bool keyChangeUnsettled) {
    std::unique_ptr<vault::IVaultBlockStore> store = vault::createBlockStore(location);
    if (!store)
        return nullptr;
    const bool createdNow = !store->exists();
    std::unique_ptr<vault::VaultContainer> container =
        createdNow ? vault::VaultContainer::create(std::move(store), vaultKey, machineId)
                   : vault::VaultContainer::open(std::move(store), vaultKey, machineId,
                                                 recoveredVaultId, message);
    if (!container)
        return nullptr;

    // A vault opened at the state before its newest one (whose index did not read with this key)
    // is judged by the state it opened at. The newest may be damaged; it may also be the vault
    // re-keyed under a key this sign-in does not have yet (a key change start-up could not
    // settle), and the record was advanced to it before that re-key. Going back is only allowed
    // where the record allows the older state; otherwise the open is refused with both slots as
    // they were, so that the key which opens the newest state still finds it.
    const std::optional<quint64> fallback = container->fallbackGeneration();
    RollbackStatus status = RollbackStatus::Ok;
    bool admitted = checkAndAdvance(recordPath, container->vaultId(),
                                    container->generationCounter(), createdNow, &status);
    if (!admitted && fallback && !keyChangeUnsettled && status == RollbackStatus::OlderCopy) {
        // No re-key is in flight, so this key is the only one the account holds and the newest
        // index is damaged: the record may already have seen it, one step above.
        RollbackStatus again = RollbackStatus::Ok;
        admitted = checkAndAdvance(recordPath, container->vaultId(), *fallback + 1, false, &again);
        if (!admitted)
            status = again;
    }
    if (!admitted) {
        if (fallback)
            qWarning("openVaultGuarded: the newest state of vault %s does not open with this key, "
                     "and the rollback record does not allow the state before it (generation "
                     "%llu) -- refused, nothing was written.",
                     qUtf8Printable(container->vaultId()),
                     static_cast<unsigned long long>(*fallback));
        container.reset();
        // A vault created just now that cannot be recorded would be refused at every later
        // open: take the new, empty vault away again so the next attempt starts afresh.
        if (createdNow && location.backend == vault::StorageBackend::Container)
            QFile::remove(location.containerPath);
        if (message) {
            if (fallback && status == RollbackStatus::OlderCopy) {
                // The older state is refused because the newest was seen: it may be under a key
                // this sign-in does not have.
                *message = QCoreApplication::translate(
                    "RollbackGuard",
                    "Zelvora could not open this vault: its latest state does not open with the "
                    "key this sign-in gives, and Zelvora cannot tell whether that state is "
                    "damaged or was re-keyed by a password or two-factor change that has not "
                    "finished.\n\nYour vault has not been modified: both states are kept. If you "
                    "changed your password or two-factor authentication recently, sign in with "
                    "the newer one.");
            } else {
                switch (status) {
                case RollbackStatus::Ok:
                case RollbackStatus::RecordUnverifiable:
                    *message = QCoreApplication::translate(
                        "RollbackGuard",
                        "Zelvora could not verify this vault's rollback-protection record -- it "
                        "may be missing or unreadable, most often because a previous run could "
                        "not save changes to Zelvora's data folder.\n\nYour vault has not been "
                        "modified.");
                    break;
                case RollbackStatus::OlderCopy:
                    *message = QCoreApplication::translate(
                        "RollbackGuard",
                        "Zelvora could not open this vault: it looks like an older backup or "
                        "copy. A newer version of this vault has already been used on this "
                        "machine, and opening an older one could silently undo changes or "
                        "deletions you already made.\n\nYour vault has not been modified.");
                    break;
                case RollbackStatus::RecordUnsaveable:
                    *message = QCoreApplication::translate(
                        "RollbackGuard",
                        "Zelvora could not save the rollback-protection record it needs before "
                        "opening this vault. This usually means its data folder isn't currently "
                        "writable.\n\nYour vault has not been modified. Once the data folder is "
                        "writable again, opening will succeed normally.");
                    break;
                }
            }
        }
        return nullptr;
    }
    if (fallback) {
        // The older state is written over the unreadable slot, and the record follows it (the
        // session's periodic advance would otherwise). Opening at the previous state keeps every
        // other file; the user must still learn that the last change is gone (an import whose
        // original was erased, a removal undone).
        if (container->repairFallback())
            checkAndAdvance(recordPath, container->vaultId(), container->generationCounter(),
                            false);
        qWarning("openVaultGuarded: the latest change to vault %s could not be read; it was "
                 "opened at its previous state (generation %llu).",
                 qUtf8Printable(container->vaultId()), static_cast<unsigned long long>(*fallback));
        if (notice)
            *notice = QCoreApplication::translate(
                "RollbackGuard",
                "The latest change to your vault could not be read, so Zelvora opened the vault "
                "as it was before that change.\n\nA file imported in that change may be missing "
                "from the vault (if you still have its original, import it again), and a file "
                "removed in it may be listed again but no longer open. Everything else in the "
                "vault is as it was.");
    }
    container->setMaxVaultSizeBytes(maxVaultSizeBytes);
    return container;
}

} // namespace korvex::protect
