#include "app/KeyTransitionRecovery.h"

#include "core/AuthManager.h"
#include "core/StorageConfigFile.h"
#include "core/TwoFactorManager.h"
#include "protect/MarkerKey.h"
#include "protect/RollbackGuard.h"
#include "vault/RawBlockStore.h"
#include "vault/VaultContainer.h"

#include <optional>

namespace korvex::app {

namespace {

struct VaultState {
    QString vaultId;
    std::optional<quint64> generation;
};

// The vault's identifier and committed generation, when its header can be read without a key,
// and only from the vault the configuration is bound to: another vault's generation says nothing
// about this transition.
VaultState currentVaultState(const core::StorageConfigFile& storage, const QString& dataFolder) {
    core::StorageConfig config;
    if (!storage.load(&config) && storage.isUnreadable())
        return {};
    switch (config.backend) {
    case vault::StorageBackend::Container: {
        const QString path = core::currentContainerPath(config.container, dataFolder);
        const QString vaultId = vault::VaultContainer::readVaultIdFromFile(path);
        if (!config.boundVaultId.isEmpty() && vaultId != config.boundVaultId)
            return {};
        return {vaultId, vault::VaultContainer::readHeaderGenerationFromFile(path)};
    }
    case vault::StorageBackend::RawDisk: {
        // The header in the claimed region, once the store has checked the disk, the layout
        // and the marker.
        vault::RawBlockStore store(config.rawDiskClaim, false,
                                   protect::markerKeyLoader(dataFolder));
        if (!store.open()) {
            qWarning("recoverPendingKeyTransitions: the raw-disk vault could not be opened to "
                     "read its generation: %s",
                     qUtf8Printable(store.errorString()));
            return {};
        }
        const QString vaultId = vault::VaultContainer::readVaultId(store);
        if (!config.boundVaultId.isEmpty() && vaultId != config.boundVaultId)
            return {};
        return {vaultId, vault::VaultContainer::readHeaderGeneration(store)};
    }
    }
    return {};
}

// A re-key that never reached the vault: before it, the rollback record was advanced to the
// generation the re-key would have committed. Left there, it would refuse the vault as an older
// copy of itself.
void withdrawRekeyAdvance(const VaultState& vault, const QString& dataFolder) {
    if (vault.vaultId.isEmpty() || !vault.generation)
        return;
    if (!protect::withdrawAdvance(dataFolder + QStringLiteral("/vault_generation.dat"),
                                  vault.vaultId, *vault.generation))
        qWarning("recoverPendingKeyTransitions: could not take back the rollback-protection "
                 "advance of a re-key that did not happen -- the vault may be refused as an older "
                 "copy.");
}

} // namespace

void recoverPendingKeyTransitions(core::AuthManager& auth, core::TwoFactorManager& twoFactor,
                                  const core::StorageConfigFile& storage,
                                  const QString& dataFolder) {
    // Reading a raw-disk vault may ask for authorisation: only done when there is something to
    // judge.
    if (!auth.transitionFileExists() && !twoFactor.transitionFileExists())
        return;
    const VaultState vault = currentVaultState(storage, dataFolder);
    const std::optional<quint64>& generation = vault.generation;
    // A transition that cannot be judged (unreadable just now, or no vault to read the
    // generation from) is the only copy of its new key: it stays for a later start.
    if (auth.transitionFileExists()) {
        switch (auth.transitionVaultRekeyed(generation)) {
        case core::RekeyEvidence::NotRekeyed:
            auth.abandonTransition();
            withdrawRekeyAdvance(vault, dataFolder);
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
            withdrawRekeyAdvance(vault, dataFolder);
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
