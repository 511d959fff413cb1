#include "RecordingPrompts.h"
#include "app/DeferredOperations.h"
#include "core/AuthManager.h"
#include "core/LockoutTracker.h"
#include "core/StorageConfigFile.h"
#include "crypto/AeadCipher.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/MarkerKey.h"
#include "protect/RollbackGuard.h"
#include "rawstore/PhysicalDisks.h"
#include "support/LoopDisk.h"
#include "support/ManualClock.h"
#include "support/PlatformDoubles.h"
#include "support/TestSupport.h"
#include "vault/FileBlockStore.h"
#include "vault/RawBlockStore.h"
#include "vault/VaultContainer.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QInputDialog>
#include <QLockFile>
#include <QMessageBox>
#include <QProcess>
#include <QProgressDialog>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUuid>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvex;
using test::RecordingPrompts;

namespace {

const QString kMachine = QStringLiteral("machine-under-test");
const std::string kPassword = "Correct-Horse-9-Battery";

const QStringList kAccountFiles = {QStringLiteral("identity.dat"),
                                   QStringLiteral("identity.dat.oldcopy"),
                                   QStringLiteral("identity.dat.key"),
                                   QStringLiteral("identity.dat.key.entropy"),
                                   QStringLiteral("identity.dat.lockout"),
                                   QStringLiteral("identity.dat.lockout.key"),
                                   QStringLiteral("identity.dat.lockout.key.entropy"),
                                   QStringLiteral("twofactor.dat"),
                                   QStringLiteral("twofactor.dat.key"),
                                   QStringLiteral("twofactor.dat.key.entropy")};
const QStringList kTransitionFiles = {QStringLiteral("identity.dat.transition"),
                                      QStringLiteral("identity.dat.transition.key"),
                                      QStringLiteral("identity.dat.transition.key.entropy"),
                                      QStringLiteral("twofactor.dat.transition"),
                                      QStringLiteral("twofactor.dat.transition.key"),
                                      QStringLiteral("twofactor.dat.transition.key.entropy")};

QByteArray nativePath(const QString& path) {
    return QFile::encodeName(path);
}

struct stat statOf(const QString& path) {
    struct stat info {};
    ::lstat(nativePath(path).constData(), &info);
    return info;
}

// Bytes that pass for a vault file where only the magic is looked at.
QByteArray fakeVault(int size) {
    QByteArray bytes("KVXSVLT1");
    while (bytes.size() < size)
        bytes.append(char(bytes.size() * 31 % 251));
    return bytes;
}

QString relocationFailure(const QString& reason) {
    return QStringLiteral(
               "Zelvora could not move the vault to its new location after 5 attempts (%1). It has "
               "been left at its original location; please move it manually or try changing the "
               "location again in Configure.")
        .arg(reason);
}

QStringList namesIn(const QString& folder) {
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden);
    names.sort();
    return names;
}

} // namespace

class DeferredOperationsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QString root_;   // canonical temporary folder of the test
    QString folder_; // the data folder
    QStringList mounts_;
    test::FakeSealedKeyStore tpm_;
    test::FakeUserDataProtection user_;

    QString path(const QString& name) const { return root_ + QLatin1Char('/') + name; }
    core::StorageConfigFile storage() const {
        return core::StorageConfigFile(folder_ + QStringLiteral("/storage.dat"), kMachine, 0);
    }
    QString generationPath() const { return folder_ + QStringLiteral("/vault_generation.dat"); }

    bool scheduleMove(const QString& from, const QString& toFolder, int attempts = 0) {
        core::ContainerSettings settings = storage().containerSettings();
        settings.overrideDirectory = toFolder;
        settings.pendingMigrateFromPath = from;
        settings.pendingMigrateAttempts = attempts;
        return storage().setContainerSettings(settings);
    }
    // A tmpfs of its own at folder; false (with the reason) where mounting is not allowed.
    bool mountTmpfs(const QString& folder, const QString& size, QString* why) {
        QDir().mkpath(folder);
        QProcess mount;
        mount.start(QStringLiteral("mount"),
                    {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                     QStringLiteral("size=") + size, QStringLiteral("tmpfs"), folder});
        if (!mount.waitForFinished(30000) || mount.exitStatus() != QProcess::NormalExit ||
            mount.exitCode() != 0) {
            *why = QStringLiteral("cannot mount a tmpfs here: ") +
                   QString::fromLocal8Bit(mount.readAllStandardError());
            return false;
        }
        mounts_.prepend(folder);
        return true;
    }
    bool remountReadOnly(const QString& folder) {
        return QProcess::execute(QStringLiteral("mount"),
                                 {QStringLiteral("-o"), QStringLiteral("remount,ro"), folder}) == 0;
    }
    // Runs the pending container deletion through one handle, which it may rebind; the handle
    // is returned for reading storage.dat afterwards.
    core::StorageConfigFile applyDelete(RecordingPrompts& prompts) {
        core::StorageConfigFile handle = storage();
        app::applyPendingContainerDelete(handle, folder_, generationPath(), prompts);
        return handle;
    }
    void plantAccount() {
        for (const QString& name : kAccountFiles + kTransitionFiles)
            QVERIFY(test::writeFile(folder_ + QLatin1Char('/') + name, name.toUtf8()));
    }

