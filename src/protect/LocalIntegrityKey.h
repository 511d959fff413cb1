#pragma once

#include "crypto/SecureBuffer.h"
#include "platform/SealedKeyStore.h"
#include "platform/UserDataProtection.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace korvex::protect {

inline constexpr char kTpmKeyFileMagic[8] = {'K', 'V', 'X', 'T', 'P', 'M', 'K', '2'};
inline constexpr char kOlderKeyFileMagic[8] = {'K', 'V', 'X', 'T', 'P', 'M', 'K', '1'};
inline constexpr char kRootFileMagic[8] = {'K', 'V', 'X', 'T', 'P', 'R', 'T', '1'};
inline constexpr char kRootChangeMagic[8] = {'K', 'V', 'X', 'T', 'P', 'R', 'C', '1'};
inline constexpr qsizetype kTpmKeyFileBytes = 40;
inline constexpr qsizetype kOlderKeyFileBytes = 264;
inline constexpr qsizetype kRootNonceBytes = 16;
inline constexpr std::size_t kFileKeyBytes = 32;

// What protects a folder's settings keys, as the interface reports it to the user.
enum class LocalProtectionKind {
    Tpm,         // derived from a root secret sealed by the TPM
    Keyring,     // wrapped under a key in the desktop keyring
    UserKeyFile, // wrapped under a key in a private file of the user's (no keyring available)
    Unavailable, // the key cannot be loaded
};

// Why loadKey gave no key.
enum class KeyLoadFailure {
    None = 0,
    NoKeyFile = 1,       // the key file is missing or cannot be read
    PromptCancelled = 2, // the prompt guarding the key (TPM or keyring unlock) was dismissed
    Unavailable = 3,     // what protects the key cannot be reached now (no keyring running, no
                         // user key file)
    Unusable = 4,        // the key file gives no key: an older format, a lost hardware key, or
                         // material that does not open
    LockedOut = 5,       // the TPM refuses every PIN for a while after too many wrong ones
};

// The key is there, only out of reach just now: nothing is wrong with the file it protects.
inline bool isTemporaryKeyFailure(KeyLoadFailure failure) {
    return failure == KeyLoadFailure::PromptCancelled || failure == KeyLoadFailure::Unavailable ||
           failure == KeyLoadFailure::LockedOut;
}

// The machine services behind the settings keys. Not owned; they must outlive every use. Until
// something is installed, the machine is taken to have no sealed key store and the current
// user's default data protection.
void setLocalProtectionServices(platform::ISealedKeyStore* sealedKeys,
                                platform::IUserDataProtection* userProtection);

// The 32-byte key of each settings file, kept beside it in path + ".key". On a machine with a
// TPM the key file holds a salt and the key derives from the folder's root secret, sealed by a
// TPM key; without one, the key file holds the key protected for the current user. A folder
// keeps the kind its first key was made in: a folder whose keys the TPM seals never gets a key
// of another kind, whether or not the TPM answers today.
class LocalIntegrityKey {
public:
    // Empty when the key cannot be had; never creates anything. cancelled is set when the
    // user dismissed the TPM prompt.
    static crypto::SecureBuffer loadKey(const QString& keyFilePath, bool* cancelled = nullptr);
    // The same, saying why no key came back. A TPM that does not answer (or is busy) is
    // Unavailable; a key the TPM refuses (it was cleared or replaced, the key's files are
    // damaged or gone, or the sealed root is gone) is Unusable.
    static crypto::SecureBuffer loadKey(const QString& keyFilePath, KeyLoadFailure* failure);
    // Creates the key file when it does not exist, otherwise loadKey. A TPM that exists but
    // fails, or whose prompt is cancelled, gives an empty key: never the weaker protection.
    static crypto::SecureBuffer getOrCreateKey(const QString& keyFilePath);
    // The folder's root secret: cached, else unsealed, else newly created (never while keys
    // sealed under a root are there without it). outcome says why there is none.
    static std::optional<crypto::SecureBuffer>
    rootSecretFor(const QString& folder, platform::SealedKeyResult* outcome = nullptr);
    // Whether the folder holds a sealed root, or a change of it not yet completed.
    static bool hasRootFiles(const QString& folder);
    static bool isOlderKeyFile(const QString& keyFilePath);
    // Exactly 40 bytes beginning with the TPM form's magic: a key derived from the sealed root.
    static bool isTpmKeyFile(const QString& keyFilePath);
    static bool isHardwareKeyLost(const QString& keyFilePath);
    static bool isTpmProtected(const QString& keyFilePath);
    static LocalProtectionKind protectionOf(const QString& keyFilePath);
    static bool deleteLegacyTpmKey(const QString& keyFilePath);
    // Wipes every cached root secret (at sign-out), and lets dismissed prompts ask again.
    static void clearRootCache();
    // Once the user dismisses the TPM prompt of a folder, its keys fail as cancelled without
    // asking again; this lets the next use ask again (the user chose to try again).
    static void allowPromptsAgain();

    // Building blocks shared with the recovery code.
    static crypto::SecureBuffer deriveFileKey(const crypto::SecureBuffer& root,
                                              const QString& keyFilePath, const QByteArray& salt);
    static QString rootKeyName(const QByteArray& nonce);
    static platform::SealedKeyPrompt sealingPrompt();
    // Seals root under a new TPM key named after nonce; the key is deleted again on failure.
    // A name that is already taken fails with nameTaken set, and creates nothing.
    static platform::SealedKeyResult sealRoot(const crypto::SecureBuffer& root,
                                              const QByteArray& nonce, QByteArray* ciphertext,
                                              bool* nameTaken = nullptr);
    static void cacheRoot(const QString& folder, const crypto::SecureBuffer& root);
    // The folder's root files: the nonce naming the TPM key, and the sealed root secret.
    static QString rootNonceFileIn(const QString& folder);
    static QString rootFileIn(const QString& folder);
    // Replaces the folder's root files by newNonce and the root sealed as ciphertext under the
    // TPM key newNonce names, so that a crash at any point leaves the old pair or the new one:
    // the new pair is first written whole to a change file, which every later reader completes
    // before it reads the root; the previous TPM key is deleted last. True once the change is
    // committed (written to the change file), even if completing it has to wait.
    static bool replaceRoot(const QString& folder, const QByteArray& newNonce,
                            const QByteArray& ciphertext);
    // The change file of replaceRoot.
    static QString rootChangeFileIn(const QString& folder);
    // Completes a change of the root files that was cut short; nothing when there is none.
    static void finishInterruptedRootChange(const QString& folder);
    static platform::ISealedKeyStore& sealedKeyStore();
    static platform::IUserDataProtection& userDataProtection();
};

} // namespace korvex::protect
