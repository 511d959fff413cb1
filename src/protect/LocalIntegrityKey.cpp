#include "protect/LocalIntegrityKey.h"

#include "crypto/AeadCipher.h"
#include "crypto/SecureWipe.h"
#include "crypto/Sodium.h"
#include "protect/AtomicFile.h"

#include <QFile>
#include <QFileInfo>
#include <cstring>
#include <map>
#include <set>
#include <sodium.h>

namespace korvex::protect {

using crypto::SecureBuffer;
using platform::SealedKeyResult;

namespace {

// Key files, entropy files and root files are all tiny; anything bigger is not ours.
constexpr qint64 kMaxKeyMaterialFileBytes = 64 * 1024;
constexpr std::size_t kRootSecretBytes = 32;
constexpr std::size_t kSaltBytes = 32;
constexpr std::size_t kEntropyBytes = 32;

const char kKeyDescription[] = "Zelvora local integrity key";
const char kEntropyDescription[] = "Zelvora DPAPI entropy";

platform::ISealedKeyStore* gSealedKeys = nullptr;
platform::IUserDataProtection* gUserProtection = nullptr;

// Root secrets by folder (compared case-sensitively), for the life of the session.
std::map<QString, SecureBuffer>& rootCache() {
    static std::map<QString, SecureBuffer> cache;
    return cache;
}

// Folders whose TPM prompt the user dismissed: every read of a settings file would otherwise ask
// again at once. The prompt comes back when the user tries again (allowPromptsAgain) or at the
// next session.
std::set<QString>& declinedFolders() {
    static std::set<QString> folders;
    return folders;
}

QString folderOf(const QString& keyFilePath) {
    return QFileInfo(keyFilePath).absolutePath();
}
QString nonceFileIn(const QString& folder) {
    return LocalIntegrityKey::rootNonceFileIn(folder);
}
QString rootFileIn(const QString& folder) {
    return LocalIntegrityKey::rootFileIn(folder);
}

bool startsWith(const QByteArray& bytes, const char (&magic)[8]) {
    return bytes.size() >= 8 && std::memcmp(bytes.constData(), magic, 8) == 0;
}

bool isTpmForm(const QByteArray& keyFile) {
    return keyFile.size() == kTpmKeyFileBytes && startsWith(keyFile, kTpmKeyFileMagic);
}

std::optional<QByteArray> readKeyMaterial(const QString& path) {
    return readSmallFile(path, kMaxKeyMaterialFileBytes);
}

QString blake2b16Hex(const QByteArray& input) {
    crypto::ensureSodiumInitialised();
    unsigned char digest[16];
    crypto_generichash(digest, sizeof digest,
                       reinterpret_cast<const unsigned char*>(input.constData()),
                       static_cast<unsigned long long>(input.size()), nullptr, 0);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(digest), sizeof digest).toHex());
}

SecureBuffer randomSecret(std::size_t size) {
    crypto::ensureSodiumInitialised();
    SecureBuffer secret(size);
    randombytes_buf(secret.data(), size);
    return secret;
}

QByteArray randomBytes(qsizetype size) {
    crypto::ensureSodiumInitialised();
    QByteArray bytes(size, '\0');
    randombytes_buf(bytes.data(), static_cast<std::size_t>(size));
    return bytes;
}

void noteFailure(SealedKeyResult result, bool* tpmFailed, bool* cancelled) {
    if (result == SealedKeyResult::PromptCancelled && cancelled)
        *cancelled = true;
    if ((result == SealedKeyResult::PromptCancelled || result == SealedKeyResult::Failed) &&
        tpmFailed)
        *tpmFailed = true;
}

