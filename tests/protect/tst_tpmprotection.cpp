#include "crypto/Base32.h"
#include "platform/TpmSealedKeyStore.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/ProtectedFile.h"
#include "protect/RecoveryCode.h"
#include "support/PlatformDoubles.h"
#include "support/ScriptedPinPrompt.h"
#include "support/SoftwareTpm.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <sodium.h>

using namespace korvex;
using platform::PinRequest;
using protect::LocalIntegrityKey;

// The settings keys sealed by a real (software) TPM through the TPM store, the way the program
// runs on a machine with a TPM 2.0.
class TpmProtectionTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<test::SoftwareTpm> tpm_;
    QTemporaryDir dir_;
    QString folder_;
    QString keys_;
    test::ScriptedPinPrompt prompt_;
    test::FakeUserDataProtection user_;
    std::unique_ptr<platform::TpmSealedKeyStore> store_;

    QString path(const QString& name) const { return folder_ + QLatin1Char('/') + name; }
    QString identity() const { return path(QStringLiteral("identity.dat")); }
    QString storage() const { return path(QStringLiteral("storage.dat")); }
    QString rootFile() const { return LocalIntegrityKey::rootFileIn(folder_); }
    QString nonceFile() const { return LocalIntegrityKey::rootNonceFileIn(folder_); }

    // A new store on the TPM as it now is, as a new start of the program makes.
    void restart() {
        store_ = std::make_unique<platform::TpmSealedKeyStore>(tpm_->tcti(), keys_, &prompt_);
        protect::setLocalProtectionServices(store_.get(), &user_);
        LocalIntegrityKey::clearRootCache();
    }

    bool writeSettings(const QString& file) {
        return protect::writeProtectedFile(
            file, QJsonObject{{QStringLiteral("name"), QFileInfo(file).fileName()}},
            protect::EnvelopeKind::Authenticated);
    }

    bool readsBack(const QString& file) {
        return protect::readProtectedFile(file, protect::EnvelopeKind::Authenticated).ok();
    }

    // Everything the folder holds now, by name.
    QStringList folderContents() const {
        return QDir(folder_).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

private Q_SLOTS:
    void init() {
        tpm_ = std::make_unique<test::SoftwareTpm>();
        if (!tpm_->isRunning())
            QSKIP(qPrintable(tpm_->failure()));
        QString name = QString::fromLatin1(QTest::currentTestFunction());
        if (QTest::currentDataTag() != nullptr)
            name += QLatin1Char('-') + QString::fromLatin1(QTest::currentDataTag());
        folder_ = dir_.filePath(name.replace(QLatin1Char(' '), QLatin1Char('_')));
        keys_ = folder_ + QStringLiteral("-tpm-keys");
        QVERIFY(QDir().mkpath(folder_));
        prompt_ = test::ScriptedPinPrompt();
        restart();
    }
    void cleanup() {
        protect::setLocalProtectionServices(nullptr, nullptr);
        LocalIntegrityKey::clearRootCache();
        store_.reset();
        tpm_.reset();
    }

    // The first settings key makes the folder's root secret, sealed under a new TPM key whose
    // PIN the user chooses; the key file is the 40-byte TPM form and no software-form key is
    // made. The root stays with the session, so further keys ask nothing until sign-out.
    void theFirstKeyIsSealedByTheTpm() {
        prompt_.answers = {QByteArray("2468")};
        QVERIFY(writeSettings(identity()));
        QCOMPARE(prompt_.asked, QList<PinRequest>{PinRequest::NewPin});
        const QByteArray keyFile = test::readWholeFile(identity() + QStringLiteral(".key"));
        QCOMPARE(keyFile.size(), protect::kTpmKeyFileBytes);
        QVERIFY(keyFile.startsWith(QByteArray(protect::kTpmKeyFileMagic, 8)));
        QCOMPARE(folderContents(),
                 (QStringList{QStringLiteral("identity.dat"), QStringLiteral("identity.dat.key"),
                              QStringLiteral("local_integrity_root.dat"),
                              QStringLiteral("local_integrity_root.nonce")}));
        QCOMPARE(LocalIntegrityKey::protectionOf(identity() + QStringLiteral(".key")),
                 protect::LocalProtectionKind::Tpm);

        QVERIFY(writeSettings(storage()));
        QVERIFY(readsBack(identity()));
        QCOMPARE(prompt_.asked.size(), 1);

        // After sign-out the next use asks for the PIN once; a wrong one is asked again.
        LocalIntegrityKey::clearRootCache();
        prompt_.answers = {QByteArray("1111"), QByteArray("2468")};
        QVERIFY(readsBack(storage()));
        QVERIFY(readsBack(identity()));
        QCOMPARE(prompt_.asked,
                 (QList<PinRequest>{PinRequest::NewPin, PinRequest::Pin, PinRequest::WrongPin}));
    }

    // Cancelling the PIN at creation gives no key and leaves nothing behind: no TPM key, no root
    // files, and never a weaker software-form key. Cancelling at use gives no key either and
    // says the prompt was cancelled.
    void cancellingThePinLeavesNothing() {
        prompt_.answers = {std::nullopt};
        QVERIFY(LocalIntegrityKey::getOrCreateKey(identity() + QStringLiteral(".key")).empty());
        QVERIFY(folderContents().isEmpty());
        QVERIFY(QDir(keys_).entryList(QDir::Files).isEmpty());

        prompt_.answers = {QByteArray("2468")};
        QVERIFY(writeSettings(identity()));
        LocalIntegrityKey::clearRootCache();
        prompt_.answers = {std::nullopt};
        const protect::ProtectedReadResult read =
            protect::readProtectedFile(identity(), protect::EnvelopeKind::Authenticated);
        QCOMPARE(read.status, protect::ProtectedReadStatus::KeyUnavailable);
        QCOMPARE(read.keyFailure, protect::KeyLoadFailure::PromptCancelled);
        // Further reads do not ask again until the user tries again (or signs in anew).
        QVERIFY(!readsBack(identity()));
        QCOMPARE(prompt_.asked.size(), 3);
        LocalIntegrityKey::allowPromptsAgain();
        prompt_.answers = {QByteArray("2468")};
        QVERIFY(readsBack(identity()));
        QCOMPARE(prompt_.asked.size(), 4);
    }

    // Without the sealed root file every TPM-form key is lost; reading creates nothing new.
    void withoutTheRootFileTheHardwareKeyIsLost() {
        prompt_.answers = {QByteArray("2468")};
        QVERIFY(writeSettings(identity()));
        QVERIFY(writeSettings(storage()));
        QVERIFY(QFile::remove(rootFile()));
        restart();
        const QStringList before = folderContents();
        for (const QString& file : {identity(), storage()}) {
            QVERIFY(LocalIntegrityKey::isHardwareKeyLost(file + QStringLiteral(".key")));
            QVERIFY(!readsBack(file));
        }
        QCOMPARE(folderContents(), before);
        QCOMPARE(prompt_.asked, QList<PinRequest>{PinRequest::NewPin});
    }

    // A cleared (or replaced) TPM loses the folder's keys; the recovery code shown before brings
    // them back under a new TPM key with a new PIN. A code of another installation, or one that
    // decodes to 31 bytes, changes nothing.
    void theRecoveryCodeSurvivesAClearedTpm() {
        prompt_.answers = {QByteArray("2468")};
        QVERIFY(writeSettings(identity()));
        QVERIFY(writeSettings(storage()));
        const QString code = protect::recoveryCodeFor(identity() + QStringLiteral(".key"));
        QCOMPARE(code.size(), 56);

        QVERIFY2(tpm_->clear(), qPrintable(tpm_->failure()));
        restart();
        prompt_.answers = {QByteArray("2468")};
        QVERIFY(LocalIntegrityKey::isHardwareKeyLost(identity() + QStringLiteral(".key")));
        QVERIFY(!readsBack(identity()));

        const QByteArray nonce = test::readWholeFile(nonceFile());
        const QByteArray root = test::readWholeFile(rootFile());
        for (const QString& wrong : {crypto::encodeBase32(std::vector<std::uint8_t>(32, 7)),
                                     crypto::encodeBase32(std::vector<std::uint8_t>(31, 7))}) {
            QVERIFY(!protect::restoreFromRecoveryCode(identity() + QStringLiteral(".key"), wrong));
            QCOMPARE(test::readWholeFile(nonceFile()), nonce);
            QCOMPARE(test::readWholeFile(rootFile()), root);
        }

        prompt_ = test::ScriptedPinPrompt();
        prompt_.answers = {QByteArray("97531")};
        QVERIFY(protect::restoreFromRecoveryCode(identity() + QStringLiteral(".key"), code));
        QCOMPARE(prompt_.asked, QList<PinRequest>{PinRequest::NewPin});
        QVERIFY(readsBack(identity()));
        QVERIFY(readsBack(storage()));
        // A later start unseals the restored root with the new PIN.
        restart();
        prompt_.answers = {QByteArray("97531")};
        QVERIFY(readsBack(identity()));
        QVERIFY(readsBack(storage()));
    }

    // A damaged key file in the TPM key store, a sealed root file of the wrong length, or a TPM
    // that goes away after start-up: the keys fail cleanly, nothing protected is overwritten,
    // and a new key is not made in the weaker software form either.
    void badInputFailsCleanly_data() {
        QTest::addColumn<QString>("damage");
        QTest::newRow("key store file truncated") << QStringLiteral("truncated");
        QTest::newRow("key store blob altered") << QStringLiteral("altered");
        QTest::newRow("root file of the wrong length") << QStringLiteral("short root");
        QTest::newRow("the TPM goes away") << QStringLiteral("gone");
    }
    void badInputFailsCleanly() {
        QFETCH(QString, damage);
        prompt_.answers = {QByteArray("2468")};
        QVERIFY(writeSettings(identity()));
        const QByteArray identityBefore = test::readWholeFile(identity());
        const QStringList keyFiles = QDir(keys_).entryList(QDir::Files);
        QCOMPARE(keyFiles.size(), 1);
        const QString keyStoreFile = keys_ + QLatin1Char('/') + keyFiles.first();
        QByteArray stored = test::readWholeFile(keyStoreFile);
        if (damage == QStringLiteral("truncated")) {
            QVERIFY(test::writeFile(keyStoreFile, stored.left(stored.size() / 2)));
        } else if (damage == QStringLiteral("altered")) {
            QJsonObject json = QJsonDocument::fromJson(stored).object();
            QByteArray blob =
                QByteArray::fromBase64(json.value(QStringLiteral("private")).toString().toLatin1());
            blob[blob.size() / 2] = char(blob[blob.size() / 2] ^ 0x10);
            json[QStringLiteral("private")] = QString::fromLatin1(blob.toBase64());
            QVERIFY(test::writeFile(keyStoreFile, QJsonDocument(json).toJson()));
        } else if (damage == QStringLiteral("short root")) {
            QVERIFY(test::writeFile(rootFile(), test::readWholeFile(rootFile()).chopped(1)));
        }
        restart();
        prompt_.answers = {QByteArray("2468")};
        if (damage == QStringLiteral("gone")) {
            QVERIFY(store_->hasProvider());
            tpm_->stop();
        }

        QVERIFY(LocalIntegrityKey::loadKey(identity() + QStringLiteral(".key")).empty());
        QVERIFY(!readsBack(identity()));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral(
                                 "a TPM is present but could not be used .* refusing to silently "
                                 "fall back to software-only protection for .*storage.dat.key")));
        QVERIFY(!writeSettings(storage()));
        QCOMPARE(test::readWholeFile(identity()), identityBefore);
        QVERIFY(!QFile::exists(storage()));
        QVERIFY(!QFile::exists(storage() + QStringLiteral(".key")));
        QVERIFY(!QFile::exists(storage() + QStringLiteral(".key.entropy")));
    }

    // An older per-file key of a path is removed from the key store; none there is no failure.
    void theOlderPerFileKeyIsDeleted() {
        const QString keyFile = identity() + QStringLiteral(".key");
        const QByteArray path = keyFile.toUtf8();
        unsigned char digest[16];
        crypto_generichash(digest, sizeof digest,
                           reinterpret_cast<const unsigned char*>(path.constData()),
                           static_cast<unsigned long long>(path.size()), nullptr, 0);
        const QString name =
            QStringLiteral("ZelvoraLIK_") +
            QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), 16).toHex());
        prompt_.answers = {QByteArray("2468")};
        QCOMPARE(store_->createKey(name, LocalIntegrityKey::sealingPrompt()),
                 platform::SealedKeyResult::Ok);
        bool exists = false;
        QCOMPARE(store_->keyExists(name, &exists), platform::SealedKeyResult::Ok);
        QVERIFY(exists);
        QVERIFY(LocalIntegrityKey::deleteLegacyTpmKey(keyFile));
        QCOMPARE(store_->keyExists(name, &exists), platform::SealedKeyResult::Ok);
        QVERIFY(!exists);
        QVERIFY(LocalIntegrityKey::deleteLegacyTpmKey(keyFile));
    }
};

QTEST_GUILESS_MAIN(TpmProtectionTest)
#include "tst_tpmprotection.moc"
