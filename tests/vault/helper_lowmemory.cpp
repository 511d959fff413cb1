// With the address space limited to what the process already uses plus <headroom MiB>, less
// than the file's size: a large file still imports into a new vault in <folder>, since an import
// works a piece at a time, but exporting it, which decrypts the whole file in memory, must fail,
// say it ran out of memory, and write nothing. With no headroom at all even an import fails that
// way. The vault goes on working afterwards (a small file imports). Exit status 0 when all of
// that holds, 1 when it does not, 2 on a set-up error.
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
    const auto limitTo = [&](unsigned long long room) {
        rlimit limited = saved;
        limited.rlim_cur = addressSpaceInUse() + room;
        return ::setrlimit(RLIMIT_AS, &limited) == 0;
    };
    const QString exported = folder + QStringLiteral("/exported.bin");
    if (!limitTo(headroom))
        return 2;
    const bool imported = vault->importFile(big.fileName(), QStringLiteral("big.bin"));
    const bool exportedAll = vault->exportFile(QStringLiteral("big.bin"), exported);
    const vault::TransferError exportError = vault->lastTransferError();
    if (!limitTo(0))
        return 2;
    const bool importedWithout = vault->importFile(small.fileName(), QStringLiteral("small.txt"));
    const vault::TransferError importError = vault->lastTransferError();
    ::setrlimit(RLIMIT_AS, &saved);

    if (!imported || exportedAll || exportError != vault::TransferError::OutOfMemory ||
        QFile::exists(exported)) {
        std::printf("with %llu MiB: import %s; export %s, error %d\n", headroom >> 20,
                    imported ? "done" : "failed", exportedAll ? "done" : "failed",
                    int(exportError));
        return 1;
    }
    if (importedWithout || importError != vault::TransferError::OutOfMemory) {
        std::printf("with no room: import %s, error %d\n", importedWithout ? "done" : "failed",
                    int(importError));
        return 1;
    }
    if (!QFile::exists(small.fileName()) ||
        !vault->importFile(small.fileName(), QStringLiteral("small.txt")) ||
        vault->listEntries().size() != 2) {
        std::printf("the vault did not go on working\n");
        return 1;
    }
    return 0;
}
