#include "platform/FileSync.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace korvex::platform {

bool syncFileData(int fileDescriptor) {
    if (fileDescriptor < 0)
        return false;
    int rc;
    do {
        rc = ::fdatasync(fileDescriptor);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool syncFolder(const QString& folderPath) {
    const QByteArray native = QFile::encodeName(folderPath);
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int rc;
    do {
        rc = ::fsync(fd);
    } while (rc != 0 && errno == EINTR);
    ::close(fd);
    return rc == 0;
}

bool syncParentFolder(const QString& filePath) {
    return syncFolder(QFileInfo(filePath).absolutePath());
}

} // namespace korvex::platform
