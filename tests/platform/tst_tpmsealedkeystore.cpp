#include "platform/TpmSealedKeyStore.h"
#include "support/ScriptedPinPrompt.h"
#include "support/SoftwareTpm.h"
#include "support/TestSupport.h"
#include "support/TpmWireTap.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

using namespace korvex;
using platform::PinRequest;
using platform::SealedKeyAvailability;
using platform::SealedKeyResult;
using platform::TpmSealedKeyStore;
using test::ScriptedPinPrompt;
using test::TpmWireTap;

namespace {

platform::SealedKeyPrompt words() {
    return {QStringLiteral("Zelvora"), QStringLiteral("Zelvora local integrity key"),
            QStringLiteral("Protects the integrity of Zelvora's settings.")};
}

const QString kName = QStringLiteral("ZelvoraLIK_Root_0123456789abcdef0123456789abcdef");

crypto::SecureBuffer secret() {
    return crypto::SecureBuffer::copyOf("a 32-byte root secret, for tests", 32);
}

QString keyFileOf(const QString& folder) {
    return folder + QLatin1Char('/') + kName + QStringLiteral(".tpmkey");
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
    // prompt is PromptCancelled and leaves nothing behind. The prompt is told how many tries the
    // TPM still allows; too many wrong PINs lock the key out, which the user is told with its
    // duration, and which ends as a lockout rather than a dismissed prompt or a lost key.
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

        QVERIFY(tpm_->setLockoutPolicy(3, 600));
        prompt_ = ScriptedPinPrompt();
        prompt_.answers = {QByteArray("1"), QByteArray("2"), QByteArray("3"), QByteArray("1357")};
        QCOMPARE(store_->decrypt(kName, sealed, &opened), SealedKeyResult::LockedOut);
        QCOMPARE(prompt_.lockedOut, 1);
        QCOMPARE(prompt_.lockoutTold.lockoutSeconds, std::optional<quint32>(600));
        // Each prompt knew one try fewer was left, down to the last.
        QVERIFY(prompt_.triesTold.size() >= 2);
        QCOMPARE(prompt_.triesTold.last().left, std::optional<quint32>(1));
        for (qsizetype i = 1; i < prompt_.triesTold.size(); ++i)
            QCOMPARE(*prompt_.triesTold[i].left, *prompt_.triesTold[i - 1].left - 1);
        QCOMPARE(prompt_.triesTold.first().lockoutSeconds, std::optional<quint32>(600));
        // Locked out, no PIN is asked for: the user is told again.
        prompt_ = ScriptedPinPrompt();
        prompt_.answers = {QByteArray("1357")};
        QCOMPARE(store_->decrypt(kName, sealed, &opened), SealedKeyResult::LockedOut);
        QVERIFY(prompt_.asked.isEmpty());
        QCOMPARE(prompt_.lockedOut, 1);
    }

    // Everything that crosses the wire to and from the TPM, read on the way: neither the PIN,
    // nor the authorisation value made of it, nor the secret appears, when the key is made, when
    // the secret is sealed, or when it is unsealed.
    void nothingSecretCrossesTheWire() {
        TpmWireTap tap(tpm_->port());
        QVERIFY(tap.isRunning());
        const QByteArray pin("Pin-4711-wire");
        ScriptedPinPrompt prompt;
        prompt.answers = {pin, pin};
        TpmSealedKeyStore store(tap.tcti(), folder_, &prompt);
        QCOMPARE(store.createKey(kName, words()), SealedKeyResult::Ok);
        QByteArray sealed;
        QCOMPARE(store.encrypt(kName, secret(), &sealed), SealedKeyResult::Ok);
        crypto::SecureBuffer opened;
        QCOMPARE(store.decrypt(kName, sealed, &opened), SealedKeyResult::Ok);
        QCOMPARE(test::bytesOf(opened), test::bytesOf(secret()));

        const QByteArray sent = tap.sentToTpm();
        const QByteArray received = tap.receivedFromTpm();
        // The tap saw the traffic: the sealed secret went to the TPM to be unsealed.
        QVERIFY(sent.contains(sealed));
        const QByteArray authValue = QCryptographicHash::hash(pin, QCryptographicHash::Sha256);
        for (const QByteArray& wire : {sent, received}) {
            QVERIFY(!wire.contains(pin));
            QVERIFY(!wire.contains(authValue));
            QVERIFY(!wire.contains(test::bytesOf(secret())));
        }
    }