// The 32 entropy bytes of a software-form key file, from path + ".entropy", which is created
// when it does not exist yet. byProtection, when given, is set when the user's protection
// itself gave nothing (its lastFailure() then says why), and cleared when something else did.
std::optional<SecureBuffer> obtainEntropy(const QString& keyFilePath,
                                          bool* byProtection = nullptr) {
    bool ignored = false;
    bool& protectionFailed = byProtection ? *byProtection : ignored;
    protectionFailed = false;
    platform::IUserDataProtection& user = LocalIntegrityKey::userDataProtection();
    const QString entropyPath = keyFilePath + QStringLiteral(".entropy");
    if (QFileInfo::exists(entropyPath) || QFileInfo(entropyPath).isSymLink()) {
        std::optional<QByteArray> blob = readKeyMaterial(entropyPath);
        if (!blob)
            return std::nullopt;
        std::optional<SecureBuffer> entropy = user.unprotect(*blob, nullptr);
        if (!entropy) {
            protectionFailed = true;
            return std::nullopt;
        }
        if (entropy->size() != kEntropyBytes)
            return std::nullopt;
        return entropy;
    }
    SecureBuffer entropy = randomSecret(kEntropyBytes);
    std::optional<QByteArray> blob =
        user.protect(entropy, QString::fromLatin1(kEntropyDescription), nullptr);
    if (!blob) {
        protectionFailed = true;
        return std::nullopt;
    }
    const bool written = writeFileAtomically(entropyPath, *blob);
    crypto::secureWipe(*blob);
    if (!written)
        return std::nullopt;
    return entropy;
}

std::optional<SecureBuffer> unsealRoot(const QString& folder, bool* tpmFailed, bool* cancelled) {
    const std::optional<QByteArray> nonce = readKeyMaterial(nonceFileIn(folder));
    if (!nonce || nonce->size() != kRootNonceBytes)
        return std::nullopt;
    const std::optional<QByteArray> rootFile = readKeyMaterial(rootFileIn(folder));
    if (!rootFile || rootFile->size() <= 8 || !startsWith(*rootFile, kRootFileMagic))
        return std::nullopt;
    platform::ISealedKeyStore& store = LocalIntegrityKey::sealedKeyStore();
    if (!store.hasProvider())
        return std::nullopt;
    if (declinedFolders().count(folder) != 0) {
        noteFailure(SealedKeyResult::PromptCancelled, tpmFailed, cancelled);
        return std::nullopt;
    }
    SecureBuffer root;
    const SealedKeyResult result =
        store.decrypt(LocalIntegrityKey::rootKeyName(*nonce), rootFile->mid(8), &root);
    if (result != SealedKeyResult::Ok) {
        if (result == SealedKeyResult::PromptCancelled)
            declinedFolders().insert(folder);
        noteFailure(result, tpmFailed, cancelled);
        return std::nullopt;
    }
    if (root.size() != kRootSecretBytes) {
        if (tpmFailed)
            *tpmFailed = true;
        return std::nullopt;
    }
    return root;
}

std::optional<SecureBuffer> createRoot(const QString& folder, bool* tpmFailed, bool* cancelled) {
    SecureBuffer root = randomSecret(kRootSecretBytes);
    const QByteArray nonce = randomBytes(kRootNonceBytes);
    QByteArray ciphertext;
    bool nameTaken = false;
    const SealedKeyResult sealed =
        LocalIntegrityKey::sealRoot(root, nonce, &ciphertext, &nameTaken);
    if (sealed != SealedKeyResult::Ok) {
        // A name someone else already took is not a fault of the hardware.
        if (!nameTaken)
            noteFailure(sealed, tpmFailed, cancelled);
        return std::nullopt;
    }
    platform::ISealedKeyStore& store = LocalIntegrityKey::sealedKeyStore();
    const QString keyName = LocalIntegrityKey::rootKeyName(nonce);
    if (!writeFileAtomically(nonceFileIn(folder), nonce)) {
        store.deleteKey(keyName);
        return std::nullopt;
    }
    if (!writeFileAtomically(rootFileIn(folder), QByteArray(kRootFileMagic, 8) + ciphertext)) {
        store.deleteKey(keyName);
        QFile::remove(nonceFileIn(folder));
        return std::nullopt;
    }
    LocalIntegrityKey::cacheRoot(folder, root);
    return root;
}

} // namespace

