#pragma once

#include "vault/TransferProgress.h"

#include <QFlags>
#include <QString>

namespace korvex::protect {

// File-system protections of the vault container and the data files, and the overwrite-then-
// delete of files that held plaintext. Every operation takes a path and reports only success.

enum class AccessRight : unsigned {
    Read = 0x1,
    Write = 0x2,
    Delete = 0x4, // removing the file's entry from its folder
};
Q_DECLARE_FLAGS(AccessRights, AccessRight)

// Linux has no hidden attribute and no way to forbid our own user deleting a file while it stays
// writable (the immutable flag also blocks writes and needs root). These keep their place so
// that a platform with such attributes can slot its own in; here nothing is ever hidden or
// restricted, clearing trivially succeeds and setting honestly reports failure.
// Whether this system has the attribute at all (so that it can be offered); never on Linux.
bool hiddenAttributeSupported();
bool deleteRestrictionSupported();
bool setHidden(const QString& path, bool hidden);
bool isHidden(const QString& path);
bool isDeleteRestricted(const QString& file);
bool applyDeleteRestriction(const QString& file);
bool clearDeleteRestriction(const QString& file);

// True when the check ran and this process (effective ids) lacks one of rights on path. Read and
// write follow the file's permissions; delete needs write and search permission on the folder
// and, in a sticky folder, that we own the file or the folder (or are root). False when the file
// cannot be examined at all.
bool isAccessDenied(const QString& path, AccessRights rights);
// True when reading, writing and deleting path are all allowed, if need be after giving the
// owner read and write permission; a file that is not ours is left alone. The folder is never
// changed.
bool repairAccess(const QString& path);
// False for a missing file; otherwise whether this process may delete it.
bool canDelete(const QString& path);

// Overwrites a regular file three times (0x00, 0xFF, random), syncing each pass to the device,
// then deletes it; true once it is deleted (a folder that cannot be synced afterwards is only
// logged). Never deletes a file whose overwrite did not complete; a failed erase may leave it
// partly overwritten. Refuses symbolic links and anything that is not a regular file. Reports its
// passes to progress, when given, and does not stop when asked to.
bool secureErase(const QString& path, vault::TransferProgress* progress = nullptr);

} // namespace korvex::protect

Q_DECLARE_OPERATORS_FOR_FLAGS(korvex::protect::AccessRights)
