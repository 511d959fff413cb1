#pragma once

#include <QString>

namespace korvex::core {
class AuthManager;
class StorageConfigFile;
class TwoFactorManager;
} // namespace korvex::core

namespace korvex::app {

// Completes or discards key transitions that a previous run left unfinished: a transition is
// committed when the vault was re-keyed (its flag says so, or the vault's generation moved
// past the value recorded at its start) and abandoned when the generation shows it was not.
// When that cannot be told (the transition does not load just now, or the bound vault's
// generation cannot be read where the vault is, a pending move's old path included), the
// transition is left for a later start. Password change first, then two-factor. Runs once per
// process, before anybody signs in.
void recoverPendingKeyTransitions(core::AuthManager& auth, core::TwoFactorManager& twoFactor,
                                  const core::StorageConfigFile& storage,
                                  const QString& dataFolder);

} // namespace korvex::app
