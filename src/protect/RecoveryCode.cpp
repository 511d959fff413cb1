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

QString nonceFileIn(const QString& folder) { return LocalIntegrityKey::rootNonceFileIn(folder); }
QString rootFileIn(const QString& folder) { return LocalIntegrityKey::rootFileIn(folder); }

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
    const SecureBuffer fileKey = LocalIntegrityKey::deriveFileKey(*candidate, keyFilePath, keyFile->mid(8));
    std::optional<QByteArray> payload = openAuthenticated(*dataFile, fileKey);
    if (!payload)
        return false;
    crypto::secureWipe(*payload);

    const QString folder = QFileInfo(keyFilePath).absolutePath();
    const std::optional<QByteArray> oldNonce = readSmallFile(nonceFileIn(folder), 64 * 1024);

    QByteArray newNonce(kRootNonceBytes, '\0');
    randombytes_buf(newNonce.data(), static_cast<std::size_t>(newNonce.size()));
    QByteArray ciphertext;
    if (LocalIntegrityKey::sealRoot(*candidate, newNonce, &ciphertext) != platform::SealedKeyResult::Ok)
        return false;
    platform::ISealedKeyStore& store = LocalIntegrityKey::sealedKeyStore();
    const QString newKeyName = LocalIntegrityKey::rootKeyName(newNonce);

    if (!writeFileAtomically(nonceFileIn(folder), newNonce)) {
        store.deleteKey(newKeyName);
        return false;
    }
    if (!writeFileAtomically(rootFileIn(folder), QByteArray(kRootFileMagic, 8) + ciphertext)) {
        store.deleteKey(newKeyName);
        if (!oldNonce) {
            QFile::remove(nonceFileIn(folder));
        } else if (!writeFileAtomically(nonceFileIn(folder), *oldNonce)) {
            qWarning("LocalIntegrityKey: failed to restore the previous root nonce at %s after an "
                     "interrupted recovery-code restore -- the directory's previous root secret may "
                     "now be unreachable even though its TPM key and dat file are both still intact.",
                     qUtf8Printable(nonceFileIn(folder)));
        }
        return false;
    }
    // The previous TPM key stays in the store; the derived keys do not change.
    LocalIntegrityKey::cacheRoot(folder, *candidate);
    return true;
}

} // namespace korvex::protect
