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
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

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
        folder_ = dir_.filePath(QString::fromLatin1(QTest::currentTestFunction()));
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
};

QTEST_GUILESS_MAIN(TpmProtectionTest)
#include "tst_tpmprotection.moc"
