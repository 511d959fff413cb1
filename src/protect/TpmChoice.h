#pragma once

#include "platform/SealedKeyStore.h"

#include <QString>

namespace korvex::protect {

// Whether a data folder's settings keys are sealed by the TPM, decided once per start before
// any key is read.
enum class TpmUse {
    Use,      // the folder is the TPM's (recorded, or its root files are there), or a new folder
              // on a machine whose TPM is usable: the TPM store is installed, whether or not the
              // TPM answers today
    DoNotUse, // the folder is the user protection's, or there is no TPM
    AskUser,  // a new folder, and a TPM that answers but cannot be used (see availability): the
              // user is told, and chooses whether to go on with the weaker protection
};

struct TpmDecision {
    TpmUse use = TpmUse::DoNotUse;
    platform::SealedKeyAvailability availability = platform::SealedKeyAvailability::Absent;
};

// The decision for folder with this machine's TPM store. A folder of the TPM's found without any
// record (made before the record existed), and a new folder that takes a usable TPM, are
// recorded as the TPM's.
TpmDecision decideTpmUse(const QString& folder, platform::ISealedKeyStore& tpm);

} // namespace korvex::protect
