#include "core/Totp.h"
#include "core/TwoFactorManager.h"
#include "crypto/AeadCipher.h"
#include "crypto/Base32.h"
#include "crypto/SecureBuffer.h"
#include "crypto/SecureWipe.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/ProtectedFile.h"
#include "support/ManualClock.h"
#include "support/PlatformDoubles.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QUrlQuery>
#include <csignal>
#include <cstring>
#include <limits>
#include <memory>
#include <sodium.h>
#include <sys/resource.h>

using namespace korvex;
using core::TwoFactorManager;
using core::TwoFactorState;
using crypto::AeadCipher;
using crypto::SecureBuffer;

namespace {

const QString kIssuer = QStringLiteral("Zelvora");
const QString kAccount = QStringLiteral("alice");

// The secret carried by an enrolment URI, decoded as an authenticator app would.
std::optional<SecureBuffer> secretFromUri(const QString& uri) {
    QString text = QUrlQuery(QUrl(uri)).queryItemValue(QStringLiteral("secret"));
    std::optional<SecureBuffer> secret = crypto::decodeBase32(text);
    crypto::secureWipe(text);
    return secret;
}

QString codeForStep(const SecureBuffer& secret, qint64 step) {
    return core::hotp({secret.data(), secret.size()}, quint64(step), core::kTotpDigits);
}

// What the prompt would send for some other code, certainly not one of the window.
QString wrongCode(const SecureBuffer& secret, qint64 step) {
    for (int candidate = 0;; ++candidate) {
        const QString code = QStringLiteral("%1").arg(candidate, 6, 10, QLatin1Char('0'));
        if (code != codeForStep(secret, step - 1) && code != codeForStep(secret, step) &&
            code != codeForStep(secret, step + 1))
            return code;
    }
}

QJsonObject readTransition(const TwoFactorManager& manager) {
    return protect::readProtectedFile(manager.transitionPath(),
                                      protect::EnvelopeKind::Authenticated)
        .object;
}

QString base64(const crypto::Bytes& bytes) {
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()))
            .toBase64());
}

// A clock that locks the keyring the moment a login code is checked against it: the state has
// been read by then, and the burned counter is the next thing written.
class KeyringLockingClock final : public core::Clock {
public:
    KeyringLockingClock(const core::Clock& time, test::FakeUserDataProtection& protection)
        : time_(time), protection_(protection) {}
    QDateTime nowUtc() const override {
        if (armed)
            protection_.refuse = true;
        return time_.nowUtc();
    }
    bool armed = false;

private:
    const core::Clock& time_;
    test::FakeUserDataProtection& protection_;
};

} // namespace

class TestTwoFactorManager : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void enrolmentRoundTrip();
    void loginCodesAreSingleUse();
    void burnedCounterIsSavedBeforeSuccess();
    void effectiveKeyDerivation();
    void wrongVaultKeyChangesNothing();
    void unverifiableStateFailsClosed();
    void enrolmentCannotReplaceEnabledSecret();
    void disableKeepsSealedSecret();
    void abandonLeavesStateAsBefore_data();
    void abandonLeavesStateAsBefore();
    void transitionVaultRekeyed_data();
    void transitionVaultRekeyed();
    void transitionThatCannotBeErasedIsNotLeftPending_data();
    void transitionThatCannotBeErasedIsNotLeftPending();
    void passwordChangeReseal();
    void restoreFromSecret();

private:
    QString statePath() const { return dir_->filePath(QStringLiteral("twofactor.dat")); }
    qint64 currentStep() const { return clock_.unixSeconds() / core::kTotpStepSeconds; }
    // Enrols and commits the enabling transition; the secret, or nothing on any failure.
    std::optional<SecureBuffer> enable(TwoFactorManager& manager, const SecureBuffer& vaultKey);

    test::FakeSealedKeyStore sealedKeys_;
    test::FakeUserDataProtection userProtection_;
    test::ManualClock clock_;
    std::unique_ptr<QTemporaryDir> dir_;
};

