#include "app/KeyTransitionRecovery.h"
#include "core/AuthManager.h"
#include "core/StorageConfigFile.h"
#include "core/Totp.h"
#include "core/TwoFactorManager.h"
#include "crypto/AeadCipher.h"
#include "crypto/Base32.h"
#include "protect/LocalIntegrityKey.h"
#include "support/ManualClock.h"
#include "support/PlatformDoubles.h"
#include "support/TestSupport.h"
#include "vault/FileBlockStore.h"
#include "vault/VaultContainer.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace korvex;
using crypto::SecureBuffer;

namespace {

const std::string kOldPassword = "Old-Password-1";
const std::string kNewPassword = "New-Password-2";
const QString kMachine = QStringLiteral("machine-under-test");
const QByteArray kContent("the only document");

using Snapshot = QMap<QString, QByteArray>;

} // namespace

// Runs each key change step by step, takes the data folder as a crash at that point would
// leave it, and checks that start-up recovery leaves exactly one working way into the vault:
// the old one before the re-key committed, the new one after.
class KeyTransitionRecoveryTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    QString folder_;
    test::FakeSealedKeyStore tpm_;
    test::FakeUserDataProtection user_;
    test::ManualClock clock_;
    std::shared_ptr<core::LockoutFloorStore> floor_;

    QString vaultPath() const { return folder_ + QStringLiteral("/vault.kvxs"); }
    std::unique_ptr<core::AuthManager> auth() {
        return std::make_unique<core::AuthManager>(folder_ + QStringLiteral("/identity.dat"), clock_, floor_);
    }
    core::TwoFactorManager twoFactor() { return core::TwoFactorManager(folder_ + QStringLiteral("/twofactor.dat"), clock_); }
    core::StorageConfigFile storage() {
        return core::StorageConfigFile(folder_ + QStringLiteral("/storage.dat"), kMachine, 0);
    }
    std::unique_ptr<vault::VaultContainer> openVault(const SecureBuffer& key) {
        return vault::VaultContainer::open(std::make_unique<vault::FileBlockStore>(vaultPath()), key, kMachine);
    }

    Snapshot snapshot() const {
        Snapshot files;
        QDirIterator it(folder_, QDir::Files | QDir::Hidden);
        while (it.hasNext()) {
            const QString path = it.next();
            files.insert(QFileInfo(path).fileName(), test::readWholeFile(path));
        }
        return files;
    }
    // Puts the folder back exactly as it was at a crash point, as a fresh process finds it.
    void restore(const Snapshot& files) {
        QDir(folder_).removeRecursively();
        QDir().mkpath(folder_);
        for (auto it = files.begin(); it != files.end(); ++it)
            test::writeFile(folder_ + QLatin1Char('/') + it.key(), it.value());
        protect::LocalIntegrityKey::clearRootCache();
    }

    // A signed-up account with a vault holding one document; returns the plain vault key.
    SecureBuffer setUp(QString* vaultId) {
        folder_ = dir_.filePath(QString::fromLatin1(QTest::currentTestFunction()));
        QDir().mkpath(folder_);
        floor_ = core::createSettingsFloorStore(dir_.filePath(QString::fromLatin1(QTest::currentTestFunction()) + QStringLiteral(".ini")));
        auto manager = auth();
        std::optional<SecureBuffer> key = manager->createAccount(QStringLiteral("ada"), kOldPassword);
        auto vault = vault::VaultContainer::create(std::make_unique<vault::FileBlockStore>(vaultPath()), *key, kMachine);
        const QString source = folder_ + QStringLiteral("/../document.txt");
        test::writeFile(source, kContent);
        vault->importFile(source, QStringLiteral("document.txt"));
        *vaultId = vault->vaultId();
        manager->bindVaultId(*key, *vaultId);
        return std::move(*key);
    }

    void recover() {
        auto manager = auth();
        core::TwoFactorManager tfa = twoFactor();
        app::recoverPendingKeyTransitions(*manager, tfa, storage(), folder_);
        QVERIFY(!manager->hasPendingTransition());
        QVERIFY(!tfa.hasPendingTransition());
        QVERIFY(!QFile::exists(folder_ + QStringLiteral("/identity.dat.transition")));
        QVERIFY(!QFile::exists(folder_ + QStringLiteral("/twofactor.dat.transition")));
        QVERIFY(!QFile::exists(folder_ + QStringLiteral("/identity.dat.oldcopy")));
    }

    // Signs in with password and opens the vault the way a session would; the document must
    // read back. Returns the plain vault key.
    std::optional<SecureBuffer> signInAndOpen(const std::string& password, const QString& vaultId) {
        auto manager = auth();
        std::optional<SecureBuffer> vaultKey = manager->login(password, true, vaultId, nullptr, nullptr);
        if (!vaultKey)
            return std::nullopt;
        core::TwoFactorManager tfa = twoFactor();
        std::optional<SecureBuffer> containerKey =
            tfa.isEnabled() ? tfa.effectiveVaultKey(*vaultKey) : std::optional<SecureBuffer>(vaultKey->clone());
        if (!containerKey)
            return std::nullopt;
        auto vault = openVault(*containerKey);
        if (!vault)
            return std::nullopt;
        const auto content = vault->readFile(QStringLiteral("document.txt"));
        if (!content || QByteArray(reinterpret_cast<const char*>(content->data()), qsizetype(content->size())) != kContent)
            return std::nullopt;
        return vaultKey;
    }

    // Enrols two-factor authentication for vaultKey and completes it in one go (no crash);
    // returns the secret.
    SecureBuffer enrol(const SecureBuffer& vaultKey, vault::VaultContainer& vault,
                       std::optional<SecureBuffer>* effectiveKey) {
        core::TwoFactorManager tfa = twoFactor();
        const std::optional<QString> uri = tfa.beginEnrollment(vaultKey, QStringLiteral("ada"), QStringLiteral("Zelvora"));
        const QString encoded = uri->section(QStringLiteral("secret="), 1).section(QLatin1Char('&'), 0, 0);
        std::optional<SecureBuffer> secret = crypto::decodeBase32(encoded);
        const QString code = core::hotp({secret->data(), secret->size()},
                                        quint64(clock_.unixSeconds() / core::kTotpStepSeconds), core::kTotpDigits);
        *effectiveKey = tfa.confirmEnrollment(vaultKey, code, vault.generationCounter());
        return std::move(*secret);
    }

    bool secretIs(const SecureBuffer& vaultKey, const SecureBuffer& secret) {
        const std::optional<SecureBuffer> unwrapped = twoFactor().unwrapSecret(vaultKey);
        return unwrapped && unwrapped->equals(secret);
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

    void passwordChangeSurvivesACrashAtEveryStep() {
        QString vaultId;
        const SecureBuffer oldKey = setUp(&vaultId);
        // Crash points, with whether the new password is the way in afterwards.
        QList<QPair<Snapshot, bool>> points;
        {
            auto manager = auth();
            QVERIFY(manager->login(kOldPassword, true, vaultId, nullptr, nullptr));
            auto vault = openVault(oldKey);
            QVERIFY(vault);
            const std::optional<SecureBuffer> newKey = manager->verifyPasswordAndGenerateKey(kOldPassword);
            QVERIFY(newKey);
            QVERIFY(manager->beginPasswordChange(*newKey, kNewPassword, vaultId, vault->generationCounter(), {}));
            points.append({snapshot(), false});
            QCOMPARE(vault->rekey(*newKey), vault::RekeyResult::Rekeyed);
            points.append({snapshot(), true});
            QVERIFY(manager->markTransitionVaultRekeyed());
            points.append({snapshot(), true});
            core::TwoFactorManager tfa = twoFactor();
            QVERIFY(manager->commitTransition(tfa));
            points.append({snapshot(), true});
        }
        for (int i = 0; i < points.size(); ++i) {
            restore(points[i].first);
            recover();
            const bool changed = points[i].second;
            QVERIFY2(signInAndOpen(changed ? kNewPassword : kOldPassword, vaultId).has_value(),
                     qPrintable(QStringLiteral("crash point %1").arg(i)));
            QVERIFY2(!auth()->verifyPasswordAndGenerateKey(changed ? kOldPassword : kNewPassword),
                     qPrintable(QStringLiteral("crash point %1: the other password still works").arg(i)));
        }

        // With the mark written and the vault unreadable, the change is still completed.
        restore(points[2].first);
        QVERIFY(QFile::remove(vaultPath()));
        recover();
        QVERIFY(auth()->verifyPasswordAndGenerateKey(kNewPassword));
    }
    void switchingTwoFactorSurvivesACrashAtEveryStep() {
        QString vaultId;
        const SecureBuffer vaultKey = setUp(&vaultId);
        // Crash points, with whether two-factor authentication is on afterwards.
        QList<QPair<Snapshot, bool>> points;
        SecureBuffer secret;
        {
            auto vault = openVault(vaultKey);
            QVERIFY(vault);
            std::optional<SecureBuffer> effectiveKey;
            secret = enrol(vaultKey, *vault, &effectiveKey);
            QVERIFY(effectiveKey && !effectiveKey->equals(vaultKey));
            points.append({snapshot(), false});
            QCOMPARE(vault->rekey(*effectiveKey), vault::RekeyResult::Rekeyed);
            points.append({snapshot(), true});
            core::TwoFactorManager tfa = twoFactor();
            QVERIFY(tfa.markTransitionVaultRekeyed());
            points.append({snapshot(), true});
            QVERIFY(tfa.commitTransition());
            points.append({snapshot(), true});

            // And off again.
            QVERIFY(tfa.beginDisable(vault->generationCounter()));
            points.append({snapshot(), true});
            QCOMPARE(vault->rekey(vaultKey), vault::RekeyResult::Rekeyed);
            points.append({snapshot(), false});
            QVERIFY(tfa.markTransitionVaultRekeyed());
            points.append({snapshot(), false});
            QVERIFY(tfa.commitTransition());
            points.append({snapshot(), false});
        }
        for (int i = 0; i < points.size(); ++i) {
            restore(points[i].first);
            recover();
            const QString where = QStringLiteral("crash point %1").arg(i);
            QVERIFY2(twoFactor().isEnabled() == points[i].second, qPrintable(where));
            QVERIFY2(signInAndOpen(kOldPassword, vaultId).has_value(), qPrintable(where));
            if (points[i].second)
                QVERIFY2(secretIs(vaultKey, secret), qPrintable(where));
        }
    }

    void passwordChangeKeepsTheTwoFactorSecret() {
        QString vaultId;
        const SecureBuffer oldKey = setUp(&vaultId);
        QList<QPair<Snapshot, bool>> points;
        SecureBuffer secret;
        {
            auto vault = openVault(oldKey);
            std::optional<SecureBuffer> effectiveKey;
            secret = enrol(oldKey, *vault, &effectiveKey);
            QCOMPARE(vault->rekey(*effectiveKey), vault::RekeyResult::Rekeyed);
            core::TwoFactorManager tfa = twoFactor();
            QVERIFY(tfa.commitTransition());

            auto manager = auth();
            const std::optional<SecureBuffer> newKey = manager->verifyPasswordAndGenerateKey(kOldPassword);
            const crypto::Bytes resealed = core::TwoFactorManager::wrapSecretForKey(*newKey, secret, tfa.currentWrapSalt());
            QVERIFY(manager->beginPasswordChange(*newKey, kNewPassword, vaultId, vault->generationCounter(), resealed));
            points.append({snapshot(), false});
            QCOMPARE(vault->rekey(core::TwoFactorManager::deriveEffectiveKey(*newKey, secret)),
                     vault::RekeyResult::Rekeyed);
            points.append({snapshot(), true});
            QVERIFY(manager->markTransitionVaultRekeyed());
            points.append({snapshot(), true});
            QVERIFY(manager->commitTransition(tfa));
            points.append({snapshot(), true});
        }
        for (int i = 0; i < points.size(); ++i) {
            restore(points[i].first);
            recover();
            const QString where = QStringLiteral("crash point %1").arg(i);
            const std::optional<SecureBuffer> key =
                signInAndOpen(points[i].second ? kNewPassword : kOldPassword, vaultId);
            QVERIFY2(key.has_value(), qPrintable(where));
            QVERIFY2(twoFactor().isEnabled(), qPrintable(where));
            QVERIFY2(secretIs(*key, secret), qPrintable(where));
        }
    }
    // The identity commit must not strand the two-factor secret under a key nobody holds: when
    // the secret cannot be re-sealed, the commit fails and the transition waits for the next
    // start.
    void aSecretThatCannotBeResealedKeepsTheTransition() {
        QString vaultId;
        setUp(&vaultId);
        auto manager = auth();
        const SecureBuffer newKey = crypto::AeadCipher::generateKey();
        const crypto::Bytes resealed(61, 7); // two-factor is not on, so there is nothing to replace
        QVERIFY(manager->beginPasswordChange(newKey, kNewPassword, vaultId, 1, resealed));
        QVERIFY(manager->markTransitionVaultRekeyed());
        core::TwoFactorManager tfa = twoFactor();
        QVERIFY(!manager->commitTransition(tfa));
        QVERIFY(manager->hasPendingTransition());
        QTest::ignoreMessage(QtWarningMsg, "recoverPendingKeyTransitions: failed to commit a completed "
                                           "password-change transition -- will retry on next launch.");
        app::recoverPendingKeyTransitions(*manager, tfa, storage(), folder_);
        QVERIFY(manager->hasPendingTransition());
    }
};

QTEST_GUILESS_MAIN(KeyTransitionRecoveryTest)
#include "tst_keytransitionrecovery.moc"
