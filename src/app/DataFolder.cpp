#include "app/DataFolder.h"

#include "protect/FileProtection.h"
#include "protect/LocalIntegrityKey.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QSysInfo>
#include <QUuid>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

namespace korvex::app {

namespace {

const QString kIdentityFileName = QStringLiteral("/identity.dat");
const QString kWriteCheckFileName = QStringLiteral("/.writecheck");
const QString kMachineIdFileName = QStringLiteral("/machine_id.txt");

// The regular, non-hidden files directly in folder (links and special files are left out).
QStringList regularFilesIn(const QString& folder) {
    QStringList paths;
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::Files | QDir::NoSymLinks, QDir::Unsorted);
    for (const QFileInfo& entry : entries)
        paths.append(entry.absoluteFilePath());
    return paths;
}

QString translated(const char* text) {
    return QCoreApplication::translate("Zelvora", text);
}

} // namespace

QString dataFolderPath() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (!folder.isEmpty())
        QDir().mkpath(folder);
    return folder;
}

bool renameWithoutReplacing(const QString& from, const QString& to) {
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) ==
        0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the no-replace flag: look first, then rename.
    struct stat info {};
    if (::lstat(target.constData(), &info) == 0 || errno != ENOENT)
        return false;
    return std::rename(source.constData(), target.constData()) == 0;
}

bool migrateLegacyFolder(const QString& source, const QString& destination,
                         bool removeSourceAfter) {
    if (!QFileInfo::exists(source + kIdentityFileName) ||
        QFileInfo::exists(destination + kIdentityFileName))
        return false;
    QDir().mkpath(destination);
    bool everyFileMoved = true;
    for (const QString& path : regularFilesIn(source)) {
        if (!renameWithoutReplacing(path,
                                    destination + QLatin1Char('/') + QFileInfo(path).fileName()))
            everyFileMoved = false;
    }
    if (removeSourceAfter) {
        // What could not be moved is still only there: the folder stays with it.
        if (everyFileMoved)
            QDir(source).removeRecursively();
        else
            qWarning("migrateLegacyFolder: some files could not be moved out of %s; the folder was "
                     "left in place.",
                     qUtf8Printable(QDir::toNativeSeparators(source)));
    }
    return true;
}

void migrateLegacyFolders(const QString& genericDataLocation) {
    migrateLegacyFolder(genericDataLocation + QStringLiteral("/KORVEX/KORVEX"),
                        genericDataLocation + QStringLiteral("/Zelvora/Zelvora"), false);
    migrateLegacyFolder(genericDataLocation + QStringLiteral("/Zelvora/Zelvora"),
                        genericDataLocation + QStringLiteral("/Zelvora"), true);
}

void repairDataFolderAccess(const QString& folder) {
    const protect::AccessRights all =
        protect::AccessRight::Read | protect::AccessRight::Write | protect::AccessRight::Delete;
    for (const QString& path : regularFilesIn(folder)) {
        if (protect::isAccessDenied(path, all) && !protect::repairAccess(path))
            qWarning("Could not repair read/write/delete access to a data file: %s",
                     qUtf8Printable(path));
    }
}

bool isDataFolderWritable(const QString& folder) {
    const QString probe = folder + kWriteCheckFileName;
    bool written = false;
    {
        QSaveFile file(probe);
        written = file.open(QIODevice::WriteOnly) && file.write("ok", 2) == 2 && file.commit();
    }
    QFile::remove(probe);
    return written;
}

QString machineIdentifierFrom(const QByteArray& systemId, const QString& dataFolder) {
    if (!systemId.isEmpty())
        return QString::fromLatin1(systemId.toHex());

    const QString path = dataFolder + kMachineIdFileName;
    QFile stored(path);
    if (stored.open(QIODevice::ReadOnly)) {
        const QString text = QString::fromUtf8(stored.readAll()).trimmed();
        if (!text.isEmpty())
            return text;
    }
    stored.close();

    const QString fresh = QUuid::createUuid().toString(QUuid::WithoutBraces);
    QDir().mkpath(dataFolder);
    QFile file(path);
    // A failed write only means another identifier next time; this run uses the new one.
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(fresh.toUtf8());
    return fresh;
}

QString machineIdentifier(const QString& dataFolder) {
    return machineIdentifierFrom(QSysInfo::machineUniqueId(), dataFolder);
}

QString dataFolderNotWritableTitle() {
    return translated("Zelvora - Data Folder Not Writable");
}

QString dataFolderNotWritableMessage(const QString& folder) {
    return translated("Zelvora cannot save changes to its data folder:\n%1\n\nThis usually means "
                      "the folder is locked or its permissions were changed outside Zelvora. "
                      "Zelvora will not open the vault until it can save, to avoid leaving your "
                      "vault and its records out of step with each other.")
        .arg(QDir::toNativeSeparators(folder));
}

QString storageConfigRefusalTitle() {
    return translated("Zelvora - Storage Configuration Error");
}

QString storageConfigRefusalMessage(const QString& storageKeyPath) {
    using protect::LocalIntegrityKey;
    if (LocalIntegrityKey::isOlderKeyFile(storageKeyPath))
        return translated(
            "Zelvora's storage configuration was created by an older version that protected it "
            "differently -- this version can no longer read it, by design, not because anything "
            "is corrupted or tampered with. You'll need to start with a fresh vault; contact "
            "support first if you need the data in your old vault.");
    if (LocalIntegrityKey::isHardwareKeyLost(storageKeyPath))
        return translated(
            "Zelvora could not obtain the hardware security key that protects its storage "
            "configuration on this device -- most likely your PC's TPM was reset or cleared, or "
            "this data was moved from a different computer. There is no way to recover from "
            "this; you'll need to start with a fresh vault.");
    return translated(
        "Zelvora's storage configuration could not be verified -- it may be corrupted or "
        "tampered with. To avoid silently creating a new empty vault and losing access to your "
        "real one, Zelvora is not starting.\n\nIf you know where your vault is stored, you can "
        "restore storage.dat from a backup. Otherwise, please contact support.");
}

} // namespace korvex::app
