// Restores a data folder from its recovery code in a process of its own, the way the program
// does it, so that a test can cut the restore short at any write by killing the process:
//
//   helper_restore <tcti> <TPM key folder> <account key file> <recovery code> <new PIN>
//
// Exit status 0 when restored, 1 when not, 2 on a usage error.

#include "platform/TpmSealedKeyStore.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/RecoveryCode.h"
#include "support/PlatformDoubles.h"
#include "support/ScriptedPinPrompt.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 6)
        return 2;
    korvex::test::ScriptedPinPrompt prompt;
    prompt.answers = {arguments.at(5).toUtf8()};
    korvex::platform::TpmSealedKeyStore store(arguments.at(1), arguments.at(2), &prompt);
    korvex::test::FakeUserDataProtection user;
    korvex::protect::setLocalProtectionServices(&store, &user);
    return korvex::protect::restoreFromRecoveryCode(arguments.at(3), arguments.at(4)) ? 0 : 1;
}