private Q_SLOTS:
    void initTestCase() { protect::setLocalProtectionServices(&tpm_, &user_); }
    void cleanupTestCase() { protect::setLocalProtectionServices(nullptr, nullptr); }

    void init() {
        tpm_.mode = test::FakeSealedKeyStore::Mode::NoProvider;
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        root_ = QFileInfo(dir_->path()).canonicalFilePath();
        folder_ = path(QStringLiteral("data"));
        QVERIFY(QDir().mkpath(folder_));
        QVERIFY(storage().setMaxVaultSizeBytes(0)); // storage.dat exists from here on
    }
    void cleanup() {
        for (const QString& mount : std::as_const(mounts_))
            QProcess::execute(QStringLiteral("umount"), {mount});
        mounts_.clear();
        dir_.reset();
    }

    // --- moving the container -------------------------------------------------------------

    void aMoveWhoseSourceIsGoneIsClearedSilently() {
        QVERIFY(scheduleMove(path(QStringLiteral("gone.kvxs")), path(QStringLiteral("new")), 3));
        RecordingPrompts prompts;
        app::applyPendingContainerMigration(storage(), folder_, prompts);
        QVERIFY(prompts.shown.isEmpty());
        QCOMPARE(storage().containerSettings().pendingMigrateFromPath, QString());
        QCOMPARE(storage().containerSettings().pendingMigrateAttempts, 0);
    }

    void aMoveOnOneFileSystemRenames() {
        const QString source = path(QStringLiteral("old/vault.kvxs"));
        QVERIFY(QDir().mkpath(path(QStringLiteral("old"))));
        QVERIFY(test::writeFile(source, fakeVault(300000)));
        const ino_t inode = statOf(source).st_ino;
        QVERIFY(scheduleMove(source, path(QStringLiteral("new/deeper"))));

        RecordingPrompts prompts;
        app::applyPendingContainerMigration(storage(), folder_, prompts);

        const QString destination = path(QStringLiteral("new/deeper/vault.kvxs"));
        QVERIFY(prompts.shown.isEmpty());
        QVERIFY(!QFileInfo::exists(source));
        QCOMPARE(test::readWholeFile(destination), fakeVault(300000));
        QCOMPARE(statOf(destination).st_ino, inode); // the same file, not a copy
        QCOMPARE(storage().containerSettings().pendingMigrateFromPath, QString());
    }

    void aMoveBackToWhereTheVaultIsIsDone() {
        const QString source = path(QStringLiteral("vaults/vault.kvxs"));
        QVERIFY(QDir().mkpath(path(QStringLiteral("vaults"))));
        QVERIFY(test::writeFile(source, fakeVault(1000)));
        QVERIFY(scheduleMove(source, path(QStringLiteral("vaults"))));

        RecordingPrompts prompts;
        app::applyPendingContainerMigration(storage(), folder_, prompts);
        QVERIFY(prompts.shown.isEmpty());
        QCOMPARE(test::readWholeFile(source), fakeVault(1000));
        QCOMPARE(storage().containerSettings().pendingMigrateFromPath, QString());
    }

    // A vault waiting to be deleted is not moved away from where the deletion will look.
    void aVaultToBeDeletedIsNotMoved() {
        const QString source = path(QStringLiteral("old/vault.kvxs"));
        QVERIFY(QDir().mkpath(path(QStringLiteral("old"))));
        QVERIFY(test::writeFile(source, fakeVault(1000)));
        QVERIFY(scheduleMove(source, path(QStringLiteral("new"))));
        QVERIFY(storage().setPendingDeletePath(source));

        RecordingPrompts prompts;
        app::applyPendingContainerMigration(storage(), folder_, prompts);
        QVERIFY(prompts.shown.isEmpty());
        QCOMPARE(test::readWholeFile(source), fakeVault(1000));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("new/vault.kvxs"))));
        QCOMPARE(storage().containerSettings().pendingMigrateFromPath, source);
    }

    void aBlockedMoveGivesUpOnTheFifthStart_data() {
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<QString>("reason");
        QTest::newRow("a file at the destination")
            << QStringLiteral("file")
            << QStringLiteral("the destination already has a file at that path");
        QTest::newRow("destination folder reached through a link")
            << QStringLiteral("link")
            << QStringLiteral("the destination folder could not be verified");
        QTest::newRow("destination folder below a file")
            << QStringLiteral("below a file")
            << QStringLiteral("the destination folder could not be verified");
    }

    void aBlockedMoveGivesUpOnTheFifthStart() {
        QFETCH(QString, obstacle);
        QFETCH(QString, reason);
        const QString source = path(QStringLiteral("old.kvxs"));
        QVERIFY(test::writeFile(source, fakeVault(5000)));
        QString target = path(QStringLiteral("new"));
        if (obstacle == QLatin1String("file")) {
            QVERIFY(QDir().mkpath(target));
            QVERIFY(test::writeFile(target + QStringLiteral("/vault.kvxs"), "someone else's"));
        } else if (obstacle == QLatin1String("link")) {
            QVERIFY(QDir().mkpath(path(QStringLiteral("real"))));
            QVERIFY(QFile::link(path(QStringLiteral("real")), path(QStringLiteral("link"))));
            target = path(QStringLiteral("link/new"));
        } else {
            QVERIFY(test::writeFile(path(QStringLiteral("plain")), "a file"));
            target = path(QStringLiteral("plain/new"));
        }
        QVERIFY(scheduleMove(source, target));

        for (int start = 1; start <= 5; ++start) {
            RecordingPrompts prompts;
            app::applyPendingContainerMigration(storage(), folder_, prompts);
            const core::ContainerSettings settings = storage().containerSettings();
            // Meanwhile the vault is used where it is, and once the move is given up the
            // configuration points there again, so that it opens and can be moved anew.
            QCOMPARE(core::currentContainerPath(settings, folder_), source);
            if (start < 5) {
                QVERIFY(prompts.shown.isEmpty());
                QCOMPARE(settings.pendingMigrateAttempts, start);
                QCOMPARE(settings.pendingMigrateFromPath, source);
            } else {
                QCOMPARE(prompts.shown.size(), 1);
                QCOMPARE(prompts.shown[0].kind, QStringLiteral("warning"));
                QCOMPARE(prompts.shown[0].title, QStringLiteral("Vault Relocation Failed"));
                QCOMPARE(prompts.shown[0].text, relocationFailure(reason));
                QCOMPARE(settings.pendingMigrateAttempts, 0);
                QCOMPARE(settings.pendingMigrateFromPath, QString());
                QCOMPARE(storage().resolveVaultPath(folder_), source);
            }
        }
        QCOMPARE(test::readWholeFile(source), fakeVault(5000));
        if (obstacle == QLatin1String("file"))
            QCOMPARE(test::readWholeFile(target + QStringLiteral("/vault.kvxs")),
                     QByteArray("someone else's"));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("real/new"))));
    }

    void aMoveAcrossFileSystemsCopiesThenErasesTheSource() {
        QString why;
        if (!mountTmpfs(path(QStringLiteral("other")), QStringLiteral("4m"), &why))
            QSKIP(qPrintable(why));
        const QString source = path(QStringLiteral("vault.kvxs"));
        QVERIFY(test::writeFile(source, fakeVault(1 << 20)));
        QVERIFY(scheduleMove(source, path(QStringLiteral("other/vaults"))));
        // Still open here after the name is gone, to show what became of the old bytes.
        QFile oldBytes(source);
        QVERIFY(oldBytes.open(QIODevice::ReadOnly));

        RecordingPrompts prompts;
        app::applyPendingContainerMigration(storage(), folder_, prompts);

        const QString destination = path(QStringLiteral("other/vaults/vault.kvxs"));
        QVERIFY(statOf(destination).st_dev != statOf(root_).st_dev);
        QVERIFY(prompts.shown.isEmpty());
        QVERIFY(!QFileInfo::exists(source));
        const QByteArray left = oldBytes.readAll();
        QCOMPARE(left.size(), 1 << 20);
        QVERIFY2(!left.contains(fakeVault(1 << 20).mid(4096, 64)),
                 "the old copy was deleted, not erased");
        QCOMPARE(test::readWholeFile(destination), fakeVault(1 << 20));
        QCOMPARE(storage().containerSettings().pendingMigrateFromPath, QString());
        QCOMPARE(storage().containerSettings().pendingMigrateAttempts, 0);
    }

    void aCopyThatDoesNotFitIsErasedAndRetried() {
        QString why;
        if (!mountTmpfs(path(QStringLiteral("small")), QStringLiteral("64k"), &why))
            QSKIP(qPrintable(why));
        const QString source = path(QStringLiteral("vault.kvxs"));
        QVERIFY(test::writeFile(source, fakeVault(512 * 1024)));
        QVERIFY(scheduleMove(source, path(QStringLiteral("small"))));

        RecordingPrompts prompts;
        app::applyPendingContainerMigration(storage(), folder_, prompts);

        QVERIFY(prompts.shown.isEmpty());
        QCOMPARE(test::readWholeFile(source), fakeVault(512 * 1024));
        QCOMPARE(namesIn(path(QStringLiteral("small"))), QStringList()); // the short copy is gone
        QCOMPARE(storage().containerSettings().pendingMigrateFromPath, source);
        QCOMPARE(storage().containerSettings().pendingMigrateAttempts, 1);
    }

    void anOriginalThatCannotBeErasedIsReportedAndTheMoveStands() {
        QString why;
        if (!mountTmpfs(path(QStringLiteral("readonly")), QStringLiteral("4m"), &why))
            QSKIP(qPrintable(why));
        const QString source = path(QStringLiteral("readonly/vault.kvxs"));
        QVERIFY(test::writeFile(source, fakeVault(100000)));
        QVERIFY(remountReadOnly(path(QStringLiteral("readonly"))));
        QVERIFY(scheduleMove(source, path(QStringLiteral("new"))));

        RecordingPrompts prompts;
        app::applyPendingContainerMigration(storage(), folder_, prompts);

        QCOMPARE(prompts.shown.size(), 1);
        QCOMPARE(prompts.shown[0].kind, QStringLiteral("information"));
        QCOMPARE(prompts.shown[0].title, QStringLiteral("Vault Moved"));
        QVERIFY(prompts.shown[0].text.startsWith(
            QStringLiteral("The vault was copied to its new location, but the original file at "
                           "\"%1\" could not")
                .arg(source)));
        QCOMPARE(test::readWholeFile(path(QStringLiteral("new/vault.kvxs"))), fakeVault(100000));
        QCOMPARE(test::readWholeFile(source), fakeVault(100000));
        QCOMPARE(storage().containerSettings().pendingMigrateFromPath, QString());
    }

    // --- deleting the container -----------------------------------------------------------

    void aPendingDeleteOfSomethingElseErasesNothing_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("nothing at the path") << QStringLiteral("missing");
        QTest::newRow("a file that is not a vault") << QStringLiteral("other");
        QTest::newRow("a link to a vault") << QStringLiteral("link");
    }

    void aPendingDeleteOfSomethingElseErasesNothing() {
        QFETCH(QString, kind);
        plantAccount();
        const QString target = path(QStringLiteral("elsewhere.kvxs"));
        const QString pending = path(QStringLiteral("vault.kvxs"));
        QVERIFY(test::writeFile(target, fakeVault(4096)));
        if (kind == QLatin1String("other"))
            QVERIFY(test::writeFile(pending, "my tax return"));
        else if (kind == QLatin1String("link"))
            QVERIFY(QFile::link(target, pending));
        QVERIFY(storage().setPendingDeletePath(pending));
        const QStringList accountBefore = namesIn(folder_);

        RecordingPrompts prompts;
        applyDelete(prompts);

        QVERIFY(prompts.shown.isEmpty());
        QCOMPARE(storage().pendingDeletePath(), QString());
        QCOMPARE(test::readWholeFile(target), fakeVault(4096));
        if (kind == QLatin1String("other"))
            QCOMPARE(test::readWholeFile(pending), QByteArray("my tax return"));
        QCOMPARE(namesIn(folder_), accountBefore);
    }

    void aCompletedDeleteErasesTheVaultTheAccountAndItsGeneration() {
        const QString vaultPath = path(QStringLiteral("vault.kvxs"));
        QString vaultId;
        {
            auto vault =
                vault::VaultContainer::create(std::make_unique<vault::FileBlockStore>(vaultPath),
                                              crypto::AeadCipher::generateKey(), kMachine);
            QVERIFY(vault);
            vaultId = vault->vaultId();
        }
        const QString otherVault = QUuid::createUuid().toString(QUuid::WithoutBraces);
        QVERIFY(protect::checkAndAdvance(generationPath(), vaultId, 9, true));
        QVERIFY(protect::checkAndAdvance(generationPath(), otherVault, 4, true));
        QCOMPARE(protect::highestGeneration(generationPath()), quint64(9));
        plantAccount();
        QVERIFY(test::writeFile(folder_ + QStringLiteral("/idlelock.dat"), "kept"));
        QVERIFY(storage().setBoundVaultId(vaultId));
        QVERIFY(storage().setPendingDeletePath(vaultPath));
        QVERIFY(storage().setPendingDeleteAttempts(2));
        QStringList kept = namesIn(folder_);
        for (const QString& name : kAccountFiles + kTransitionFiles)
            kept.removeOne(name);

        RecordingPrompts prompts;
        const core::StorageConfigFile after = applyDelete(prompts);

        QVERIFY(prompts.shown.isEmpty());
        QVERIFY(!QFileInfo::exists(vaultPath));
        QCOMPARE(namesIn(folder_),
                 kept); // storage, generation record, idle lock and their keys stay
        QCOMPARE(protect::highestGeneration(generationPath()), quint64(4));
        // storage.dat follows the record's highest generation down, so that the next start
        // reads it (and nobody is told it is corrupted).
        QCOMPARE(after.bindingNumber(), quint64(4));
        const core::StorageConfigFile nextStart =
            core::openStorageConfig(after.path(), kMachine, generationPath());
        QVERIFY(!nextStart.isUnreadable());
        QCOMPARE(nextStart.pendingDeletePath(), QString());
        QCOMPARE(nextStart.pendingDeleteAttempts(), 0);
        // The next first run creates a new vault; a binding to the erased one would refuse it.
        QCOMPARE(nextStart.boundVaultId(), QString());
        QVERIFY(!nextStart.boundVaultIdRecorded());
    }

    // The account's kept copy goes even when it cannot be overwritten: left behind with
    // identity.dat gone, the next start would put the deleted account back from it.
    void aDeletedAccountDoesNotComeBackFromItsKeptCopy() {
        plantAccount();
        const QString backup = folder_ + QStringLiteral("/identity.dat.oldcopy");
        // Something that cannot be overwritten, but can be removed.
        QVERIFY(QFile::remove(backup));
        QVERIFY(::mkfifo(nativePath(backup).constData(), 0600) == 0);
        app::eraseAccountLeftovers(folder_);
        QVERIFY(!QFileInfo::exists(backup) && !QFileInfo(backup).isSymLink());
        core::AuthManager auth(folder_ + QStringLiteral("/identity.dat"));
        QVERIFY(!auth.identityExists());
    }

    // A leftover of a cut-short create is removed at the start of a session, but never while
    // another instance holds its lock: that one may be creating the vault right now.
    void anUnfinishedCreateIsRemovedOnlyWhenNobodyHoldsIt() {
        const QString vaultPath = path(QStringLiteral("vault.kvxs"));
        QVERIFY(test::writeFile(vaultPath, QByteArray(4096, '\0')));
        {
            QLockFile other(vaultPath + QStringLiteral(".lock"));
            QVERIFY(other.tryLock(0));
            app::removeInterruptedCreate(vaultPath, false);
            QVERIFY(QFileInfo::exists(vaultPath));
        }
        app::removeInterruptedCreate(vaultPath, true);
        QVERIFY(QFileInfo::exists(vaultPath));
        app::removeInterruptedCreate(vaultPath, false);
        QVERIFY(!QFileInfo::exists(vaultPath));
    }

    void anEraseThatKeepsFailingGivesUpOnTheFifthStart() {
        QString why;
        if (!mountTmpfs(path(QStringLiteral("media")), QStringLiteral("1m"), &why))
            QSKIP(qPrintable(why));
        const QString vaultPath = path(QStringLiteral("media/vault.kvxs"));
        QVERIFY(test::writeFile(vaultPath, fakeVault(8192)));
        QVERIFY(remountReadOnly(path(QStringLiteral("media"))));
        plantAccount();
        const QStringList accountBefore = namesIn(folder_);
        QVERIFY(storage().setPendingDeletePath(vaultPath));

        for (int start = 1; start <= 5; ++start) {
            RecordingPrompts prompts;
            applyDelete(prompts);
            if (start < 5) {
                QVERIFY(prompts.shown.isEmpty());
                QCOMPARE(storage().pendingDeleteAttempts(), start);
                QCOMPARE(storage().pendingDeletePath(), vaultPath);
            } else {
                QCOMPARE(prompts.shown.size(), 1);
                QCOMPARE(prompts.shown[0].kind, QStringLiteral("warning"));
                QCOMPARE(prompts.shown[0].title, QStringLiteral("Vault Deletion Failed"));
                QCOMPARE(
                    prompts.shown[0].text,
                    QStringLiteral(
                        "Zelvora could not securely erase the vault at:\n%1\nafter 5 attempts. It "
                        "has been left in place; please delete it manually, or check that it "
                        "isn't held open by another program or read-only media.")
                        .arg(vaultPath));
                QCOMPARE(storage().pendingDeleteAttempts(), 0);
                QCOMPARE(storage().pendingDeletePath(), QString());
            }
        }
        QCOMPARE(test::readWholeFile(vaultPath), fakeVault(8192));
        QCOMPARE(namesIn(folder_), accountBefore); // the account stays with its vault
    }

    // --- deleting a raw-disk vault --------------------------------------------------------

