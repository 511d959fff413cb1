#include "app/KeyTransitionRecovery.h"

#include "core/AuthManager.h"
#include "core/StorageConfigFile.h"
#include "core/TwoFactorManager.h"
#include "vault/VaultContainer.h"

#include <optional>

namespace korvex::app {

namespace {

// Where the container file really is: while a move is pending, the vault stays at its old path
// until the next session moves it.
QString containerPathNow(const core::StorageConfig& config, const QString& dataFolder) {
    const QString pendingFrom = config.container.pendingMigrateFromPath;
    if (!pendingFrom.isEmpty()) {
        const QString source = vault::VaultContainer::resolveVaultFilePath(pendingFrom);
        if (!source.isEmpty())
            return source;
    }
    return core::StorageConfigFile::resolveVaultPath(config.container, dataFolder);
}

// The vault's committed generation, when its header can be read without a key, and only from
// the vault the configuration is bound to: another vault's generation says nothing about this
// transition.
std::optional<quint64> currentVaultGeneration(const core::StorageConfigFile& storage,
                                              const QString& dataFolder) {
    core::StorageConfig config;
    if (!storage.load(&config) && storage.isUnreadable())
        return std::nullopt;
    switch (config.backend) {
    case vault::StorageBackend::Container: {
        const QString path = containerPathNow(config, dataFolder);
        if (!config.boundVaultId.isEmpty() &&
            vault::VaultContainer::readVaultIdFromFile(path) != config.boundVaultId)
            return std::nullopt;
        return vault::VaultContainer::readHeaderGenerationFromFile(path);
    }
    case vault::StorageBackend::RawDisk:
        // The raw-disk store is not available in this build; recovery then relies on the
        // transitions' own re-keyed flags.
        break;
    }
    return std::nullopt;
}

} // namespace

void recoverPendingKeyTransitions(core::AuthManager& auth, core::TwoFactorManager& twoFactor,
                                  const core::StorageConfigFile& storage,
                                  const QString& dataFolder) {
    const std::optional<quint64> generation = currentVaultGeneration(storage, dataFolder);
    // A transition that cannot be judged (unreadable just now, or no vault to read the
    // generation from) is the only copy of its new key: it stays for a later start.
    if (auth.transitionFileExists()) {
        switch (auth.transitionVaultRekeyed(generation)) {
        case core::RekeyEvidence::NotRekeyed:
            auth.abandonTransition();
            break;
        case core::RekeyEvidence::Rekeyed:
            if (!auth.commitTransition(twoFactor))
                qWarning("recoverPendingKeyTransitions: failed to commit a completed "
                         "password-change transition -- will retry on next launch.");
            break;
        case core::RekeyEvidence::Unknown:
            qWarning("recoverPendingKeyTransitions: cannot tell whether the vault was re-keyed for "
                     "a pending password change -- the transition is kept for a later launch.");
            break;
        }
    }
    if (twoFactor.transitionFileExists()) {
        switch (twoFactor.transitionVaultRekeyed(generation)) {
        case core::RekeyEvidence::NotRekeyed:
            twoFactor.abandonTransition();
            break;
        case core::RekeyEvidence::Rekeyed:
            if (!twoFactor.commitTransition())
                qWarning("recoverPendingKeyTransitions: failed to commit a completed 2FA "
                         "transition -- will retry on next launch.");
            break;
        case core::RekeyEvidence::Unknown:
            qWarning("recoverPendingKeyTransitions: cannot tell whether the vault was re-keyed for "
                     "a pending two-factor change -- the transition is kept for a later launch.");
            break;
        }
    }
}

} // namespace korvex::app