void setLocalProtectionServices(platform::ISealedKeyStore* sealedKeys,
                                platform::IUserDataProtection* userProtection) {
    gSealedKeys = sealedKeys;
    gUserProtection = userProtection;
}

platform::ISealedKeyStore& LocalIntegrityKey::sealedKeyStore() {
    static platform::NoSealedKeyStore none;
    return gSealedKeys ? *gSealedKeys : none;
}

namespace {
// Stands in until start-up installs the user's real protection: it protects nothing, so no
// software-form key can be created or read rather than one being kept unprotected.
class NoUserDataProtection final : public platform::IUserDataProtection {
public:
    platform::UserProtectionKind kind() const override {
        return platform::UserProtectionKind::UserKeyFile;
    }
    std::optional<QByteArray> protect(const SecureBuffer&, const QString&,
                                      const SecureBuffer*) override {
        return std::nullopt;
    }
    std::optional<SecureBuffer> unprotect(const QByteArray&, const SecureBuffer*) override {
        return std::nullopt;
    }
};
} // namespace

platform::IUserDataProtection& LocalIntegrityKey::userDataProtection() {
    static NoUserDataProtection none;
    return gUserProtection ? *gUserProtection : none;
}

QString LocalIntegrityKey::rootKeyName(const QByteArray& nonce) {
    return QStringLiteral("ZelvoraLIK_Root_") + blake2b16Hex(nonce);
}

platform::SealedKeyPrompt LocalIntegrityKey::sealingPrompt() {
    return {QStringLiteral("Zelvora"), QStringLiteral("Zelvora local integrity key"),
            QStringLiteral("Zelvora is asking to use this key to protect local vault settings on "
                           "this device.")};
}

SealedKeyResult LocalIntegrityKey::sealRoot(const SecureBuffer& root, const QByteArray& nonce,
                                            QByteArray* ciphertext, bool* nameTaken) {
    platform::ISealedKeyStore& store = sealedKeyStore();
    if (!store.hasProvider())
        return SealedKeyResult::NoProvider;
    const QString name = rootKeyName(nonce);
    bool exists = false;
    const SealedKeyResult probe = store.keyExists(name, &exists);
    if (probe != SealedKeyResult::Ok)
        return probe == SealedKeyResult::NoProvider ? probe : SealedKeyResult::Failed;
    if (exists) {
        qWarning("LocalIntegrityKey: refusing to seal under a sealed-key name that already "
                 "exists -- something this call doesn't understand already created it.");
        if (nameTaken)
            *nameTaken = true;
        return SealedKeyResult::Failed;
    }
    SealedKeyResult result = store.createKey(name, sealingPrompt());
    if (result == SealedKeyResult::Ok)
        result = store.encrypt(name, root, ciphertext);
    if (result != SealedKeyResult::Ok) {
        store.deleteKey(name);
        // Once the provider was there, anything but a cancelled prompt is the hardware's failure.
        return result == SealedKeyResult::PromptCancelled ? result : SealedKeyResult::Failed;
    }
    return SealedKeyResult::Ok;
}

void LocalIntegrityKey::cacheRoot(const QString& folder, const SecureBuffer& root) {
    rootCache()[folder] = root.clone();
}

QString LocalIntegrityKey::rootNonceFileIn(const QString& folder) {
    return folder + QStringLiteral("/local_integrity_root.nonce");
}

QString LocalIntegrityKey::rootFileIn(const QString& folder) {
    return folder + QStringLiteral("/local_integrity_root.dat");
}

void LocalIntegrityKey::clearRootCache() {
    rootCache().clear();
    declinedFolders().clear();
}

void LocalIntegrityKey::allowPromptsAgain() {
    declinedFolders().clear();
}

