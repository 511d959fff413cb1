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
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
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

    // Every file of the data folder and the TPM key folder, by path.
    QMap<QString, QByteArray> snapshot() const {
        QMap<QString, QByteArray> files;
        for (const QString& folder : {folder_, keys_}) {
            for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden))
                files.insert(folder + QLatin1Char('/') + name,
                             test::readWholeFile(folder + QLatin1Char('/') + name));
        }
        return files;
    }
    bool putBack(const QMap<QString, QByteArray>& files) const {
        for (const QString& folder : {folder_, keys_}) {
            for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden)) {
                if (!QFile::remove(folder + QLatin1Char('/') + name))
                    return false;
            }
        }
        for (auto file = files.begin(); file != files.end(); ++file) {
            if (!test::writeFile(file.key(), file.value()))
                return false;
        }
        return true;
    }

    // The restore in a process of its own, under strace with the given options; true when it
    // ended as expected (killed, or restored).
    bool runRestore(const QStringList& straceOptions, const QString& code, bool killed) {
        QProcess helper;
        helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // The leak checker cannot run under a tracer; the helper's leaks are of no interest here.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("ASAN_OPTIONS"),
                           environment.value(QStringLiteral("ASAN_OPTIONS")) +
                               QStringLiteral(":detect_leaks=0"));
        helper.setProcessEnvironment(environment);
        helper.start(QStandardPaths::findExecutable(QStringLiteral("strace")),
                     straceOptions + QStringList{QStringLiteral(ZELVORA_RESTORE_HELPER),
                                                 tpm_->tcti(), keys_,
                                                 identity() + QStringLiteral(".key"), code,
                                                 QStringLiteral("97531")});
        if (!helper.waitForFinished(60000))
            return false;
        // strace passes on the traced program's end: a kill as a crash, an exit as its status.
        if (killed)
            return helper.exitStatus() == QProcess::CrashExit || helper.exitCode() == 128 + 9 ||
                   helper.exitCode() == 137;
        return helper.exitStatus() == QProcess::NormalExit && helper.exitCode() == 0;
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
                              QStringLiteral("key_protection.txt"),
                              QStringLiteral("local_integrity_root.dat"),
                              QStringLiteral("local_integrity_root.nonce")}));
        QCOMPARE(test::readWholeFile(path(QStringLiteral("key_protection.txt"))),
                 QByteArray("tpm\n"));
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

    // A restore is cut short at each of its writes in turn (the process killed just before the
    // write): the folder then opens either as it was (with the old PIN) or as restored (with the
    // new PIN), never as a mix of the two, and as restored exactly from the write that commits
    // the change. A restore that runs through leaves neither the change file nor the previous
    // TPM key behind.
    void everyCrashDuringARestoreLeavesTheOldOrTheNewRoot() {
        if (QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty())
            QSKIP("strace is not installed");
        prompt_.answers = {QByteArray("2468")};
        QVERIFY(writeSettings(identity()));
        QVERIFY(writeSettings(storage()));
        const QString code = protect::recoveryCodeFor(identity() + QStringLiteral(".key"));
        const QString oldKeyFile =
            keys_ + QLatin1Char('/') +
            LocalIntegrityKey::rootKeyName(test::readWholeFile(nonceFile())) +
            QStringLiteral(".tpmkey");
        QVERIFY(QFile::exists(oldKeyFile));
        store_.reset();
        const QMap<QString, QByteArray> before = snapshot();
        const QString changeFile = LocalIntegrityKey::rootChangeFileIn(folder_);

        // One run traced, to learn the writes it makes to the two folders: each as a system
        // call and its count among the calls of that name.
        const QString tracePath = dir_.filePath(QStringLiteral("restore.trace"));
        const QString calls = QStringLiteral("rename,renameat,renameat2,unlink,unlinkat,linkat");
        QVERIFY(runRestore({QStringLiteral("-qq"), QStringLiteral("-o"), tracePath,
                            QStringLiteral("-e"), QStringLiteral("trace=") + calls},
                           code, false));
        struct Point {
            QString call;
            int count;
            QString line;
        };
        QList<Point> points;
        QMap<QString, int> counts;
        for (const QByteArray& raw : test::readWholeFile(tracePath).split('\n')) {
            const QString line = QString::fromUtf8(raw);
            const QString call = line.section(QLatin1Char('('), 0, 0);
            if (call.isEmpty() || !line.contains(QLatin1Char('(')))
                continue;
            const int count = ++counts[call];
            if (line.contains(folder_))
                points.append(Point{call, count, line});
        }
        // The commit: the change file put in place (renamed or linked to its name).
        qsizetype commit = -1;
        static const QRegularExpression target(QStringLiteral("\"([^\"]*)\"[^\"]*= 0$"));
        for (qsizetype i = 0; i < points.size() && commit < 0; ++i) {
            if (points[i].call != QStringLiteral("unlink") &&
                points[i].call != QStringLiteral("unlinkat") &&
                target.match(points[i].line).captured(1) == changeFile)
                commit = i;
        }
        QVERIFY2(commit > 0 && points.size() > commit + 2,
                 qPrintable(test::readWholeFile(tracePath)));

        for (qsizetype k = 0; k <= points.size(); ++k) {
            const bool throughToTheEnd = k == points.size();
            const QString where = throughToTheEnd ? QStringLiteral("no crash") : points[k].line;
            QVERIFY(putBack(before));
            QVERIFY2(tpm_->resume(), qPrintable(tpm_->failure()));
            QStringList options{QStringLiteral("-qq"), QStringLiteral("-o"),
                                QStringLiteral("/dev/null")};
            if (!throughToTheEnd)
                options << QStringLiteral("-e")
                        << QStringLiteral("inject=%1:signal=KILL:when=%2")
                               .arg(points[k].call)
                               .arg(points[k].count);
            QVERIFY2(runRestore(options, code, !throughToTheEnd), qPrintable(where));
            // What the next start finds, on the TPM as a restart leaves it.
            QVERIFY2(tpm_->resume(), qPrintable(tpm_->failure()));
            restart();
            const bool committed = k > commit;
            prompt_ = test::ScriptedPinPrompt();
            prompt_.answers = {committed ? QByteArray("97531") : QByteArray("2468")};
            QVERIFY2(readsBack(identity()) && readsBack(storage()), qPrintable(where));
            QCOMPARE(prompt_.asked, QList<PinRequest>{PinRequest::Pin});
            if (!committed) {
                QVERIFY2(test::readWholeFile(nonceFile()) == before.value(nonceFile()) &&
                             test::readWholeFile(rootFile()) == before.value(rootFile()),
                         qPrintable(where));
            } else {
                QVERIFY2(!QFile::exists(changeFile), qPrintable(where));
                QVERIFY2(!QFile::exists(oldKeyFile), qPrintable(where));
            }
        }
    }

    // A damaged key file in the TPM key store, a sealed root file of the wrong length, or a TPM
    // that goes away after start-up: the keys fail cleanly, nothing protected is overwritten,
    // and a new key is not made in the weaker software form either. A TPM that is gone is told
    // as out of reach, not as a lost key.
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
            // Gone after the program found it, as at a start that went well.
            QVERIFY(store_->hasProvider());
            tpm_->stop();
        }

        const bool gone = damage == QStringLiteral("gone");
        if (gone)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral("stopped answering")));
        protect::KeyLoadFailure failure = protect::KeyLoadFailure::None;
        QVERIFY(LocalIntegrityKey::loadKey(identity() + QStringLiteral(".key"), &failure).empty());
        QCOMPARE(failure,
                 gone ? protect::KeyLoadFailure::Unavailable : protect::KeyLoadFailure::Unusable);
        QCOMPARE(LocalIntegrityKey::isHardwareKeyLost(identity() + QStringLiteral(".key")), !gone);
        QVERIFY(!readsBack(identity()));
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(
                gone ? QStringLiteral("the TPM that protects this folder's keys cannot be reached "
                                      "-- refusing to make a key of another kind for "
                                      ".*storage.dat.key")
                     : QStringLiteral("a TPM is present but could not be used .* refusing to "
                                      "silently fall back to software-only protection for "
                                      ".*storage.dat.key")));
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