void TestTwoFactorManager::init() {
    sealedKeys_.mode = test::FakeSealedKeyStore::Mode::NoProvider;
    userProtection_.refuse = false;
    protect::setLocalProtectionServices(&sealedKeys_, &userProtection_);
    clock_.set(QDateTime(QDate(2026, 3, 1), QTime(9, 30, 10), Qt::UTC));
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
}

void TestTwoFactorManager::cleanup() {
    dir_.reset();
    protect::LocalIntegrityKey::clearRootCache();
}

std::optional<SecureBuffer> TestTwoFactorManager::enable(TwoFactorManager& manager,
                                                         const SecureBuffer& vaultKey) {
    const std::optional<QString> uri = manager.beginEnrollment(vaultKey, kAccount, kIssuer);
    if (!uri)
        return std::nullopt;
    std::optional<SecureBuffer> secret = secretFromUri(*uri);
    if (!secret || !manager.confirmEnrollment(vaultKey, codeForStep(*secret, currentStep()), 1) ||
        !manager.commitTransition())
        return std::nullopt;
    return secret;
}

void TestTwoFactorManager::enrolmentRoundTrip() {
    TwoFactorManager manager(statePath(), clock_);
    const SecureBuffer vaultKey = AeadCipher::generateKey();

    const std::optional<QString> uri =
        manager.beginEnrollment(vaultKey, QStringLiteral("Jane Doe"), kIssuer);
    QVERIFY(uri);
    QVERIFY(uri->startsWith(QStringLiteral("otpauth://totp/Zelvora:Jane%20Doe?secret=")));
    const std::optional<SecureBuffer> secret = secretFromUri(*uri);
    QVERIFY(secret);
    QCOMPARE(secret->size(), core::kTotpSecretBytes);

    const std::optional<TwoFactorState> enrolling = manager.loadState();
    QVERIFY(enrolling);
    QVERIFY(!enrolling->enabled);
    QCOMPARE(enrolling->pendingWrappedSecret.size(), std::size_t(61));
    QCOMPARE(enrolling->wrapSalt.size(), std::size_t(16));
    QVERIFY(enrolling->wrappedSecret.empty());
    QVERIFY(!manager.isEnabled());

    // A wrong code, or the right one under another vault key, writes nothing.
    const QString code = codeForStep(*secret, currentStep());
    const QByteArray enrollingFile = test::readWholeFile(statePath());
    QVERIFY(!manager.confirmEnrollment(vaultKey, wrongCode(*secret, currentStep()), 7));
    QVERIFY(!manager.confirmEnrollment(AeadCipher::generateKey(), code, 7));
    QVERIFY(!QFileInfo::exists(manager.transitionPath()));

    const std::optional<SecureBuffer> effective = manager.confirmEnrollment(vaultKey, code, 7);
    QVERIFY(effective);
    QVERIFY(effective->equals(TwoFactorManager::deriveEffectiveKey(vaultKey, *secret)));

    // Confirming writes only the transition: the live file stays as it was until the commit.
    QCOMPARE(test::readWholeFile(statePath()), enrollingFile);
    QVERIFY(!manager.isEnabled());
    QVERIFY(manager.hasPendingTransition());
    const QJsonObject transition = readTransition(manager);
    QCOMPARE(transition.value(QStringLiteral("vaultRekeyed")).toBool(true), false);
    QCOMPARE(transition.value(QStringLiteral("vaultGenerationAtStart")).toString(),
             QStringLiteral("7"));
    QCOMPARE(transition.value(QStringLiteral("enabled")).toBool(), true);
    QCOMPARE(transition.value(QStringLiteral("wrappedSecret")).toString(),
             base64(enrolling->pendingWrappedSecret));
    QCOMPARE(transition.value(QStringLiteral("pendingWrappedSecret")).toString(), QString());
    QCOMPARE(transition.value(QStringLiteral("lastVerifiedCounter")).toInteger(0), qint64(-1));
    QCOMPARE(transition.value(QStringLiteral("wrapSalt")).toString(), base64(enrolling->wrapSalt));

    QVERIFY(manager.commitTransition());
    QVERIFY(manager.isEnabled());
    QVERIFY(!manager.hasPendingTransition());
    QVERIFY(!QFileInfo::exists(manager.transitionPath()));
    const std::optional<SecureBuffer> unwrapped = manager.unwrapSecret(vaultKey);
    QVERIFY(unwrapped && unwrapped->equals(*secret));
    const std::optional<SecureBuffer> fromFile = manager.effectiveVaultKey(vaultKey);
    QVERIFY(fromFile && fromFile->equals(*effective));
    // The enrolment code burned nothing.
    QCOMPARE(manager.loadState()->lastVerifiedCounter, qint64(-1));
}

