#include "core/AuthManager.h"

#include "core/PasswordPolicy.h"
#include "core/TransitionFile.h"
#include "core/TwoFactorManager.h"
#include "crypto/AeadCipher.h"
#include "crypto/PasswordHasher.h"
#include "crypto/SecureWipe.h"
#include "platform/PrivatePaths.h"
#include "protect/AtomicFile.h"
#include "protect/FileProtection.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/ProtectedFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <functional>
#include <stdexcept>

namespace korvex::core {

using crypto::AeadCipher;
using crypto::Bytes;
using crypto::PasswordHasher;
using crypto::SecureBuffer;
using crypto::secureWipe;

namespace {

const char kBindingLabel[] = "zelvora.identity.wrappedVaultKey.v1";
const QString kUsername = QStringLiteral("username");
const QString kPasswordHash = QStringLiteral("passwordHash");
const QString kKeySalt = QStringLiteral("keySalt");
const QString kWrappedVaultKey = QStringLiteral("wrappedVaultKey");
const QString kVaultRekeyed = QStringLiteral("vaultRekeyed");
const QString kGenerationAtStart = QStringLiteral("vaultGenerationAtStart");
const QString kTwoFactorWrappedSecret = QStringLiteral("twoFactorWrappedSecret");
const QString kTwoFactorWrapSalt = QStringLiteral("twoFactorWrapSalt");
// Characters tried at each position when repairing one damaged character of a vault id.
const QString kVaultIdAlphabet = QStringLiteral("0123456789abcdef-");
constexpr int kMaxRepairableIdLength = 128;

QString toBase64(const Bytes& bytes) {
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()))
            .toBase64());
}

Bytes fromBase64(const QJsonValue& value) {
    const QByteArray decoded = QByteArray::fromBase64(value.toString().toUtf8());
    return Bytes(decoded.begin(), decoded.end());
}

// Wipes a password copy however the function that holds it is left.
class PasswordGuard {
public:
    explicit PasswordGuard(std::string& password) : password_(password) {}
    ~PasswordGuard() { secureWipe(password_); }
    PasswordGuard(const PasswordGuard&) = delete;
    PasswordGuard& operator=(const PasswordGuard&) = delete;

private:
    std::string& password_;
};

QString policyViolationOf(const std::string& password) {
    QString text = QString::fromUtf8(password.data(), qsizetype(password.size()));
    const QString violation = passwordPolicyViolation(text);
    secureWipe(text);
    return violation;
}

QJsonObject identityJson(const IdentityRecord& record) {
    return QJsonObject{{kUsername, record.username},
                       {kPasswordHash, QString::fromStdString(record.passwordHash)},
                       {kKeySalt, toBase64(record.keySalt)},
                       {kWrappedVaultKey, toBase64(record.wrappedVaultKey)}};
}

bool hasIdentityKeys(const QJsonObject& object) {
    return object.contains(kUsername) && object.contains(kPasswordHash) &&
           object.contains(kKeySalt) && object.contains(kWrappedVaultKey);
}

IdentityRecord identityFromJson(const QJsonObject& object) {
    IdentityRecord record;
    record.username = object.value(kUsername).toString();
    record.passwordHash = object.value(kPasswordHash).toString().toStdString();
    record.keySalt = fromBase64(object.value(kKeySalt));
    record.wrappedVaultKey = fromBase64(object.value(kWrappedVaultKey));
    return record;
}

// A fresh record for password: new hash, new salt, and vaultKey sealed under the new KEK.
std::optional<IdentityRecord> newRecord(const QString& username, const std::string& password,
                                        const SecureBuffer& vaultKey, const QString& vaultId,
                                        std::optional<SecureBuffer>* kekOut = nullptr) {
    try {
        IdentityRecord record;
        record.username = username;
        record.keySalt = PasswordHasher::generateSalt();
        auto [hash, kek] =
            PasswordHasher::hashAndDeriveKey(password, record.keySalt, crypto::kKeyBytes);
        record.passwordHash = std::move(hash);
        record.wrappedVaultKey =
            AeadCipher::seal(kek, vaultKey, AuthManager::vaultKeyBinding(record.keySalt, vaultId));
        if (kekOut)
            *kekOut = std::move(kek);
        return record;
    } catch (const std::runtime_error&) {
        qWarning("AuthManager: could not derive the password key (out of memory).");
        return std::nullopt;
    }
}

