#pragma once

#include "vault/VaultLocation.h"

#include <QString>

namespace korvex::protect {

// The key-file path of the installation's raw-disk claim-marker key in dataFolder.
QString markerKeyPath(const QString& dataFolder);

// Where a release of the claim records how far its wipe got, in dataFolder.
QString releaseJournalPath(const QString& dataFolder);

// Loads the marker key of dataFolder (never creates it), telling a dismissed prompt apart from
// a protection that cannot be reached.
vault::MarkerKeyLoader markerKeyLoader(const QString& dataFolder);

} // namespace korvex::protect
