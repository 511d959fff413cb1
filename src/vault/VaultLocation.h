#pragma once

#include "crypto/SecureBuffer.h"
#include "vault/IVaultBlockStore.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

namespace korvex::vault {

enum class StorageBackend { Container, RawDisk };

// A region of unallocated disk space claimed for the vault.
struct RawDiskClaim {
    quint32 diskNumber = 0;
    quint64 claimedStartOffset = 0;
    quint64 claimedLength = 0;
    quint32 sectorSize = 512;
    QByteArray diskSerialHash;
};

// Why a marker key could not be had.
enum class MarkerKeyFailure { None, PromptCancelled, Unavailable };
// Loads (never creates) the installation's claim-marker key; empty with failure set when it
// cannot be had.
using MarkerKeyLoader = std::function<crypto::SecureBuffer(MarkerKeyFailure* failure)>;

// Where the vault lives: a container file, or a claimed region of a raw disk.
struct VaultLocation {
    StorageBackend backend = StorageBackend::Container;
    QString containerPath;     // Container: the full path of the container file
    RawDiskClaim rawDisk;      // RawDisk: the claimed region
    MarkerKeyLoader markerKey; // RawDisk: the marker key
};

// The block store for a location, not yet opened; nothing for a raw-disk location without a
// marker key loader.
std::unique_ptr<IVaultBlockStore> createBlockStore(const VaultLocation& location);

} // namespace korvex::vault
