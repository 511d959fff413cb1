#include "core/TransitionFile.h"

#include "protect/FileProtection.h"

#include <QFile>
#include <QFileInfo>

namespace korvex::core {

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
