#include "protect/AtomicFile.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/TpmChoice.h"
#include "protect/UserProtectionChoice.h"
#include "support/PlatformDoubles.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <sodium.h>

using namespace korvex;
using protect::KeyLoadFailure;
using protect::LocalIntegrityKey;
using protect::LocalProtectionKind;
using test::FakeSealedKeyStore;

class LocalIntegrityKeyTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    QString folder_;
    FakeSealedKeyStore tpm_;
    test::FakeUserDataProtection user_;

    QString path(const QString& name) const { return folder_ + QLatin1Char('/') + name; }
    QString rootFile() const { return path(QStringLiteral("local_integrity_root.dat")); }
    QString nonceFile() const { return path(QStringLiteral("local_integrity_root.nonce")); }

private Q_SLOTS:
    void init() {
        QVERIFY(dir_.isValid());
        folder_ = dir_.filePath(QStringLiteral("data-%1-%2")
                                    .arg(QString::fromLatin1(QTest::currentTestFunction()),
                                         QString::fromLatin1(QTest::currentDataTag()))
                                    .replace(QLatin1Char(' '), QLatin1Char('_')));
        QVERIFY(QDir().mkpath(folder_));
        tpm_.mode = FakeSealedKeyStore::Mode::Works;
        tpm_.reset();
        tpm_.prompts = 0;
        user_.refuse = false;
        protect::setLocalProtectionServices(&tpm_, &user_);
        LocalIntegrityKey::clearRootCache();
    }
    void cleanupTestCase() { protect::setLocalProtectionServices(nullptr, nullptr); }

    void withoutTpmKeysAreProtectedForTheUser() {
        tpm_.mode = FakeSealedKeyStore::Mode::NoProvider;
        const QString keyFile = path(QStringLiteral("identity.dat.key"));
        const crypto::SecureBuffer key = LocalIntegrityKey::getOrCreateKey(keyFile);
        QCOMPARE(key.size(), size_t(32));
        QVERIFY(QFile::exists(keyFile + QStringLiteral(".entropy")));
        QVERIFY(!QFile::exists(rootFile()) && !QFile::exists(nonceFile()));
        QVERIFY(test::readWholeFile(keyFile).size() != 40);

        QVERIFY(LocalIntegrityKey::loadKey(keyFile).equals(key));
        QVERIFY(LocalIntegrityKey::getOrCreateKey(keyFile).equals(key));
        QVERIFY(!LocalIntegrityKey::isTpmProtected(keyFile));
        QVERIFY(!LocalIntegrityKey::isHardwareKeyLost(keyFile));
        QCOMPARE(LocalIntegrityKey::protectionOf(keyFile), LocalProtectionKind::Keyring);

        // Another user cannot open it, and neither can this one with another entropy file.
        test::FakeUserDataProtection otherUser;
        protect::setLocalProtectionServices(&tpm_, &otherUser);
        QVERIFY(LocalIntegrityKey::loadKey(keyFile).empty());
        protect::setLocalProtectionServices(&tpm_, &user_);
        QVERIFY(QFile::remove(keyFile + QStringLiteral(".entropy")));
        QVERIFY(LocalIntegrityKey::loadKey(keyFile).empty());
        QVERIFY(QFile::exists(keyFile + QStringLiteral(".entropy"))); // recreated, new bytes
        QVERIFY(LocalIntegrityKey::loadKey(keyFile).empty());
        QCOMPARE(LocalIntegrityKey::protectionOf(keyFile), LocalProtectionKind::Unavailable);
    }

    void refusingUserProtectionCreatesNoKey() {
        tpm_.mode = FakeSealedKeyStore::Mode::NoProvider;
        user_.refuse = true;
        const QString keyFile = path(QStringLiteral("twofactor.dat.key"));
        QVERIFY(LocalIntegrityKey::getOrCreateKey(keyFile).empty());
        QVERIFY(!QFile::exists(keyFile));
    }

    void tpmKeysDeriveFromTheSealedRoot() {
        const QString keyFile = path(QStringLiteral("identity.dat.key"));
        const crypto::SecureBuffer key = LocalIntegrityKey::getOrCreateKey(keyFile);
        QCOMPARE(key.size(), size_t(32));
        const QByteArray keyFileBytes = test::readWholeFile(keyFile);
        QCOMPARE(keyFileBytes.size(), 40);
        QVERIFY(keyFileBytes.startsWith("KVXTPMK2"));
        QVERIFY(!QFile::exists(keyFile + QStringLiteral(".entropy")));
        QCOMPARE(test::readWholeFile(nonceFile()).size(), 16);
        const QByteArray root = test::readWholeFile(rootFile());
        QVERIFY(root.startsWith("KVXTPRT1") && root.size() == 8 + 256);
        QCOMPARE(tpm_.keyCount(), 1);
        QVERIFY(tpm_.has(LocalIntegrityKey::rootKeyName(test::readWholeFile(nonceFile()))));
        QVERIFY(
            LocalIntegrityKey::rootKeyName(QByteArray(16, '\0'))
                .contains(QRegularExpression(QStringLiteral("^ZelvoraLIK_Root_[0-9a-f]{32}$"))));
        QCOMPARE(tpm_.lastPrompt.title, QStringLiteral("Zelvora"));
        QCOMPARE(tpm_.lastPrompt.friendlyName, QStringLiteral("Zelvora local integrity key"));

        // The key is keyed BLAKE2b of the path and salt under the root.
        const auto rootSecret = LocalIntegrityKey::rootSecretFor(folder_);
        QVERIFY(rootSecret);
        QVERIFY(LocalIntegrityKey::deriveFileKey(*rootSecret, keyFile, keyFileBytes.mid(8))
                    .equals(key));

        // A second file shares the root; the same file under another path gets another key.
        const crypto::SecureBuffer other =
            LocalIntegrityKey::getOrCreateKey(path(QStringLiteral("storage.dat.key")));
        QVERIFY(!other.equals(key));
        QCOMPARE(tpm_.keyCount(), 1);
        QVERIFY(QFile::copy(keyFile, path(QStringLiteral("moved.dat.key"))));
        QVERIFY(!LocalIntegrityKey::loadKey(path(QStringLiteral("moved.dat.key"))).equals(key));

        QVERIFY(LocalIntegrityKey::isTpmProtected(keyFile));
        QCOMPARE(LocalIntegrityKey::protectionOf(keyFile), LocalProtectionKind::Tpm);
    }

    void theRootIsUnsealedOncePerSession() {
        const QString keyFile = path(QStringLiteral("identity.dat.key"));
        const crypto::SecureBuffer key = LocalIntegrityKey::getOrCreateKey(keyFile);
        const int afterCreation = tpm_.prompts;
        for (int i = 0; i < 3; ++i)
            QVERIFY(LocalIntegrityKey::loadKey(keyFile).equals(key));
        QCOMPARE(tpm_.prompts, afterCreation);

        LocalIntegrityKey::clearRootCache(); // sign-out
        QVERIFY(LocalIntegrityKey::loadKey(keyFile).equals(key));
        QCOMPARE(tpm_.prompts, afterCreation + 1);
        QVERIFY(LocalIntegrityKey::loadKey(keyFile).equals(key));
        QCOMPARE(tpm_.prompts, afterCreation + 1);

        // A dismissed prompt on unsealing: no key, and the caller learns it was cancelled.
        LocalIntegrityKey::clearRootCache();
        tpm_.mode = FakeSealedKeyStore::Mode::Cancels;
        bool cancelled = false;
        QVERIFY(LocalIntegrityKey::loadKey(keyFile, &cancelled).empty());
        QVERIFY(cancelled);
    }

    void aFailingTpmNeverFallsBackToSoftware_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("warning");
        QTest::newRow("prompt cancelled")
            << int(FakeSealedKeyStore::Mode::Cancels)
            << QStringLiteral(
                   "LocalIntegrityKey: the required TPM security prompt was cancelled -- "
                   "refusing to silently fall back to software-only protection for %1.");
        QTest::newRow("device fault")
            << int(FakeSealedKeyStore::Mode::Fails)
            << QStringLiteral(
                   "LocalIntegrityKey: a TPM is present but could not be used (rejected, "
                   "or a device fault) -- refusing to silently fall back to software-only "
                   "protection for %1.");
    }

    void aFailingTpmNeverFallsBackToSoftware() {
        QFETCH(int, mode);
        QFETCH(QString, warning);
        tpm_.mode = FakeSealedKeyStore::Mode(mode);
        const QString keyFile = path(QStringLiteral("identity.dat.key"));
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning.arg(keyFile)));
        QVERIFY(LocalIntegrityKey::getOrCreateKey(keyFile).empty());
        QVERIFY(!QFile::exists(keyFile));
        QVERIFY(!QFile::exists(keyFile + QStringLiteral(".entropy")));
        QVERIFY(!QFile::exists(rootFile()) && !QFile::exists(nonceFile()));
        QCOMPARE(tpm_.keyCount(), 0); // a partly created key is deleted again
    }

    // Without the sealed root file every key of the folder is lost: reading makes no new root,
    // and neither does a new key beside them (a new root would also shut out the recovery code
    // that can still bring them back). A cleared TPM loses the keys the same way.
    void aLostRootIsNotRecreated() {
        const QString keyFile = path(QStringLiteral("identity.dat.key"));
        QVERIFY(!LocalIntegrityKey::getOrCreateKey(keyFile).empty());
        const QByteArray nonce = test::readWholeFile(nonceFile());
        LocalIntegrityKey::clearRootCache();
        QVERIFY(QFile::remove(rootFile()));
        KeyLoadFailure failure = KeyLoadFailure::None;
        QVERIFY(LocalIntegrityKey::loadKey(keyFile, &failure).empty());
        QCOMPARE(failure, KeyLoadFailure::Unusable);
        QVERIFY(LocalIntegrityKey::isHardwareKeyLost(keyFile));
        QVERIFY(!LocalIntegrityKey::isTpmProtected(keyFile));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                               "sealed root secret of .* is missing while keys")));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("a TPM is present but could not")));
        QVERIFY(LocalIntegrityKey::getOrCreateKey(path(QStringLiteral("b.dat.key"))).empty());
        QVERIFY(!QFile::exists(rootFile()) && !QFile::exists(path(QStringLiteral("b.dat.key"))));
        QCOMPARE(test::readWholeFile(nonceFile()), nonce);

        folder_ += QStringLiteral("-cleared");
        QVERIFY(QDir().mkpath(folder_));
        QVERIFY(!LocalIntegrityKey::getOrCreateKey(path(QStringLiteral("b.dat.key"))).empty());
        LocalIntegrityKey::clearRootCache();
        tpm_.reset();
        QVERIFY(LocalIntegrityKey::isHardwareKeyLost(path(QStringLiteral("b.dat.key"))));
    }

    // A folder whose keys the TPM seals stays the TPM's: when the TPM does not answer, its keys
    // are unavailable (not lost), and a new key is not made in another kind. A folder recorded
    // for the user's protection keeps that, even once a TPM answers.
    void aFolderKeepsItsKindOfProtection() {
        const QString keyFile = path(QStringLiteral("identity.dat.key"));
        QVERIFY(!LocalIntegrityKey::getOrCreateKey(keyFile).empty());
        QCOMPARE(protect::recordedProtection(folder_), protect::FolderProtection::Tpm);
        LocalIntegrityKey::clearRootCache();
        tpm_.mode = FakeSealedKeyStore::Mode::NoProvider;
        KeyLoadFailure failure = KeyLoadFailure::None;
        QVERIFY(LocalIntegrityKey::loadKey(keyFile, &failure).empty());
        QCOMPARE(failure, KeyLoadFailure::Unavailable);
        QVERIFY(!LocalIntegrityKey::isHardwareKeyLost(keyFile));
        const QString another = path(QStringLiteral("twofactor.dat.key"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                               "cannot be reached -- refusing to make a key of "
                                               "another kind")));
        QVERIFY(LocalIntegrityKey::getOrCreateKey(another).empty());
        QVERIFY(!QFile::exists(another) && !QFile::exists(another + QStringLiteral(".entropy")));
        // The record alone (the root files gone with the rest of a restored backup) says so too.
        QVERIFY(QFile::remove(rootFile()) && QFile::remove(nonceFile()) && QFile::remove(keyFile));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot be reached")));
        QVERIFY(LocalIntegrityKey::getOrCreateKey(another).empty());

        const QString userFolder = dir_.filePath(QStringLiteral("keyring-folder"));
        QVERIFY(QDir().mkpath(userFolder));
        QVERIFY(protect::recordProtection(userFolder, protect::FolderProtection::Keyring));
        tpm_.mode = FakeSealedKeyStore::Mode::Works;
        const int tpmKeys = tpm_.keyCount();
        const QString userKey = userFolder + QStringLiteral("/identity.dat.key");
        QVERIFY(!LocalIntegrityKey::getOrCreateKey(userKey).empty());
        QVERIFY(QFile::exists(userKey + QStringLiteral(".entropy")));
        QCOMPARE(tpm_.keyCount(), tpmKeys);
    }

    // Which folders the TPM store serves at a start: the TPM's own (recorded, or with root files
    // from before the record, which then gets recorded), whether or not the TPM answers; a new
    // folder when a TPM answers (recorded at once); never a folder of the user's protection.
    void theTpmServesTheFoldersThatAreItsOwn_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("tpmAnswers");
        QTest::addColumn<int>("use");
        QTest::addColumn<QByteArray>("recordAfter");
        using protect::TpmUse;
        QTest::newRow("new, TPM") << "new" << true << int(TpmUse::Use) << QByteArray("tpm\n");
        QTest::newRow("new, no TPM") << "new" << false << int(TpmUse::DoNotUse) << QByteArray();
        QTest::newRow("TPM's, unrecorded")
            << "root files" << false << int(TpmUse::Use) << QByteArray("tpm\n");
        QTest::newRow("TPM's, recorded, TPM away")
            << "recorded tpm" << false << int(TpmUse::Use) << QByteArray("tpm\n");
        QTest::newRow("keyring's")
            << "recorded keyring" << true << int(TpmUse::DoNotUse) << QByteArray("keyring\n");
        QTest::newRow("software keys from before")
            << "entropy" << true << int(TpmUse::DoNotUse) << QByteArray();
    }
    void theTpmServesTheFoldersThatAreItsOwn() {
        QFETCH(QString, folder);
        QFETCH(bool, tpmAnswers);
        QFETCH(int, use);
        QFETCH(QByteArray, recordAfter);
        const QString record = protect::userProtectionRecordIn(folder_);
        if (folder == QStringLiteral("root files")) {
            QVERIFY(!LocalIntegrityKey::getOrCreateKey(path(QStringLiteral("a.dat.key"))).empty());
            QVERIFY(QFile::remove(record));
        } else if (folder == QStringLiteral("recorded tpm")) {
            QVERIFY(protect::recordProtection(folder_, protect::FolderProtection::Tpm));
        } else if (folder == QStringLiteral("recorded keyring")) {
            QVERIFY(protect::recordProtection(folder_, protect::FolderProtection::Keyring));
        } else if (folder == QStringLiteral("entropy")) {
            QVERIFY(test::writeFile(path(QStringLiteral("a.dat.key.entropy")), "blob"));
        }
        if (!tpmAnswers)
            tpm_.mode = FakeSealedKeyStore::Mode::NoProvider;
        QCOMPARE(int(protect::decideTpmUse(folder_, tpm_).use), use);
        QCOMPARE(test::readWholeFile(record), recordAfter);
    }

    // A lockout and a dismissed prompt leave the key where it is, and each is told as what it
    // is; neither is asked again by every later read until the user tries again.
    void aLockoutIsNotADismissedPrompt() {
        const QString keyFile = path(QStringLiteral("identity.dat.key"));
        const crypto::SecureBuffer key = LocalIntegrityKey::getOrCreateKey(keyFile);
        LocalIntegrityKey::clearRootCache();
        tpm_.mode = FakeSealedKeyStore::Mode::LocksOut;
        KeyLoadFailure failure = KeyLoadFailure::None;
        QVERIFY(LocalIntegrityKey::loadKey(keyFile, &failure).empty());
        QCOMPARE(failure, KeyLoadFailure::LockedOut);
        const int told = tpm_.prompts;
        QVERIFY(LocalIntegrityKey::loadKey(keyFile, &failure).empty());
        QCOMPARE(failure, KeyLoadFailure::LockedOut);
        QCOMPARE(tpm_.prompts, told);
        QVERIFY(!LocalIntegrityKey::isHardwareKeyLost(keyFile));
        tpm_.mode = FakeSealedKeyStore::Mode::Works;
        LocalIntegrityKey::allowPromptsAgain();
        QVERIFY(LocalIntegrityKey::loadKey(keyFile).equals(key));
    }

    void keyFileFormsAreRecognisedByExactShape() {
        // 40 bytes without the magic are a software blob, which does not open.
        const QString fake = path(QStringLiteral("a.dat.key"));
        QVERIFY(test::writeFile(fake, QByteArray("KVXTPMK3") + QByteArray(32, 'x')));
        QVERIFY(LocalIntegrityKey::loadKey(fake).empty());
        QVERIFY(!LocalIntegrityKey::isHardwareKeyLost(fake));

        const QString older = path(QStringLiteral("b.dat.key"));
        QVERIFY(test::writeFile(older, QByteArray("KVXTPMK1") + QByteArray(256, 'y')));
        QVERIFY(LocalIntegrityKey::isOlderKeyFile(older));
        QVERIFY(LocalIntegrityKey::loadKey(older).empty());
        QVERIFY(test::writeFile(older, QByteArray("KVXTPMK1") + QByteArray(255, 'y')));
        QVERIFY(!LocalIntegrityKey::isOlderKeyFile(older));

        // Garbage of any size fails cleanly, and a huge file is not read at all.
        for (int size : {0, 1, 39, 41, 263, 4096, 20 << 20}) {
            QVERIFY(test::writeFile(fake, QByteArray(size, char(size & 0x7F))));
            QVERIFY(LocalIntegrityKey::loadKey(fake).empty());
        }
        QVERIFY(LocalIntegrityKey::loadKey(path(QStringLiteral("missing.key"))).empty());
    }

    void sealingRefusesAKeyNameAlreadyTaken() {
        const QByteArray nonce(16, '\x07');
        const QString name = LocalIntegrityKey::rootKeyName(nonce);
        tpm_.plantKey(name);
        QByteArray ciphertext;
        bool taken = false;
        QTest::ignoreMessage(QtWarningMsg,
                             "LocalIntegrityKey: refusing to seal under a sealed-key name that "
                             "already exists -- something this call doesn't understand already "
                             "created it.");
        QCOMPARE(LocalIntegrityKey::sealRoot(crypto::SecureBuffer(32), nonce, &ciphertext, &taken),
                 platform::SealedKeyResult::Failed);
        QVERIFY(taken);
        QVERIFY(tpm_.has(name)); // somebody else's key is left alone
    }

    void legacyPerFileTpmKeysCanBeDeleted() {
        const QString keyFile = path(QStringLiteral("identity.dat.key"));
        const QByteArray path = keyFile.toUtf8();
        unsigned char digest[16];
        crypto_generichash(digest, sizeof digest,
                           reinterpret_cast<const unsigned char*>(path.constData()), path.size(),
                           nullptr, 0);
        const QString name =
            QStringLiteral("ZelvoraLIK_") +
            QString::fromLatin1(QByteArray(reinterpret_cast<char*>(digest), 16).toHex());
        tpm_.plantKey(name);
        QVERIFY(LocalIntegrityKey::deleteLegacyTpmKey(keyFile));
        QVERIFY(!tpm_.has(name));
        QVERIFY(LocalIntegrityKey::deleteLegacyTpmKey(keyFile)); // already gone
        tpm_.mode = FakeSealedKeyStore::Mode::NoProvider;
        QVERIFY(LocalIntegrityKey::deleteLegacyTpmKey(keyFile));
    }
};

QTEST_GUILESS_MAIN(LocalIntegrityKeyTest)
#include "tst_localintegritykey.moc"
