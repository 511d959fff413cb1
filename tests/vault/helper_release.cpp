// Releases a claimed region in a process of its own, so that a test can cut the release short
// (under strace) the way a crash or a pulled plug would.
//
//   helper_release <disk number> <start> <length> <sector size> <identity hex> <key hex> <journal>
//                  <step bytes>
//
// Exit status 0: released; 1: the release failed; 2: a usage error.

#include "crypto/SecureBuffer.h"
#include "vault/RawBlockStore.h"

#include <QByteArray>
#include <QFile>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 9)
        return 2;
    korvex::vault::RawDiskClaim claim;
    claim.diskNumber = quint32(std::strtoul(argv[1], nullptr, 10));
    claim.claimedStartOffset = std::strtoull(argv[2], nullptr, 10);
    claim.claimedLength = std::strtoull(argv[3], nullptr, 10);
    claim.sectorSize = quint32(std::strtoul(argv[4], nullptr, 10));
    claim.diskSerialHash = QByteArray::fromHex(argv[5]);
    const QByteArray key = QByteArray::fromHex(argv[6]);
    korvex::vault::MarkerKeyLoader loader = [&key](korvex::vault::MarkerKeyFailure* failure) {
        if (failure)
            *failure = korvex::vault::MarkerKeyFailure::None;
        korvex::crypto::SecureBuffer copy(std::size_t(key.size()));
        std::memcpy(copy.data(), key.constData(), std::size_t(key.size()));
        return copy;
    };
    korvex::vault::ReleaseJournal journal;
    journal.path = QFile::decodeName(argv[7]);
    journal.stepBytes = std::strtoull(argv[8], nullptr, 10);
    const korvex::vault::ReleaseResult result =
        korvex::vault::RawBlockStore::releaseClaim(claim, loader, journal);
    return result.outcome == korvex::vault::ReleaseOutcome::Released ? 0 : 1;
}
