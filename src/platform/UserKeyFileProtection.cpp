#include "platform/UserKeyFileProtection.h"

#include "crypto/AeadCipher.h"
#include "crypto/SecureWipe.h"
#include "platform/FileSync.h"
#include "platform/RegularFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvex::platform {

namespace {

constexpr char kAssociatedDataContext[] = "zelvora.user-data-protection.v1";
constexpr std::size_t kMaxDescriptionBytes = 0xFFFF;

std::size_t descriptionLength(const QByteArray& blob) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(blob.constData());
    return std::size_t(bytes[sizeof(kUserBlobMagic)]) |
           (std::size_t(bytes[sizeof(kUserBlobMagic) + 1]) << 8);
}

// Context string, the description exactly as the blob stores it (length and bytes), the nonce,
// then the caller's entropy.
crypto::Bytes associatedData(const char* lengthAndDescription, std::size_t size,
                             crypto::ByteView nonce, const crypto::SecureBuffer* entropy) {
    const crypto::ByteView noEntropy;
    return crypto::concatenate(
        {crypto::bytesOf(kAssociatedDataContext, sizeof(kAssociatedDataContext) - 1),
         crypto::bytesOf(lengthAndDescription, size), nonce,
         entropy && !entropy->empty() ? crypto::bytesOf(entropy->data(), entropy->size())
                                      : noEntropy});
}

QByteArray nativePath(const QString& path) {
    return QFile::encodeName(path);
}

// Moves from onto to unless to already exists. False with errno set otherwise.
bool renameExclusive(const QByteArray& from, const QByteArray& to) {
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return false;
    // A file system without the exclusive rename: a hard link is just as exclusive.
    if (::link(from.constData(), to.constData()) != 0)
        return false;
    ::unlink(from.constData());
    return true;
}

} // namespace

bool WrappedUserDataProtection::isWellFormed(const QByteArray& blob) {
    const auto size = std::size_t(blob.size());
    if (size < kUserBlobHeaderBytes ||
        std::memcmp(blob.constData(), kUserBlobMagic, sizeof(kUserBlobMagic)) != 0)
        return false;
    const std::size_t rest = size - kUserBlobHeaderBytes;
    const std::size_t described = descriptionLength(blob);
    return described <= rest && rest - described >= crypto::kSealedOverheadBytes;
}

std::optional<QByteArray> WrappedUserDataProtection::protect(const crypto::SecureBuffer& data,
                                                             const QString& description,
                                                             const crypto::SecureBuffer* entropy) {
    const QByteArray describedAs = description.toUtf8();
    if (std::size_t(describedAs.size()) > kMaxDescriptionBytes) {
        qWarning("UserDataProtection: a description of %lld bytes does not fit in a protected "
                 "blob.",
                 static_cast<long long>(describedAs.size()));
        return std::nullopt;
    }
    const crypto::SecureBuffer key = sealingKey();
    if (key.size() != kUserWrappingKeyBytes) {
        lastFailure_ = keyFailure();
        return std::nullopt;
    }
    lastFailure_ = UserProtectionFailure::None;

    QByteArray blob(kUserBlobMagic, sizeof(kUserBlobMagic));
    blob.append(char(describedAs.size() & 0xFF));
    blob.append(char((describedAs.size() >> 8) & 0xFF));
    blob.append(describedAs);
    const std::size_t described = std::size_t(blob.size()) - sizeof(kUserBlobMagic);
    const crypto::Bytes nonce = crypto::AeadCipher::generateNonce();
    crypto::Bytes ad =
        associatedData(blob.constData() + sizeof(kUserBlobMagic), described, nonce, entropy);
    const crypto::Bytes sealed =
        crypto::AeadCipher::encrypt(key, nonce, crypto::ByteView(data.data(), data.size()), ad);
    crypto::secureWipe(ad);
    blob.append(reinterpret_cast<const char*>(nonce.data()), qsizetype(nonce.size()));
    blob.append(reinterpret_cast<const char*>(sealed.data()), qsizetype(sealed.size()));
    return blob;
}

std::optional<crypto::SecureBuffer>
WrappedUserDataProtection::unprotect(const QByteArray& blob, const crypto::SecureBuffer* entropy) {
    if (!isWellFormed(blob)) {
        lastFailure_ = UserProtectionFailure::Refused;
        return std::nullopt;
    }
    const std::size_t described = 2 + descriptionLength(blob);
    const char* header = blob.constData() + sizeof(kUserBlobMagic);
    const crypto::ByteView sealed(reinterpret_cast<const std::uint8_t*>(header + described),
                                  std::size_t(blob.size()) - sizeof(kUserBlobMagic) - described);
    const crypto::ByteView nonce = sealed.first(crypto::kNonceBytes);
    const crypto::ByteView aead = sealed.subspan(crypto::kNonceBytes);

    crypto::Bytes ad = associatedData(header, described, nonce, entropy);
    std::optional<crypto::SecureBuffer> opened;
    const std::vector<crypto::SecureBuffer> keys = openingKeys();
    lastFailure_ = keys.empty() ? keyFailure() : UserProtectionFailure::Refused;
    for (const crypto::SecureBuffer& key : keys) {
        if (key.size() != kUserWrappingKeyBytes)
            continue;
        std::optional<crypto::Bytes> plain = crypto::AeadCipher::decrypt(key, nonce, aead, ad);
        if (plain) {
            opened = crypto::SecureBuffer::copyOf(plain->data(), plain->size());
            crypto::secureWipe(*plain);
            lastFailure_ = UserProtectionFailure::None;
            break;
        }
    }
    crypto::secureWipe(ad);
    return opened;
}

