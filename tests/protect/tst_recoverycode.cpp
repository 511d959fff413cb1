#include "crypto/Base32.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/ProtectedFile.h"
#include "protect/RecoveryCode.h"
#include "support/PlatformDoubles.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace korvex;
using protect::LocalIntegrityKey;
using test::FakeSealedKeyStore;

class RecoveryCodeTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    QString folder_;
    FakeSealedKeyStore tpm_;
    test::FakeUserDataProtection user_;

    QString path(const QString& name) const { return folder_ + QLatin1Char('/') + name; }
    QString keyFile() const { return path(QStringLiteral("identity.dat.key")); }
    QString nonceFile() const { return path(QStringLiteral("local_integrity_root.nonce")); }
    QString rootFile() const { return path(QStringLiteral("local_integrity_root.dat")); }

    // An account file protected in the TPM form, as the account manager writes it.
    void makeAccount(const QString& folderName) {
        folder_ = dir_.filePath(folderName);
        QVERIFY(QDir().mkpath(folder_));
        QVERIFY(protect::writeProtectedFile(
            path(QStringLiteral("identity.dat")),
            QJsonObject{{QStringLiteral("username"), QStringLiteral("ada")}},
            protect::EnvelopeKind::Authenticated));
        QVERIFY(LocalIntegrityKey::isTpmProtected(keyFile()));
    }

    // The code with the loose formatting a person might type.
    static QString typedByHand(QString code) {
        code.remove(QLatin1Char('='));
        QString typed;
        for (int i = 0; i < code.size(); ++i) {
            if (i > 0 && i % 4 == 0)
                typed += (i % 8 == 0) ? QStringLiteral(" ") : QStringLiteral("-");
            typed += code[i].toLower();
        }
        return typed;
    }

