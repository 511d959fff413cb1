#pragma once

#include <QString>
#include <memory>
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
    // A question with two answers; true for acceptText, false for rejectText (the default, and
    // what closing the question means).
    virtual bool choose(const QString& title, const QString& text, const QString& acceptText,
                        const QString& rejectText) = 0;
    // Long work before sign-in (a wipe, an erase, a copy) is shown while it runs: its step and
    // how much of total is done, told again as it goes. finishProgress ends the showing.
    virtual void progress(const QString& title, const QString& step, quint64 done,
                          quint64 total) = 0;
    virtual void finishProgress() = 0;
};

// Modal message boxes, an input dialog and a progress window without a parent window.
class MessageBoxPrompts final : public DeferredOperationPrompts {
public:
    MessageBoxPrompts();
    ~MessageBoxPrompts() override;
    void warning(const QString& title, const QString& text) override;
    void information(const QString& title, const QString& text) override;
    std::optional<QString> askPassword(const QString& title, const QString& label) override;
    bool choose(const QString& title, const QString& text, const QString& acceptText,
                const QString& rejectText) override;
    void progress(const QString& title, const QString& step, quint64 done, quint64 total) override;
    void finishProgress() override;

private:
    struct Window;
    std::unique_ptr<Window> window_;
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

// Securely erases the claimed raw-disk region recorded for deletion, then the account and the
// container vault the claim left behind, and switches the configuration back to a container
// file. The region is wiped only while the disk held open is the claim's, the whole region is
// still free on it and its marker verifies; a wipe cut short resumes where it stopped. A region
// that a partition now overlaps, whose disk cannot be found or whose marker is not this claim's
// is left as it is: the user is told why and may forget the vault without wiping it (the
// deletion otherwise stays pending).
void applyPendingRawDiskDelete(core::StorageConfigFile& storage, const QString& dataFolder,
                               const QString& generationPath, DeferredOperationPrompts& prompts);

// The way out of a raw-disk vault that cannot be opened (its disk cannot be found, its space is
// no longer free, its marker is not this install's): offered beside refusal, the text that
// says why. When the user chooses it and confirms with the master password, the vault is
// deleted as Delete Vault deletes it (applyPendingRawDiskDelete). True when the account is gone
// afterwards, so that the next session starts with the first run.
bool offerToDeleteUnusableRawVault(const QString& refusal, core::AuthManager& auth,
                                   core::StorageConfigFile& storage, const QString& dataFolder,
                                   const QString& generationPath,
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

} // namespace korvex::app
