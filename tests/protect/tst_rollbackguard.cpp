#include "crypto/AeadCipher.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/ProtectedFile.h"
#include "protect/RollbackGuard.h"
#include "support/PlatformDoubles.h"
#include "support/TestSupport.h"
#include "vault/VaultFormat.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace korvex;
using protect::RollbackStatus;

namespace {

const QString kMachine = QStringLiteral("machine-1");

const QString kOlderCopyMessage = QStringLiteral(
    "Zelvora could not open this vault: it looks like an older backup or copy. A newer version of "
    "this vault has already been used on this machine, and opening an older one could silently "
    "undo changes or deletions you already made.\n\nYour vault has not been modified.");
const QString kUnverifiableMessage = QStringLiteral(
    "Zelvora could not verify this vault's rollback-protection record -- it may be missing or "
    "unreadable, most often because a previous run could not save changes to Zelvora's data "
    "folder.\n\nYour vault has not been modified.");
const QString kUnsaveableMessage = QStringLiteral(
    "Zelvora could not save the rollback-protection record it needs before opening this vault. "
    "This usually means its data folder isn't currently writable.\n\nYour vault has not been "
    "modified. Once the data folder is writable again, opening will succeed normally.");

} // namespace

class RollbackGuardTest : public QObject {
    Q_OBJECT

public:
    // The last change made to a vault before its newest index stopped opening.
    enum class LastChange { Import, Removal, Rekey };
    Q_ENUM(LastChange)

private:
    QTemporaryDir dir_;
    test::FakeSealedKeyStore tpm_;
    test::FakeUserDataProtection user_;
    crypto::SecureBuffer key_;
    QString record_;
    vault::VaultLocation location_;

    std::unique_ptr<vault::VaultContainer> openGuarded(QString* message = nullptr,
                                                       const QString& record = QString()) {
        return protect::openVaultGuarded(location_, key_, kMachine,
                                         record.isEmpty() ? record_ : record, QString(), 4096,
                                         message);
    }
    QJsonObject storedVaults() {
        return protect::readProtectedFile(record_, protect::EnvelopeKind::Authenticated)
            .object.value(QStringLiteral("vaults"))
            .toObject();
    }

private Q_SLOTS:
    void init() {
        QVERIFY(dir_.isValid());
        protect::setLocalProtectionServices(&tpm_, &user_);
        protect::LocalIntegrityKey::clearRootCache();
        // A folder of each test's own, and of each row's own.
        QString name = QString::fromLatin1(QTest::currentTestFunction());
        if (QTest::currentDataTag())
            name += QLatin1Char('-') + QString::fromLatin1(QTest::currentDataTag());
        const QString folder = dir_.filePath(name);
        QVERIFY(QDir().mkpath(folder));
        record_ = folder + QStringLiteral("/vault_generation.dat");
        location_.containerPath = folder + QStringLiteral("/vault.kvxs");
        key_ = crypto::AeadCipher::generateKey();
    }
    void cleanupTestCase() { protect::setLocalProtectionServices(nullptr, nullptr); }

    void theRecordFollowsTheVault() {
        QString vaultId;
        {
            auto vault = openGuarded(); // creates the vault and its record member
            QVERIFY(vault);
            vaultId = vault->vaultId();
            QCOMPARE(storedVaults().value(vaultId).toString(), QStringLiteral("1"));
            const QString source = dir_.filePath(QStringLiteral("f.txt"));
            QVERIFY(test::writeFile(source, "content"));
            QVERIFY(vault->importFile(source, QStringLiteral("f")));
        }
        // Equal generations are accepted and rewritten as they are.
        auto vault = openGuarded();
        QVERIFY(vault);
        QCOMPARE(storedVaults().value(vaultId).toString(), QStringLiteral("2"));
        const QString big = dir_.filePath(QStringLiteral("big"));
        QVERIFY(test::writeFile(big, QByteArray(5000, 'b')));
        QVERIFY(!vault->importFile(big, QStringLiteral("big"))); // the caller's size limit holds
        QCOMPARE(protect::highestGeneration(record_), quint64(2));
    }