void TestTwoFactorManager::loginCodesAreSingleUse() {
    TwoFactorManager manager(statePath(), clock_);
    const SecureBuffer vaultKey = AeadCipher::generateKey();
    const std::optional<SecureBuffer> secret = enable(manager, vaultKey);
    QVERIFY(secret);
    const qint64 step = currentStep();

    // The previous step is still inside the window.
    QVERIFY(manager.verifyLoginCode(vaultKey, codeForStep(*secret, step - 1)));
    QVERIFY(manager.verifyLoginCode(vaultKey, codeForStep(*secret, step)));
    QCOMPARE(manager.loadState()->lastVerifiedCounter, step);

    // Refusals write nothing.
    const QByteArray burned = test::readWholeFile(statePath());
    QVERIFY(!manager.verifyLoginCode(vaultKey, codeForStep(*secret, step)));
    QVERIFY(!manager.verifyLoginCode(vaultKey, codeForStep(*secret, step - 1)));
    QVERIFY(!manager.verifyLoginCode(vaultKey, wrongCode(*secret, step)));
    QVERIFY(!manager.verifyLoginCode(vaultKey, codeForStep(*secret, step - 2)));
    QCOMPARE(test::readWholeFile(statePath()), burned);

    clock_.advance(core::kTotpStepSeconds);
    QVERIFY(manager.verifyLoginCode(vaultKey, codeForStep(*secret, step + 1)));
    QCOMPARE(manager.loadState()->lastVerifiedCounter, step + 1);
}

void TestTwoFactorManager::burnedCounterIsSavedBeforeSuccess() {
    KeyringLockingClock clock(clock_, userProtection_);
    TwoFactorManager manager(statePath(), clock);
    const SecureBuffer vaultKey = AeadCipher::generateKey();
    const std::optional<SecureBuffer> secret = enable(manager, vaultKey);
    QVERIFY(secret);
    const QString code = codeForStep(*secret, currentStep());

    clock.armed = true;
    QTest::ignoreMessage(QtWarningMsg,
                         "TwoFactorManager::verifyLoginCode: failed to persist the burned TOTP "
                         "counter -- refusing this login rather than risk the code being "
                         "replayable.");
    QVERIFY(!manager.verifyLoginCode(vaultKey, code));

    clock.armed = false;
    userProtection_.refuse = false;
    QCOMPARE(manager.loadState()->lastVerifiedCounter, qint64(-1));
    // The refused login used nothing up; once the counter can be saved the code works, once.
    QVERIFY(manager.verifyLoginCode(vaultKey, code));
    QVERIFY(!manager.verifyLoginCode(vaultKey, code));
}

