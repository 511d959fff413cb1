#pragma once

#include <QString>

namespace korvex::core {
class StorageConfigFile;
struct StorageConfig;
} // namespace korvex::core

namespace korvex::app {

// Whether the recovery code can restore storage.dat's key: it is a TPM key that is lost (the TPM
// was cleared or replaced), and the account file, sealed under the same root, is there to prove
// a code against.
bool restoreIsPossible(const QString& storageKeyPath, const QString& identityPath);

// The refusal (title, text) with the restore from the recovery code offered beside Quit; asked
// again after a code that did not restore. True once restored.
bool offerRestore(const QString& title, const QString& text, const QString& identityKeyPath);

// A session's settings, loaded into config. A storage.dat that exists but cannot be read is
// never taken for the defaults (they would point at another vault, or none): the user is told
// why, with Try Again when its key is only out of reach just now (a dismissed prompt, a lockout,
// a TPM or keyring that does not answer), with the restore when the TPM lost it, and refused
// otherwise. False when the session cannot go on.
bool loadSessionStorage(core::StorageConfigFile& storage, const QString& identityPath,
                        core::StorageConfig* config);

} // namespace korvex::app
