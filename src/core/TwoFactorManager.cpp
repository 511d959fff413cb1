#include "core/TwoFactorManager.h"

#include "core/Totp.h"
#include "core/TransitionFile.h"
#include "crypto/AeadCipher.h"
#include "crypto/PasswordHasher.h"
#include "crypto/Sodium.h"
#include "crypto/Subkey.h"
#include "protect/FileProtection.h"
#include "protect/ProtectedFile.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QJsonValue>
#include <sodium.h>

namespace korvex::core {

using crypto::AeadCipher;
using crypto::Bytes;
using crypto::SecureBuffer;

namespace {

const char kSecretLabel[] = "zelvora.2fa.wrappedSecret.v1";
const char kEffectiveKeyLabel[] = "zelvora.2fa.vault-key.v1";

const QString kEnabled = QStringLiteral("enabled");
const QString kWrappedSecret = QStringLiteral("wrappedSecret");
const QString kPendingWrappedSecret = QStringLiteral("pendingWrappedSecret");
const QString kLastVerifiedCounter = QStringLiteral("lastVerifiedCounter");
const QString kWrapSalt = QStringLiteral("wrapSalt");
const QString kVaultRekeyed = QStringLiteral("vaultRekeyed");
const QString kGenerationAtStart = QStringLiteral("vaultGenerationAtStart");

const char kCompletedEraseFailed[] =
    "TwoFactorManager: failed to securely erase the completed transition file at %1 -- the "
    "wrapped two-factor secret it held may still be recoverable from disk.";
const char kAbandonedEraseFailed[] =
    "TwoFactorManager: failed to securely erase the abandoned transition file at %1 -- the "
    "wrapped two-factor secret it held may still be recoverable from disk.";

QString toBase64(const Bytes& bytes) {
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()))
            .toBase64());
}

Bytes fromBase64(const QJsonValue& value) {
    const QByteArray decoded = QByteArray::fromBase64(value.toString().toLatin1());
    return Bytes(decoded.begin(), decoded.end());
}

// The label followed by the salt: binds a sealed secret to this file's current enrolment.
Bytes secretAssociatedData(const Bytes& wrapSalt) {
    return crypto::concatenate({crypto::bytesOf(kSecretLabel, sizeof(kSecretLabel) - 1), wrapSalt});
}

// The crypto layer throws on a key of the wrong length; here that is simply a failure.
bool usableVaultKey(const SecureBuffer& key) {
    return key.size() == crypto::kKeyBytes;
}

std::optional<SecureBuffer> openSecret(const SecureBuffer& vaultKey, const Bytes& sealed,
                                       const Bytes& wrapSalt) {
    if (!usableVaultKey(vaultKey) || sealed.empty())
        return std::nullopt;
    return AeadCipher::open(vaultKey, sealed, secretAssociatedData(wrapSalt));
}

void insertState(QJsonObject& object, const TwoFactorState& state) {
    object.insert(kEnabled, state.enabled);
    object.insert(kWrappedSecret, toBase64(state.wrappedSecret));
    object.insert(kPendingWrappedSecret, toBase64(state.pendingWrappedSecret));
    object.insert(kLastVerifiedCounter, QJsonValue(state.lastVerifiedCounter));
    object.insert(kWrapSalt, toBase64(state.wrapSalt));
}

// Every key is optional: absent ones read as the default state.
TwoFactorState stateFromJson(const QJsonObject& object) {
    TwoFactorState state;
    state.enabled = object.value(kEnabled).toBool(false);
    state.wrappedSecret = fromBase64(object.value(kWrappedSecret));
    state.pendingWrappedSecret = fromBase64(object.value(kPendingWrappedSecret));
    state.lastVerifiedCounter = object.value(kLastVerifiedCounter).toInteger(-1);
    state.wrapSalt = fromBase64(object.value(kWrapSalt));
    return state;
}

struct TwoFactorTransition {
    bool vaultRekeyed = false;
    quint64 vaultGenerationAtStart = 0;
    TwoFactorState state; // the complete state to install on commit
};

std::optional<TwoFactorTransition> loadTransition(const QString& path) {
    const protect::ProtectedReadResult read =
        protect::readProtectedFile(path, protect::EnvelopeKind::Authenticated);
    if (!read.ok())
        return std::nullopt;
    TwoFactorTransition transition;
    transition.vaultRekeyed = read.object.value(kVaultRekeyed).toBool(false);
    transition.vaultGenerationAtStart =
        read.object.value(kGenerationAtStart).toString().toULongLong();
    transition.state = stateFromJson(read.object);
    return transition;
}

