#include "protect/RollbackGuard.h"

#include "protect/ProtectedFile.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonObject>

#include <algorithm>

namespace korvex::protect {

namespace {

const QString kVaultsKey = QStringLiteral("vaults");

quint64 generationOf(const QJsonValue& value) {
    bool ok = false;
    const quint64 generation = value.toString().toULongLong(&ok);
    return ok ? generation : 0;
}

void setStatus(RollbackStatus* out, RollbackStatus status) {
    if (out)
        *out = status;
}

} // namespace

bool checkAndAdvance(const QString& recordPath, const QString& vaultId, quint64 generation,
                     bool createdNow, RollbackStatus* status) {
    setStatus(status, RollbackStatus::Ok);
    const ProtectedReadResult record = readProtectedFile(recordPath, EnvelopeKind::Authenticated);
    QJsonObject vaults;
    switch (record.status) {
    case ProtectedReadStatus::Ok:
        vaults = record.object.value(kVaultsKey).toObject();
        break;
    case ProtectedReadStatus::NotAnObject:
        break;
    case ProtectedReadStatus::Unverifiable:
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
    vaults.insert(vaultId, QString::number(std::max(stored, generation)));
    if (!writeProtectedFile(recordPath, QJsonObject{{kVaultsKey, vaults}}, EnvelopeKind::Authenticated)) {
        setStatus(status, RollbackStatus::RecordUnsaveable);
        return false;
    }
    return true;
}

bool removeVault(const QString& recordPath, const QString& vaultId) {
    const ProtectedReadResult record = readProtectedFile(recordPath, EnvelopeKind::Authenticated);
    if (record.status == ProtectedReadStatus::Missing)
        return true;
    if (record.status == ProtectedReadStatus::Unverifiable)
        return false;
    QJsonObject vaults = record.object.value(kVaultsKey).toObject();
    if (!vaults.contains(vaultId))
        return true;
    vaults.remove(vaultId);
    return writeProtectedFile(recordPath, QJsonObject{{kVaultsKey, vaults}}, EnvelopeKind::Authenticated);
}

quint64 highestGeneration(const QString& recordPath) {
    const ProtectedReadResult record = readProtectedFile(recordPath, EnvelopeKind::Authenticated);
    if (!record.ok())
        return 0;
    quint64 highest = 0;
    const QJsonObject vaults = record.object.value(kVaultsKey).toObject();
    for (auto it = vaults.begin(); it != vaults.end(); ++it)
        highest = std::max(highest, generationOf(it.value()));
    return highest;
}

std::unique_ptr<vault::VaultContainer>
openVaultGuarded(const vault::VaultLocation& location, const crypto::SecureBuffer& vaultKey,
                 const QString& machineId, const QString& recordPath,
                 const QString& recoveredVaultId, qint64 maxVaultSizeBytes, QString* message) {
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

    RollbackStatus status = RollbackStatus::Ok;
    if (!checkAndAdvance(recordPath, container->vaultId(), container->generationCounter(),
                         createdNow, &status)) {
        container.reset();
        // A vault created just now that cannot be recorded would be refused at every later
        // open: take the new, empty vault away again so the next attempt starts afresh.
        if (createdNow && location.backend == vault::StorageBackend::Container)
            QFile::remove(location.containerPath);
        if (message) {
            switch (status) {
            case RollbackStatus::OlderCopy:
                *message = QCoreApplication::translate(
                    "RollbackGuard",
                    "Zelvora could not open this vault: it looks like an older backup or copy. A "
                    "newer version of this vault has already been used on this machine, and "
                    "opening an older one could silently undo changes or deletions you already "
                    "made.\n\nYour vault has not been modified.");
                break;
            case RollbackStatus::RecordUnsaveable:
                *message = QCoreApplication::translate(
                    "RollbackGuard",
                    "Zelvora could not save the rollback-protection record it needs before opening "
                    "this vault. This usually means its data folder isn't currently writable.\n\n"
                    "Your vault has not been modified. Once the data folder is writable again, "
                    "opening will succeed normally.");
                break;
            case RollbackStatus::Ok:
            case RollbackStatus::RecordUnverifiable:
                *message = QCoreApplication::translate(
                    "RollbackGuard",
                    "Zelvora could not verify this vault's rollback-protection record -- it may be "
                    "missing or unreadable, most often because a previous run could not save "
                    "changes to Zelvora's data folder.\n\nYour vault has not been modified.");
                break;
            }
        }
        return nullptr;
    }
    container->setMaxVaultSizeBytes(maxVaultSizeBytes);
    return container;
}

} // namespace korvex::protect