    void anOlderCopyIsRefusedAndLeftAlone() {
        QByteArray olderCopy;
        {
            auto vault = openGuarded();
            QVERIFY(vault);
            olderCopy = test::readWholeFile(location_.containerPath);
            const QString source = dir_.filePath(QStringLiteral("g.txt"));
            QVERIFY(test::writeFile(source, "later change"));
            QVERIFY(vault->importFile(source, QStringLiteral("g")));
            // The running session advances the record as it goes.
            RollbackStatus status = RollbackStatus::RecordUnsaveable;
            QVERIFY(protect::checkAndAdvance(record_, vault->vaultId(), vault->generationCounter(),
                                             false, &status));
            QCOMPARE(status, RollbackStatus::Ok);
        }
        QVERIFY(test::writeFile(location_.containerPath, olderCopy));
        QString message;
        QVERIFY(!openGuarded(&message));
        QCOMPARE(message, kOlderCopyMessage);
        QCOMPARE(test::readWholeFile(location_.containerPath), olderCopy);
    }

    void aMissingRecordRefusesExistingVaultsOnly() {
        { QVERIFY(openGuarded()); }
        QVERIFY(QFile::remove(record_));
        QString message;
        const QByteArray before = test::readWholeFile(location_.containerPath);
        QVERIFY(!openGuarded(&message));
        QCOMPARE(message, kUnverifiableMessage);
        QCOMPARE(test::readWholeFile(location_.containerPath), before);
        QVERIFY(!QFile::exists(record_));

        // A new vault in an empty place starts a new record.
        location_.containerPath = dir_.filePath(QStringLiteral("second.kvxs"));
        QVERIFY(openGuarded());
        QVERIFY(QFile::exists(record_));

        // A tampered record is as good as none.
        QVERIFY(test::flipByte(record_, 50));
        QVERIFY(!openGuarded(&message));
        QCOMPARE(message, kUnverifiableMessage);
    }

    void anUnsaveableRecordRefusesAndLeavesNoOrphanVault() {
        // The record's folder cannot be created: a file stands in its place.
        const QString blocked = dir_.filePath(QStringLiteral("blocked"));
        QVERIFY(test::writeFile(blocked, "not a folder"));
        QString message;
        QVERIFY(!openGuarded(&message, blocked + QStringLiteral("/vault_generation.dat")));
        QCOMPARE(message, kUnsaveableMessage);
        // The vault created for this attempt is gone again, so the next attempt, with a
        // writable folder, creates and records a fresh one instead of refusing it for ever.
        QVERIFY(!QFile::exists(location_.containerPath));
        QVERIFY(openGuarded());
    }

    void memberValues_data() {
        QTest::addColumn<QJsonObject>("vaults");
        QTest::addColumn<quint64>("highest");
        QTest::addColumn<quint64>("storedForA");
        QTest::newRow("three and seventeen")
            << QJsonObject{{QStringLiteral("a"), QStringLiteral("3")},
                           {QStringLiteral("b"), QStringLiteral("17")}}
            << quint64(17) << quint64(3);
        QTest::newRow("not a number")
            << QJsonObject{{QStringLiteral("a"), QStringLiteral("twelve")}} << quint64(0)
            << quint64(0);
        QTest::newRow("a JSON number is not decimal text")
            << QJsonObject{{QStringLiteral("a"), 9}} << quint64(0) << quint64(0);
        QTest::newRow("largest generation")
            << QJsonObject{{QStringLiteral("a"), QStringLiteral("18446744073709551615")}}
            << quint64(18446744073709551615ull) << quint64(18446744073709551615ull);
    }

    void memberValues() {
        QFETCH(QJsonObject, vaults);
        QFETCH(quint64, highest);
        QFETCH(quint64, storedForA);
        QVERIFY(protect::writeProtectedFile(record_,
                                            QJsonObject{{QStringLiteral("vaults"), vaults}},
                                            protect::EnvelopeKind::Authenticated));
        QCOMPARE(protect::highestGeneration(record_), highest);
        RollbackStatus status = RollbackStatus::Ok;
        if (storedForA > 0)
            QVERIFY(!protect::checkAndAdvance(record_, QStringLiteral("a"), storedForA - 1, false,
                                              &status));
        QVERIFY(protect::checkAndAdvance(record_, QStringLiteral("a"), storedForA, false, &status));
        QCOMPARE(status, RollbackStatus::Ok);
        QCOMPARE(storedVaults().value(QStringLiteral("a")).toString(), QString::number(storedForA));
    }

