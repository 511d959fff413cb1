#include "platform/TpmSealedKeyStore.h"
#include "support/ScriptedPinPrompt.h"
#include "support/SoftwareTpm.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

using namespace korvex;
using platform::PinRequest;
using platform::SealedKeyResult;
using platform::TpmSealedKeyStore;
using test::ScriptedPinPrompt;

namespace {

platform::SealedKeyPrompt words() {
    return {QStringLiteral("Zelvora"), QStringLiteral("Zelvora local integrity key"),
            QStringLiteral("Protects the integrity of Zelvora's settings.")};
}

const QString kName = QStringLiteral("ZelvoraLIK_Root_0123456789abcdef0123456789abcdef");

crypto::SecureBuffer secret() {
    return crypto::SecureBuffer::copyOf("a 32-byte root secret, for tests", 32);
}

unsigned modeOf(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

} // namespace

class TestTpmSealedKeyStore : public QObject {
    Q_OBJECT

private slots:
    void init() {
        tpm_ = std::make_unique<test::SoftwareTpm>();
        if (!tpm_->isRunning())
            QSKIP(qPrintable(tpm_->failure()));
        keys_ = std::make_unique<QTemporaryDir>();
        folder_ = keys_->filePath(QStringLiteral("tpm-keys"));
        store_ = std::make_unique<TpmSealedKeyStore>(tpm_->tcti(), folder_, &prompt_);
        prompt_ = ScriptedPinPrompt();
    }
    void cleanup() {
        store_.reset();
        tpm_.reset();
    }

    // A key is created with a PIN chosen twice-over by the prompt, seals without asking, and
    // unseals only after the PIN; it lives in a private file of its own until deleted.
    void aSealedSecretOpensWithThePin() {
        prompt_.answers = {QByteArray("2468"), QByteArray("2468")};
        QVERIFY(store_->hasProvider());
        bool exists = true;
        QCOMPARE(store_->keyExists(kName, &exists), SealedKeyResult::Ok);
        QVERIFY(!exists);
        QCOMPARE(store_->createKey(kName, words()), SealedKeyResult::Ok);
        QCOMPARE(prompt_.asked, QList<PinRequest>{PinRequest::NewPin});
        QCOMPARE(store_->keyExists(kName, &exists), SealedKeyResult::Ok);
        QVERIFY(exists);
        const QString file = folder_ + QLatin1Char('/') + kName + QStringLiteral(".tpmkey");
        QCOMPARE(modeOf(folder_), 0700u);
        QCOMPARE(modeOf(file), 0600u);

        QByteArray sealed;
        QCOMPARE(store_->encrypt(kName, secret(), &sealed), SealedKeyResult::Ok);
        QCOMPARE(sealed.size(), 256);
        QCOMPARE(prompt_.asked.size(), 1);
        crypto::SecureBuffer opened;
        QCOMPARE(store_->decrypt(kName, sealed, &opened), SealedKeyResult::Ok);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(opened.data()), int(opened.size())),
                 QByteArray("a 32-byte root secret, for tests"));
        QCOMPARE(prompt_.asked, (QList<PinRequest>{PinRequest::NewPin, PinRequest::Pin}));
        // The use prompt shows the words given when the key was made.
        QCOMPARE(prompt_.shownNames.last(), words().friendlyName);

        // Another store on the same TPM and folder (a later start) opens it too.
        ScriptedPinPrompt later;
        later.answers = {QByteArray("2468")};
        TpmSealedKeyStore again(tpm_->tcti(), folder_, &later);
        crypto::SecureBuffer reopened;
        QCOMPARE(again.decrypt(kName, sealed, &reopened), SealedKeyResult::Ok);
        QCOMPARE(reopened.size(), std::size_t(32));