bool saveTransition(const QString& path, const TwoFactorTransition& transition) {
    QJsonObject object;
    object.insert(kVaultRekeyed, transition.vaultRekeyed);
    // Decimal text: a JSON number would lose precision above 2^53.
    object.insert(kGenerationAtStart, QString::number(transition.vaultGenerationAtStart));
    insertState(object, transition.state);
    return protect::writeProtectedFile(path, object, protect::EnvelopeKind::Authenticated);
}

} // namespace

TwoFactorManager::TwoFactorManager(const QString& path, const Clock& clock)
    : path_(path), clock_(clock) {}

std::optional<TwoFactorState> TwoFactorManager::loadState() const {
    const protect::ProtectedReadResult read =
        protect::readProtectedFile(path_, protect::EnvelopeKind::Authenticated);
    if (!read.ok())
        return std::nullopt;
    return stateFromJson(read.object);
}

bool TwoFactorManager::saveState(const TwoFactorState& state) {
    QJsonObject object;
    insertState(object, state);
    return protect::writeProtectedFile(path_, object, protect::EnvelopeKind::Authenticated);
}

bool TwoFactorManager::isEnabled() const {
    const std::optional<TwoFactorState> state = loadState();
    return state && state->enabled;
}

std::optional<QString> TwoFactorManager::beginEnrollment(const SecureBuffer& vaultKey,
                                                         const QString& account,
                                                         const QString& issuer) {
    if (!usableVaultKey(vaultKey))
        return std::nullopt;
    TwoFactorState state = loadState().value_or(TwoFactorState{});
    // A new salt orphans the sealed secret in use. While two-factor authentication is on, the
    // vault is keyed with that secret, so a new enrolment would leave no file able to open it.
    if (state.enabled)
        return std::nullopt;
    state.wrapSalt = crypto::PasswordHasher::generateSalt();
    SecureBuffer secret(kTotpSecretBytes);
    crypto::ensureSodiumInitialised();
    randombytes_buf(secret.data(), secret.size());
    state.pendingWrappedSecret =
        AeadCipher::seal(vaultKey, secret, secretAssociatedData(state.wrapSalt));
    if (!saveState(state))
        return std::nullopt;
    return buildOtpauthUri(secret, account, issuer);
}

bool TwoFactorManager::cancelEnrollment() {
    // Blanking an enabled state would throw away the only sealed copy of the secret the vault
    // is keyed with; only an enrolment is cancelled here.
    const std::optional<TwoFactorState> state = loadState();
    if (state && state->enabled)
        return false;
    return saveState(TwoFactorState{});
}

std::optional<SecureBuffer> TwoFactorManager::confirmEnrollment(const SecureBuffer& vaultKey,
                                                                const QString& code,
                                                                quint64 vaultGenerationAtStart) {
    const std::optional<TwoFactorState> state = loadState();
    if (!state || state->pendingWrappedSecret.empty())
        return std::nullopt;
    const std::optional<SecureBuffer> secret =
        openSecret(vaultKey, state->pendingWrappedSecret, state->wrapSalt);
    if (!secret)
        return std::nullopt;
    const qint64 now = clock_.unixSeconds();
    if (now < 0 || !verifyTotp({secret->data(), secret->size()}, code, now, kTotpStepSeconds,
                               kTotpDigits, kTotpWindow))
        return std::nullopt;

    TwoFactorTransition transition;
    transition.vaultGenerationAtStart = vaultGenerationAtStart;
    transition.state = *state;
    transition.state.enabled = true;
    transition.state.wrappedSecret = state->pendingWrappedSecret;
    transition.state.pendingWrappedSecret.clear();
    if (!saveTransition(transitionPath(), transition))
        return std::nullopt;
    return deriveEffectiveKey(vaultKey, *secret);
}

bool TwoFactorManager::beginDisable(quint64 vaultGenerationAtStart) {
    TwoFactorTransition transition;
    transition.vaultGenerationAtStart = vaultGenerationAtStart;
    transition.state = loadState().value_or(TwoFactorState{});
    // The sealed secret stays: only the switch changes.
    transition.state.enabled = false;
    return saveTransition(transitionPath(), transition);
}

std::optional<SecureBuffer> TwoFactorManager::unwrapSecret(const SecureBuffer& vaultKey) const {
    const std::optional<TwoFactorState> state = loadState();
    if (!state || !state->enabled)
        return std::nullopt;
    return openSecret(vaultKey, state->wrappedSecret, state->wrapSalt);
}

