#include "vault/VaultLocation.h"

#include "vault/FileBlockStore.h"
#include "vault/RawBlockStore.h"

namespace korvex::vault {

std::unique_ptr<IVaultBlockStore> createBlockStore(const VaultLocation& location) {
    switch (location.backend) {
    case StorageBackend::Container:
        return std::make_unique<FileBlockStore>(location.containerPath);
    case StorageBackend::RawDisk:
        if (!location.markerKey)
            return nullptr;
        return std::make_unique<RawBlockStore>(location.rawDisk, false, location.markerKey);
    }
    return nullptr;
}

} // namespace korvex::vault
