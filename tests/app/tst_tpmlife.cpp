// The program on a machine with a TPM 2.0 (a real software TPM), across its whole life, each
// start a process of its own started the way main starts it: the first run seals the account
// under a TPM key whose PIN the user chooses, and a sign-out and sign-in ask for the PIN once;
// the TPM is cleared, and the start offers the restore from the recovery code and goes on; the
// TPM is stopped, and the start says it cannot be reached, that nothing is lost, and changes
// nothing; the TPM is back, and the account and the vault open with the new PIN.

#include "support/SoftwareTpm.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace korvex;

namespace {

const QString kPassword = QStringLiteral("Correct-Horse-42!");
const QByteArray kDocument("sealed by the TPM, across restarts\n");

} // namespace

class TestTpmLife : public QObject {
    Q_OBJECT

    std::unique_ptr<test::SoftwareTpm> tpm_;
    QTemporaryDir home_;
    QString data_;
    QString keys_;
    QString document_;
    QString code_;

    // One start of the program under a scenario, for the user whose home is home; what it
    // showed, line by line.
    QStringList start(const QString& scenario, const QString& pin, int* exitCode,
                      const QString& home = QString()) {
        const QDir user(home.isEmpty() ? home_.path() : home);
        QDir().mkpath(user.filePath(QStringLiteral("run")));
        QFile::setPermissions(user.filePath(QStringLiteral("run")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), user.path());
        environment.insert(QStringLiteral("XDG_DATA_HOME"), user.filePath(QStringLiteral("share")));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                           user.filePath(QStringLiteral("config")));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), user.filePath(QStringLiteral("run")));
        // No desktop session: no keyring, no session bus.
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("ZELVORA_TPM_TCTI"), tpm_->tcti());
        environment.insert(QStringLiteral("ZELVORA_TEST_SCENARIO"), scenario);
        environment.insert(QStringLiteral("ZELVORA_TEST_PIN"), pin);
        environment.insert(QStringLiteral("ZELVORA_TEST_USER"), QStringLiteral("dana"));
        environment.insert(QStringLiteral("ZELVORA_TEST_PASSWORD"), kPassword);
        environment.insert(QStringLiteral("ZELVORA_TEST_DOCUMENT"), document_);
        environment.insert(QStringLiteral("ZELVORA_TEST_CODE"), code_);
        program.setProcessEnvironment(environment);
        program.setProcessChannelMode(QProcess::SeparateChannels);
        program.start(QStringLiteral(ZELVORA_PROGRAM_HELPER));
        if (!program.waitForFinished(180000)) {
            program.kill();
            program.waitForFinished();
        }
        *exitCode = program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
        QStringList shown;
        for (const QString& line : QString::fromUtf8(program.readAllStandardOutput())
                                       .split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            if (line.startsWith(QStringLiteral("CODE ")))
                code_ = line.mid(5);
            // A box's first sentence says what it is.
            shown << (line.startsWith(QStringLiteral("BOX ")) ? line.section(QLatin1Char('.'), 0, 0)
                      : line.startsWith(QStringLiteral("CODE ")) ? QStringLiteral("CODE")
                                                                 : line);
        }
        qInfo("%s: %s", qPrintable(scenario), qPrintable(shown.join(QStringLiteral(" / "))));
        return shown;
    }

    // The data folder's own files and the TPM key folder's, by path.
    QMap<QString, QByteArray> filesOnDisk() const {
        QMap<QString, QByteArray> files;
        for (const QString& folder : {data_, keys_}) {
            for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden))
                files.insert(folder + QLatin1Char('/') + name,
                             test::readWholeFile(folder + QLatin1Char('/') + name));
        }
        return files;
    }

