#include "protect/AtomicFile.h"

#include "platform/FileSync.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace korvex::protect {

bool writeFileAtomically(const QString& path, const QByteArray& bytes) {
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
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
    // The rename itself is durable only once the folder is.
    return platform::syncFolder(info.absolutePath());
}

std::optional<QByteArray> readSmallFile(const QString& path, qint64 maxBytes) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const qint64 size = file.size();
    if (size < 0 || size > maxBytes)
        return std::nullopt;
    QByteArray bytes = file.read(maxBytes + 1);
    if (file.error() != QFileDevice::NoError || bytes.size() > maxBytes)
        return std::nullopt;
    return bytes;
}

} // namespace korvex::protect
