// The per-user protection of the settings keys is chosen once per data folder and kept: a
// keyring that is missing at a later start is reported as missing (never as a corrupt account,
// and never answered by keys of another kind), and a dismissed unlock prompt is a cancelled
// prompt, not a failed sign-in. Runs against a real gnome-keyring on a private session bus.

#include "app/DataFolder.h"
#include "core/AuthManager.h"
#include "platform/PrivateSessionBus.h"
#include "platform/SealedKeyStore.h"
#include "platform/SecretServiceProtection.h"
#include "platform/UserKeyFileProtection.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/ProtectedFile.h"
#include "protect/UserProtectionChoice.h"
#include "support/TestSupport.h"
#include "ui/LoginDialog.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using namespace korvex;
using platform::UserProtectionKind;
using test::PrivateSessionBus;

namespace {

const std::string kPassword = "Keyring-Test-Passw0rd!";

QStringList filesIn(const QString& folder) {
    QStringList names;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        names << it.next();
    names.sort();
    return names;
}

} // namespace

class KeyringProtectionTest : public QObject {
    Q_OBJECT

    PrivateSessionBus session_;
    QTemporaryDir dir_;
    platform::NoSealedKeyStore noTpm_;
    std::unique_ptr<platform::IUserDataProtection> protection_;
    QString account_; // data folder of the account made with the keyring

    QString userKeyFile() const { return dir_.filePath(QStringLiteral("config/user.key")); }
    QString folder(const char* name) const { return dir_.filePath(QString::fromLatin1(name)); }

    // The program's own choice for folder, with the user key file kept in the test's folder.
    std::unique_ptr<platform::IUserDataProtection> select(const QString& folder,
                                                          bool keyringThere = true) {
        return protect::selectUserProtection(
            folder, [keyringThere] { return keyringThere; },
            [this](UserProtectionKind kind) -> std::unique_ptr<platform::IUserDataProtection> {
                if (kind == UserProtectionKind::Keyring)
                    return std::make_unique<platform::SecretServiceUserDataProtection>(
                        std::chrono::seconds(20));
                return std::make_unique<platform::UserKeyFileDataProtection>(userKeyFile());
            });
    }
    void install(std::unique_ptr<platform::IUserDataProtection> protection) {
        protect::LocalIntegrityKey::clearRootCache();
        protection_ = std::move(protection);
        protect::setLocalProtectionServices(&noTpm_, protection_.get());
    }
    static bool writeSettings(const QString& folder) {
        return protect::writeProtectedFile(folder + QStringLiteral("/idlelock.dat"),
                                           QJsonObject{{QStringLiteral("minutes"), 5}},
                                           protect::EnvelopeKind::Authenticated);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(session_.start(PrivateSessionBus::Keyring::Unlocked),
                 "could not start a private session bus with gnome-keyring");
        QVERIFY(dir_.isValid());
    }
    void cleanupTestCase() { protect::setLocalProtectionServices(nullptr, nullptr); }

    // The first use picks a kind for this run; it is recorded once a key of it exists, and
    // kept from then on, keyring or not.
    void theChoiceIsRecordedOnceAKeyExists() {
        const QString withKeyring = folder("first-with-keyring");
        const QString withoutKeyring = folder("first-without-keyring");
        for (const bool keyringThere : {true, false}) {
            const QString data = keyringThere ? withKeyring : withoutKeyring;
            const auto kind =
                keyringThere ? UserProtectionKind::Keyring : UserProtectionKind::UserKeyFile;
            install(select(data, keyringThere));
            QCOMPARE(protection_->kind(), kind);
            QVERIFY(!protect::recordedUserProtection(data));
            QVERIFY(writeSettings(data));
            QCOMPARE(select(data, true)->kind(), kind);
            QCOMPARE(protect::recordedUserProtection(data), kind);
            QCOMPARE(select(data, !keyringThere)->kind(), kind);
        }
    }

    // Keys written before the choice was recorded belong to the kind that opens them, whatever
    // is available at this start.
    void existingKeysKeepTheirKind_data() {
        QTest::addColumn<int>("madeWith");
        QTest::newRow("key file") << int(UserProtectionKind::UserKeyFile);
        QTest::newRow("keyring") << int(UserProtectionKind::Keyring);
    }
    void existingKeysKeepTheirKind() {
        QFETCH(int, madeWith);
        const auto kind = UserProtectionKind(madeWith);
        const QString data =
            folder(kind == UserProtectionKind::Keyring ? "old-keyring" : "old-keyfile");
        QVERIFY(QDir().mkpath(data));
        install(kind == UserProtectionKind::Keyring
                    ? std::unique_ptr<platform::IUserDataProtection>(
                          std::make_unique<platform::SecretServiceUserDataProtection>())
                    : std::make_unique<platform::UserKeyFileDataProtection>(userKeyFile()));
        QVERIFY(writeSettings(data));
        QVERIFY(!protect::recordedUserProtection(data));

        QCOMPARE(select(data)->kind(), kind);
        QCOMPARE(protect::recordedUserProtection(data), kind);
    }

