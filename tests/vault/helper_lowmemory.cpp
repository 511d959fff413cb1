// Imports a large file into a new vault in <folder> with the address space limited to what the
// process already uses plus <headroom MiB>, so that there is no memory for the file: the import
// must fail, say it ran out of memory, and leave the vault working (a small file imports
// afterwards). Exit status 0 when all of that holds, 1 when it does not, 2 on a set-up error.
//
//   helper_lowmemory <folder> <file size MiB> <headroom MiB>

#include "crypto/AeadCipher.h"
#include "vault/FileBlockStore.h"
#include "vault/VaultContainer.h"

#include <QFile>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <unistd.h>

using namespace korvex;

namespace {

// The process's address-space size in bytes, from /proc/self/statm.
unsigned long long addressSpaceInUse() {
    unsigned long long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr)
        return 0;
    if (std::fscanf(statm, "%llu", &pages) != 1)
        pages = 0;
    std::fclose(statm);
    return pages * static_cast<unsigned long long>(::sysconf(_SC_PAGESIZE));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4)
        return 2;
    const QString folder = QFile::decodeName(argv[1]);
    const qint64 fileBytes = std::atoll(argv[2]) * 1024 * 1024;
    const unsigned long long headroom = std::strtoull(argv[3], nullptr, 10) * 1024 * 1024;

    auto vault = vault::VaultContainer::create(
        std::make_unique<vault::FileBlockStore>(folder + QStringLiteral("/vault.kvxs")),
        crypto::AeadCipher::generateKey(), QStringLiteral("machine"));
    QFile big(folder + QStringLiteral("/big.bin"));
    QFile small(folder + QStringLiteral("/small.txt"));
    if (!vault || !big.open(QIODevice::WriteOnly) || !big.resize(fileBytes) ||
        !small.open(QIODevice::WriteOnly) || small.write("small") != 5)
        return 2;
    big.close();
    small.close();

    rlimit saved{};
    if (::getrlimit(RLIMIT_AS, &saved) != 0)
        return 2;
    rlimit limited = saved;
    limited.rlim_cur = addressSpaceInUse() + headroom;
    if (::setrlimit(RLIMIT_AS, &limited) != 0)
        return 2;
    const bool imported = vault->importFile(big.fileName(), QStringLiteral("big.bin"));
    const vault::TransferError error = vault->lastTransferError();
    ::setrlimit(RLIMIT_AS, &saved);

    if (imported || error != vault::TransferError::OutOfMemory) {
        std::printf("import: %s, error %d\n", imported ? "done" : "failed", int(error));
        return 1;
    }
    if (!QFile::exists(big.fileName()) ||
        !vault->importFile(small.fileName(), QStringLiteral("small.txt")) ||
        vault->listEntries().size() != 1) {
        std::printf("the vault did not go on working\n");
        return 1;
    }
    return 0;
}