SecureBuffer LocalIntegrityKey::deriveFileKey(const SecureBuffer& root, const QString& keyFilePath,
                                              const QByteArray& salt) {
    crypto::ensureSodiumInitialised();
    const QByteArray path = keyFilePath.toUtf8();
    SecureBuffer message(static_cast<std::size_t>(path.size() + salt.size()));
    std::memcpy(message.data(), path.constData(), static_cast<std::size_t>(path.size()));
    std::memcpy(message.data() + path.size(), salt.constData(),
                static_cast<std::size_t>(salt.size()));
    SecureBuffer key(kFileKeyBytes);
    crypto_generichash(key.data(), key.size(), message.data(), message.size(), root.data(),
                       root.size());
    return key;
}

std::optional<SecureBuffer> LocalIntegrityKey::rootSecretFor(const QString& folder, bool* tpmFailed,
                                                             bool* cancelled) {
    const auto cached = rootCache().find(folder);
    if (cached != rootCache().end())
        return cached->second.clone();
    if (QFileInfo::exists(rootFileIn(folder))) {
        std::optional<SecureBuffer> root = unsealRoot(folder, tpmFailed, cancelled);
        if (root)
            cacheRoot(folder, *root);
        return root;
    }
    return createRoot(folder, tpmFailed, cancelled);
}

SecureBuffer LocalIntegrityKey::loadKey(const QString& keyFilePath, bool* cancelled) {
    KeyLoadFailure failure = KeyLoadFailure::None;
    SecureBuffer key = loadKey(keyFilePath, &failure);
    if (cancelled && failure == KeyLoadFailure::PromptCancelled)
        *cancelled = true;
    return key;
}

SecureBuffer LocalIntegrityKey::loadKey(const QString& keyFilePath, KeyLoadFailure* failure) {
    KeyLoadFailure ignored = KeyLoadFailure::None;
    KeyLoadFailure& why = failure ? *failure : ignored;
    why = KeyLoadFailure::None;
    std::optional<QByteArray> keyFile = readKeyMaterial(keyFilePath);
    if (!keyFile) {
        why = KeyLoadFailure::NoKeyFile;
        return SecureBuffer();
    }
    if (isTpmForm(*keyFile)) {
        const QString folder = folderOf(keyFilePath);
        std::optional<SecureBuffer> root;
        const auto cached = rootCache().find(folder);
        if (cached != rootCache().end()) {
            root = cached->second.clone();
        } else {
            // Reading never creates a root: without the sealed root file the key is lost.
            why = KeyLoadFailure::Unusable;
            if (!QFileInfo::exists(rootFileIn(folder)))
                return SecureBuffer();
            bool cancelled = false;
            root = unsealRoot(folder, nullptr, &cancelled);
            if (!root) {
                if (cancelled)
                    why = KeyLoadFailure::PromptCancelled;
                return SecureBuffer();
            }
            why = KeyLoadFailure::None;
            cacheRoot(folder, *root);
        }
        return deriveFileKey(*root, keyFilePath, keyFile->mid(8));
    }

    // The user's protection says why it gave nothing: it could not be reached, its prompt was
    // dismissed, or the blob does not open.
    platform::IUserDataProtection& user = userDataProtection();
    const auto failureOfUser = [&user] {
        switch (user.lastFailure()) {
        case platform::UserProtectionFailure::Unavailable:
            return KeyLoadFailure::Unavailable;
        case platform::UserProtectionFailure::PromptCancelled:
            return KeyLoadFailure::PromptCancelled;
        case platform::UserProtectionFailure::None:
        case platform::UserProtectionFailure::Refused:
            break;
        }
        return KeyLoadFailure::Unusable;
    };
    bool byProtection = false;
    std::optional<SecureBuffer> entropy = obtainEntropy(keyFilePath, &byProtection);
    if (!entropy) {
        why = byProtection ? failureOfUser() : KeyLoadFailure::Unusable;
        return SecureBuffer();
    }
    std::optional<SecureBuffer> key = user.unprotect(*keyFile, &*entropy);
    if (!key || key->size() != kFileKeyBytes) {
        why = key ? KeyLoadFailure::Unusable : failureOfUser();
        return SecureBuffer();
    }
    return std::move(*key);
}