    // The newest index does not open with the key given: it may be damaged, or it may be the
    // vault re-keyed under a key this sign-in does not have yet (a key change whose outcome
    // start-up could not settle, so that the old password is still the one asked for). Going
    // back to the state before it is only allowed when the rollback record allows that state:
    // the lost change is then told to the user, never passed over in silence, and the
    // unreadable slot is rewritten. Otherwise the open is refused and writes nothing, so that
    // the key that does open the newest state still finds it.
    void whenTheNewestIndexDoesNotOpen_data() {
        QTest::addColumn<LastChange>("lastChange");
        QTest::addColumn<bool>("recorded");
        QTest::addColumn<bool>("keyChangeUnsettled"); // a password or two-factor change pending
        QTest::addColumn<QStringList>("namesAfter");  // empty: the open is refused
        QTest::newRow("import damaged, not yet recorded")
            << LastChange::Import << false << true << QStringList{QStringLiteral("a")};
        QTest::newRow("removal damaged, not yet recorded")
            << LastChange::Removal << false << true
            << QStringList{QStringLiteral("a"), QStringLiteral("b")};
        // With no key change pending the key is the account's only one: damage.
        QTest::newRow("import damaged, already recorded")
            << LastChange::Import << true << false << QStringList{QStringLiteral("a")};
        QTest::newRow("import damaged, already recorded, a key change pending")
            << LastChange::Import << true << true << QStringList();
        // The record was advanced to the re-key's generation before the re-key.
        QTest::newRow("re-keyed, opened with the old key")
            << LastChange::Rekey << true << true << QStringList();
    }
    void whenTheNewestIndexDoesNotOpen() {
        QFETCH(LastChange, lastChange);
        QFETCH(bool, recorded);
        QFETCH(bool, keyChangeUnsettled);
        QFETCH(QStringList, namesAfter);
        const crypto::SecureBuffer newKey = crypto::AeadCipher::generateKey();
        auto newestHeader = [this] {
            const auto headers = vault::readHeaderSlotsFromFile(location_.containerPath);
            return headers ? vault::chooseHeader(headers->headerSlots, headers->fileSize)
                           : std::nullopt;
        };
        QByteArray staleHeader;
        QByteArray staleIndex;
        qint64 staleSlot = 0;
        {
            auto vault = openGuarded();
            QVERIFY(vault);
            auto importNamedAfterContent = [&](const QString& name) {
                const QString source = dir_.filePath(name);
                return test::writeFile(source, name.toUtf8()) && vault->importFile(source, name);
            };
            QVERIFY(importNamedAfterContent(QStringLiteral("a")));
            if (lastChange != LastChange::Import)
                QVERIFY(importNamedAfterContent(QStringLiteral("b")));
            // The session has recorded everything before the last change.
            QVERIFY(protect::checkAndAdvance(record_, vault->vaultId(), vault->generationCounter(),
                                             false));
            switch (lastChange) {
            case LastChange::Import:
                QVERIFY(importNamedAfterContent(QStringLiteral("b")));
                break;
            case LastChange::Removal:
                QVERIFY(vault->removeFile(QStringLiteral("b")));
                break;
            case LastChange::Rekey: {
                // As the settings do it: the record goes first to the generation the re-key
                // will commit. The slot the re-key leaves behind is kept as it was, as when a
                // crash comes before its overwrite reaches the disk.
                QVERIFY(protect::checkAndAdvance(record_, vault->vaultId(),
                                                 vault->generationCounter() + 1, false));
                const auto current = newestHeader();
                QVERIFY(current);
                staleSlot = current->slot;
                staleHeader = test::readFileRange(location_.containerPath,
                                                  staleSlot * vault::kHeaderSlotBytes,
                                                  vault::kHeaderSlotBytes);
                staleIndex = test::readFileRange(location_.containerPath,
                                                 qint64(current->header.indexOffset),
                                                 qint64(current->header.indexCapacity));
                QCOMPARE(vault->rekey(newKey), vault::RekeyResult::Rekeyed);
                break;
            }
            }
            if (recorded)
                QVERIFY(protect::checkAndAdvance(record_, vault->vaultId(),
                                                 vault->generationCounter(), false));
        }
        const auto newest = newestHeader();
        QVERIFY(newest);
        if (lastChange == LastChange::Rekey) {
            QVERIFY(test::patchFile(location_.containerPath, staleSlot * vault::kHeaderSlotBytes,
                                    staleHeader));
            QVERIFY(test::patchFile(location_.containerPath,
                                    qint64(vault::kFirstIndexRegionOffset +
                                           quint64(staleSlot) * vault::kIndexRegionCapacity),
                                    staleIndex));
        } else {
            QVERIFY(
                test::flipByte(location_.containerPath, qint64(newest->header.indexOffset) + 60));
        }
        const QByteArray before = test::readWholeFile(location_.containerPath);

        QString message;
        QString notice;
        auto vault = protect::openVaultGuarded(location_, key_, kMachine, record_, QString(), 0,
                                               &message, &notice, keyChangeUnsettled);
        if (namesAfter.isEmpty()) {
            QVERIFY(!vault);
            QVERIFY2(message.startsWith(QStringLiteral(
                         "Zelvora could not open this vault: its latest state does not open with "
                         "the key this sign-in gives")),
                     qPrintable(message));
            QVERIFY(notice.isEmpty());
            QCOMPARE(test::readWholeFile(location_.containerPath), before);
            if (lastChange == LastChange::Rekey) {
                // The new key still opens the re-keyed vault, every file in it.
                auto rekeyed = protect::openVaultGuarded(location_, newKey, kMachine, record_,
                                                         QString(), 0, &message);
                QVERIFY(rekeyed);
                QCOMPARE(rekeyed->generationCounter(), newest->header.generation);
                QCOMPARE(rekeyed->listEntries().size(), 2);
                QCOMPARE(test::bytesOf(*rekeyed->readFile(QStringLiteral("b"))), QByteArray("b"));
            }
            return;
        }
        QVERIFY(vault);
        QVERIFY(message.isEmpty());
        QVERIFY(notice.startsWith(QStringLiteral(
            "The latest change to your vault could not be read, so Zelvora opened the vault as "
            "it was before that change.")));
        QStringList names;
        for (const auto& entry : vault->listEntries())
            names << entry.name;
        QCOMPARE(names, namesAfter);
        // Repaired: the unreadable slot holds the next generation, which the record follows,
        // and the next open has nothing to tell.
        QCOMPARE(vault->generationCounter(), newest->header.generation);
        QCOMPARE(newestHeader()->slot, newest->slot);
        QCOMPARE(storedVaults().value(vault->vaultId()).toString(),
                 QString::number(newest->header.generation));
        vault.reset();
        notice.clear();
        QVERIFY(protect::openVaultGuarded(location_, key_, kMachine, record_, QString(), 0,
                                          &message, &notice));
        QVERIFY(notice.isEmpty());
    }

