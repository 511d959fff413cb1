#include "vault/VaultLocation.h"

#include "vault/FileBlockStore.h"

namespace korvex::vault {

std::unique_ptr<IVaultBlockStore> createBlockStore(const VaultLocation& location) {
    switch (location.backend) {
    case StorageBackend::Container:
        return std::make_unique<FileBlockStore>(location.containerPath);
    case StorageBackend::RawDisk:
        break;
    }
    return nullptr;
}

} // namespace korvex::vault