SecureBuffer LocalIntegrityKey::getOrCreateKey(const QString& keyFilePath) {
    if (QFileInfo::exists(keyFilePath))
        return loadKey(keyFilePath);

    bool tpmFailed = false;
    bool cancelled = false;
    if (std::optional<SecureBuffer> root =
            rootSecretFor(folderOf(keyFilePath), &tpmFailed, &cancelled)) {
        const QByteArray salt = randomBytes(kSaltBytes);
        SecureBuffer key = deriveFileKey(*root, keyFilePath, salt);
        if (writeFileAtomically(keyFilePath, QByteArray(kTpmKeyFileMagic, 8) + salt))
            return key;
    } else if (cancelled) {
        qWarning("LocalIntegrityKey: the required TPM security prompt was cancelled -- refusing to "
                 "silently fall back to software-only protection for %s.",
                 qUtf8Printable(keyFilePath));
        return SecureBuffer();
    } else if (tpmFailed) {
        qWarning("LocalIntegrityKey: a TPM is present but could not be used (rejected, or a device "
                 "fault) -- refusing to silently fall back to software-only protection for %s.",
                 qUtf8Printable(keyFilePath));
        return SecureBuffer();
    }

    // No TPM provider, a key name taken by something else, or only the key-file write failed.
    SecureBuffer key = randomSecret(kFileKeyBytes);
    std::optional<SecureBuffer> entropy = obtainEntropy(keyFilePath);
    if (!entropy)
        return SecureBuffer();
    std::optional<QByteArray> blob =
        userDataProtection().protect(key, QString::fromLatin1(kKeyDescription), &*entropy);
    if (!blob || !writeFileAtomically(keyFilePath, *blob))
        return SecureBuffer();
    return key;
}

bool LocalIntegrityKey::isOlderKeyFile(const QString& keyFilePath) {
    const std::optional<QByteArray> keyFile = readKeyMaterial(keyFilePath);
    return keyFile && keyFile->size() == kOlderKeyFileBytes &&
           startsWith(*keyFile, kOlderKeyFileMagic);
}

bool LocalIntegrityKey::isHardwareKeyLost(const QString& keyFilePath) {
    const std::optional<QByteArray> keyFile = readKeyMaterial(keyFilePath);
    return keyFile && isTpmForm(*keyFile) && loadKey(keyFilePath).empty();
}

bool LocalIntegrityKey::isTpmProtected(const QString& keyFilePath) {
    const std::optional<QByteArray> keyFile = readKeyMaterial(keyFilePath);
    return keyFile && isTpmForm(*keyFile) && !loadKey(keyFilePath).empty();
}

LocalProtectionKind LocalIntegrityKey::protectionOf(const QString& keyFilePath) {
    const std::optional<QByteArray> keyFile = readKeyMaterial(keyFilePath);
    if (!keyFile || loadKey(keyFilePath).empty())
        return LocalProtectionKind::Unavailable;
    if (isTpmForm(*keyFile))
        return LocalProtectionKind::Tpm;
    return userDataProtection().kind() == platform::UserProtectionKind::Keyring
               ? LocalProtectionKind::Keyring
               : LocalProtectionKind::UserKeyFile;
}

bool LocalIntegrityKey::deleteLegacyTpmKey(const QString& keyFilePath) {
    platform::ISealedKeyStore& store = sealedKeyStore();
    if (!store.hasProvider())
        return true;
    const SealedKeyResult result =
        store.deleteKey(QStringLiteral("ZelvoraLIK_") + blake2b16Hex(keyFilePath.toUtf8()));
    return result == SealedKeyResult::Ok || result == SealedKeyResult::NoProvider;
}

} // namespace korvex::protect
