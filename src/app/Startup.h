#pragma once

#include "app/SessionRunner.h"

#include <QString>
#include <functional>

namespace korvex::app {

// How start-up shows a refusal; a critical message box when empty.
using CriticalMessage = std::function<void(const QString& title, const QString& text)>;

// Installs the protection of the settings keys for the data folder, once it is known and
// before any key is read; false when the user chose not to go on (start-up then ends with 1).
// Empty: whatever is installed already stays (tests install doubles).
using ProtectionSetup = std::function<bool(const QString& dataFolder)>;

// Everything after the application object exists: legacy folders, the data folder's access,
// privacy and writability, the protection of its keys, the account, the machine identifier, the
// storage configuration check (with the restore from the recovery code offered when a TPM that
// was cleared or replaced lost its key), unfinished key transitions, and then one session after
// another for as long as each asks for a new sign-in. Returns the process exit code: 0 after
// the last session, 1 when start-up was refused.
int startAndRunSessions(const CriticalMessage& critical = {}, const SessionServices& services = {},
                        const ProtectionSetup& setUpProtection = {});

// The whole program: names, crash wipe, log, application object, look, then the above.
int runApplication(int argc, char** argv);

} // namespace korvex::app
