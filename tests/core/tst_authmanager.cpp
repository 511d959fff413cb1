#include "core/AuthManager.h"
#include "crypto/AeadCipher.h"
#include "crypto/PasswordHasher.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/ProtectedFile.h"
#include "support/ManualClock.h"
#include "support/PlatformDoubles.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <functional>

using namespace korvex;
using core::AuthManager;
using core::LoginFailureReason;

namespace {

const std::string kPassword = "Correct-Horse-9";
const QString kVaultId = QStringLiteral("5c02c1aa-4212-41ea-b287-e0ddfc05c038");

} // namespace

// Every login costs two Argon2id runs at full strength, so the cases share accounts where
// they can.
class AuthManagerTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    test::FakeSealedKeyStore tpm_;
    test::FakeUserDataProtection user_;
    test::ManualClock clock_;
    QString folder_;
    std::shared_ptr<core::LockoutFloorStore> floor_;

    QString identity() const { return folder_ + QStringLiteral("/identity.dat"); }
    std::unique_ptr<AuthManager> manager() {
        return std::make_unique<AuthManager>(identity(), clock_, floor_);
    }
    void newFolder(const char* name) {
        folder_ = dir_.filePath(QString::fromLatin1(name));
        QVERIFY(QDir().mkpath(folder_));
        floor_ = core::createSettingsFloorStore(folder_ + QStringLiteral("/../floor-") +
                                                QString::fromLatin1(name) + QStringLiteral(".ini"));
    }
    // An identity.dat whose JSON the test rewrites under the file's own key, so it verifies.
    void rewriteIdentity(const std::function<void(QJsonObject&)>& change) {
        protect::ProtectedReadResult read =
            protect::readProtectedFile(identity(), protect::EnvelopeKind::Authenticated);
        QVERIFY(read.ok());
        change(read.object);
        QVERIFY(protect::writeProtectedFile(identity(), read.object,
                                            protect::EnvelopeKind::Authenticated));
    }