// Tries every single-character change of id over the alphabet; the result only when exactly
// one candidate passes.
std::optional<QString> repairVaultId(const QString& id,
                                     const std::function<bool(const QString&)>& accepts) {
    if (id.isEmpty() || id.size() > kMaxRepairableIdLength)
        return std::nullopt;
    QString candidate = id;
    QString match;
    int matches = 0;
    for (qsizetype i = 0; i < candidate.size(); ++i) {
        const QChar original = candidate[i];
        for (const QChar c : kVaultIdAlphabet) {
            if (c == original)
                continue;
            candidate[i] = c;
            if (accepts(candidate)) {
                match = candidate;
                ++matches;
            }
        }
        candidate[i] = original;
    }
    return matches == 1 ? std::optional<QString>(match) : std::nullopt;
}

struct IdentityTransition {
    bool vaultRekeyed = false;
    quint64 vaultGenerationAtStart = 0;
    IdentityRecord record;
    Bytes twoFactorWrappedSecret;
    Bytes twoFactorWrapSalt; // empty in transitions written before it was kept
};

std::optional<IdentityTransition> loadTransition(const QString& path) {
    const protect::ProtectedReadResult read =
        protect::readProtectedFile(path, protect::EnvelopeKind::Authenticated);
    if (!read.ok() || !hasIdentityKeys(read.object))
        return std::nullopt;
    IdentityTransition transition;
    transition.vaultRekeyed = read.object.value(kVaultRekeyed).toBool(false);
    transition.vaultGenerationAtStart =
        read.object.value(kGenerationAtStart).toString().toULongLong();
    transition.record = identityFromJson(read.object);
    transition.twoFactorWrappedSecret = fromBase64(read.object.value(kTwoFactorWrappedSecret));
    transition.twoFactorWrapSalt = fromBase64(read.object.value(kTwoFactorWrapSalt));
    return transition;
}

bool saveTransition(const QString& path, const IdentityTransition& transition) {
    QJsonObject object = identityJson(transition.record);
    object.insert(kVaultRekeyed, transition.vaultRekeyed);
    object.insert(kGenerationAtStart, QString::number(transition.vaultGenerationAtStart));
    object.insert(kTwoFactorWrappedSecret, toBase64(transition.twoFactorWrappedSecret));
    if (!transition.twoFactorWrapSalt.empty())
        object.insert(kTwoFactorWrapSalt, toBase64(transition.twoFactorWrapSalt));
    return protect::writeProtectedFile(path, object, protect::EnvelopeKind::Authenticated);
}

} // namespace

AuthManager::AuthManager(const QString& identityPath, const Clock& clock,
                         std::shared_ptr<LockoutFloorStore> floor)
    : identityFilePath_(identityPath),
      lockout_(identityPath + QStringLiteral(".lockout"), clock, std::move(floor)) {}

AuthManager::~AuthManager() = default;

Bytes AuthManager::vaultKeyBinding(const Bytes& keySalt, const QString& vaultId) {
    const QByteArray id = vaultId.toUtf8();
    return crypto::concatenate({crypto::bytesOf(kBindingLabel, sizeof(kBindingLabel) - 1), keySalt,
                                crypto::bytesOf(id.constData(), std::size_t(id.size()))});
}