private Q_SLOTS:
    void initTestCase() {
        tpm_ = std::make_unique<test::SoftwareTpm>();
        if (!tpm_->isRunning())
            QSKIP(qPrintable(tpm_->failure()));
        QVERIFY(home_.isValid());
        data_ = home_.filePath(QStringLiteral("share/Zelvora"));
        keys_ = home_.filePath(QStringLiteral("share/zelvora-tpm-keys"));
        QVERIFY(QDir().mkpath(home_.filePath(QStringLiteral("outside"))));
        document_ = home_.filePath(QStringLiteral("outside/report.txt"));
        QVERIFY(test::writeFile(document_, kDocument));
    }

    void theFirstRunSealsTheAccountAndASignInAsksThePinOnce() {
        int exitCode = -1;
        const QStringList shown =
            start(QStringLiteral("first-run"), QStringLiteral("2468"), &exitCode);
        QCOMPARE(exitCode, 0);
        QCOMPARE(shown,
                 (QStringList{QStringLiteral("PIN new"), QStringLiteral("STEP imported"),
                              QStringLiteral("CODE"), QStringLiteral("STEP signed out"),
                              QStringLiteral("PIN use"), QStringLiteral("DOCUMENT intact")}));
        QCOMPARE(test::readWholeFile(data_ + QStringLiteral("/key_protection.txt")),
                 QByteArray("tpm\n"));
        QVERIFY(code_.size() == 64);
    }

    void aClearedTpmIsRestoredAtStartWithTheCode() {
        QVERIFY(!code_.isEmpty());
        QVERIFY2(tpm_->clear(), qPrintable(tpm_->failure()));
        int exitCode = -1;
        const QStringList shown =
            start(QStringLiteral("restore"), QStringLiteral("97531"), &exitCode);
        QCOMPARE(exitCode, 0);
        QCOMPARE(shown,
                 (QStringList{QStringLiteral("BOX Zelvora - Storage Configuration Error|Zelvora "
                                             "could not obtain the hardware security key that "
                                             "protects its storage configuration on this device "
                                             "-- most likely your PC's TPM was reset or cleared, "
                                             "or this data was moved from a different computer"),
                              QStringLiteral("PIN new"),
                              QStringLiteral("BOX Restore From Recovery Code|Restored"),
                              QStringLiteral("DOCUMENT intact")}));
        // The previous key went with the restore.
        QCOMPARE(QDir(keys_).entryList({QStringLiteral("*.tpmkey")}, QDir::Files).size(), 1);
    }

    void aTpmOutOfReachIsToldAsSuchAndNothingChanges() {
        const QMap<QString, QByteArray> before = filesOnDisk();
        tpm_->stop();
        int exitCode = -1;
        const QStringList shown = start(QStringLiteral("refused"), QString(), &exitCode);
        QCOMPARE(exitCode, 1);
        QCOMPARE(shown, (QStringList{QStringLiteral(
                            "BOX Zelvora - Storage Configuration Error|The TPM that protects "
                            "Zelvora's settings cannot be reached right now")}));
        QCOMPARE(filesOnDisk(), before);
    }

    void theTpmBackOpensEverythingWithTheNewPin() {
        QVERIFY2(tpm_->resume(), qPrintable(tpm_->failure()));
        int exitCode = -1;
        const QStringList shown =
            start(QStringLiteral("sign-in"), QStringLiteral("97531"), &exitCode);
        QCOMPARE(exitCode, 0);
        QCOMPARE(shown,
                 (QStringList{QStringLiteral("PIN use"), QStringLiteral("DOCUMENT intact")}));
    }

    // Another user's first start, on a TPM whose owner hierarchy has a password: the program
    // says so rather than silently taking a weaker protection, and the user's choice to go on
    // without the TPM stands for the data folder.
    void aTpmThatCannotBeUsedIsToldAtFirstRun() {
        QVERIFY(tpm_->setOwnerPassword("administrator's"));
        QTemporaryDir other;
        int exitCode = -1;
        const QStringList shown =
            start(QStringLiteral("without-tpm"), QString(), &exitCode, other.path());
        QCOMPARE(exitCode, 0);
        QCOMPARE(shown, (QStringList{QStringLiteral("BOX Zelvora - TPM Not Usable|This computer "
                                                    "has a TPM, but its owner hierarchy is "
                                                    "protected by a password that Zelvora does "
                                                    "not know, so Zelvora cannot make its key "
                                                    "there"),
                                     QStringLiteral("STEP signed in")}));
        QCOMPARE(test::readWholeFile(other.filePath(QStringLiteral("share/Zelvora/"
                                                                   "key_protection.txt"))),
                 QByteArray("keyfile\n"));
        QVERIFY(!QFileInfo::exists(other.filePath(QStringLiteral("share/zelvora-tpm-keys"))));
    }
};

QTEST_GUILESS_MAIN(TestTpmLife)
#include "tst_tpmlife.moc"
