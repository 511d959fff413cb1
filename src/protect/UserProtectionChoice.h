#pragma once

#include "platform/UserDataProtection.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace korvex::protect {

// Which per-user protection holds a data folder's settings keys (the desktop keyring, or the
// user's private key file) is chosen when the folder gets its first key, and recorded in the
// folder once a key of that kind is there. Every later start uses the recorded kind, whether or not
// it can be reached then: a keyring that is missing at one start (another desktop, a remote shell,
// a keyring not yet started) must lead to "not available", never to keys of the other kind beside
// the existing ones.

// A folder whose keys are sealed by the TPM records that too ("tpm", written when a new folder
// takes the TPM, and once its root secret is sealed): a TPM that does not answer at a later start
// is then unreachable, never absent, and no key of another kind is made beside the TPM's.

// The record: the data folder + "/key_protection.txt", holding "tpm", "keyring" or "keyfile".
enum class FolderProtection { Tpm, Keyring, UserKeyFile };
QString userProtectionRecordIn(const QString& folder);
std::optional<FolderProtection> recordedProtection(const QString& folder);
bool recordProtection(const QString& folder, FolderProtection protection);
// The recorded per-user kind; nothing for a folder recorded as the TPM's.
std::optional<platform::UserProtectionKind> recordedUserProtection(const QString& folder);
bool recordUserProtection(const QString& folder, platform::UserProtectionKind kind);

using UserProtectionFactory =
    std::function<std::unique_ptr<platform::IUserDataProtection>(platform::UserProtectionKind)>;

// The protection for folder's keys. With a record, the recorded kind; a folder recorded as the
// TPM's takes, for any older software-form key it may hold, the kind found as below, and records
// nothing. Without one: a folder
// with no keys of the user's yet takes the keyring when keyringAvailable() says one is there,
// else the key file, for this run; a folder with keys (made at an earlier start, or by a
// version that did not record the choice) takes the kind that opens them, the account's keys
// first, and records it; when neither opens them now, the kind they most likely belong to is
// used for this run (and nothing is recorded), so that its own failure says what is wrong.
std::unique_ptr<platform::IUserDataProtection>
selectUserProtection(const QString& folder, const std::function<bool()>& keyringAvailable,
                     const UserProtectionFactory& create);

} // namespace korvex::protect
