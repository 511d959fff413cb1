#include "app/KeyTransitionRecovery.h"
#include "core/AuthManager.h"
#include "core/StorageConfigFile.h"
#include "core/Totp.h"
#include "core/TwoFactorManager.h"
#include "crypto/AeadCipher.h"
#include "crypto/Base32.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/MarkerKey.h"
#include "rawstore/PhysicalDisks.h"
#include "protect/RollbackGuard.h"
#include "support/LoopDisk.h"
#include "support/ManualClock.h"
#include "support/PlatformDoubles.h"
#include "support/TestSupport.h"
#include "vault/FileBlockStore.h"
#include "vault/RawBlockStore.h"
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
    QString recordPath() const { return folder_ + QStringLiteral("/vault_generation.dat"); }
    // Before each re-key the rollback record is advanced to the generation the re-key commits,
    // so that a copy from before the change is refused even if the program stops right after.
    bool preRecord(const vault::VaultContainer& vault) {
        return protect::checkAndAdvance(recordPath(), vault.vaultId(),
                                        vault.generationCounter() + 1, false);
    }
    std::unique_ptr<core::AuthManager> auth() {
        return std::make_unique<core::AuthManager>(folder_ + QStringLiteral("/identity.dat"),
                                                   clock_, floor_);
    }
    core::TwoFactorManager twoFactor() {
        return core::TwoFactorManager(folder_ + QStringLiteral("/twofactor.dat"), clock_);
    }
    core::StorageConfigFile storage() {
        return core::StorageConfigFile(folder_ + QStringLiteral("/storage.dat"), kMachine, 0);
    }
    std::unique_ptr<vault::VaultContainer> openVault(const SecureBuffer& key) {
        return vault::VaultContainer::open(std::make_unique<vault::FileBlockStore>(vaultPath()),
                                           key, kMachine);
    }

    Snapshot snapshot() const {
        Snapshot files;
        QDirIterator it(folder_, QDir::Files | QDir::Hidden);
        while (it.hasNext()) {
            const QString path = it.next();
            // The lock of the vault open right now names this (living) process; a crashed
            // process's lock names one that is gone, which the next open takes over.
            if (path.endsWith(QStringLiteral(".lock")))
                continue;
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
        // A folder of each test's (and each data row's) own.
        QString name = QString::fromLatin1(QTest::currentTestFunction());
        if (QTest::currentDataTag() != nullptr)
            name += QLatin1Char('-') + QString::fromLatin1(QTest::currentDataTag())
                                           .replace(QLatin1Char(' '), QLatin1Char('-'));
        folder_ = dir_.filePath(name);
        QDir().mkpath(folder_);
        floor_ = core::createSettingsFloorStore(folder_ + QStringLiteral(".ini"));
        auto manager = auth();
        std::optional<SecureBuffer> key =
            manager->createAccount(QStringLiteral("ada"), kOldPassword);
        auto vault = vault::VaultContainer::create(
            std::make_unique<vault::FileBlockStore>(vaultPath()), *key, kMachine);
        const QString source = folder_ + QStringLiteral("/../document.txt");
        test::writeFile(source, kContent);
        vault->importFile(source, QStringLiteral("document.txt"));
        *vaultId = vault->vaultId();
        protect::checkAndAdvance(recordPath(), *vaultId, vault->generationCounter(), true);
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
        std::optional<SecureBuffer> vaultKey =
            manager->login(password, true, vaultId, nullptr, nullptr);
        if (!vaultKey)
            return std::nullopt;
        core::TwoFactorManager tfa = twoFactor();
        std::optional<SecureBuffer> containerKey =
            tfa.isEnabled() ? tfa.effectiveVaultKey(*vaultKey)
                            : std::optional<SecureBuffer>(vaultKey->clone());
        if (!containerKey)
            return std::nullopt;
        // Opened the way a start opens it: past the rollback guard.
        vault::VaultLocation location;
        location.containerPath = vaultPath();
        auto vault = protect::openVaultGuarded(location, *containerKey, kMachine, recordPath(),
                                               QString(), 0);
        if (!vault)
            return std::nullopt;
        const auto content = vault->readFile(QStringLiteral("document.txt"));
        if (!content || QByteArray(reinterpret_cast<const char*>(content->data()),
                                   qsizetype(content->size())) != kContent)
            return std::nullopt;
        return vaultKey;
    }

    // Enrols two-factor authentication for vaultKey and completes it in one go (no crash);
    // returns the secret.
    SecureBuffer enrol(const SecureBuffer& vaultKey, vault::VaultContainer& vault,
                       std::optional<SecureBuffer>* effectiveKey) {
        core::TwoFactorManager tfa = twoFactor();
        const std::optional<QString> uri =
            tfa.beginEnrollment(vaultKey, QStringLiteral("ada"), QStringLiteral("Zelvora"));
        const QString encoded =
            uri->section(QStringLiteral("secret="), 1).section(QLatin1Char('&'), 0, 0);
        std::optional<SecureBuffer> secret = crypto::decodeBase32(encoded);
        const QString code =
            core::hotp({secret->data(), secret->size()},
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
            const std::optional<SecureBuffer> newKey =
                manager->verifyPasswordAndGenerateKey(kOldPassword);
            QVERIFY(newKey);
            QVERIFY(manager->beginPasswordChange(*newKey, kNewPassword, vaultId,
                                                 vault->generationCounter(), {}, {}));
            points.append({snapshot(), false});
            QVERIFY(preRecord(*vault));
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
                     qPrintable(
                         QStringLiteral("crash point %1: the other password still works").arg(i)));
        }

        // With the mark written and the vault unreadable, the change is still completed.
        restore(points[3].first);
        QVERIFY(QFile::remove(vaultPath()));
        recover();
        QVERIFY(auth()->verifyPasswordAndGenerateKey(kNewPassword));
    }
    void aRawDiskVaultIsJudgedFromItsRegion() {
        if (const QString why = test::LoopDisk::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        test::LoopDisk disk;
        QVERIFY2(disk.create(32 * 1048576,
                             QStringLiteral("label: gpt\nstart=2048, size=8192\n"
                                            "start=20480, size=8192\n")),
                 qPrintable(disk.lastError()));
        const std::optional<rawstore::DiskInfo> info = disk.diskInfo();
        QVERIFY(info);

        // An account whose vault lives in a claimed region.
        folder_ = dir_.filePath(QStringLiteral("raw"));
        QVERIFY(QDir().mkpath(folder_));
        floor_ = core::createSettingsFloorStore(folder_ + QStringLiteral(".ini"));
        const vault::RawDiskClaim claim{info->diskNumber, 5 * 1048576, 5 * 1048576,
                                        info->sectorSize,
                                        rawstore::diskIdentityHash(info->serialNumber)};
        QVERIFY(disk.claim({claim.claimedStartOffset, claim.claimedLength},
                           protect::LocalIntegrityKey::getOrCreateKey(
                               protect::markerKeyPath(folder_))));
        QVERIFY(storage().setRawDiskClaim(claim));
        vault::VaultLocation location;
        location.backend = vault::StorageBackend::RawDisk;
        location.rawDisk = claim;
        location.markerKey = protect::markerKeyLoader(folder_);
        const auto openRaw = [&](const SecureBuffer& key) {
            return vault::VaultContainer::open(vault::createBlockStore(location), key, kMachine);
        };

        auto manager = auth();
        std::optional<SecureBuffer> oldKey =
            manager->createAccount(QStringLiteral("ada"), kOldPassword);
        QVERIFY(oldKey);
        QString vaultId;
        {
            auto vault = vault::VaultContainer::create(
                std::make_unique<vault::RawBlockStore>(claim, true,
                                                       protect::markerKeyLoader(folder_)),
                *oldKey, kMachine);
            QVERIFY(vault);
            vaultId = vault->vaultId();
            QVERIFY(protect::checkAndAdvance(recordPath(), vaultId, vault->generationCounter(),
                                             true));
        }
        QVERIFY(manager->bindVaultId(*oldKey, vaultId));
        QVERIFY(storage().setBoundVaultId(vaultId));

        // A password change whose re-key reached the region, and then the crash.
        const std::optional<SecureBuffer> newKey =
            manager->verifyPasswordAndGenerateKey(kOldPassword);
        QVERIFY(newKey);
        {
            auto vault = openRaw(*oldKey);
            QVERIFY(vault);
            QVERIFY(manager->beginPasswordChange(*newKey, kNewPassword, vaultId,
                                                 vault->generationCounter(), {}, {}));
            QVERIFY(preRecord(*vault));
            QCOMPARE(vault->rekey(*newKey), vault::RekeyResult::Rekeyed);
        }
        manager.reset();
        protect::LocalIntegrityKey::clearRootCache();
        recover();
        QVERIFY(auth()->verifyPasswordAndGenerateKey(kNewPassword));
        QVERIFY(!auth()->verifyPasswordAndGenerateKey(kOldPassword));
        QVERIFY(openRaw(*newKey));

        // With the region unreachable the next change cannot be judged and is kept.
        manager = auth();
        QVERIFY(manager->login(kNewPassword, true, vaultId, nullptr, nullptr));
        const std::optional<SecureBuffer> thirdKey =
            manager->verifyPasswordAndGenerateKey(kNewPassword);
        QVERIFY(thirdKey);
        QVERIFY(manager->beginPasswordChange(*thirdKey, kOldPassword, vaultId, 1000, {}, {}));
        manager.reset();
        QVERIFY(disk.detach());
        auto kept = auth();
        core::TwoFactorManager tfa = twoFactor();
        app::recoverPendingKeyTransitions(*kept, tfa, storage(), folder_);
        QVERIFY(kept->hasPendingTransition());
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
            QVERIFY(preRecord(*vault));
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
            QVERIFY(preRecord(*vault));
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
            const std::optional<SecureBuffer> newKey =
                manager->verifyPasswordAndGenerateKey(kOldPassword);
            const crypto::Bytes salt = tfa.currentWrapSalt();
            const crypto::Bytes resealed =
                core::TwoFactorManager::wrapSecretForKey(*newKey, secret, salt);
            QVERIFY(manager->beginPasswordChange(*newKey, kNewPassword, vaultId,
                                                 vault->generationCounter(), resealed, salt));
            points.append({snapshot(), false});
            QVERIFY(preRecord(*vault));
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
    // A password change with two-factor on whose commit is retried must leave the two-factor
    // record holding the secret under the new key: a record written anew after the change began
    // (the secret restored under a new salt) already does, and is left alone rather than given
    // a secret sealed under the old salt; a record that is there but cannot be read at the
    // commit (its key out of reach just now) is not taken for a changed one, and the
    // transition, the only copy of the secret sealed for the new key, stays until it can be
    // brought along.
    void aRetriedCommitBringsTheTwoFactorRecordAlong_data() {
        QTest::addColumn<bool>("restoredMeanwhile");
        QTest::newRow("restored under a new salt") << true;
        QTest::newRow("record out of reach at the commit") << false;
    }
    void aRetriedCommitBringsTheTwoFactorRecordAlong() {
        QFETCH(bool, restoredMeanwhile);
        QString vaultId;
        const SecureBuffer oldKey = setUp(&vaultId);
        auto vault = openVault(oldKey);
        std::optional<SecureBuffer> effectiveKey;
        const SecureBuffer secret = enrol(oldKey, *vault, &effectiveKey);
        QCOMPARE(vault->rekey(*effectiveKey), vault::RekeyResult::Rekeyed);
        core::TwoFactorManager tfa = twoFactor();
        QVERIFY(tfa.commitTransition());

        auto manager = auth();
        const std::optional<SecureBuffer> newKey =
            manager->verifyPasswordAndGenerateKey(kOldPassword);
        const crypto::Bytes salt = tfa.currentWrapSalt();
        QVERIFY(manager->beginPasswordChange(
            *newKey, kNewPassword, vaultId, vault->generationCounter(),
            core::TwoFactorManager::wrapSecretForKey(*newKey, secret, salt), salt));
        QCOMPARE(vault->rekey(core::TwoFactorManager::deriveEffectiveKey(*newKey, secret)),
                 vault::RekeyResult::Rekeyed);
        QVERIFY(manager->markTransitionVaultRekeyed());
        vault.reset();

        if (restoredMeanwhile) {
            // The restore flow draws a new salt and seals the secret under the new key itself.
            QVERIFY(tfa.restoreFromSecret(*newKey, secret));
            QVERIFY(manager->commitTransition(tfa));
        } else {
            const QString key = tfa.path() + QStringLiteral(".key");
            QVERIFY(QFile::rename(key, key + QStringLiteral(".away")));
            QVERIFY(!manager->commitTransition(tfa));
            QVERIFY(manager->hasPendingTransition());
            QVERIFY(QFile::rename(key + QStringLiteral(".away"), key));
            recover();
        }
        QVERIFY(secretIs(*newKey, secret));
        QVERIFY(signInAndOpen(kNewPassword, vaultId).has_value());
    }

    // Start-up commits or abandons a transition only on evidence. When it cannot tell whether
    // the vault was re-keyed (the vault is not where it can be read, or the transition does
    // not load just now), the transition is the only copy of the new key: it stays, and a later
    // start completes it.
    void aTransitionThatCannotBeJudgedIsKept_data() {
        QTest::addColumn<QString>("obstacle");
        QTest::newRow("vault on a drive that is not mounted") << "vault away";
        QTest::newRow("key prompt dismissed") << "prompt";
        QTest::newRow("move pending, vault still at its old path") << "pending move";
    }
    void aTransitionThatCannotBeJudgedIsKept() {
        QFETCH(QString, obstacle);
        QString vaultId;
        const SecureBuffer oldKey = setUp(&vaultId);
        {
            auto manager = auth();
            auto vault = openVault(oldKey);
            const std::optional<SecureBuffer> newKey =
                manager->verifyPasswordAndGenerateKey(kOldPassword);
            QVERIFY(manager->beginPasswordChange(*newKey, kNewPassword, vaultId,
                                                 vault->generationCounter(), {}, {}));
            // Re-keyed, and then the process died before the mark was written.
            QCOMPARE(vault->rekey(*newKey), vault::RekeyResult::Rekeyed);
        }
        const QString away = dir_.filePath(QStringLiteral("elsewhere-") + obstacle.left(4));
        const QString awayVault = away + QStringLiteral("/vault.kvxs");
        QVERIFY(QDir().mkpath(away));
        if (obstacle == QLatin1String("vault away")) {
            QVERIFY(QFile::rename(vaultPath(), awayVault));
        } else if (obstacle == QLatin1String("prompt")) {
            // The transition's key cannot be had this time: its prompt is dismissed.
            tpm_.mode = test::FakeSealedKeyStore::Mode::Cancels;
            protect::LocalIntegrityKey::clearRootCache();
        } else {
            // Configure recorded a move to another folder; the next session has not run it.
            QVERIFY(QFile::rename(vaultPath(), awayVault));
            core::ContainerSettings settings;
            settings.pendingMigrateFromPath = awayVault;
            settings.overrideDirectory = dir_.filePath(QStringLiteral("new-home"));
            QVERIFY(storage().setContainerSettings(settings));
        }

        {
            auto manager = auth();
            core::TwoFactorManager tfa = twoFactor();
            app::recoverPendingKeyTransitions(*manager, tfa, storage(), folder_);
        }
        tpm_.mode = test::FakeSealedKeyStore::Mode::Works;
        // The next start is a new process, whose prompt asks again.
        protect::LocalIntegrityKey::allowPromptsAgain();
        if (obstacle == QLatin1String("pending move")) {
            // Judged where the vault really is: the change is complete.
            QVERIFY(!QFile::exists(folder_ + QStringLiteral("/identity.dat.transition")));
            QVERIFY(auth()->verifyPasswordAndGenerateKey(kNewPassword));
            return;
        }
        QVERIFY(QFile::exists(folder_ + QStringLiteral("/identity.dat.transition")));
        // Once the obstacle is gone, the next start completes the change.
        if (obstacle == QLatin1String("vault away"))
            QVERIFY(QFile::rename(awayVault, vaultPath()));
        recover();
        QVERIFY(signInAndOpen(kNewPassword, vaultId).has_value());
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
        QVERIFY(manager->beginPasswordChange(newKey, kNewPassword, vaultId, 1, resealed, {}));
        QVERIFY(manager->markTransitionVaultRekeyed());
        core::TwoFactorManager tfa = twoFactor();
        QVERIFY(!manager->commitTransition(tfa));
        QVERIFY(manager->hasPendingTransition());
        QTest::ignoreMessage(QtWarningMsg,
                             "recoverPendingKeyTransitions: failed to commit a completed "
                             "password-change transition -- will retry on next launch.");
        app::recoverPendingKeyTransitions(*manager, tfa, storage(), folder_);
        QVERIFY(manager->hasPendingTransition());
    }
};

QTEST_GUILESS_MAIN(KeyTransitionRecoveryTest)
#include "tst_keytransitionrecovery.moc"