    // A key is used only under the storage primary key it was made under, whose name its file
    // records: under another (the TPM was cleared, or something answers in its place) it is
    // refused before a PIN is asked. A key file from before the name was recorded still works.
    void aKeyIsUsedOnlyUnderItsOwnPrimary() {
        prompt_.answers = {QByteArray("2468")};
        QCOMPARE(store_->createKey(kName, words()), SealedKeyResult::Ok);
        QByteArray sealed;
        QCOMPARE(store_->encrypt(kName, secret(), &sealed), SealedKeyResult::Ok);
        const QByteArray original = test::readWholeFile(keyFileOf(folder_));
        QJsonObject json = QJsonDocument::fromJson(original).object();
        QByteArray parent =
            QByteArray::fromBase64(json.value(QStringLiteral("parentName")).toString().toLatin1());
        QCOMPARE(parent.size(), 34); // a SHA-256 name: the algorithm, then the digest
        parent[parent.size() - 1] = char(parent.back() ^ 1);
        json[QStringLiteral("parentName")] = QString::fromLatin1(parent.toBase64());
        QVERIFY(test::writeFile(keyFileOf(folder_), QJsonDocument(json).toJson()));

        prompt_ = ScriptedPinPrompt();
        prompt_.answers = {QByteArray("2468")};
        crypto::SecureBuffer opened;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                               "storage primary key is not the one .* was made "
                                               "under")));
        QCOMPARE(store_->decrypt(kName, sealed, &opened), SealedKeyResult::Failed);
        QVERIFY(prompt_.asked.isEmpty());

        json.remove(QStringLiteral("parentName"));
        QVERIFY(test::writeFile(keyFileOf(folder_), QJsonDocument(json).toJson()));
        QCOMPARE(store_->decrypt(kName, sealed, &opened), SealedKeyResult::Ok);
    }

    // A TPM that answers but cannot be used is told apart from none: an owner hierarchy with a
    // password, or no room for another object. Neither makes a key.
    void aTpmThatCannotBeUsedSaysWhy_data() {
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("availability");
        QTest::newRow("usable") << QStringLiteral("usable") << int(SealedKeyAvailability::Usable);
        QTest::newRow("owner password")
            << QStringLiteral("owner password") << int(SealedKeyAvailability::OwnerPasswordSet);
        QTest::newRow("no room") << QStringLiteral("no room") << int(SealedKeyAvailability::NoRoom);
        QTest::newRow("stopped") << QStringLiteral("stopped") << int(SealedKeyAvailability::Absent);
    }
    void aTpmThatCannotBeUsedSaysWhy() {
        QFETCH(QString, state);
        QFETCH(int, availability);
        if (state == QStringLiteral("owner password"))
            QVERIFY(tpm_->setOwnerPassword("administrator's"));
        else if (state == QStringLiteral("no room"))
            QVERIFY(tpm_->fillTransientObjects() > 0);
        else if (state == QStringLiteral("stopped"))
            tpm_->stop();
        TpmSealedKeyStore store(tpm_->tcti(), folder_, &prompt_);
        QCOMPARE(int(store.availability()), availability);
        QCOMPARE(store.hasProvider(), state == QStringLiteral("usable"));
        if (state != QStringLiteral("usable")) {
            QCOMPARE(store.createKey(kName, words()), SealedKeyResult::NoProvider);
            QVERIFY(prompt_.asked.isEmpty());
        }
    }

    // A TPM that stops answering while the program runs is unreachable, not a lost key; once
    // it is back and the user tries again, the same key opens.
    void aTpmThatGoesAwayIsUnreachableUntilItIsBack() {
        prompt_.answers = {QByteArray("2468"), QByteArray("2468")};
        QCOMPARE(store_->createKey(kName, words()), SealedKeyResult::Ok);
        QByteArray sealed;
        QCOMPARE(store_->encrypt(kName, secret(), &sealed), SealedKeyResult::Ok);
        tpm_->stop();
        crypto::SecureBuffer opened;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("stopped answering")));
        QCOMPARE(store_->decrypt(kName, sealed, &opened), SealedKeyResult::Unreachable);
        QCOMPARE(store_->decrypt(kName, sealed, &opened), SealedKeyResult::NoProvider);
        QCOMPARE(prompt_.asked, QList<PinRequest>{PinRequest::NewPin});

        QVERIFY2(tpm_->resume(), qPrintable(tpm_->failure()));
        // A store made for that TCTI (the same port, when it was free) finds it again.
        TpmSealedKeyStore later(tpm_->tcti(), folder_, &prompt_);
        if (later.tctiConfig() == store_->tctiConfig()) {
            store_->retry();
            QCOMPARE(store_->decrypt(kName, sealed, &opened), SealedKeyResult::Ok);
        } else {
            QCOMPARE(later.decrypt(kName, sealed, &opened), SealedKeyResult::Ok);
        }
        QCOMPARE(test::bytesOf(opened), test::bytesOf(secret()));
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
