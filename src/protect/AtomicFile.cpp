#include "protect/AtomicFile.h"

#include "platform/FileSync.h"
#include "platform/PrivatePaths.h"
#include "platform/RegularFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace korvex::protect {

bool writeFileAtomically(const QString& path, const QByteArray& bytes, bool* durable) {
    if (durable)
        *durable = false;
    const QFileInfo info(path);
    if (!platform::createPrivateFolder(info.absolutePath()))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // The temporary file takes the target's permissions (or the umask's); ours are private.
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        file.cancelWriting();
        return false;
    }
    // The write may only fill QSaveFile's buffer; a failure to push it to the file (a full
    // disk, a size limit) surfaces in flush(), and commit() would rename a short file over the
    // target regardless.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    // commit() flushes and syncs the temporary file, then renames it over the target.
    if (!file.commit())
        return false;
    // The rename itself is durable only once the folder is. The new file is in place either
    // way, and that is what the caller must go on from.
    const bool synced = platform::syncFolder(info.absolutePath());
    if (!synced)
        qWarning("writeFileAtomically: %s was replaced, but its folder could not be synced -- the "
                 "change may not survive a power loss.",
                 qUtf8Printable(path));
    if (durable)
        *durable = synced;
    return true;
}

std::optional<QByteArray> readSmallFile(const QString& path, qint64 maxBytes) {
    const int fd = platform::openRegularFile(path);
    if (fd < 0)
        return std::nullopt;
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle))
        return std::nullopt;
    const qint64 size = file.size();
    if (size < 0 || size > maxBytes)
        return std::nullopt;
    // One byte more than the file holds shows whether it changed meanwhile; reading maxBytes + 1
    // would allocate the whole limit for every small file.
    QByteArray bytes = file.read(size + 1);
    if (file.error() != QFileDevice::NoError || bytes.size() != size)
        return std::nullopt;
    return bytes;
}

} // namespace korvex::protect
