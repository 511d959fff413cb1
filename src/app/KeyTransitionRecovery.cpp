#include "app/KeyTransitionRecovery.h"

#include "core/AuthManager.h"
#include "core/StorageConfigFile.h"
#include "core/TwoFactorManager.h"
#include "vault/VaultContainer.h"

#include <optional>

namespace korvex::app {

namespace {

// The vault's committed generation, when its header can be read without a key.
std::optional<quint64> currentVaultGeneration(const core::StorageConfigFile& storage,
                                              const QString& dataFolder) {
    switch (storage.backend()) {
    case vault::StorageBackend::Container:
        return vault::VaultContainer::readHeaderGenerationFromFile(storage.resolveVaultPath(dataFolder));
    case vault::StorageBackend::RawDisk:
        // The raw-disk store is not available in this build; recovery then relies on the
        // transitions' own re-keyed flags.
        break;
    }
    return std::nullopt;
}

} // namespace

void recoverPendingKeyTransitions(core::AuthManager& auth, core::TwoFactorManager& twoFactor,
                                  const core::StorageConfigFile& storage, const QString& dataFolder) {
    const std::optional<quint64> generation = currentVaultGeneration(storage, dataFolder);
    if (auth.hasPendingTransition()) {
        if (!auth.transitionVaultRekeyed(generation))
            auth.abandonTransition();
        else if (!auth.commitTransition(twoFactor))
            qWarning("recoverPendingKeyTransitions: failed to commit a completed password-change "
                     "transition -- will retry on next launch.");
    }
    if (twoFactor.hasPendingTransition()) {
        if (!twoFactor.transitionVaultRekeyed(generation))
            twoFactor.abandonTransition();
        else if (!twoFactor.commitTransition())
            qWarning("recoverPendingKeyTransitions: failed to commit a completed 2FA transition -- "
                     "will retry on next launch.");
    }
}

} // namespace korvex::app
