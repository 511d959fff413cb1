#pragma once

#include <QString>
#include <functional>

namespace korvex::core {
class AuthManager;
class StorageConfigFile;
class TwoFactorManager;
} // namespace korvex::core
namespace korvex::platform {
class SessionLockWatcher;
}

namespace korvex::app {

class DeferredOperationPrompts;

// What every session shares; owned by the process and outliving each session.
struct SessionInputs {
    core::AuthManager& auth;
    core::TwoFactorManager& twoFactor;
    core::StorageConfigFile& storage;
    QString idleLockPath;
    QString generationRecordPath;
    QString dataFolder;
    QString machineId;
};

// Services a session uses that an embedder (or a test) may replace: the prompts of the deferred
// operations (modal message boxes when null) and the watcher of desktop locks and suspends (on
// the desktop's own buses when empty). signedInChanged, when set, is told true once the
// session's main window shows and false once it is gone.
struct SessionServices {
    DeferredOperationPrompts* prompts = nullptr;
    std::function<platform::SessionLockWatcher*()> makeLockWatcher;
    std::function<void(bool signedIn)> signedInChanged;
};

// One session: deferred storage work, the sign-in (or first run), the guarded vault open, the
// bindings and file protections, the main window and its event loop, and the wipe. Returns 1
// when the window asked for a new sign-in, 0 when the program should end.
int runSession(const SessionInputs& inputs, const SessionServices& services = {});

} // namespace korvex::app