    void anAccountProtectedByTheKeyring() {
        account_ = folder("account");
        install(select(account_));
        QCOMPARE(protection_->kind(), UserProtectionKind::Keyring);
        core::AuthManager auth(account_ + QStringLiteral("/identity.dat"));
        QVERIFY(auth.createAccount(QStringLiteral("ada"), kPassword));
        auth.resetFailedAttempts();
        QCOMPARE(auth.lockoutSecondsRemaining(), 0);
        // The next start records the kind its keys are of.
        QCOMPARE(select(account_)->kind(), UserProtectionKind::Keyring);
        QCOMPARE(protect::recordedUserProtection(account_), UserProtectionKind::Keyring);
    }

    // The keyring locked, its unlock prompt dismissed (here it cannot even be shown): the key
    // is not there this time. That is the user's answer, not a wrong password and not damage.
    void aDismissedUnlockPromptIsACancelledPrompt() {
        QVERIFY(!account_.isEmpty());
        QVERIFY(PrivateSessionBus::lockDefaultCollection());
        install(select(account_));
        core::AuthManager auth(account_ + QStringLiteral("/identity.dat"));
        core::LoginFailureReason reason = core::LoginFailureReason::WrongPassword;
        QVERIFY(!auth.login(kPassword, true, QString(), nullptr, &reason));
        QCOMPARE(reason, core::LoginFailureReason::SecurityPromptCancelled);
        // Nothing was charged: the next attempt is not held back.
        QCOMPARE(auth.lockoutSecondsRemaining(), 0);
        QVERIFY(!auth.login(kPassword, true, QString(), nullptr, &reason));
        QCOMPARE(reason, core::LoginFailureReason::SecurityPromptCancelled);
        QCOMPARE(auth.lockoutSecondsRemaining(), 0);
        QCOMPARE(protect::readProtectedFile(account_ + QStringLiteral("/identity.dat"),
                                            protect::EnvelopeKind::Authenticated)
                     .status,
                 protect::ProtectedReadStatus::KeyUnavailable);
    }

    // No keyring at this start (another desktop, a remote shell): the account says so, and no
    // key of another kind appears beside the existing ones.
    void aKeyringThatIsGoneIsReportedAsGone() {
        QVERIFY(!account_.isEmpty());
        session_.stop();
        QVERIFY(!platform::SecretServiceUserDataProtection::isAvailable());
        const QStringList before = filesIn(account_);
        const QByteArray userKeyBefore = test::readWholeFile(userKeyFile());

        install(select(account_, platform::SecretServiceUserDataProtection::isAvailable()));
        QCOMPARE(protection_->kind(), UserProtectionKind::Keyring);
        // Without the record (an older version's folder) the keys are still told to be the
        // keyring's: the user's key file loads, but does not open them.
        const QString unrecorded = folder("account-unrecorded");
        QVERIFY(QDir().mkpath(unrecorded));
        for (const QString& path : before) {
            if (!path.endsWith(QStringLiteral("key_protection.txt")) &&
                QFileInfo(path).absolutePath() == account_)
                QVERIFY(
                    QFile::copy(path, unrecorded + QLatin1Char('/') + QFileInfo(path).fileName()));
        }
        QCOMPARE(select(unrecorded, false)->kind(), UserProtectionKind::Keyring);
        QVERIFY(!protect::recordedUserProtection(unrecorded));
        core::AuthManager auth(account_ + QStringLiteral("/identity.dat"));
        core::LoginFailureReason reason = core::LoginFailureReason::WrongPassword;
        QVERIFY(!auth.login(kPassword, true, QString(), nullptr, &reason));
        QCOMPARE(reason, core::LoginFailureReason::ProtectionUnavailable);
        QVERIFY(ui::loginFailureMessage(reason).startsWith(
            QStringLiteral("The desktop keyring that protects Zelvora's settings is not "
                           "available")));
        QCOMPARE(auth.lockoutSecondsRemaining(), 0);
        QVERIFY(app::storageConfigRefusalMessage(account_ + QStringLiteral("/identity.dat.key"))
                    .startsWith(QStringLiteral("The desktop keyring that protects Zelvora's "
                                               "settings is not available")));

        // A new settings file cannot be written without its kind of key, and nothing else is
        // made in its place.
        QVERIFY(!writeSettings(account_));
        QCOMPARE(filesIn(account_), before);
        QCOMPARE(test::readWholeFile(userKeyFile()), userKeyBefore);
    }
};

QTEST_MAIN(KeyringProtectionTest)
#include "tst_keyringprotection.moc"
