#include "protect/TpmChoice.h"

#include "protect/LocalIntegrityKey.h"
#include "protect/UserProtectionChoice.h"

#include <QDir>

namespace korvex::protect {

using platform::SealedKeyAvailability;

TpmDecision decideTpmUse(const QString& folder, platform::ISealedKeyStore& tpm) {
    const std::optional<FolderProtection> recorded = recordedProtection(folder);
    if (recorded == FolderProtection::Tpm || LocalIntegrityKey::hasRootFiles(folder)) {
        // A folder an older version left with keys of both kinds keeps its record for the
        // others; its root files say that the TPM's are there too.
        if (!recorded && !recordProtection(folder, FolderProtection::Tpm))
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
        // The folder is the TPM's from now on: should the TPM stop answering before the first
        // key is sealed, no key of another kind is made in its place.
        if (!recordProtection(folder, FolderProtection::Tpm))
            qWarning("decideTpmUse: could not record in %s that the TPM protects this folder's "
                     "keys.",
                     qUtf8Printable(userProtectionRecordIn(folder)));
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