void AuthManager::restoreInterruptedSave() const {
    // A save moves the old identity aside before committing the new one. If it was cut short
    // in between, the old identity is the account: put it back rather than let the next save
    // (or a new account) erase it.
    const QString backup = identityFilePath_ + QStringLiteral(".oldcopy");
    if (!QFileInfo::exists(identityFilePath_) && QFileInfo::exists(backup)) {
        if (QFile::rename(backup, identityFilePath_))
            qWarning("AuthManager: restored the identity from %s after an interrupted save.",
                     qUtf8Printable(backup));
        else
            qWarning("AuthManager: could not restore the identity from %s after an interrupted "
                     "save.",
                     qUtf8Printable(backup));
    }
}

bool AuthManager::identityExists() const {
    restoreInterruptedSave();
    return QFileInfo::exists(identityFilePath_);
}

std::optional<IdentityRecord> AuthManager::loadIdentity(LoginFailureReason* reason) const {
    restoreInterruptedSave();
    auto fail = [reason](LoginFailureReason why) -> std::optional<IdentityRecord> {
        if (reason)
            *reason = why;
        return std::nullopt;
    };
    const std::optional<QByteArray> bytes = protect::readSmallFile(identityFilePath_);
    if (!bytes)
        return fail(LoginFailureReason::IdentityUnreadable);

    const QString keyFile = identityFilePath_ + QStringLiteral(".key");
    protect::KeyLoadFailure keyFailure = protect::KeyLoadFailure::None;
    const SecureBuffer key = protect::LocalIntegrityKey::loadKey(keyFile, &keyFailure);
    std::optional<QByteArray> payload = protect::openAuthenticated(*bytes, key);
    if (!payload) {
        if (!reason)
            return std::nullopt;
        if (keyFailure == protect::KeyLoadFailure::PromptCancelled)
            return fail(LoginFailureReason::SecurityPromptCancelled);
        if (keyFailure == protect::KeyLoadFailure::LockedOut)
            return fail(LoginFailureReason::HardwareKeyLockedOut);
        if (keyFailure == protect::KeyLoadFailure::Unavailable)
            return fail(protect::LocalIntegrityKey::isTpmKeyFile(keyFile)
                            ? LoginFailureReason::HardwareKeyUnreachable
                            : LoginFailureReason::ProtectionUnavailable);
        if (protect::LocalIntegrityKey::isOlderKeyFile(keyFile))
            return fail(LoginFailureReason::IdentityLegacyFormat);
        if (protect::LocalIntegrityKey::isHardwareKeyLost(keyFile))
            return fail(LoginFailureReason::HardwareKeyUnavailable);
        return fail(LoginFailureReason::IdentityCorrupt);
    }
    const QJsonDocument document = QJsonDocument::fromJson(*payload);
    secureWipe(*payload);
    if (!document.isObject() || !hasIdentityKeys(document.object()))
        return fail(LoginFailureReason::IdentityCorrupt);
    return identityFromJson(document.object());
}

bool AuthManager::saveIdentity(const IdentityRecord& record) {
    restoreInterruptedSave();
    QByteArray json = QJsonDocument(identityJson(record)).toJson(QJsonDocument::Compact);
    platform::createPrivateFolder(QFileInfo(identityFilePath_).absolutePath());
    const SecureBuffer key =
        protect::LocalIntegrityKey::getOrCreateKey(identityFilePath_ + QStringLiteral(".key"));
    const QByteArray envelope = protect::sealAuthenticated(json, key);
    secureWipe(json);
    if (envelope.isEmpty())
        return false;

    const QString backup = identityFilePath_ + QStringLiteral(".oldcopy");
    if (QFileInfo::exists(backup) && !protect::secureErase(backup))
        qWarning("AuthManager: failed to securely erase a leftover identity backup at %s -- an old "
                 "salt and wrapped vault key may still be recoverable from disk.",
                 qUtf8Printable(backup));
    const bool madeBackup = QFileInfo::exists(identityFilePath_);
    if (madeBackup && !QFile::rename(identityFilePath_, backup))
        return false;

    if (protect::writeFileAtomically(identityFilePath_, envelope)) {
        if (madeBackup && !protect::secureErase(backup))
            qWarning("AuthManager: failed to securely erase old identity backup at %s -- the "
                     "previous salt and wrapped vault key may still be recoverable from disk.",
                     qUtf8Printable(backup));
        return true;
    }
    if (madeBackup) {
        // The new identity was not written: the old one must stay the account, so it goes
        // back in place instead of being left aside where a later save would erase it.
        if (!QFileInfo::exists(identityFilePath_) && QFile::rename(backup, identityFilePath_))
            qWarning(
                "AuthManager: saving the identity failed; the previous identity was put back.");
        else
            qWarning("AuthManager: saving the identity failed; the previous identity is kept at %s "
                     "and was not erased, for manual recovery.",
                     qUtf8Printable(backup));
    }
    return false;
}