void TestTwoFactorManager::effectiveKeyDerivation() {
    const SecureBuffer vaultKey = AeadCipher::generateKey();
    SecureBuffer secret(core::kTotpSecretBytes);
    randombytes_buf(secret.data(), secret.size());

    // Keyed BLAKE2b-256 with the vault key over the label followed by the secret.
    const QByteArray label("zelvora.2fa.vault-key.v1");
    SecureBuffer message(std::size_t(label.size()) + secret.size());
    std::memcpy(message.data(), label.constData(), std::size_t(label.size()));
    std::memcpy(message.data() + label.size(), secret.data(), secret.size());
    SecureBuffer expected(32);
    QCOMPARE(crypto_generichash(expected.data(), expected.size(), message.data(), message.size(),
                                vaultKey.data(), vaultKey.size()),
             0);

    const SecureBuffer effective = TwoFactorManager::deriveEffectiveKey(vaultKey, secret);
    QVERIFY(effective.equals(expected));
    QVERIFY(!effective.equals(vaultKey));
    SecureBuffer otherSecret = secret.clone();
    otherSecret.data()[0] ^= 1;
    QVERIFY(!TwoFactorManager::deriveEffectiveKey(vaultKey, otherSecret).equals(effective));
    QVERIFY(
        !TwoFactorManager::deriveEffectiveKey(AeadCipher::generateKey(), secret).equals(effective));
}

void TestTwoFactorManager::wrongVaultKeyChangesNothing() {
    TwoFactorManager manager(statePath(), clock_);
    const SecureBuffer vaultKey = AeadCipher::generateKey();
    const std::optional<SecureBuffer> secret = enable(manager, vaultKey);
    QVERIFY(secret);
    const QString code = codeForStep(*secret, currentStep());
    const QByteArray before = test::readWholeFile(statePath());

    const SecureBuffer otherKey = AeadCipher::generateKey();
    const SecureBuffer shortKey = SecureBuffer::copyOf(vaultKey.data(), 16);
    // A key of the wrong length is a failure like any other, not an exception.
    for (const SecureBuffer* key : {&otherKey, &shortKey}) {
        QVERIFY(!manager.unwrapSecret(*key));
        QVERIFY(!manager.effectiveVaultKey(*key));
        QVERIFY(!manager.verifyLoginCode(*key, code));
    }
    QVERIFY(!manager.restoreFromSecret(shortKey, *secret));
    QCOMPARE(test::readWholeFile(statePath()), before);
    // The code those attempts carried was not burned.
    QVERIFY(manager.verifyLoginCode(vaultKey, code));
}

void TestTwoFactorManager::unverifiableStateFailsClosed() {
    TwoFactorManager manager(statePath(), clock_);
    const SecureBuffer vaultKey = AeadCipher::generateKey();
    const std::optional<SecureBuffer> secret = enable(manager, vaultKey);
    QVERIFY(secret);
    QVERIFY(test::flipByte(statePath(), QFileInfo(statePath()).size() - 2));

    QVERIFY(!manager.loadState());
    QVERIFY(!manager.isEnabled());
    QVERIFY(!manager.unwrapSecret(vaultKey));
    QVERIFY(!manager.verifyLoginCode(vaultKey, codeForStep(*secret, currentStep())));
    QVERIFY(manager.currentWrapSalt().empty());
    QVERIFY(!manager.replaceWrappedSecret(
        TwoFactorManager::wrapSecretForKey(vaultKey, *secret, crypto::Bytes(16, 0))));
}

void TestTwoFactorManager::enrolmentCannotReplaceEnabledSecret() {
    TwoFactorManager manager(statePath(), clock_);
    const SecureBuffer vaultKey = AeadCipher::generateKey();

    // An enrolment in progress is cancelled back to the blank state.
    QVERIFY(manager.beginEnrollment(vaultKey, kAccount, kIssuer));
    QVERIFY(manager.cancelEnrollment());
    const std::optional<TwoFactorState> blank = manager.loadState();
    QVERIFY(blank);
    QVERIFY(!blank->enabled && blank->wrappedSecret.empty() &&
            blank->pendingWrappedSecret.empty() && blank->wrapSalt.empty());
    QCOMPARE(blank->lastVerifiedCounter, qint64(-1));

    // Once it is on, the vault is keyed with the secret: neither a new enrolment (new salt) nor
    // a cancel (blank file) may orphan it.
    const std::optional<SecureBuffer> secret = enable(manager, vaultKey);
    QVERIFY(secret);
    const QByteArray enabled = test::readWholeFile(statePath());
    QVERIFY(!manager.beginEnrollment(vaultKey, kAccount, kIssuer));
    QVERIFY(!manager.cancelEnrollment());
    QCOMPARE(test::readWholeFile(statePath()), enabled);
    const std::optional<SecureBuffer> unwrapped = manager.unwrapSecret(vaultKey);
    QVERIFY(unwrapped && unwrapped->equals(*secret));
}