    // Only an advance of exactly one step is taken back; storage.dat, possibly bound to it
    // meanwhile, stays readable.
    void anAdvanceAheadOfAChangeThatNeverCameIsTakenBack() {
        QVERIFY(protect::checkAndAdvance(record_, QStringLiteral("a"), 7, true));
        QVERIFY(protect::checkAndAdvance(record_, QStringLiteral("a"), 8, false));
        QVERIFY(protect::confirmStorageBinding(record_, 8));
        QVERIFY(protect::withdrawAdvance(record_, QStringLiteral("a"), 7));
        QCOMPARE(storedVaults().value(QStringLiteral("a")).toString(), QStringLiteral("7"));
        QCOMPARE(protect::storageBindingCandidates(record_), (QList<quint64>{7, 8}));
        QVERIFY(protect::withdrawAdvance(record_, QStringLiteral("a"), 7)); // already there

        // Two steps ahead, or below: a real later state of the vault, never taken back.
        QVERIFY(protect::checkAndAdvance(record_, QStringLiteral("a"), 9, false));
        QVERIFY(!protect::withdrawAdvance(record_, QStringLiteral("a"), 7));
        QVERIFY(!protect::withdrawAdvance(record_, QStringLiteral("a"), 10));
        QVERIFY(!protect::withdrawAdvance(record_, QStringLiteral("unknown"), 7));
        QCOMPARE(storedVaults().value(QStringLiteral("a")).toString(), QStringLiteral("9"));
        QVERIFY(test::flipByte(record_, 45));
        QVERIFY(!protect::withdrawAdvance(record_, QStringLiteral("a"), 8));
    }

    void removingAVaultDropsOnlyItsMember() {
        QVERIFY(protect::checkAndAdvance(record_, QStringLiteral("a"), 5, true));
        QVERIFY(protect::checkAndAdvance(record_, QStringLiteral("b"), 9, false));
        QVERIFY(protect::removeVault(record_, QStringLiteral("b")));
        QCOMPARE(protect::highestGeneration(record_), quint64(5));
        QVERIFY(protect::removeVault(record_, QStringLiteral("not there")));
        QVERIFY(test::flipByte(record_, 45));
        QVERIFY(!protect::removeVault(record_, QStringLiteral("a")));
        QCOMPARE(protect::highestGeneration(record_), quint64(0));
    }
};

QTEST_GUILESS_MAIN(RollbackGuardTest)
#include "tst_rollbackguard.moc"
