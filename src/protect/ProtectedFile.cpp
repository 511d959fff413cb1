#include "protect/ProtectedFile.h"

#include "crypto/AeadCipher.h"
#include "crypto/SecureWipe.h"
#include "crypto/Sodium.h"
#include "platform/PrivatePaths.h"
#include "platform/RegularFile.h"
#include "protect/AtomicFile.h"
#include "protect/LocalIntegrityKey.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <cstring>
#include <sodium.h>
#include <span>
#include <unistd.h>

namespace korvex::protect {

namespace {

constexpr qsizetype kMagicBytes = 8;
constexpr qsizetype kAuthTagBytes = crypto_auth_BYTES;
constexpr qsizetype kEncryptedHeaderBytes = kMagicBytes + qsizetype(crypto::kNonceBytes);
static_assert(crypto_auth_KEYBYTES == kFileKeyBytes);
static_assert(crypto_auth_BYTES == 32);

crypto::ByteView viewOf(const QByteArray& bytes, qsizetype from = 0) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.constData()) + from,
            std::size_t(bytes.size() - from)};
}

bool startsWithMagic(const QByteArray& bytes, const char (&magic)[8]) {
    return bytes.size() >= kMagicBytes && std::memcmp(bytes.constData(), magic, kMagicBytes) == 0;
}

bool usableKey(const crypto::SecureBuffer& key) {
    return key.size() == kFileKeyBytes;
}

} // namespace

QByteArray sealAuthenticated(const QByteArray& payload, const crypto::SecureBuffer& key) {
    if (!usableKey(key))
        return {};
    crypto::ensureSodiumInitialised();
    QByteArray out(kMagicBytes + kAuthTagBytes + payload.size(), Qt::Uninitialized);
    std::memcpy(out.data(), kAuthenticatedMagic, kMagicBytes);
    crypto_auth(reinterpret_cast<unsigned char*>(out.data() + kMagicBytes),
                reinterpret_cast<const unsigned char*>(payload.constData()),
                std::size_t(payload.size()), key.data());
    if (!payload.isEmpty())
        std::memcpy(out.data() + kMagicBytes + kAuthTagBytes, payload.constData(),
                    std::size_t(payload.size()));
    return out;
}

std::optional<QByteArray> openAuthenticated(const QByteArray& file,
                                            const crypto::SecureBuffer& key) {
    if (!usableKey(key))
        return std::nullopt;
    // A file that starts with the magic is never reread in the older unprefixed form, even
    // when it is too short for the current one.
    qsizetype tagAt = 0;
    if (startsWithMagic(file, kAuthenticatedMagic)) {
        if (file.size() < kMagicBytes + kAuthTagBytes)
            return std::nullopt;
        tagAt = kMagicBytes;
    } else if (file.size() < kAuthTagBytes) {
        return std::nullopt;
    }
    const qsizetype payloadAt = tagAt + kAuthTagBytes;
    crypto::ensureSodiumInitialised();
    if (crypto_auth_verify(reinterpret_cast<const unsigned char*>(file.constData() + tagAt),
                           reinterpret_cast<const unsigned char*>(file.constData() + payloadAt),
                           std::size_t(file.size() - payloadAt), key.data()) != 0)
        return std::nullopt;
    return file.mid(payloadAt);
}

QByteArray sealEncrypted(const QByteArray& plaintext, const crypto::SecureBuffer& key,
                         const crypto::Bytes& associatedData) {
    if (!usableKey(key))
        return {};
    const crypto::Bytes nonce = crypto::AeadCipher::generateNonce();
    const crypto::Bytes blob =
        crypto::AeadCipher::encrypt(key, nonce, viewOf(plaintext), associatedData);
    QByteArray out;
    out.reserve(kEncryptedHeaderBytes + qsizetype(blob.size()));
    out.append(kEncryptedMagic, kMagicBytes);
    out.append(reinterpret_cast<const char*>(nonce.data()), qsizetype(nonce.size()));
    out.append(reinterpret_cast<const char*>(blob.data()), qsizetype(blob.size()));
    return out;
}