std::optional<SecureBuffer>
TwoFactorManager::effectiveVaultKey(const SecureBuffer& vaultKey) const {
    const std::optional<SecureBuffer> secret = unwrapSecret(vaultKey);
    if (!secret)
        return std::nullopt;
    return deriveEffectiveKey(vaultKey, *secret);
}

SecureBuffer TwoFactorManager::deriveEffectiveKey(const SecureBuffer& vaultKey,
                                                  const SecureBuffer& secret) {
    return crypto::deriveSubkey(vaultKey, secret, kEffectiveKeyLabel, crypto::kKeyBytes);
}

bool TwoFactorManager::verifyLoginCode(const SecureBuffer& vaultKey, const QString& code) {
    std::optional<TwoFactorState> state = loadState();
    if (!state || !state->enabled)
        return false;
    const std::optional<SecureBuffer> secret =
        openSecret(vaultKey, state->wrappedSecret, state->wrapSalt);
    if (!secret)
        return false;
    const qint64 now = clock_.unixSeconds();
    if (now < 0)
        return false;
    const std::optional<qint64> counter = totpMatchingCounter(
        {secret->data(), secret->size()}, code, now, kTotpStepSeconds, kTotpDigits, kTotpWindow);
    // Each step is usable once, and nothing at or before the last accepted step is accepted.
    if (!counter || *counter <= state->lastVerifiedCounter)
        return false;
    // The step is burned on disk before the login goes ahead: a success whose counter was lost
    // would leave the same code usable again.
    state->lastVerifiedCounter = *counter;
    if (!saveState(*state)) {
        qWarning("TwoFactorManager::verifyLoginCode: failed to persist the burned TOTP counter -- "
                 "refusing this login rather than risk the code being replayable.");
        return false;
    }
    return true;
}

Bytes TwoFactorManager::currentWrapSalt() const {
    const std::optional<TwoFactorState> state = loadState();
    return state ? state->wrapSalt : Bytes{};
}

Bytes TwoFactorManager::wrapSecretForKey(const SecureBuffer& newVaultKey,
                                         const SecureBuffer& secret, const Bytes& wrapSalt) {
    return AeadCipher::seal(newVaultKey, secret, secretAssociatedData(wrapSalt));
}

bool TwoFactorManager::replaceWrappedSecret(const Bytes& wrappedSecret) {
    std::optional<TwoFactorState> state = loadState();
    if (!state || !state->enabled || wrappedSecret.empty())
        return false;
    state->wrappedSecret = wrappedSecret;
    return saveState(*state);
}

bool TwoFactorManager::restoreFromSecret(const SecureBuffer& vaultKey, const SecureBuffer& secret) {
    if (!usableVaultKey(vaultKey) || secret.empty())
        return false;
    TwoFactorState state;
    state.enabled = true;
    state.wrapSalt = crypto::PasswordHasher::generateSalt();
    state.wrappedSecret = wrapSecretForKey(vaultKey, secret, state.wrapSalt);
    return saveState(state);
}

bool TwoFactorManager::markTransitionVaultRekeyed() {
    std::optional<TwoFactorTransition> transition = loadTransition(transitionPath());
    if (!transition)
        return false;
    transition->vaultRekeyed = true;
    return saveTransition(transitionPath(), *transition);
}

RekeyEvidence
TwoFactorManager::transitionVaultRekeyed(std::optional<quint64> currentGeneration) const {
    const std::optional<TwoFactorTransition> transition = loadTransition(transitionPath());
    if (!transition)
        return RekeyEvidence::Unknown;
    return judgeRekey(transition->vaultRekeyed, transition->vaultGenerationAtStart,
                      currentGeneration);
}

bool TwoFactorManager::hasPendingTransition() const {
    return loadTransition(transitionPath()).has_value();
}

bool TwoFactorManager::transitionFileExists() const {
    return core::transitionFileExists(transitionPath());
}

bool TwoFactorManager::commitTransition() {
    const std::optional<TwoFactorTransition> transition = loadTransition(transitionPath());
    if (!transition || !saveState(transition->state))
        return false;
    discardTransitionFile(transitionPath(), QString::fromLatin1(kCompletedEraseFailed),
                          "TwoFactorManager");
    return true;
}

void TwoFactorManager::abandonTransition() {
    discardTransitionFile(transitionPath(), QString::fromLatin1(kAbandonedEraseFailed),
                          "TwoFactorManager");
}

} // namespace korvex::core