private Q_SLOTS:
    void init() {
        QVERIFY(dir_.isValid());
        tpm_.mode = test::FakeSealedKeyStore::Mode::Works;
        tpm_.reset();
        protect::setLocalProtectionServices(&tpm_, &user_);
        protect::LocalIntegrityKey::clearRootCache();
    }
    void cleanupTestCase() { protect::setLocalProtectionServices(nullptr, nullptr); }

    void accountCreationAndVaultBinding() {
        newFolder("binding");
        auto auth = manager();
        QVERIFY(!auth->identityExists());
        QVERIFY(!auth->createAccount(QStringLiteral("ada"), "short")); // policy, no Argon2 run
        QVERIFY(!QFile::exists(identity()));

        const std::optional<crypto::SecureBuffer> vaultKey =
            auth->createAccount(QStringLiteral("ada"), kPassword);
        QVERIFY(vaultKey && vaultKey->size() == 32);
        QCOMPARE(auth->username(), QStringLiteral("ada"));
        QVERIFY(!QFile::exists(identity() + QStringLiteral(".oldcopy")));
        const QByteArray created = test::readWholeFile(identity());
        QVERIFY(!auth->createAccount(QStringLiteral("eve"), kPassword));
        QCOMPARE(test::readWholeFile(identity()), created);

        // Bound to the vault, the key opens only with that vault's id.
        QVERIFY(auth->bindVaultId(*vaultKey, kVaultId));
        QVERIFY(!QFile::exists(identity() + QStringLiteral(".oldcopy")));
        auth->forgetSessionKey();
        QVERIFY(!auth->bindVaultId(*vaultKey, kVaultId)); // no session key held any more

        auto fresh = manager();
        LoginFailureReason reason = LoginFailureReason::LockedOut;
        QString recovered;
        auto key = fresh->login(kPassword, true, kVaultId, &recovered, &reason);
        QVERIFY(key && key->equals(*vaultKey));
        QCOMPARE(reason, LoginFailureReason::LockedOut); // untouched on success
        QVERIFY(recovered.isEmpty());

        // One damaged character is repaired and reported; two are not; an empty id is not
        // repaired at all.
        QString damaged = kVaultId;
        damaged[7] = QLatin1Char('0');
        key = fresh->login(kPassword, true, damaged, &recovered, &reason);
        QVERIFY(key && key->equals(*vaultKey));
        QCOMPARE(recovered, kVaultId);
        damaged[20] = QLatin1Char('f');
        QVERIFY(!fresh->login(kPassword, true, damaged, nullptr, &reason));
        QCOMPARE(reason, LoginFailureReason::VaultKeyUnwrapFailed);
        QVERIFY(!fresh->login(kPassword, true, QString(), nullptr, &reason));
        QCOMPARE(reason, LoginFailureReason::VaultKeyUnwrapFailed);
        QCOMPARE(fresh->lockoutSecondsRemaining(), 0);

        // A direct re-wrap puts another key under another password in one save.
        const crypto::SecureBuffer replacement = crypto::AeadCipher::generateKey();
        QVERIFY(!fresh->rewrapVaultKey(replacement, "weak", kVaultId));
        QVERIFY(fresh->rewrapVaultKey(replacement, "Another-Secret-7", kVaultId));
        QVERIFY(!fresh->verifyPasswordAndGenerateKey(kPassword));
        key = fresh->login("Another-Secret-7", true, kVaultId, nullptr, &reason);
        QVERIFY(key && key->equals(replacement));
    }

    void wrongPasswordsCountAndLockOut() {
        newFolder("lockout");
        auto auth = manager();
        QVERIFY(auth->createAccount(QStringLiteral("ada"), kPassword));
        LoginFailureReason reason = LoginFailureReason::LockedOut;
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(QStringLiteral(
                "^AuthManager::login: password did not verify\\. identity\\.dat last modified "
                "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ, size \\d+ bytes\\.$")));
        QVERIFY(!auth->login("Wrong-Horse-99", true, QString(), nullptr, &reason));
        QCOMPARE(reason, LoginFailureReason::WrongPassword);
        // verifying for a password change counts nothing
        QVERIFY(!auth->verifyPasswordAndGenerateKey("Wrong-Horse-99"));
        QVERIFY(auth->verifyPasswordAndGenerateKey(kPassword));

        for (int i = 0; i < 5; ++i)
            QVERIFY(auth->recordFailedAttempt());
        QCOMPARE(auth->lockoutSecondsRemaining(), 2);
        const QByteArray lockoutFile = test::readWholeFile(identity() + QStringLiteral(".lockout"));
        QVERIFY(!auth->login(kPassword, true, QString(), nullptr, &reason));
        QCOMPARE(reason, LoginFailureReason::LockedOut);
        QCOMPARE(test::readWholeFile(identity() + QStringLiteral(".lockout")), lockoutFile);

        // Once the cooldown is over the right password gets in and clears the count.
        clock_.advance(3);
        QVERIFY(auth->login(kPassword, true, QString(), nullptr, &reason));
        QCOMPARE(auth->lockoutSecondsRemaining(), 0);
        for (int i = 0; i < 5; ++i)
            QVERIFY(auth->recordFailedAttempt());
        QCOMPARE(auth->lockoutSecondsRemaining(), 0);
    }

    // The session is wiped while the password is being worked out (the window keeps handling
    // events meanwhile): the sign-in fails as interrupted, holds no key afterwards, and counts
    // no failed attempt. A sign-in that is left alone then works.
    void aWipeDuringSignInDropsItsKeys() {
        newFolder("wiped-while-signing-in");
        auto auth = manager();
        const std::optional<crypto::SecureBuffer> vaultKey =
            auth->createAccount(QStringLiteral("ada"), kPassword);
        QVERIFY(vaultKey);
        auth->forgetSessionKey();
        const QByteArray lockoutBefore =
            test::readWholeFile(identity() + QStringLiteral(".lockout"));
        LoginFailureReason reason = LoginFailureReason::WrongPassword;
        {
            const crypto::PasswordHasher::WaitScope wipeMeanwhile(
                [&](const std::function<bool()>& finished) {
                    auth->forgetSessionKey();
                    while (!finished())
                        QThread::msleep(5);
                });
            QTest::ignoreMessage(QtWarningMsg,
                                 "AuthManager::login: the session was wiped while signing in; the "
                                 "keys were dropped.");
            QVERIFY(!auth->login(kPassword, true, QString(), nullptr, &reason));
        }
        QCOMPARE(reason, LoginFailureReason::Interrupted);
        QVERIFY(!auth->bindVaultId(*vaultKey, QStringLiteral("vault-id")));
        QCOMPARE(test::readWholeFile(identity() + QStringLiteral(".lockout")), lockoutBefore);
        QCOMPARE(auth->lockoutSecondsRemaining(), 0);

        const std::optional<crypto::SecureBuffer> again =
            auth->login(kPassword, true, QString(), nullptr, &reason);
        QVERIFY(again);
        QCOMPARE(test::bytesOf(*again), test::bytesOf(*vaultKey));
    }

    void anAttemptThatCannotBeSavedIsSaidSo() {
        newFolder("unrecorded");
        auto auth = manager();
        QVERIFY(auth->createAccount(QStringLiteral("ada"), kPassword));
        // A folder stands where the lockout file must be written.
        QVERIFY(QDir().mkpath(identity() + QStringLiteral(".lockout/blocker")));
        LoginFailureReason reason = LoginFailureReason::LockedOut;
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("password did not verify")));
        QVERIFY(!auth->login("Wrong-Horse-99", true, QString(), nullptr, &reason));
        QCOMPARE(reason, LoginFailureReason::WrongPasswordNotRecorded);
    }

    void unreadableIdentitiesSayWhy() {
        newFolder("reasons");
        QVERIFY(manager()->createAccount(QStringLiteral("ada"), kPassword));
        const QByteArray good = test::readWholeFile(identity());
        LoginFailureReason reason = LoginFailureReason::WrongPassword;
        auto expect = [&](LoginFailureReason expected) {
            reason = LoginFailureReason::WrongPassword;
            QVERIFY(!manager()->login(kPassword, true, QString(), nullptr, &reason));
            QCOMPARE(reason, expected);
        };

        QVERIFY(QFile::rename(identity(), identity() + QStringLiteral(".moved")));
        expect(LoginFailureReason::IdentityUnreadable);
        QVERIFY(QFile::rename(identity() + QStringLiteral(".moved"), identity()));

        QVERIFY(test::flipByte(identity(), 20)); // a tag byte
        expect(LoginFailureReason::IdentityCorrupt);
        QVERIFY(test::writeFile(identity(), good));

        rewriteIdentity([](QJsonObject& o) { o.remove(QStringLiteral("wrappedVaultKey")); });
        expect(LoginFailureReason::IdentityCorrupt);
        QVERIFY(test::writeFile(identity(), good));

        // The TPM was cleared: the key of the file is gone.
        protect::LocalIntegrityKey::clearRootCache();
        tpm_.mode = test::FakeSealedKeyStore::Mode::Cancels;
        expect(LoginFailureReason::SecurityPromptCancelled);
        // The user tries again (Unlock), so the prompt may ask once more.
        protect::LocalIntegrityKey::allowPromptsAgain();
        tpm_.mode = test::FakeSealedKeyStore::Mode::Works;
        tpm_.reset();
        expect(LoginFailureReason::HardwareKeyUnavailable);

        // A key file of the retired format.
        QVERIFY(test::writeFile(identity() + QStringLiteral(".key"),
                                QByteArray("KVXTPMK1") + QByteArray(256, 'k')));
        expect(LoginFailureReason::IdentityLegacyFormat);
    }

    void aDamagedSaltIsCorruptNotACrash() {
        newFolder("salt");
        QVERIFY(manager()->createAccount(QStringLiteral("ada"), kPassword));
        rewriteIdentity([](QJsonObject& o) {
            o.insert(QStringLiteral("keySalt"),
                     QString::fromLatin1(QByteArray(15, 's').toBase64()));
        });
        LoginFailureReason reason = LoginFailureReason::WrongPassword;
        QVERIFY(!manager()->login(kPassword, true, QString(), nullptr, &reason));
        QCOMPARE(reason, LoginFailureReason::IdentityCorrupt);
    }

    void anInterruptedSaveKeepsTheAccount() {
        newFolder("interrupted");
        const auto vaultKey = manager()->createAccount(QStringLiteral("ada"), kPassword);
        QVERIFY(vaultKey);
        // A save was cut off after moving the old identity aside.
        QVERIFY(QFile::rename(identity(), identity() + QStringLiteral(".oldcopy")));
        auto auth = manager();
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("restored the identity")));
        QVERIFY(auth->identityExists());
        QVERIFY(!auth->createAccount(QStringLiteral("eve"), kPassword));
        const auto key = auth->login(kPassword, true, QString(), nullptr, nullptr);
        QVERIFY(key && key->equals(*vaultKey));
        QVERIFY(!QFile::exists(identity() + QStringLiteral(".oldcopy")));
    }
};

QTEST_GUILESS_MAIN(AuthManagerTest)
#include "tst_authmanager.moc"