std::optional<QByteArray> openEncrypted(const QByteArray& file, const crypto::SecureBuffer& key,
                                        const crypto::Bytes& associatedData) {
    if (!usableKey(key) || !startsWithMagic(file, kEncryptedMagic) ||
        file.size() < kEncryptedHeaderBytes)
        return std::nullopt;
    const crypto::ByteView nonce = viewOf(file, kMagicBytes).first(crypto::kNonceBytes);
    std::optional<crypto::Bytes> plain = crypto::AeadCipher::decrypt(
        key, nonce, viewOf(file, kEncryptedHeaderBytes), associatedData);
    if (!plain)
        return std::nullopt;
    QByteArray out(reinterpret_cast<const char*>(plain->data()), qsizetype(plain->size()));
    crypto::secureWipe(*plain);
    return out;
}

bool writeProtectedFile(const QString& path, const QJsonObject& object, EnvelopeKind kind,
                        const crypto::Bytes& associatedData) {
    QByteArray json = QJsonDocument(object).toJson(QJsonDocument::Compact);
    // The key file lives beside the data file, so the folder must exist before the key does.
    if (!platform::createPrivateFolder(QFileInfo(path).absolutePath())) {
        crypto::secureWipe(json);
        return false;
    }
    const crypto::SecureBuffer key =
        LocalIntegrityKey::getOrCreateKey(path + QStringLiteral(".key"));
    QByteArray sealed = kind == EnvelopeKind::Encrypted ? sealEncrypted(json, key, associatedData)
                                                        : sealAuthenticated(json, key);
    crypto::secureWipe(json);
    // No usable key: nothing is written.
    if (sealed.isEmpty())
        return false;
    const bool written = writeFileAtomically(path, sealed);
    // The authenticated envelope carries the document in clear.
    crypto::secureWipe(sealed);
    return written;
}

ProtectedReadResult readProtectedFile(const QString& path, EnvelopeKind kind,
                                      const crypto::Bytes& associatedData) {
    ProtectedReadResult result;
    std::optional<QByteArray> file = readSmallFile(path);
    if (!file) {
        // A regular file that opens but cannot be read whole (far too large for a settings
        // file, or a read error) is there, just not usable. Anything that cannot be opened as
        // a regular file (missing, no permission, a folder, FIFO or link) counts as missing;
        // the probe never blocks on a FIFO.
        const int fd = platform::openRegularFile(path);
        if (fd >= 0)
            ::close(fd);
        result.status = fd >= 0 ? ProtectedReadStatus::Unverifiable : ProtectedReadStatus::Missing;
        return result;
    }

    // An empty key (none on disk, or it cannot be unwrapped) makes every open below fail.
    KeyLoadFailure keyFailure = KeyLoadFailure::None;
    const crypto::SecureBuffer key =
        LocalIntegrityKey::loadKey(path + QStringLiteral(".key"), &keyFailure);
    if (key.empty() && isTemporaryKeyFailure(keyFailure)) {
        crypto::secureWipe(*file);
        result.status = ProtectedReadStatus::KeyUnavailable;
        result.keyFailure = keyFailure;
        return result;
    }
    result.keyFailure = keyFailure;
    std::optional<QByteArray> payload;
    if (kind == EnvelopeKind::Encrypted)
        payload = openEncrypted(*file, key, associatedData);
    if (!payload)
        payload = openAuthenticated(*file, key);
    crypto::secureWipe(*file);
    if (!payload) {
        result.status = ProtectedReadStatus::Unverifiable;
        return result;
    }

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(*payload, &error);
    crypto::secureWipe(*payload);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        result.status = ProtectedReadStatus::NotAnObject;
        return result;
    }
    result.status = ProtectedReadStatus::Ok;
    result.object = document.object();
    return result;
}

} // namespace korvex::protect
