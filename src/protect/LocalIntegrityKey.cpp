#include "protect/LocalIntegrityKey.h"

#include "crypto/AeadCipher.h"
#include "crypto/SecureWipe.h"
#include "crypto/Sodium.h"
#include "platform/FileSync.h"
#include "protect/AtomicFile.h"
#include "protect/UserProtectionChoice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstring>
#include <map>
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

// Folders whose TPM key did not give its root for a reason that stays for a while: the user
// dismissed its prompt, the TPM locked it out, or it failed (after a PIN, too). Every read of a
// settings file would otherwise ask (or tell) again at once. The key is tried again when the
// user tries again (allowPromptsAgain) or at the next session.
std::map<QString, SealedKeyResult>& declinedFolders() {
    static std::map<QString, SealedKeyResult> folders;
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

// Whether any key file in folder is in the TPM form: keys derived from a root that must then
// never be replaced by a new one.
bool hasTpmFormKeys(const QString& folder) {
    const QFileInfoList keyFiles = QDir(folder).entryInfoList(
        {QStringLiteral("*.key")}, QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QFileInfo& entry : keyFiles) {
        if (entry.size() != kTpmKeyFileBytes)
            continue;
        const std::optional<QByteArray> bytes = readKeyMaterial(entry.absoluteFilePath());
        if (bytes && isTpmForm(*bytes))
            return true;
    }
    return false;
}

// A change of the root files, as replaceRoot writes it to the change file: the magic, the new
// nonce, whether there was an old one and the old nonce, then the new root file's bytes.
struct RootChange {
    QByteArray newNonce;
    std::optional<QByteArray> oldNonce;
    QByteArray rootFile;

    QByteArray bytes() const {
        return QByteArray(kRootChangeMagic, 8) + newNonce + char(oldNonce ? 1 : 0) +
               oldNonce.value_or(QByteArray(kRootNonceBytes, '\0')) + rootFile;
    }
    static std::optional<RootChange> parse(const QByteArray& bytes) {
        constexpr qsizetype kHeader = 8 + kRootNonceBytes + 1 + kRootNonceBytes;
        if (bytes.size() <= kHeader + 8 || !startsWith(bytes, kRootChangeMagic))
            return std::nullopt;
        const char hadOld = bytes.at(8 + kRootNonceBytes);
        RootChange change;
        change.newNonce = bytes.mid(8, kRootNonceBytes);
        if (hadOld == 1)
            change.oldNonce = bytes.mid(8 + kRootNonceBytes + 1, kRootNonceBytes);
        change.rootFile = bytes.mid(kHeader);
        if ((hadOld != 0 && hadOld != 1) || !startsWith(change.rootFile, kRootFileMagic))
            return std::nullopt;
        return change;
    }
};

// Writes the new pair in place, deletes the previous TPM key, and removes the change file, in
// that order: a crash anywhere leaves the change file, and the next reader does it again.
bool applyRootChange(const QString& folder, const RootChange& change) {
    if (!writeFileAtomically(nonceFileIn(folder), change.newNonce) ||
        !writeFileAtomically(rootFileIn(folder), change.rootFile))
        return false;
    if (change.oldNonce && *change.oldNonce != change.newNonce) {
        const SealedKeyResult deleted = LocalIntegrityKey::sealedKeyStore().deleteKey(
            LocalIntegrityKey::rootKeyName(*change.oldNonce));
        // The store deletes keys only while the TPM answers; until then the change file stays,
        // so that the previous key is deleted at a later use.
        if (deleted != SealedKeyResult::Ok)
            return false;
    }
    const QString changeFile = LocalIntegrityKey::rootChangeFileIn(folder);
    if (!QFile::remove(changeFile) && QFileInfo::exists(changeFile))
        return false;
    platform::syncFolder(folder);
    return true;
}

// The nonce and the sealed root the folder holds now. The caller has completed any change cut
// short; where that could not be done, the change file is what holds the truth.
std::optional<std::pair<QByteArray, QByteArray>> currentRootFiles(const QString& folder) {
    const QString changeFile = LocalIntegrityKey::rootChangeFileIn(folder);
    if (QFileInfo::exists(changeFile)) {
        if (const std::optional<QByteArray> bytes = readKeyMaterial(changeFile)) {
            if (const std::optional<RootChange> change = RootChange::parse(*bytes))
                return std::make_pair(change->newNonce, change->rootFile);
        }
    }
    const std::optional<QByteArray> nonce = readKeyMaterial(nonceFileIn(folder));
    const std::optional<QByteArray> rootFile = readKeyMaterial(rootFileIn(folder));
    if (!nonce || !rootFile)
        return std::nullopt;
    return std::make_pair(*nonce, *rootFile);
}

std::optional<SecureBuffer> unsealRoot(const QString& folder, SealedKeyResult* outcome) {
    *outcome = SealedKeyResult::Failed;
    const std::optional<std::pair<QByteArray, QByteArray>> files = currentRootFiles(folder);
    if (!files)
        return std::nullopt;
    const auto& [nonce, rootFile] = *files;
    if (nonce.size() != kRootNonceBytes || rootFile.size() <= 8 ||
        !startsWith(rootFile, kRootFileMagic))
        return std::nullopt;
    if (const auto declined = declinedFolders().find(folder); declined != declinedFolders().end()) {
        *outcome = declined->second;
        return std::nullopt;
    }
    SecureBuffer root;
    *outcome = LocalIntegrityKey::sealedKeyStore().decrypt(LocalIntegrityKey::rootKeyName(nonce),
                                                           rootFile.mid(8), &root);
    if (*outcome == SealedKeyResult::PromptCancelled || *outcome == SealedKeyResult::LockedOut ||
        *outcome == SealedKeyResult::Failed)
        declinedFolders()[folder] = *outcome;
    if (*outcome != SealedKeyResult::Ok)
        return std::nullopt;
    if (root.size() != kRootSecretBytes) {
        *outcome = SealedKeyResult::Failed;
        return std::nullopt;
    }
    return root;
}

std::optional<SecureBuffer> createRoot(const QString& folder, SealedKeyResult* outcome,
                                       bool* nameTaken) {
    SecureBuffer root = randomSecret(kRootSecretBytes);
    const QByteArray nonce = randomBytes(kRootNonceBytes);
    QByteArray ciphertext;
    *outcome = LocalIntegrityKey::sealRoot(root, nonce, &ciphertext, nameTaken);
    if (*outcome != SealedKeyResult::Ok)
        return std::nullopt;
    platform::ISealedKeyStore& store = LocalIntegrityKey::sealedKeyStore();
    const QString keyName = LocalIntegrityKey::rootKeyName(nonce);
    *outcome = SealedKeyResult::Failed;
    if (!writeFileAtomically(nonceFileIn(folder), nonce)) {
        store.deleteKey(keyName);
        return std::nullopt;
    }
    if (!writeFileAtomically(rootFileIn(folder), QByteArray(kRootFileMagic, 8) + ciphertext)) {
        store.deleteKey(keyName);
        QFile::remove(nonceFileIn(folder));
        return std::nullopt;
    }
    // From here on the folder is the TPM's, whether or not it answers at a later start.
    if (!recordProtection(folder, FolderProtection::Tpm))
        qWarning("LocalIntegrityKey: could not record in %s that the TPM protects this folder's "
                 "keys; its root files say so as well.",
                 qUtf8Printable(userProtectionRecordIn(folder)));
    *outcome = SealedKeyResult::Ok;
    LocalIntegrityKey::cacheRoot(folder, root);
    return root;
}

// The folder's root: cached, else unsealed, else newly created (never while keys sealed under a
// root are there without it). nameTaken, when given, is set when a new root's key name was
// already taken.
std::optional<SecureBuffer> obtainRoot(const QString& folder, SealedKeyResult* outcome,
                                       bool* nameTaken) {
    *outcome = SealedKeyResult::Ok;
    const auto cached = rootCache().find(folder);
    if (cached != rootCache().end())
        return cached->second.clone();
    LocalIntegrityKey::finishInterruptedRootChange(folder);
    if (LocalIntegrityKey::hasRootFiles(folder)) {
        std::optional<SecureBuffer> root = unsealRoot(folder, outcome);
        if (root)
            LocalIntegrityKey::cacheRoot(folder, *root);
        return root;
    }
    // Keys derived from a root whose sealed file is gone are lost without it; a new root would
    // also shut out the recovery code that can still bring them back.
    if (hasTpmFormKeys(folder)) {
        qWarning("LocalIntegrityKey: the sealed root secret of %s is missing while keys derived "
                 "from it are there; no new root is made.",
                 qUtf8Printable(folder));
        *outcome = SealedKeyResult::Failed;
        return std::nullopt;
    }
    bool taken = false;
    return createRoot(folder, outcome, nameTaken ? nameTaken : &taken);
}

// Why a TPM-form key could not be had, from what the store said.
KeyLoadFailure failureOf(SealedKeyResult outcome) {
    switch (outcome) {
    case SealedKeyResult::NoProvider:
    case SealedKeyResult::Unreachable:
        return KeyLoadFailure::Unavailable;
    case SealedKeyResult::PromptCancelled:
        return KeyLoadFailure::PromptCancelled;
    case SealedKeyResult::LockedOut:
        return KeyLoadFailure::LockedOut;
    case SealedKeyResult::Ok:
    case SealedKeyResult::Failed:
        break;
    }
    return KeyLoadFailure::Unusable;
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
        // Each failure says what it is: a dismissed prompt, a lockout, a TPM out of reach, or the
        // hardware's fault.
        return result;
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

QString LocalIntegrityKey::rootChangeFileIn(const QString& folder) {
    return folder + QStringLiteral("/local_integrity_root.change");
}

bool LocalIntegrityKey::hasRootFiles(const QString& folder) {
    return QFileInfo::exists(rootFileIn(folder)) || QFileInfo::exists(rootChangeFileIn(folder));
}

bool LocalIntegrityKey::replaceRoot(const QString& folder, const QByteArray& newNonce,
                                    const QByteArray& ciphertext) {
    // A change cut short before is completed first, so that its own previous key goes too.
    finishInterruptedRootChange(folder);
    RootChange change;
    change.newNonce = newNonce;
    change.rootFile = QByteArray(kRootFileMagic, 8) + ciphertext;
    if (const std::optional<QByteArray> old = readKeyMaterial(nonceFileIn(folder));
        old && old->size() == kRootNonceBytes)
        change.oldNonce = *old;
    // The commit: from here on every reader completes the change.
    if (!writeFileAtomically(rootChangeFileIn(folder), change.bytes()))
        return false;
    if (!applyRootChange(folder, change))
        qWarning("LocalIntegrityKey: the new root of %s is recorded in %s, but putting it in "
                 "place is not finished; it is completed at the next use.",
                 qUtf8Printable(folder), qUtf8Printable(rootChangeFileIn(folder)));
    return true;
}

void LocalIntegrityKey::finishInterruptedRootChange(const QString& folder) {
    const QString changeFile = rootChangeFileIn(folder);
    if (!QFileInfo::exists(changeFile))
        return;
    const std::optional<QByteArray> bytes = readKeyMaterial(changeFile);
    const std::optional<RootChange> change = bytes ? RootChange::parse(*bytes) : std::nullopt;
    if (!change) {
        // Not one this program wrote whole: nothing is done on its word.
        qWarning("LocalIntegrityKey: %s is not a root change this program wrote; it is left as it "
                 "is.",
                 qUtf8Printable(changeFile));
        return;
    }
    if (!applyRootChange(folder, *change))
        qWarning("LocalIntegrityKey: could not complete the root change recorded in %s yet.",
                 qUtf8Printable(changeFile));
}

void LocalIntegrityKey::clearRootCache() {
    rootCache().clear();
    declinedFolders().clear();
    sealedKeyStore().retry();
}

void LocalIntegrityKey::allowPromptsAgain() {
    declinedFolders().clear();
    sealedKeyStore().retry();
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

std::optional<SecureBuffer> LocalIntegrityKey::rootSecretFor(const QString& folder,
                                                             SealedKeyResult* outcome) {
    SealedKeyResult ignored = SealedKeyResult::Ok;
    return obtainRoot(folder, outcome ? outcome : &ignored, nullptr);
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
            finishInterruptedRootChange(folder);
            if (!hasRootFiles(folder))
                return SecureBuffer();
            SealedKeyResult outcome = SealedKeyResult::Ok;
            root = unsealRoot(folder, &outcome);
            if (!root) {
                why = failureOf(outcome);
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

    // A folder keeps the kind of its first key: a folder of the TPM's only ever gets TPM keys
    // (whether or not the TPM answers now), one recorded for the user's protection only those,
    // and a new folder takes the TPM when one answers.
    const QString folder = folderOf(keyFilePath);
    const std::optional<FolderProtection> recorded = recordedProtection(folder);
    const bool tpmFolder = recorded == FolderProtection::Tpm || hasRootFiles(folder);
    const bool tryTpm = tpmFolder || (!recorded && sealedKeyStore().hasProvider());
    if (tryTpm) {
        SealedKeyResult outcome = SealedKeyResult::Ok;
        bool nameTaken = false;
        const std::optional<SecureBuffer> root = obtainRoot(folder, &outcome, &nameTaken);
        if (root) {
            const QByteArray salt = randomBytes(kSaltBytes);
            SecureBuffer key = deriveFileKey(*root, keyFilePath, salt);
            if (writeFileAtomically(keyFilePath, QByteArray(kTpmKeyFileMagic, 8) + salt))
                return key;
            return SecureBuffer();
        }
        // A key name someone else already took, in a folder not yet bound to the TPM, is not a
        // fault of the hardware: the folder takes the user's protection instead.
        if (!(nameTaken && !tpmFolder)) {
            if (outcome == SealedKeyResult::PromptCancelled)
                qWarning("LocalIntegrityKey: the required TPM security prompt was cancelled -- "
                         "refusing to silently fall back to software-only protection for %s.",
                         qUtf8Printable(keyFilePath));
            else if (outcome == SealedKeyResult::NoProvider ||
                     outcome == SealedKeyResult::Unreachable)
                qWarning("LocalIntegrityKey: the TPM that protects this folder's keys cannot be "
                         "reached -- refusing to make a key of another kind for %s.",
                         qUtf8Printable(keyFilePath));
            else
                qWarning("LocalIntegrityKey: a TPM is present but could not be used (rejected, "
                         "or a device fault) -- refusing to silently fall back to software-only "
                         "protection for %s.",
                         qUtf8Printable(keyFilePath));
            return SecureBuffer();
        }
    }

    // No TPM provider for a new folder, a folder of the user's protection, or a key name taken
    // by something else.
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

bool LocalIntegrityKey::isTpmKeyFile(const QString& keyFilePath) {
    const std::optional<QByteArray> keyFile = readKeyMaterial(keyFilePath);
    return keyFile && isTpmForm(*keyFile);
}

bool LocalIntegrityKey::isHardwareKeyLost(const QString& keyFilePath) {
    const std::optional<QByteArray> keyFile = readKeyMaterial(keyFilePath);
    KeyLoadFailure failure = KeyLoadFailure::None;
    return keyFile && isTpmForm(*keyFile) && loadKey(keyFilePath, &failure).empty() &&
           failure == KeyLoadFailure::Unusable;
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