UserKeyFileDataProtection::UserKeyFileDataProtection(QString keyFilePath)
    : keyFilePath_(std::move(keyFilePath)) {}

QString UserKeyFileDataProtection::defaultKeyFilePath() {
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (config.isEmpty())
        return {};
    return config + QStringLiteral("/Zelvora/user-data-protection.key");
}

QString UserKeyFileDataProtection::defaultKeyFolderShown() {
    const QString folder = QFileInfo(defaultKeyFilePath()).absolutePath();
    const QString home = QDir::homePath();
    if (folder.startsWith(home + QLatin1Char('/')))
        return QStringLiteral("~") + folder.mid(home.size());
    return folder;
}

crypto::SecureBuffer UserKeyFileDataProtection::sealingKey() {
    crypto::SecureBuffer key;
    switch (loadKey(&key)) {
    case LoadResult::Loaded:
        return key;
    case LoadResult::Missing:
        return createKey();
    case LoadResult::Refused:
        break;
    }
    return {};
}

std::vector<crypto::SecureBuffer> UserKeyFileDataProtection::openingKeys() {
    std::vector<crypto::SecureBuffer> keys;
    crypto::SecureBuffer key;
    if (loadKey(&key) == LoadResult::Loaded)
        keys.push_back(std::move(key));
    return keys;
}

UserKeyFileDataProtection::LoadResult
UserKeyFileDataProtection::loadKey(crypto::SecureBuffer* key) const {
    if (keyFilePath_.isEmpty()) {
        qWarning("UserKeyFileDataProtection: the user has no configuration folder for a key file.");
        return LoadResult::Refused;
    }
    const QByteArray path = nativePath(keyFilePath_);
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT)
            return LoadResult::Missing;
        qWarning("UserKeyFileDataProtection: cannot open the key file %s: %s", path.constData(),
                 std::strerror(errno));
        return LoadResult::Refused;
    }

    const char* refusal = nullptr;
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        refusal = "it cannot be examined";
    else if (!S_ISREG(info.st_mode))
        refusal = "it is not a regular file";
    else if (info.st_uid != ::geteuid())
        refusal = "it belongs to another user";
    else if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        refusal = "group or others have access to it";
    else if (info.st_size != off_t(kUserWrappingKeyBytes))
        refusal = "it does not hold exactly 32 bytes";

    crypto::SecureBuffer loaded;
    if (!refusal) {
        loaded = crypto::SecureBuffer(kUserWrappingKeyBytes);
        if (!readFully(fd, loaded.data(), loaded.size()) || !atEndOfFile(fd))
            refusal = "it could not be read as exactly 32 bytes";
    }
    ::close(fd);
    if (refusal) {
        qWarning("UserKeyFileDataProtection: refusing the key file %s: %s.", path.constData(),
                 refusal);
        return LoadResult::Refused;
    }
    *key = std::move(loaded);
    return LoadResult::Loaded;
}

crypto::SecureBuffer UserKeyFileDataProtection::createKey() const {
    const QString folder = QFileInfo(keyFilePath_).absolutePath();
    const QByteArray nativeFolder = nativePath(folder);
    const QByteArray path = nativePath(keyFilePath_);

    // The folder is the key's own: made private before anything is written into it.
    if (!QDir().mkpath(folder) || ::chmod(nativeFolder.constData(), S_IRWXU) != 0) {
        qWarning("UserKeyFileDataProtection: cannot make the private folder %s.",
                 nativeFolder.constData());
        return {};
    }

    QByteArray temporary =
        nativePath(folder + QStringLiteral("/.") + QFileInfo(keyFilePath_).fileName()) + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        qWarning("UserKeyFileDataProtection: cannot create a key file in %s: %s",
                 nativeFolder.constData(), std::strerror(errno));
        return {};
    }
    crypto::SecureBuffer key = crypto::AeadCipher::generateKey();
    const bool written = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0 &&
                         writeFully(fd, key.data(), key.size()) && syncFileData(fd);
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        ::unlink(temporary.constData());
        qWarning("UserKeyFileDataProtection: cannot write a key file in %s.",
                 nativeFolder.constData());
        return {};
    }

    if (!renameExclusive(temporary, path)) {
        const int error = errno;
        ::unlink(temporary.constData());
        if (error == EEXIST) {
            // Another instance created it first: that key is the user's key.
            crypto::SecureBuffer theirs;
            if (loadKey(&theirs) == LoadResult::Loaded)
                return theirs;
            return {};
        }
        qWarning("UserKeyFileDataProtection: cannot put the key file in place at %s: %s",
                 path.constData(), std::strerror(error));
        return {};
    }
    if (!syncFolder(folder)) {
        // The file is in place and will be loaded next time; a key that might vanish on power
        // loss must not seal anything now.
        qWarning("UserKeyFileDataProtection: cannot make the new key file %s durable.",
                 path.constData());
        return {};
    }
    return key;
}

} // namespace korvex::platform