void TestTwoFactorManager::disableKeepsSealedSecret() {
    TwoFactorManager manager(statePath(), clock_);
    const SecureBuffer vaultKey = AeadCipher::generateKey();
    const std::optional<SecureBuffer> secret = enable(manager, vaultKey);
    QVERIFY(secret);
    QVERIFY(manager.verifyLoginCode(vaultKey, codeForStep(*secret, currentStep())));
    const TwoFactorState on = *manager.loadState();
    const QByteArray onFile = test::readWholeFile(statePath());

    QVERIFY(manager.beginDisable(12));
    QCOMPARE(test::readWholeFile(statePath()), onFile);
    QVERIFY(manager.isEnabled());
    QCOMPARE(readTransition(manager).value(QStringLiteral("vaultGenerationAtStart")).toString(),
             QStringLiteral("12"));

    QVERIFY(manager.commitTransition());
    QVERIFY(!manager.hasPendingTransition());
    QVERIFY(!QFileInfo::exists(manager.transitionPath()));
    const std::optional<TwoFactorState> off = manager.loadState();
    QVERIFY(off);
    QVERIFY(!off->enabled);
    QVERIFY(off->wrappedSecret == on.wrappedSecret);
    QVERIFY(off->wrapSalt == on.wrapSalt);
    QCOMPARE(off->lastVerifiedCounter, on.lastVerifiedCounter);
    QVERIFY(!manager.unwrapSecret(vaultKey));
    QVERIFY(!manager.verifyLoginCode(vaultKey, codeForStep(*secret, currentStep() + 1)));
}

void TestTwoFactorManager::abandonLeavesStateAsBefore_data() {
    QTest::addColumn<bool>("disabling");
    QTest::newRow("enabling") << false;
    QTest::newRow("disabling") << true;
}

void TestTwoFactorManager::abandonLeavesStateAsBefore() {
    QFETCH(bool, disabling);
    TwoFactorManager manager(statePath(), clock_);
    const SecureBuffer vaultKey = AeadCipher::generateKey();
    std::optional<SecureBuffer> secret;
    if (disabling) {
        secret = enable(manager, vaultKey);
        QVERIFY(secret);
        QVERIFY(manager.beginDisable(3));
    } else {
        const std::optional<QString> uri = manager.beginEnrollment(vaultKey, kAccount, kIssuer);
        QVERIFY(uri);
        secret = secretFromUri(*uri);
        QVERIFY(secret);
        QVERIFY(manager.confirmEnrollment(vaultKey, codeForStep(*secret, currentStep()), 3));
    }
    QVERIFY(manager.hasPendingTransition());
    const QByteArray before = test::readWholeFile(statePath());

    manager.abandonTransition();
    QVERIFY(!manager.hasPendingTransition());
    QVERIFY(!QFileInfo::exists(manager.transitionPath()));
    QCOMPARE(test::readWholeFile(statePath()), before);
    QCOMPARE(manager.isEnabled(), disabling);
    // Abandoning twice is harmless.
    manager.abandonTransition();
    // An abandoned enabling leaves the enrolment open: it can still be confirmed.
    if (!disabling)
        QVERIFY(manager.confirmEnrollment(vaultKey, codeForStep(*secret, currentStep()), 3));
}