        QCOMPARE(store_->deleteKey(kName), SealedKeyResult::Ok);
        QVERIFY(!QFileInfo::exists(file));
        QCOMPARE(store_->deleteKey(kName), SealedKeyResult::Ok);
        QCOMPARE(store_->decrypt(kName, sealed, &opened), SealedKeyResult::Failed);
    }

    // A wrong PIN is asked again (and counted by the TPM, not by the program); Cancel at any
    // prompt is PromptCancelled and leaves nothing behind; too many wrong PINs lock the key out,
    // which the user is told, and which ends like a dismissed prompt rather than a lost key.
    void wrongPinsCancelAndLockout() {
        prompt_.answers = {std::nullopt};
        QCOMPARE(store_->createKey(kName, words()), SealedKeyResult::PromptCancelled);
        bool exists = true;
        QCOMPARE(store_->keyExists(kName, &exists), SealedKeyResult::Ok);
        QVERIFY(!exists);

        prompt_ = ScriptedPinPrompt();
        prompt_.answers = {QByteArray("1357"), QByteArray("0000"), QByteArray("1357"),
                           std::nullopt};
        QCOMPARE(store_->createKey(kName, words()), SealedKeyResult::Ok);
        QByteArray sealed;
        QCOMPARE(store_->encrypt(kName, secret(), &sealed), SealedKeyResult::Ok);
        crypto::SecureBuffer opened;
        QCOMPARE(store_->decrypt(kName, sealed, &opened), SealedKeyResult::Ok);
        QCOMPARE(prompt_.asked,
                 (QList<PinRequest>{PinRequest::NewPin, PinRequest::Pin, PinRequest::WrongPin}));
        QCOMPARE(store_->decrypt(kName, sealed, &opened), SealedKeyResult::PromptCancelled);

        QVERIFY(tpm_->setLockoutPolicy(2, 600));
        prompt_ = ScriptedPinPrompt();
        prompt_.answers = {QByteArray("1"), QByteArray("2"), QByteArray("3"), QByteArray("1357")};
        QCOMPARE(store_->decrypt(kName, sealed, &opened), SealedKeyResult::PromptCancelled);
        QCOMPARE(prompt_.lockedOut, 1);
        // Locked out, no PIN is asked for: the user is told again.
        prompt_ = ScriptedPinPrompt();
        prompt_.answers = {QByteArray("1357")};
        QCOMPARE(store_->decrypt(kName, sealed, &opened), SealedKeyResult::PromptCancelled);
        QVERIFY(prompt_.asked.isEmpty());
        QCOMPARE(prompt_.lockedOut, 1);
    }

    // A TPM that was cleared (or replaced) cannot load a key made before: unsealing fails
    // without a prompt.
    void aClearedTpmNoLongerOpensTheKey() {
        prompt_.answers = {QByteArray("2468")};
        QCOMPARE(store_->createKey(kName, words()), SealedKeyResult::Ok);
        QByteArray sealed;
        QCOMPARE(store_->encrypt(kName, secret(), &sealed), SealedKeyResult::Ok);
        store_.reset();
        QVERIFY2(tpm_->clear(), qPrintable(tpm_->failure()));
        ScriptedPinPrompt after;
        after.answers = {QByteArray("2468")};
        TpmSealedKeyStore fresh(tpm_->tcti(), folder_, &after);
        crypto::SecureBuffer opened;
        QCOMPARE(fresh.decrypt(kName, sealed, &opened), SealedKeyResult::Failed);
        QVERIFY(after.asked.isEmpty());
    }

    // No TPM at the other end (nothing listening, a device that does not exist, a TCTI that
    // does not exist): no provider, and every operation says so.
    void withoutATpmThereIsNoProvider_data() {
        QTest::addColumn<QString>("tcti");
        QTest::newRow("nothing listening") << QStringLiteral("swtpm:host=127.0.0.1,port=1");
        QTest::newRow("no device") << QStringLiteral("device:/dev/no-such-tpm");
        QTest::newRow("unknown TCTI") << QStringLiteral("no-such-tcti");
    }
    void withoutATpmThereIsNoProvider() {
        QFETCH(QString, tcti);
        TpmSealedKeyStore none(tcti, folder_, &prompt_);
        QVERIFY(!none.hasProvider());
        bool exists = true;
        QCOMPARE(none.keyExists(kName, &exists), SealedKeyResult::NoProvider);
        QVERIFY(!exists);
        QCOMPARE(none.createKey(kName, words()), SealedKeyResult::NoProvider);
        QByteArray sealed;
        QCOMPARE(none.encrypt(kName, secret(), &sealed), SealedKeyResult::NoProvider);
        crypto::SecureBuffer opened;
        QCOMPARE(none.decrypt(kName, QByteArray(256, 'x'), &opened), SealedKeyResult::NoProvider);
        QCOMPARE(none.deleteKey(kName), SealedKeyResult::NoProvider);
        QVERIFY(prompt_.asked.isEmpty());
        QVERIFY(!QFileInfo::exists(folder_));
    }

private:
    std::unique_ptr<test::SoftwareTpm> tpm_;
    std::unique_ptr<QTemporaryDir> keys_;
    QString folder_;
    ScriptedPinPrompt prompt_;
    std::unique_ptr<TpmSealedKeyStore> store_;
};

QTEST_GUILESS_MAIN(TestTpmSealedKeyStore)
#include "tst_tpmsealedkeystore.moc"
