#pragma once

#include <QByteArray>
#include <QString>

namespace korvex::app {

// The per-user data folder: the writable application data location (the caller has set the
// organisation to "" and the application to "Zelvora", so this is the generic data location
// followed by "/Zelvora"), created with all parents when missing and made private.
QString dataFolderPath();

// Creates folder (0700) when missing, and takes every permission of group and others away from
// it, from the files in it and from the files of the folders in it.
void makeDataFolderPrivate(const QString& folder);

// A plain rename: fails instead of replacing an existing file, and never falls back to copying
// when the two paths are on different file systems.
bool renameWithoutReplacing(const QString& from, const QString& to);

// Moves every regular, non-hidden file directly in source to the same name in destination, but
// only when source holds identity.dat and destination does not. A file whose move fails stays
// where it was. With removeSourceAfter, the source folder is then removed recursively (best
// effort), provided it migrated and every file in it moved: a file that could not be moved is
// never deleted with its folder. Returns whether it migrated.
bool migrateLegacyFolder(const QString& source, const QString& destination, bool removeSourceAfter);

// The two legacy layouts, oldest first: genericDataLocation + "/KORVEX/KORVEX" into
// "/Zelvora/Zelvora" (source kept), then "/Zelvora/Zelvora" into "/Zelvora" (source removed).
void migrateLegacyFolders(const QString& genericDataLocation);

// For every regular, non-hidden file directly in folder that this process may not read, write
// or delete, tries to give the user those rights back; a file that stays out of reach is logged
// and left for the later readers to report.
void repairDataFolderAccess(const QString& folder);

// Whether an atomic save of folder + "/.writecheck" (two bytes, committed by rename) succeeds.
// The probe file is removed again.
bool isDataFolderWritable(const QString& folder);

// The text that binds the vault and the storage configuration to this machine: lower-case hex of
// the system's machine id (/etc/machine-id) when there is one, else the id kept in
// dataFolder + "/machine_id.txt" (created with a fresh UUID when missing or blank).
QString machineIdentifier(const QString& dataFolder);
// The same from the given system id bytes; an empty systemId takes the machine_id.txt path.
QString machineIdentifierFrom(const QByteArray& systemId, const QString& dataFolder);

// The start-up refusal texts, translated.
QString dataFolderNotWritableTitle();
QString dataFolderNotWritableMessage(const QString& folder);
QString storageConfigRefusalTitle();
// Where a refusal is shown: at start-up (the user starts Zelvora again), with the restore from
// the recovery code offered beside it, or at a session's start with a Try Again button.
enum class RefusalContext { Start, StartWithRestore, Session };

// Why storage.dat cannot be read, judged from its key file: what protects the key cannot be
// reached, was dismissed or is locked out (nothing is lost), an older key format, a hardware key
// that can no longer be had (with the restore offered, or why it cannot be), or (otherwise) a
// file that failed verification.
QString storageConfigRefusalMessage(const QString& storageKeyPath,
                                    RefusalContext context = RefusalContext::Start);

} // namespace korvex::app
