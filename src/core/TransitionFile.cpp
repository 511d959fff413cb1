#include "core/TransitionFile.h"

#include "protect/FileProtection.h"

#include <QFile>
#include <QFileInfo>

namespace korvex::core {

RekeyEvidence judgeRekey(bool markedRekeyed, quint64 generationAtStart,
                         std::optional<quint64> currentGeneration) {
    if (markedRekeyed)
        return RekeyEvidence::Rekeyed;
    if (!currentGeneration)
        return RekeyEvidence::Unknown;
    if (*currentGeneration > generationAtStart)
        return RekeyEvidence::Rekeyed;
    if (*currentGeneration == generationAtStart)
        return RekeyEvidence::NotRekeyed;
    // Below where it started: this is not the vault the transition was written for (an older
    // copy, or another vault at the same place).
    return RekeyEvidence::Unknown;
}

bool transitionFileExists(const QString& path) {
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

void discardTransitionFile(const QString& path, const QString& eraseFailure, const char* owner) {
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return;
    if (protect::secureErase(path))
        return;
    qWarning("%s", qUtf8Printable(eraseFailure.arg(path)));
    if (!QFile::remove(path))
        qWarning("%s: could not remove the transition file at %s either -- the next start may act "
                 "on it again.",
                 owner, qUtf8Printable(path));
}

} // namespace korvex::core
