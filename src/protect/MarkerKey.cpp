#include "protect/MarkerKey.h"

#include "protect/LocalIntegrityKey.h"
#include "vault/RawBlockStore.h"

namespace korvex::protect {

QString markerKeyPath(const QString& dataFolder) {
    return dataFolder + QLatin1String(vault::kMarkerKeyFileName);
}

QString releaseJournalPath(const QString& dataFolder) {
    return dataFolder + QStringLiteral("/raw_disk_release.journal");
}

vault::MarkerKeyLoader markerKeyLoader(const QString& dataFolder) {
    const QString path = markerKeyPath(dataFolder);
    return [path](vault::MarkerKeyFailure* failure) {
        KeyLoadFailure why = KeyLoadFailure::None;
        crypto::SecureBuffer key = LocalIntegrityKey::loadKey(path, &why);
        if (failure) {
            *failure = key.empty() ? (why == KeyLoadFailure::PromptCancelled
                                          ? vault::MarkerKeyFailure::PromptCancelled
                                          : vault::MarkerKeyFailure::Unavailable)
                                   : vault::MarkerKeyFailure::None;
        }
        return key;
    };
}

} // namespace korvex::protect
