#include "protect/TpmChoice.h"

#include "protect/LocalIntegrityKey.h"
#include "protect/UserProtectionChoice.h"

#include <QDir>

namespace korvex::protect {

using platform::SealedKeyAvailability;

TpmDecision decideTpmUse(const QString& folder, platform::ISealedKeyStore& tpm) {
    const std::optional<FolderProtection> recorded = recordedProtection(folder);
    if (LocalIntegrityKey::usesTpm(folder)) {
        if (recorded != FolderProtection::Tpm && !recordProtection(folder, FolderProtection::Tpm))
            qWarning("decideTpmUse: could not record in %s that the TPM protects this folder's "
                     "keys; its root files say so as well.",
                     qUtf8Printable(userProtectionRecordIn(folder)));
        return TpmDecision{TpmUse::Use, tpm.availability()};
    }
    // Keys of the user's protection, recorded as such or (from before the record) with their
    // entropy files beside them, keep theirs.
    if (recorded || !QDir(folder)
                         .entryList({QStringLiteral("*.key.entropy")}, QDir::Files | QDir::Hidden)
                         .isEmpty())
        return TpmDecision{TpmUse::DoNotUse, SealedKeyAvailability::Absent};
    const SealedKeyAvailability availability = tpm.availability();
    switch (availability) {
    case SealedKeyAvailability::Usable:
        return TpmDecision{TpmUse::Use, availability};
    case SealedKeyAvailability::Absent:
        return TpmDecision{TpmUse::DoNotUse, availability};
    case SealedKeyAvailability::OwnerPasswordSet:
    case SealedKeyAvailability::NoRoom:
    case SealedKeyAvailability::Faulty:
        break;
    }
    return TpmDecision{TpmUse::AskUser, availability};
}

} // namespace korvex::protect
