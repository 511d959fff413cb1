#include "app/DataFolder.h"

#include "platform/PrivatePaths.h"
#include "platform/TpmSealedKeyStore.h"
#include "protect/AtomicFile.h"
#include "protect/FileProtection.h"
#include "protect/LocalIntegrityKey.h"
#include "ui/TpmPinDialog.h"

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
constexpr qint64 kMaxMachineIdBytes = 4096;

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
        makeDataFolderPrivate(folder);
    return folder;
}

void makeDataFolderPrivate(const QString& folder) {
    if (!platform::createPrivateFolder(folder))
        return;
    // A folder left wider by an older version (or the umask) is tightened, and with it what it
    // holds: the files directly in it and those of its own folders (the log's).
    if (!platform::restrictToOwner(folder))
        qWarning("Could not make the data folder private to this user: %s", qUtf8Printable(folder));
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks);
    for (const QFileInfo& entry : entries) {
        platform::restrictToOwner(entry.absoluteFilePath());
        if (!entry.isDir())
            continue;
        const QFileInfoList inner =
            QDir(entry.absoluteFilePath())
                .entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks);
        for (const QFileInfo& file : inner)
            platform::restrictToOwner(file.absoluteFilePath());
    }
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
    platform::createPrivateFolder(destination);
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
    // Only a small regular file is read: anything else is replaced below like a blank one.
    if (const std::optional<QByteArray> stored = protect::readSmallFile(path, kMaxMachineIdBytes)) {
        const QString text = QString::fromUtf8(*stored).trimmed();
        if (!text.isEmpty())
            return text;
    }

    const QString fresh = QUuid::createUuid().toString(QUuid::WithoutBraces);
    // Replaced in one rename, whatever was there (a FIFO is never opened). A failed write only
    // means another identifier next time; this run uses the new one.
    protect::writeFileAtomically(path, fresh.toUtf8());
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

QString storageConfigRefusalMessage(const QString& storageKeyPath, RefusalContext context) {
    using protect::LocalIntegrityKey;
    // What the user does next: start again, or (at a session's start) select Try Again.
    const bool retry = context == RefusalContext::Session;
    const auto next = [retry](const char* atStart, const char* inSession) {
        return translated(retry ? inSession : atStart);
    };
    // A key that cannot be had just now says nothing about the file: say what is missing.
    protect::KeyLoadFailure failure = protect::KeyLoadFailure::None;
    if (LocalIntegrityKey::loadKey(storageKeyPath, &failure).empty()) {
        const bool tpmKey = LocalIntegrityKey::isTpmKeyFile(storageKeyPath);
        if (failure == protect::KeyLoadFailure::Unavailable && tpmKey)
            return ui::tpmUnreachableText(platform::TpmSealedKeyStore::defaultTctiConfig(),
                                          LocalIntegrityKey::sealedKeyStore().availability()) +
                   next("\n\nThen start Zelvora again.", "\n\nThen select Try Again.");
        if (failure == protect::KeyLoadFailure::LockedOut)
            return translated(
                       "The TPM has locked the key that protects Zelvora's settings after too "
                       "many wrong PINs, so Zelvora cannot read its storage configuration. "
                       "Nothing is corrupted or has been changed.\n\n") +
                   next("Start Zelvora again once the TPM takes a PIN again, and enter the key's "
                        "PIN.",
                        "Select Try Again once the TPM takes a PIN again, and enter the key's "
                        "PIN.");
        if (failure == protect::KeyLoadFailure::Unavailable &&
            LocalIntegrityKey::userDataProtection().kind() == platform::UserProtectionKind::Keyring)
            return translated("The desktop keyring that protects Zelvora's settings is not "
                              "available, so Zelvora cannot read its storage configuration. "
                              "Nothing is corrupted or has been changed.\n\n") +
                   next("Start Zelvora from your usual desktop session (or start its keyring), "
                        "then try again.",
                        "Start the desktop keyring, then select Try Again.");
        if (failure == protect::KeyLoadFailure::Unavailable)
            return translated(
                       "The private key file that protects Zelvora's settings (in your "
                       "configuration folder) is missing or cannot be used, so Zelvora cannot "
                       "read its storage configuration. Nothing has been changed.\n\n") +
                   next("If you restored Zelvora's data from a backup, restore that key file as "
                        "well.",
                        "If you restored Zelvora's data from a backup, restore that key file as "
                        "well, then select Try Again.");
        if (failure == protect::KeyLoadFailure::PromptCancelled && tpmKey)
            return translated("The PIN prompt for the TPM key that protects Zelvora's settings "
                              "was cancelled, so Zelvora cannot read its storage configuration "
                              "(which says where your vault is). Nothing is corrupted or has "
                              "been changed.\n\n") +
                   next("Start Zelvora again and enter the key's PIN.",
                        "Select Try Again and enter the key's PIN.");
        if (failure == protect::KeyLoadFailure::PromptCancelled)
            return translated("The keyring prompt that unlocks Zelvora's settings was cancelled, "
                              "so Zelvora cannot read its storage configuration. Nothing is "
                              "corrupted or has been changed.\n\n") +
                   next("Start Zelvora again and approve the prompt.",
                        "Select Try Again and approve the prompt.");
    }
    if (LocalIntegrityKey::isOlderKeyFile(storageKeyPath))
        return translated(
            "Zelvora's storage configuration was created by an older version that protected it "
            "differently -- this version can no longer read it, by design, not because anything "
            "is corrupted or tampered with. You'll need to start with a fresh vault; contact "
            "support first if you need the data in your old vault.");
    if (LocalIntegrityKey::isHardwareKeyLost(storageKeyPath)) {
        const QString lost = translated(
            "Zelvora could not obtain the hardware security key that protects its storage "
            "configuration on this device -- most likely your PC's TPM was reset or cleared, or "
            "this data was moved from a different computer.");
        if (context != RefusalContext::Start)
            return lost +
                   translated(" Nothing of yours has been changed.\n\nIf you saved the recovery "
                              "code that File > Configure shows, restore access with it now: "
                              "Zelvora then asks you to choose a PIN for a new TPM key, and "
                              "goes on. Without the code, you'll need to start with a fresh "
                              "vault.");
        return lost +
               translated(" A recovery code restores it only together with the account file "
                          "(identity.dat) it belongs to, and that file is missing here or not "
                          "sealed by the TPM: restore it from a backup, then start Zelvora again "
                          "and use your recovery code; otherwise you'll need to start with a "
                          "fresh vault.");
    }
    return translated(
        "Zelvora's storage configuration could not be verified -- it may be corrupted or "
        "tampered with. To avoid silently creating a new empty vault and losing access to your "
        "real one, Zelvora is not starting.\n\nIf you know where your vault is stored, you can "
        "restore storage.dat from a backup. Otherwise, please contact support.");
}

} // namespace korvex::app