private:
    // A claim on a loop disk, its marker written under the data folder's marker key and the
    // vault's deletion scheduled, beside an account.
    struct PendingRawDelete {
        rawstore::FreeRegion region{5 * 1048576, 5 * 1048576};
        crypto::SecureBuffer markerKey;
    };
    void scheduleRawDelete(test::LoopDisk& disk, PendingRawDelete& pending) {
        QVERIFY2(disk.create(32 * 1048576, QStringLiteral("label: gpt\nstart=2048, size=8192\n"
                                                          "start=20480, size=8192\n")),
                 qPrintable(disk.lastError()));
        const std::optional<rawstore::DiskInfo> info = disk.diskInfo();
        QVERIFY(info);
        pending.markerKey =
            protect::LocalIntegrityKey::getOrCreateKey(protect::markerKeyPath(folder_));
        QVERIFY(!pending.markerKey.empty());
        QVERIFY(disk.claim(pending.region, pending.markerKey));
        QVERIFY(disk.write(pending.region.start + 4096, "the vault's bytes"));
        plantAccount();
        QVERIFY(storage().setRawDiskClaim({info->diskNumber, pending.region.start,
                                           pending.region.length, info->sectorSize,
                                           rawstore::diskIdentityHash(info->serialNumber)}));
        QVERIFY(storage().setPendingDeleteRawDisk(true));
    }
    void applyRawDelete(RecordingPrompts& prompts) {
        core::StorageConfigFile handle = storage();
        app::applyPendingRawDiskDelete(handle, folder_, generationPath(), prompts);
    }
    void expectRawDeletionFinished() {
        QCOMPARE(storage().backend(), vault::StorageBackend::Container);
        QVERIFY(!storage().pendingDeleteRawDisk());
        QCOMPARE(storage().pendingDeleteAttempts(), 0);
        QCOMPARE(storage().rawDiskClaim().claimedLength, quint64(0));
        for (const QString& name : kAccountFiles + kTransitionFiles)
            QVERIFY2(!QFileInfo::exists(folder_ + QLatin1Char('/') + name), qPrintable(name));
    }

