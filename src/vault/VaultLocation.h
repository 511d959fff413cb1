#pragma once

#include "vault/IVaultBlockStore.h"

#include <QString>

#include <memory>

namespace korvex::vault {

enum class StorageBackend { Container, RawDisk };

// Where the vault lives: a container file, or a claimed region of a raw disk.
struct VaultLocation {
    StorageBackend backend = StorageBackend::Container;
    QString containerPath; // Container: the full path of the container file
};

// The block store for a location, not yet opened; nothing for a backend this build cannot
// reach (the raw-disk store plugs in here).
std::unique_ptr<IVaultBlockStore> createBlockStore(const VaultLocation& location);

} // namespace korvex::vault
