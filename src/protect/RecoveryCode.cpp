#include "protect/RecoveryCode.h"

#include "crypto/Base32.h"
#include "crypto/SecureWipe.h"
#include "protect/AtomicFile.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/ProtectedFile.h"

#include <QFile>
#include <QFileInfo>
#include <sodium.h>

namespace korvex::protect {

using crypto::SecureBuffer;

namespace {

constexpr std::size_t kRootSecretBytes = 32;

} // namespace

QString recoveryCodeFor(const QString& keyFilePath) {
    const QString folder = QFileInfo(keyFilePath).absolutePath();
    const std::optional<SecureBuffer> root = LocalIntegrityKey::rootSecretFor(folder);
    if (!root)
        return QString();
    return crypto::encodeBase32({root->data(), root->size()});
}

bool restoreFromRecoveryCode(const QString& keyFilePath, const QString& code) {
    const std::optional<SecureBuffer> candidate = crypto::decodeBase32(code);
    if (!candidate || candidate->size() != kRootSecretBytes)
        return false;
    if (!keyFilePath.endsWith(QStringLiteral(".key")))
        return false;
    const QString dataFilePath = keyFilePath.chopped(4);

    const std::optional<QByteArray> keyFile = readSmallFile(keyFilePath, 64 * 1024);
    if (!keyFile || keyFile->size() != kTpmKeyFileBytes ||
        std::memcmp(keyFile->constData(), kTpmKeyFileMagic, 8) != 0)
        return false;

    // The code must open this folder's own data: that proves it is the right secret.
    const std::optional<QByteArray> dataFile = readSmallFile(dataFilePath);
    if (!dataFile)
        return false;
    const SecureBuffer fileKey =
        LocalIntegrityKey::deriveFileKey(*candidate, keyFilePath, keyFile->mid(8));
    std::optional<QByteArray> payload = openAuthenticated(*dataFile, fileKey);
    if (!payload)
        return false;
    crypto::secureWipe(*payload);

    // The secret is sealed under a new TPM key with a new PIN; the root files then change in
    // one committed step, and the previous TPM key goes once they have.
    const QString folder = QFileInfo(keyFilePath).absolutePath();
    QByteArray newNonce(kRootNonceBytes, '\0');
    randombytes_buf(newNonce.data(), static_cast<std::size_t>(newNonce.size()));
    QByteArray ciphertext;
    if (LocalIntegrityKey::sealRoot(*candidate, newNonce, &ciphertext) !=
        platform::SealedKeyResult::Ok)
        return false;
    if (!LocalIntegrityKey::replaceRoot(folder, newNonce, ciphertext)) {
        LocalIntegrityKey::sealedKeyStore().deleteKey(LocalIntegrityKey::rootKeyName(newNonce));
        return false;
    }
    // The derived keys do not change.
    LocalIntegrityKey::cacheRoot(folder, *candidate);
    return true;
}

} // namespace korvex::protect