private Q_SLOTS:
    void aRawDiskDeleteThatCannotOpenTheDiskGivesUpHonestly() {
        if (const QString why = test::LoopDisk::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        // A container configuration ignores the flag.
        plantAccount();
        QVERIFY(storage().setPendingDeleteRawDisk(true));
        RecordingPrompts ignored;
        applyRawDelete(ignored);
        QVERIFY(ignored.shown.isEmpty());
        QCOMPARE(storage().pendingDeleteAttempts(), 0);

        test::LoopDisk disk;
        PendingRawDelete pending;
        scheduleRawDelete(disk, pending);
        const QStringList accountBefore = namesIn(folder_);
        // Another program holds the disk: every start fails to open it.
        const int held =
            ::open(QFile::encodeName(disk.devicePath()).constData(), O_RDWR | O_EXCL | O_CLOEXEC);
        QVERIFY(held >= 0);
        for (int start = 1; start <= 5; ++start) {
            RecordingPrompts prompts;
            applyRawDelete(prompts);
            if (start < 5) {
                QVERIFY(prompts.shown.isEmpty());
                QCOMPARE(storage().pendingDeleteAttempts(), start);
                QVERIFY(storage().pendingDeleteRawDisk());
            } else {
                // The account's key is gone already: the request is never dropped, and the
                // user may forget the vault instead (here: keeps it pending).
                QCOMPARE(prompts.shown.size(), 1);
                QCOMPARE(prompts.shown[0].kind, QStringLiteral("choice"));
                QCOMPARE(prompts.shown[0].title, QStringLiteral("Vault Deletion Failed"));
                QVERIFY2(prompts.shown[0].text.startsWith(QStringLiteral(
                             "Zelvora could not securely erase the raw-disk vault after 5 "
                             "attempts. It has been left in place; make sure Zelvora may open the "
                             "disk (approve the administrator authorisation, or run it as root or "
                             "in the disk group) and the disk is connected and not in use.")),
                         qPrintable(prompts.shown[0].text));
                QVERIFY(prompts.shown[0].text.endsWith(
                    QStringLiteral("[Forget Without Wiping | Keep Pending]")));
                QCOMPARE(storage().pendingDeleteAttempts(), 0);
                QVERIFY(storage().pendingDeleteRawDisk());
            }
        }
        ::close(held);
        // Nothing was erased, so nothing about the vault changed.
        QCOMPARE(storage().backend(), vault::StorageBackend::RawDisk);
        QCOMPARE(storage().rawDiskClaim().claimedStartOffset, pending.region.start);
        QCOMPARE(namesIn(folder_), accountBefore);
        QVERIFY(vault::RawBlockStore::parseClaimMarker(disk.read(pending.region.start, 512),
                                                       pending.markerKey));
    }

    void aRawDiskDeleteWipesTheRegionAndResetsTheAccount() {
        if (const QString why = test::LoopDisk::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        test::LoopDisk disk;
        PendingRawDelete pending;
        scheduleRawDelete(disk, pending);
        const rawstore::FreeRegion& region = pending.region;
        const QByteArray outside = disk.read(region.start + region.length, 65536);
        QVERIFY(storage().setPendingDeleteAttempts(2));
        // The container vault the claim abandoned is the account's too.
        const QString abandoned = folder_ + QStringLiteral("/vault.kvxs");
        QVERIFY(test::writeFile(abandoned, fakeVault(8192)));
        QCOMPARE(storage().resolveVaultPath(folder_), abandoned);

        RecordingPrompts prompts;
        applyRawDelete(prompts);
        QVERIFY(prompts.shown.isEmpty());
        QVERIFY(!vault::RawBlockStore::parseClaimMarker(disk.read(region.start, 512),
                                                        pending.markerKey));
        QVERIFY(!disk.read(region.start, qint64(region.length)).contains("the vault's bytes"));
        QCOMPARE(disk.read(region.start + region.length, 65536), outside);
        expectRawDeletionFinished();
        // The next start is a first run that makes a new container, not one that meets the old.
        QVERIFY(!QFileInfo::exists(abandoned));
        QVERIFY(!QFileInfo::exists(protect::releaseJournalPath(folder_)));
        // The wipe was shown while it ran, and its window closed.
        QVERIFY(!prompts.progressTold.isEmpty());
        QVERIFY(prompts.progressTold.last().startsWith(QStringLiteral("Deleting the Vault | ")));
        QVERIFY(prompts.progressFinished >= 1);
    }

    // A partition made inside the region after the deletion was asked for (the marker sector
    // left alone): nothing is written, the user is told what overlaps, and the claim stays
    // pending until they choose to forget the vault without wiping.
    void aRawDiskDeleteNeverWipesAPartitionMadeSince() {
        if (const QString why = test::LoopDisk::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        test::LoopDisk disk;
        PendingRawDelete pending;
        scheduleRawDelete(disk, pending);
        QVERIFY2(
            disk.appendPartition(
                QStringLiteral("start=%1, size=4096").arg((pending.region.start + 1048576) / 512)),
            qPrintable(disk.lastError()));
        QVERIFY(disk.write(pending.region.start + 1048576, "a new file system"));
        QCryptographicHash before(QCryptographicHash::Sha256);
        before.addData(disk.read(0, 32 * 1048576));
        const QStringList accountBefore = namesIn(folder_);

        RecordingPrompts keep;
        applyRawDelete(keep);
        QCOMPARE(keep.shown.size(), 1);
        QCOMPARE(keep.shown[0].kind, QStringLiteral("choice"));
        QCOMPARE(keep.shown[0].title, QStringLiteral("Vault Deletion Waiting"));
        QVERIFY2(keep.shown[0].text.contains(QStringLiteral("partition 3 (6.00 MiB to 8.00 MiB) "
                                                            "now lies over it")),
                 qPrintable(keep.shown[0].text));
        QVERIFY(
            keep.shown[0].text.endsWith(QStringLiteral("[Forget Without Wiping | Keep Pending]")));
        QVERIFY(storage().pendingDeleteRawDisk());
        QCOMPARE(storage().pendingDeleteAttempts(), 0); // not a failure to count
        QCOMPARE(namesIn(folder_), accountBefore);

        RecordingPrompts forget;
        forget.choices = {true};
        applyRawDelete(forget);
        expectRawDeletionFinished();
        QCryptographicHash after(QCryptographicHash::Sha256);
        after.addData(disk.read(0, 32 * 1048576));
        QCOMPARE(after.result(), before.result());
    }

    // A disk that cannot be found is told as missing, never counted down to an abandoned
    // deletion; the vault may be forgotten without it.
    void aRawDiskDeleteOnAMissingDiskAsks() {
        plantAccount();
        core::RawDiskClaim claim;
        claim.diskNumber = 1;
        claim.claimedStartOffset = 1048576;
        claim.claimedLength = 67108864;
        claim.diskSerialHash = QByteArray(32, 'h');
        QVERIFY(storage().setRawDiskClaim(claim));
        QVERIFY(storage().setPendingDeleteRawDisk(true));
        for (int start = 1; start <= 6; ++start) {
            RecordingPrompts prompts;
            applyRawDelete(prompts);
            QCOMPARE(prompts.shown.size(), 1);
            QVERIFY2(prompts.shown[0].text.startsWith(
                         QStringLiteral("The disk that holds the raw-disk vault waiting to be "
                                        "deleted cannot be found (64.00 MiB from 1.00 MiB to "
                                        "65.00 MiB of the disk that was disk 1 (not connected "
                                        "now)).")),
                     qPrintable(prompts.shown[0].text));
            QVERIFY(storage().pendingDeleteRawDisk());
            QCOMPARE(storage().pendingDeleteAttempts(), 0);
        }
        RecordingPrompts forget;
        forget.choices = {true};
        applyRawDelete(forget);
        expectRawDeletionFinished();
    }

    // --- confirming a deletion ------------------------------------------------------------

    // The way out of a raw-disk vault that will not open: Quit changes nothing, a wrong
    // password changes nothing and says so, the right one deletes the vault as Delete Vault
    // does (here on a disk that cannot be found, forgotten by the user's choice).
    void theWayOutOfAnUnusableRawVault() {
        test::ManualClock clock;
        core::AuthManager auth(folder_ + QStringLiteral("/identity.dat"), clock,
                               core::createSettingsFloorStore(path(QStringLiteral("floor.ini"))));
        QVERIFY(auth.createAccount(QStringLiteral("ada"), kPassword));
        core::RawDiskClaim claim;
        claim.diskNumber = 3;
        claim.claimedStartOffset = 1048576;
        claim.claimedLength = 4194304;
        claim.diskSerialHash = QByteArray(32, 'g');
        QVERIFY(storage().setRawDiskClaim(claim));
        const QString refusal = QStringLiteral("The disk that holds this vault cannot be found.");
        const auto wayOut = [&](RecordingPrompts& prompts) {
            core::StorageConfigFile handle = storage();
            return app::offerToDeleteUnusableRawVault(refusal, auth, handle, folder_,
                                                      generationPath(), prompts);
        };

        RecordingPrompts quit;
        QVERIFY(!wayOut(quit));
        QCOMPARE(quit.shown.size(), 1);
        QCOMPARE(quit.shown[0].title, QStringLiteral("Vault Unavailable"));
        QVERIFY(quit.shown[0].text.startsWith(refusal + QStringLiteral("\n\nIf this vault")));
        QVERIFY(quit.shown[0].text.endsWith(QStringLiteral("[Delete This Vault... | Quit]")));

        RecordingPrompts wrong;
        wrong.choices = {true};
        wrong.answers = {QStringLiteral("Wrong-Horse-9-Battery")};
        QVERIFY(!wayOut(wrong));
        QCOMPARE(wrong.shown.last().text, QStringLiteral("Incorrect password. Vault not deleted."));
        QVERIFY(!storage().pendingDeleteRawDisk());
        QVERIFY(auth.identityExists());

        RecordingPrompts right;
        right.choices = {true, true};
        right.answers = {QString::fromStdString(kPassword)};
        QVERIFY(wayOut(right));
        QCOMPARE(right.shown.size(), 3);
        QCOMPARE(right.shown[2].title, QStringLiteral("Vault Deletion Waiting"));
        QVERIFY(!auth.identityExists());
        QCOMPARE(storage().backend(), vault::StorageBackend::Container);
        QVERIFY(!storage().pendingDeleteRawDisk());
    }

    // Long work before sign-in shows a window with its step and how much is done once it lasts
    // past a moment; the window goes when the work ends.
    void longStartUpWorkShowsItsProgress() {
        const quint64 total = quint64(300) << 20;
        app::MessageBoxPrompts prompts;
        const auto window = [] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (widget->objectName() == QStringLiteral("startupProgress") &&
                    widget->isVisible())
                    return qobject_cast<QProgressDialog*>(widget);
            }
            return static_cast<QProgressDialog*>(nullptr);
        };
        prompts.progress(QStringLiteral("Deleting the Vault"), QStringLiteral("Wiping..."), 0,
                         total);
        QTRY_VERIFY(window() != nullptr);
        prompts.progress(QStringLiteral("Deleting the Vault"), QStringLiteral("Wiping..."),
                         total / 2, total);
        QProgressDialog* shown = window();
        QVERIFY(shown);
        QCOMPARE(shown->windowTitle(), QStringLiteral("Deleting the Vault"));
        QCOMPARE(shown->labelText(), QStringLiteral("Wiping...\n150.00 MiB of 300.00 MiB"));
        QCOMPARE(shown->value(), 500);
        // The work cannot be stopped: Escape does not take its window away.
        QTest::keyClick(shown, Qt::Key_Escape);
        QVERIFY(shown->isVisible());
        prompts.finishProgress();
        QVERIFY(window() == nullptr);
    }

    void aDeletionIsConfirmedOnlyByTheMasterPassword() {
        test::ManualClock clock;
        std::shared_ptr<core::LockoutFloorStore> floor =
            core::createSettingsFloorStore(path(QStringLiteral("floor.ini")));
        core::AuthManager auth(folder_ + QStringLiteral("/identity.dat"), clock, floor);
        QVERIFY(auth.createAccount(QStringLiteral("ada"), kPassword));

        RecordingPrompts prompts;
        prompts.answers = {std::nullopt, QStringLiteral("Wrong-Horse-9-Battery"),
                           QString::fromStdString(kPassword)};
        QVERIFY(!app::confirmPendingDelete(auth, prompts)); // cancelled
        QVERIFY(!app::confirmPendingDelete(auth, prompts)); // wrong
        QVERIFY(app::confirmPendingDelete(auth, prompts));

        QCOMPARE(prompts.shown.size(), 3);
        QCOMPARE(prompts.shown[0].kind, QStringLiteral("password"));
        QCOMPARE(prompts.shown[0].title, QStringLiteral("Confirm Your Password"));
        QCOMPARE(
            prompts.shown[0].text,
            QStringLiteral(
                "A vault deletion is pending. Type your master password to complete it now, or "
                "Cancel to be asked again next time you start Zelvora."));
    }

    void thePasswordBoxHidesWhatIsTyped() {
        app::MessageBoxPrompts prompts;
        bool checked = false;
        auto answer = [&](bool accept) {
            QTimer::singleShot(0, [&, accept] {
                auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
                QVERIFY(dialog);
                QCOMPARE(dialog->windowTitle(), QStringLiteral("Confirm Your Password"));
                QCOMPARE(dialog->labelText(), QStringLiteral("Type it"));
                QCOMPARE(dialog->textEchoMode(), QLineEdit::Password);
                QCOMPARE(dialog->textValue(), QString());
                checked = true;
                dialog->setTextValue(QStringLiteral("typed secret"));
                accept ? dialog->accept() : dialog->reject();
            });
        };

        answer(true);
        QCOMPARE(
            prompts.askPassword(QStringLiteral("Confirm Your Password"), QStringLiteral("Type it")),
            std::optional<QString>(QStringLiteral("typed secret")));
        QVERIFY(checked);
        checked = false;
        answer(false);
        QCOMPARE(
            prompts.askPassword(QStringLiteral("Confirm Your Password"), QStringLiteral("Type it")),
            std::optional<QString>());
        QVERIFY(checked);
    }
};

QTEST_MAIN(DeferredOperationsTest)
#include "tst_deferredoperations.moc"
