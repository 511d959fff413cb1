#include "protect/OwnFiles.h"

#include "platform/RegularFile.h"
#include "platform/UserKeyFileProtection.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <sys/stat.h>

namespace korvex::protect {

namespace {

// The path as the file system resolves it: links followed, "." and ".." gone. For a path that
// does not exist yet, its folder resolved and its name kept.
QString resolved(const QString& path) {
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (folder.isEmpty())
        return QDir::cleanPath(info.absoluteFilePath());
    return QDir::cleanPath(folder + QLatin1Char('/') + info.fileName());
}

bool isWithin(const QString& path, const QString& folder) {
    return path == folder ||
           path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'));
}

bool hasOtherNames(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && info.st_nlink > 1;
}

} // namespace

OwnFiles::OwnFiles(QStringList folders, QStringList files)
    : folders_(std::move(folders)), files_(std::move(files)) {
    folders_.removeAll(QString());
    files_.removeAll(QString());
}

OwnFiles OwnFiles::of(const QString& dataFolder, const QString& vaultPath) {
    QStringList folders{dataFolder};
    const QString keyFile = platform::UserKeyFileDataProtection::defaultKeyFilePath();
    if (!keyFile.isEmpty())
        folders << QFileInfo(keyFile).absolutePath();
    QStringList files;
    if (!vaultPath.isEmpty())
        files << vaultPath << vaultPath + QStringLiteral(".lock");
    return OwnFiles(folders, files);
}

bool OwnFiles::contains(const QString& path) const {
    if (path.isEmpty())
        return false;
    const QString target = resolved(path);
    for (const QString& folder : folders_) {
        if (isWithin(target, resolved(folder)))
            return true;
    }
    for (const QString& file : files_) {
        if (target == resolved(file))
            return true;
    }

    // The same file under another name: a hard link elsewhere to one of ours.
    const std::optional<platform::FileIdentity> identity = platform::identityOfPath(path);
    if (!identity)
        return false;
    for (const QString& file : files_) {
        if (platform::identityOfPath(file) == identity)
            return true;
    }
    if (!hasOtherNames(path))
        return false;
    for (const QString& folder : folders_) {
        QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            if (platform::identityOfPath(it.next()) == identity)
                return true;
        }
    }
    return false;
}

} // namespace korvex::protect