void TestTwoFactorManager::transitionVaultRekeyed_data() {
    QTest::addColumn<bool>("marked");
    QTest::addColumn<quint64>("start");
    QTest::addColumn<bool>("generationKnown");
    QTest::addColumn<quint64>("current");
    QTest::addColumn<int>("rekeyed");
    const quint64 top = std::numeric_limits<quint64>::max();

    using core::RekeyEvidence;
    // Without the mark, only a generation that can be read decides; one below the start is
    // another vault (or an older copy) and decides nothing.
    QTest::newRow("unmarked, generation unknown")
        << false << quint64(5) << false << quint64(0) << int(RekeyEvidence::Unknown);
    QTest::newRow("unmarked, generation unchanged")
        << false << quint64(5) << true << quint64(5) << int(RekeyEvidence::NotRekeyed);
    QTest::newRow("unmarked, generation lower")
        << false << quint64(5) << true << quint64(4) << int(RekeyEvidence::Unknown);
    QTest::newRow("unmarked, generation advanced")
        << false << quint64(5) << true << quint64(6) << int(RekeyEvidence::Rekeyed);
    QTest::newRow("marked, generation unknown")
        << true << quint64(5) << false << quint64(0) << int(RekeyEvidence::Rekeyed);
    QTest::newRow("marked, generation unchanged")
        << true << quint64(5) << true << quint64(5) << int(RekeyEvidence::Rekeyed);
    // Beyond 2^53 only exact decimal text tells these apart.
    QTest::newRow("64-bit generation advanced")
        << false << top - 1 << true << top << int(RekeyEvidence::Rekeyed);
    QTest::newRow("64-bit generation unchanged")
        << false << top - 1 << true << top - 1 << int(RekeyEvidence::NotRekeyed);
}

void TestTwoFactorManager::transitionVaultRekeyed() {
    QFETCH(bool, marked);
    QFETCH(quint64, start);
    QFETCH(bool, generationKnown);
    QFETCH(quint64, current);
    QFETCH(int, rekeyed);
    const std::optional<quint64> generation =
        generationKnown ? std::optional<quint64>(current) : std::nullopt;
    TwoFactorManager manager(statePath(), clock_);

    // Without a transition there is nothing to call re-keyed, and nothing to mark.
    QCOMPARE(manager.transitionVaultRekeyed(start + 1), core::RekeyEvidence::Unknown);
    QVERIFY(!manager.markTransitionVaultRekeyed());

    QVERIFY(manager.beginDisable(start));
    QCOMPARE(readTransition(manager).value(QStringLiteral("vaultGenerationAtStart")).toString(),
             QString::number(start));
    if (marked)
        QVERIFY(manager.markTransitionVaultRekeyed());
    QCOMPARE(int(manager.transitionVaultRekeyed(generation)), rekeyed);
}

void TestTwoFactorManager::transitionThatCannotBeErasedIsNotLeftPending_data() {
    QTest::addColumn<bool>("commit");
    QTest::addColumn<QString>("message");
    QTest::newRow("commit") << true
                            << QStringLiteral("TwoFactorManager: failed to securely erase the "
                                              "completed transition file at %1 -- the wrapped "
                                              "two-factor secret it held may still be recoverable "
                                              "from disk.");
    QTest::newRow("abandon") << false
                             << QStringLiteral("TwoFactorManager: failed to securely erase the "
                                               "abandoned transition file at %1 -- the wrapped "
                                               "two-factor secret it held may still be recoverable "
                                               "from disk.");
}

void TestTwoFactorManager::transitionThatCannotBeErasedIsNotLeftPending() {
    QFETCH(bool, commit);
    QFETCH(QString, message);
    TwoFactorManager manager(statePath(), clock_);
    const SecureBuffer vaultKey = AeadCipher::generateKey();
    const std::optional<QString> uri = manager.beginEnrollment(vaultKey, kAccount, kIssuer);
    QVERIFY(uri);
    const std::optional<SecureBuffer> secret = secretFromUri(*uri);
    QVERIFY(secret);
    QVERIFY(manager.confirmEnrollment(vaultKey, codeForStep(*secret, currentStep()), 9));

    // A file-size limit just below the transition's size cuts the erase's overwrite short (the
    // new, shorter twofactor.dat still fits), while the transition still reads.
    QVERIFY(manager.hasPendingTransition());
    const qint64 transitionSize = QFileInfo(manager.transitionPath()).size();
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
    rlimit limited = saved;
    limited.rlim_cur = rlim_t(transitionSize - 1);
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &limited) == 0);
    QTest::ignoreMessage(QtWarningMsg, qPrintable(message.arg(manager.transitionPath())));
    bool committed = false;
    if (commit)
        committed = manager.commitTransition();
    else
        manager.abandonTransition();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    QCOMPARE(committed, commit);
    QCOMPARE(manager.isEnabled(), commit);

    // Left on disk, the next start would find the generation advanced by later use of the vault
    // and commit it again, whatever happened in between.
    QVERIFY(!manager.hasPendingTransition());
    QVERIFY(!manager.transitionFileExists());
}