std::optional<SecureBuffer> AuthManager::login(std::string password, bool resetLockoutOnSuccess,
                                               const QString& vaultId, QString* recoveredVaultId,
                                               LoginFailureReason* reason) {
    PasswordGuard guard(password);
    auto fail = [reason](LoginFailureReason why) -> std::optional<SecureBuffer> {
        if (reason)
            *reason = why;
        return std::nullopt;
    };
    if (lockoutSecondsRemaining() >= 1)
        return fail(LoginFailureReason::LockedOut);
    const quint64 forgetsAtStart = keyForgets_;

    const std::optional<IdentityRecord> record = loadIdentity(reason);
    if (!record)
        return std::nullopt;

    // The check and the key derivation run side by side; a file with a salt of another length
    // (which the system never writes) is damaged, but a wrong password is still told first.
    std::optional<SecureBuffer> kek;
    bool verified = false;
    if (record->keySalt.size() == crypto::kSaltBytes) {
        PasswordHasher::VerifiedKey checked = PasswordHasher::verifyAndDeriveKey(
            record->passwordHash, password, record->keySalt, crypto::kKeyBytes);
        verified = checked.verified;
        kek = std::move(checked.key);
    } else {
        verified = PasswordHasher::verifyPassword(record->passwordHash, password);
    }
    if (!verified) {
        const QFileInfo info(identityFilePath_);
        qWarning("AuthManager::login: password did not verify. identity.dat last modified %s, size "
                 "%lld bytes.",
                 qUtf8Printable(info.lastModified().toUTC().toString(Qt::ISODate)),
                 static_cast<long long>(info.size()));
        return fail(recordFailedAttempt() ? LoginFailureReason::WrongPassword
                                          : LoginFailureReason::WrongPasswordNotRecorded);
    }
    if (record->keySalt.size() != crypto::kSaltBytes)
        return fail(LoginFailureReason::IdentityCorrupt);
    if (!kek) {
        qWarning("AuthManager::login: could not derive the password key (out of memory).");
        return fail(LoginFailureReason::VaultKeyUnwrapFailed);
    }
    std::optional<SecureBuffer> vaultKey =
        AeadCipher::open(*kek, record->wrappedVaultKey, vaultKeyBinding(record->keySalt, vaultId));
    if (!vaultKey && !vaultId.isEmpty()) {
        const std::optional<QString> repaired =
            repairVaultId(vaultId, [&](const QString& candidate) {
                return AeadCipher::open(*kek, record->wrappedVaultKey,
                                        vaultKeyBinding(record->keySalt, candidate))
                    .has_value();
            });
        if (repaired) {
            vaultKey = AeadCipher::open(*kek, record->wrappedVaultKey,
                                        vaultKeyBinding(record->keySalt, *repaired));
            if (vaultKey && recoveredVaultId)
                *recoveredVaultId = *repaired;
        }
    }
    if (!vaultKey)
        return fail(LoginFailureReason::VaultKeyUnwrapFailed);
    // The window kept handling events while the key was derived: a wipe meanwhile ends the
    // session, and what was derived for it goes with the rest.
    if (keyForgets_ != forgetsAtStart) {
        qWarning("AuthManager::login: the session was wiped while signing in; the keys were "
                 "dropped.");
        return fail(LoginFailureReason::Interrupted);
    }

    if (resetLockoutOnSuccess)
        resetFailedAttempts();
    username_ = record->username;
    heldKek_ = std::move(kek);
    return vaultKey;
}

