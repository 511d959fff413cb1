#pragma once

#include <QString>
#include <optional>

namespace korvex::core {
class AuthManager;
class StorageConfigFile;
} // namespace korvex::core

namespace korvex::vault {
struct RawDiskClaim;
} // namespace korvex::vault

namespace korvex::app {

// Each deferred operation is tried at most this many times across starts; the attempt that
// reaches it gives up with a message.
inline constexpr int kDeferredOperationAttemptLimit = 5;

// How the deferred operations talk to the user.
class DeferredOperationPrompts {
public:
    virtual ~DeferredOperationPrompts() = default;
    virtual void warning(const QString& title, const QString& text) = 0;
    virtual void information(const QString& title, const QString& text) = 0;
    // A password entry (echo off); nothing when cancelled. The caller wipes the text.
    virtual std::optional<QString> askPassword(const QString& title, const QString& label) = 0;
};

// Modal message boxes and an input dialog without a parent window.
class MessageBoxPrompts final : public DeferredOperationPrompts {
public:
    void warning(const QString& title, const QString& text) override;
    void information(const QString& title, const QString& text) override;
    std::optional<QString> askPassword(const QString& title, const QString& label) override;
};

// The vault moves recorded by Configure, run before anybody signs in. Each reads storage.dat
// afresh and records its progress there, so that a crash at any point leaves the request to be
// retried at the next start.

// Moves the container file from the recorded old path to the configured location: a rename,
// or across file systems a copy whose size is checked before the old file is securely erased.
void applyPendingContainerMigration(const core::StorageConfigFile& storage,
                                    const QString& dataFolder, DeferredOperationPrompts& prompts);

// Asks for the master password before a pending deletion runs. True only when the typed text is
// the account's password (a wrong one counts as a failed sign-in); false when cancelled.
bool confirmPendingDelete(core::AuthManager& auth, DeferredOperationPrompts& prompts);

// Securely erases the container file recorded for deletion, then the account, so that the next
// session starts from the first-run wizard, and drops the vault from the generation record.
// storage is rebound to the generation record once the vault has left it.
void applyPendingContainerDelete(core::StorageConfigFile& storage, const QString& dataFolder,
                                 const QString& generationPath, DeferredOperationPrompts& prompts);

// Securely erases the claimed raw-disk region recorded for deletion, then the account, and
// switches the configuration back to a container file.
void applyPendingRawDiskDelete(const core::StorageConfigFile& storage, const QString& dataFolder,
                               DeferredOperationPrompts& prompts);

// A create that was cut short leaves a file with no committed header and no data at path. It
// holds nothing, but would stop a vault from ever being created there again, so it is removed
// before the session opens the vault. A configuration already bound to a vault (bound) never
// has its file taken away, and neither does a file whose lock another instance holds: that one
// may be creating it right now.
void removeInterruptedCreate(const QString& path, bool bound);

// Securely erases the account's identity, lockout and two-factor files (respectively the
// pending-transition files) in dataFolder, with the sealed keys named after them.
void eraseAccountLeftovers(const QString& dataFolder);
void eraseTransitionLeftovers(const QString& dataFolder);

// Overwrites the claimed region of a raw disk, marker included, once the marker still verifies
// under dataFolder's marker key; false when the disk cannot be reached or any pass fails.
bool secureEraseClaimedRegion(const vault::RawDiskClaim& claim, const QString& dataFolder);

} // namespace korvex::app