private Q_SLOTS:
    void init() {
        QVERIFY(dir_.isValid());
        tpm_.mode = FakeSealedKeyStore::Mode::Works;
        tpm_.reset();
        protect::setLocalProtectionServices(&tpm_, &user_);
        LocalIntegrityKey::clearRootCache();
    }
    void cleanupTestCase() { protect::setLocalProtectionServices(nullptr, nullptr); }

    void theCodeRestoresAccessAfterTheTpmIsCleared() {
        makeAccount(QStringLiteral("restore"));
        const crypto::SecureBuffer key = LocalIntegrityKey::loadKey(keyFile());
        const QString code = protect::recoveryCodeFor(keyFile());
        QCOMPARE(code.size(), 56);
        QVERIFY(code.endsWith(QStringLiteral("====")) &&
                !code.chopped(4).contains(QLatin1Char('=')));
        const auto decoded = crypto::decodeBase32(code);
        QVERIFY(decoded && decoded->equals(*LocalIntegrityKey::rootSecretFor(folder_)));

        // The TPM is cleared: every settings key of the folder is lost.
        tpm_.reset();
        LocalIntegrityKey::clearRootCache();
        QVERIFY(LocalIntegrityKey::isHardwareKeyLost(keyFile()));
        const QByteArray oldNonce = test::readWholeFile(nonceFile());

        QVERIFY(protect::restoreFromRecoveryCode(keyFile(), typedByHand(code)));
        QVERIFY(test::readWholeFile(nonceFile()) != oldNonce);
        QCOMPARE(tpm_.keyCount(), 1);
        QVERIFY(LocalIntegrityKey::loadKey(keyFile()).equals(key));
        LocalIntegrityKey::clearRootCache();
        QVERIFY(LocalIntegrityKey::loadKey(keyFile()).equals(key)); // unsealed from the new files
        QVERIFY(protect::readProtectedFile(path(QStringLiteral("identity.dat")),
                                           protect::EnvelopeKind::Authenticated)
                    .ok());
    }

    void wrongCodesChangeNothing_data() {
        QTest::addColumn<QString>("code");
        const QString valid =
            QStringLiteral("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA====");
        QTest::newRow("another installation's code") << valid;
        QTest::newRow("a 1 in it") << QString(valid).replace(3, 1, QLatin1Char('1'));
        QTest::newRow("a 0 in it") << QString(valid).replace(3, 1, QLatin1Char('0'));
        QTest::newRow("an 8 in it") << QString(valid).replace(3, 1, QLatin1Char('8'));
        QTest::newRow("31 bytes") << crypto::encodeBase32(std::vector<std::uint8_t>(31, 1));
        QTest::newRow("33 bytes") << crypto::encodeBase32(std::vector<std::uint8_t>(33, 1));
        QTest::newRow("empty") << QString();
    }

    void wrongCodesChangeNothing() {
        QFETCH(QString, code);
        makeAccount(QStringLiteral("wrong-%1")
                        .arg(QTest::currentDataTag())
                        .replace(QLatin1Char(' '), QLatin1Char('_')));
        const QByteArray nonce = test::readWholeFile(nonceFile());
        const QByteArray root = test::readWholeFile(rootFile());
        QVERIFY(!protect::restoreFromRecoveryCode(keyFile(), code));
        QCOMPARE(test::readWholeFile(nonceFile()), nonce);
        QCOMPARE(test::readWholeFile(rootFile()), root);
        QCOMPARE(tpm_.keyCount(), 1);
    }

    void softwareProtectedFoldersHaveNoCodeToRestore() {
        tpm_.mode = FakeSealedKeyStore::Mode::NoProvider;
        folder_ = dir_.filePath(QStringLiteral("software"));
        QVERIFY(protect::writeProtectedFile(path(QStringLiteral("identity.dat")), QJsonObject{},
                                            protect::EnvelopeKind::Authenticated));
        QVERIFY(protect::recoveryCodeFor(keyFile()).isEmpty());
        tpm_.mode = FakeSealedKeyStore::Mode::Works;
        const QString someCode = crypto::encodeBase32(std::vector<std::uint8_t>(32, 9));
        QVERIFY(!protect::restoreFromRecoveryCode(keyFile(), someCode));
        QVERIFY(!QFile::exists(nonceFile()));
        QCOMPARE(tpm_.keyCount(), 0);
    }

    // A restore on a TPM that still holds the old key: the previous TPM key is deleted once the
    // new root files are in place, and nothing of the change is left behind.
    void aRestoreDeletesThePreviousKey() {
        makeAccount(QStringLiteral("previous"));
        const QString code = protect::recoveryCodeFor(keyFile());
        const QString oldKey = LocalIntegrityKey::rootKeyName(test::readWholeFile(nonceFile()));
        QVERIFY(tpm_.has(oldKey));
        QVERIFY(protect::restoreFromRecoveryCode(keyFile(), code));
        QVERIFY(!tpm_.has(oldKey));
        QVERIFY(tpm_.has(LocalIntegrityKey::rootKeyName(test::readWholeFile(nonceFile()))));
        QCOMPARE(tpm_.keyCount(), 1);
        QVERIFY(!QFile::exists(LocalIntegrityKey::rootChangeFileIn(folder_)));
    }

    // A restore whose root file cannot be replaced yet is committed all the same: the keys come
    // from the recorded change meanwhile, and the change is completed (the old key deleted) once
    // the file can be written.
    void aRestoreCutShortIsCompletedLater() {
        makeAccount(QStringLiteral("interrupted"));
        const crypto::SecureBuffer key = LocalIntegrityKey::loadKey(keyFile());
        const QString code = protect::recoveryCodeFor(keyFile());
        const QString oldKey = LocalIntegrityKey::rootKeyName(test::readWholeFile(nonceFile()));
        // The root file cannot be replaced: a folder stands where it would be renamed to.
        QVERIFY(QFile::remove(rootFile()));
        QVERIFY(QDir().mkpath(rootFile() + QStringLiteral("/blocker")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                               "putting it in place is not finished")));
        QVERIFY(protect::restoreFromRecoveryCode(keyFile(), code));
        QVERIFY(QFile::exists(LocalIntegrityKey::rootChangeFileIn(folder_)));
        QCOMPARE(tpm_.keyCount(), 2);

        LocalIntegrityKey::clearRootCache();
        QTest::ignoreMessage(
            QtWarningMsg, QRegularExpression(QStringLiteral("could not complete the root change")));
        QVERIFY(LocalIntegrityKey::loadKey(keyFile()).equals(key));
        QVERIFY(tpm_.has(oldKey));

        QVERIFY(QDir(rootFile()).removeRecursively());
        LocalIntegrityKey::clearRootCache();
        QVERIFY(LocalIntegrityKey::loadKey(keyFile()).equals(key));
        QVERIFY(!QFile::exists(LocalIntegrityKey::rootChangeFileIn(folder_)));
        QVERIFY(test::readWholeFile(rootFile()).startsWith("KVXTPRT1"));
        QVERIFY(!tpm_.has(oldKey));
        QCOMPARE(tpm_.keyCount(), 1);
        LocalIntegrityKey::clearRootCache();
        QVERIFY(LocalIntegrityKey::loadKey(keyFile()).equals(key));
    }

    void noTpmNoRestore() {
        makeAccount(QStringLiteral("no-tpm"));
        const QString code = protect::recoveryCodeFor(keyFile());
        const QByteArray nonce = test::readWholeFile(nonceFile());
        for (auto mode : {FakeSealedKeyStore::Mode::NoProvider, FakeSealedKeyStore::Mode::Fails,
                          FakeSealedKeyStore::Mode::Cancels}) {
            tpm_.mode = mode;
            QVERIFY(!protect::restoreFromRecoveryCode(keyFile(), code));
            QCOMPARE(test::readWholeFile(nonceFile()), nonce);
        }
    }
};

QTEST_GUILESS_MAIN(RecoveryCodeTest)
#include "tst_recoverycode.moc"