std::optional<SecureBuffer> AuthManager::createAccount(const QString& username,
                                                       const std::string& password) {
    if (identityExists() || !policyViolationOf(password).isEmpty())
        return std::nullopt;
    SecureBuffer vaultKey = AeadCipher::generateKey();
    std::optional<SecureBuffer> kek;
    const std::optional<IdentityRecord> record =
        newRecord(username, password, vaultKey, QString(), &kek);
    if (!record || !saveIdentity(*record))
        return std::nullopt;
    username_ = username;
    heldKek_ = std::move(kek);
    return vaultKey;
}

bool AuthManager::checkPassword(std::string password, LoginFailureReason* reason) {
    PasswordGuard guard(password);
    auto fail = [reason](LoginFailureReason why) {
        if (reason)
            *reason = why;
        return false;
    };
    if (lockoutSecondsRemaining() >= 1)
        return fail(LoginFailureReason::LockedOut);
    const std::optional<IdentityRecord> record = loadIdentity(reason);
    if (!record)
        return false;
    if (!PasswordHasher::verifyPassword(record->passwordHash, password)) {
        qWarning("AuthManager::checkPassword: password did not verify.");
        return fail(recordFailedAttempt() ? LoginFailureReason::WrongPassword
                                          : LoginFailureReason::WrongPasswordNotRecorded);
    }
    resetFailedAttempts();
    return true;
}

bool AuthManager::bindVaultId(const SecureBuffer& vaultKey, const QString& vaultId) {
    if (!heldKek_)
        return false;
    std::optional<IdentityRecord> record = loadIdentity(nullptr);
    if (!record)
        return false;
    record->wrappedVaultKey =
        AeadCipher::seal(*heldKek_, vaultKey, vaultKeyBinding(record->keySalt, vaultId));
    return saveIdentity(*record);
}

std::optional<SecureBuffer> AuthManager::verifyPasswordAndGenerateKey(const std::string& password) {
    const std::optional<IdentityRecord> record = loadIdentity(nullptr);
    if (!record || !PasswordHasher::verifyPassword(record->passwordHash, password))
        return std::nullopt;
    return AeadCipher::generateKey();
}

bool AuthManager::rewrapVaultKey(const SecureBuffer& vaultKey, const std::string& password,
                                 const QString& vaultId) {
    if (!policyViolationOf(password).isEmpty())
        return false;
    const std::optional<IdentityRecord> current = loadIdentity(nullptr);
    if (!current)
        return false;
    const std::optional<IdentityRecord> record =
        newRecord(current->username, password, vaultKey, vaultId);
    return record && saveIdentity(*record);
}

void AuthManager::forgetSessionKey() {
    heldKek_.reset();
    ++keyForgets_;
}

bool AuthManager::recordFailedAttempt() {
    return lockout_.recordFailedAttempt();
}
void AuthManager::resetFailedAttempts() {
    lockout_.resetFailedAttempts();
}
int AuthManager::lockoutSecondsRemaining() {
    return lockout_.lockoutSecondsRemaining();
}