void TestTwoFactorManager::passwordChangeReseal() {
    TwoFactorManager manager(statePath(), clock_);
    const SecureBuffer vaultKey = AeadCipher::generateKey();
    const SecureBuffer newVaultKey = AeadCipher::generateKey();

    // Not enabled (enrolling): nothing to replace.
    const std::optional<QString> uri = manager.beginEnrollment(vaultKey, kAccount, kIssuer);
    QVERIFY(uri);
    const QByteArray enrolling = test::readWholeFile(statePath());
    QVERIFY(!manager.replaceWrappedSecret(TwoFactorManager::wrapSecretForKey(
        newVaultKey, *secretFromUri(*uri), manager.currentWrapSalt())));
    QCOMPARE(test::readWholeFile(statePath()), enrolling);
    QVERIFY(manager.cancelEnrollment());

    const std::optional<SecureBuffer> secret = enable(manager, vaultKey);
    QVERIFY(secret);
    const crypto::Bytes salt = manager.currentWrapSalt();
    QCOMPARE(salt.size(), std::size_t(16));
    QVERIFY(manager.replaceWrappedSecret(
        TwoFactorManager::wrapSecretForKey(newVaultKey, *secret, salt)));

    const std::optional<SecureBuffer> unwrapped = manager.unwrapSecret(newVaultKey);
    QVERIFY(unwrapped && unwrapped->equals(*secret));
    QVERIFY(!manager.unwrapSecret(vaultKey));
    QVERIFY(manager.verifyLoginCode(newVaultKey, codeForStep(*secret, currentStep())));
}

void TestTwoFactorManager::restoreFromSecret() {
    TwoFactorManager manager(statePath(), clock_);
    const SecureBuffer vaultKey = AeadCipher::generateKey();
    const std::optional<SecureBuffer> secret = enable(manager, vaultKey);
    QVERIFY(secret);
    const QString code = codeForStep(*secret, currentStep());
    QVERIFY(manager.verifyLoginCode(vaultKey, code));
    const crypto::Bytes oldSalt = manager.currentWrapSalt();

    // The user types the secret back in, as the restore flow would hand it over.
    QString typed = crypto::encodeBase32({secret->data(), secret->size()}).toLower();
    const std::optional<SecureBuffer> restoredSecret = crypto::decodeBase32(typed);
    crypto::secureWipe(typed);
    QVERIFY(restoredSecret);
    const SecureBuffer newVaultKey = AeadCipher::generateKey();
    QVERIFY(!manager.restoreFromSecret(newVaultKey, SecureBuffer()));
    QVERIFY(manager.restoreFromSecret(newVaultKey, *restoredSecret));

    const std::optional<TwoFactorState> state = manager.loadState();
    QVERIFY(state);
    QVERIFY(state->enabled);
    QVERIFY(state->pendingWrappedSecret.empty());
    QCOMPARE(state->lastVerifiedCounter, qint64(-1));
    QCOMPARE(state->wrapSalt.size(), std::size_t(16));
    QVERIFY(state->wrapSalt != oldSalt);
    const std::optional<SecureBuffer> unwrapped = manager.unwrapSecret(newVaultKey);
    QVERIFY(unwrapped && unwrapped->equals(*secret));
    // A fresh state: the counter starts over.
    QVERIFY(manager.verifyLoginCode(newVaultKey, code));
}

QTEST_GUILESS_MAIN(TestTwoFactorManager)
#include "tst_twofactormanager.moc"