bool AuthManager::beginPasswordChange(const SecureBuffer& newVaultKey,
                                      const std::string& newPassword, const QString& vaultId,
                                      quint64 vaultGenerationAtStart,
                                      const Bytes& twoFactorWrappedSecret,
                                      const Bytes& twoFactorWrapSalt) {
    if (!policyViolationOf(newPassword).isEmpty())
        return false;
    const std::optional<IdentityRecord> current = loadIdentity(nullptr);
    if (!current)
        return false;
    const std::optional<IdentityRecord> record =
        newRecord(current->username, newPassword, newVaultKey, vaultId);
    if (!record)
        return false;
    IdentityTransition transition;
    transition.vaultGenerationAtStart = vaultGenerationAtStart;
    transition.record = *record;
    transition.twoFactorWrappedSecret = twoFactorWrappedSecret;
    transition.twoFactorWrapSalt = twoFactorWrapSalt;
    return saveTransition(transitionPath(), transition);
}

bool AuthManager::markTransitionVaultRekeyed() {
    std::optional<IdentityTransition> transition = loadTransition(transitionPath());
    if (!transition)
        return false;
    transition->vaultRekeyed = true;
    return saveTransition(transitionPath(), *transition);
}

RekeyEvidence AuthManager::transitionVaultRekeyed(std::optional<quint64> currentGeneration) const {
    const std::optional<IdentityTransition> transition = loadTransition(transitionPath());
    if (!transition)
        return RekeyEvidence::Unknown;
    return judgeRekey(transition->vaultRekeyed, transition->vaultGenerationAtStart,
                      currentGeneration);
}

bool AuthManager::hasPendingTransition() const {
    return loadTransition(transitionPath()).has_value();
}

bool AuthManager::transitionFileExists() const {
    return core::transitionFileExists(transitionPath());
}

namespace {

// Puts the secret re-sealed for the new vault key into the two-factor record. Done when that
// worked, and also when the record no longer needs it: gone (two-factor was turned off since),
// or written anew after the transition (restored or enrolled again under another salt, it
// holds its secret under the current key already, and the secret sealed here would not open
// under its salt). A record that is there but cannot be read just now is not judged: false,
// and the transition stays.
bool followTwoFactorRecord(TwoFactorManager& twoFactor, const Bytes& wrappedSecret,
                           const Bytes& wrapSalt) {
    // Transitions written before the salt was kept: the record is simply brought along.
    if (wrapSalt.empty())
        return twoFactor.replaceWrappedSecret(wrappedSecret);
    const std::optional<TwoFactorState> state = twoFactor.loadState();
    if (!state) {
        const QFileInfo record(twoFactor.path());
        if (record.exists() || record.isSymLink())
            return false;
        qWarning("AuthManager: the two-factor record is gone since the password change began; "
                 "there is nothing to bring along.");
        return true;
    }
    if (state->wrapSalt != wrapSalt) {
        qWarning("AuthManager: the two-factor record changed since the password change began; "
                 "it is left as it is.");
        return true;
    }
    return twoFactor.replaceWrappedSecret(wrappedSecret);
}

} // namespace

bool AuthManager::commitTransition(TwoFactorManager& twoFactor) {
    const std::optional<IdentityTransition> transition = loadTransition(transitionPath());
    if (!transition || !saveIdentity(transition->record))
        return false;
    // The two-factor secret must follow the new vault key; if it cannot be re-sealed now the
    // transition stays, and the next start completes it, rather than leaving the secret under
    // a key nobody holds any more.
    if (!transition->twoFactorWrappedSecret.empty() &&
        !followTwoFactorRecord(twoFactor, transition->twoFactorWrappedSecret,
                               transition->twoFactorWrapSalt))
        return false;
    discardTransitionFile(transitionPath(),
                          QStringLiteral("AuthManager: failed to securely erase the completed "
                                         "password-change transition file at %1 -- the wrapped "
                                         "vault key and salt it held may still be recoverable from "
                                         "disk."),
                          "AuthManager");
    return true;
}

void AuthManager::abandonTransition() {
    discardTransitionFile(transitionPath(),
                          QStringLiteral("AuthManager: failed to securely erase the abandoned "
                                         "password-change transition file at %1 -- the wrapped "
                                         "vault key and salt it held may still be recoverable from "
                                         "disk."),
                          "AuthManager");
}

} // namespace korvex::core
