// Start-up as a whole: the refusals come before any dialog and change nothing, and legacy
// folders are moved into place before the account is looked for.

#include "app/SingleInstance.h"
#include "app/Startup.h"
#include "core/StorageConfigFile.h"
#include "platform/PrivateSessionBus.h"
#include "protect/LocalIntegrityKey.h"
#include "support/PlatformDoubles.h"
#include "support/TestSupport.h"
#include "ui/LoginDialog.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <sys/stat.h>

using namespace korvex;

namespace {

struct Refusal {
    QString title;
    QString text;
};

} // namespace

class TestStartup : public QObject {
    Q_OBJECT

    test::FakeSealedKeyStore tpm_;
    test::FakeUserDataProtection user_;
    QStringList dialogs_;
    QTimer dialogWatch_;

    // Runs start-up against dataHome as the generic data location; every dialog that appears is
    // recorded and rejected.
    int start(const QString& dataHome, QList<Refusal>* refusals) {
        qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome));
        dialogs_.clear();
        return app::startAndRunSessions([refusals](const QString& title, const QString& text) {
            refusals->append(Refusal{title, text});
        });
    }

private Q_SLOTS:
    void initTestCase() {
        protect::setLocalProtectionServices(&tpm_, &user_);
        connect(&dialogWatch_, &QTimer::timeout, this, [this] {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                dialogs_ << QString::fromLatin1(dialog->metaObject()->className());
                dialog->reject();
            }
        });
        dialogWatch_.start(25);
    }
    void cleanupTestCase() { protect::setLocalProtectionServices(nullptr, nullptr); }

    void unreadableStorageConfigurationRefusesToStart_data() {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("startOfMessage");
        QTest::newRow("older key format")
            << "older key"
            << "Zelvora's storage configuration was created by an older version";
        QTest::newRow("hardware key gone") << "tpm cleared"
                                           << "Zelvora could not obtain the hardware security key";
        QTest::newRow("tampered") << "tampered"
                                  << "Zelvora's storage configuration could not be verified";
    }
    void unreadableStorageConfigurationRefusesToStart() {
        QFETCH(QString, damage);
        QFETCH(QString, startOfMessage);
        QTemporaryDir home;
        const QString data = home.filePath(QStringLiteral("Zelvora"));
        const QString storagePath = data + QStringLiteral("/storage.dat");
        tpm_.reset();
        tpm_.mode = damage == QStringLiteral("tpm cleared")
                        ? test::FakeSealedKeyStore::Mode::Works
                        : test::FakeSealedKeyStore::Mode::NoProvider;
        QVERIFY(core::StorageConfigFile(storagePath, QStringLiteral("m"), 0)
                    .save(core::StorageConfig()));
        if (damage == QStringLiteral("older key")) {
            QByteArray older(264, '\x5a');
            older.replace(0, 8, "KVXTPMK1");
            QVERIFY(test::writeFile(storagePath + QStringLiteral(".key"), older));
        } else if (damage == QStringLiteral("tpm cleared")) {
            QCOMPARE(QFileInfo(storagePath + QStringLiteral(".key")).size(), 40);
            tpm_.reset();
            protect::LocalIntegrityKey::clearRootCache();
        } else {
            QVERIFY(test::flipByte(storagePath, 20));
        }
        const QByteArray before = test::readWholeFile(storagePath);

        QList<Refusal> refusals;
        QCOMPARE(start(home.path(), &refusals), 1);
        QCOMPARE(refusals.size(), 1);
        QCOMPARE(refusals[0].title, QStringLiteral("Zelvora - Storage Configuration Error"));
        QVERIFY2(refusals[0].text.startsWith(startOfMessage), qPrintable(refusals[0].text));
        QVERIFY(dialogs_.isEmpty());
        QCOMPARE(test::readWholeFile(storagePath), before);
        QVERIFY(!QFile::exists(data + QStringLiteral("/identity.dat")));
        tpm_.mode = test::FakeSealedKeyStore::Mode::NoProvider;
    }

    void legacyFolderIsMovedIntoPlace() {
        tpm_.mode = test::FakeSealedKeyStore::Mode::NoProvider;
        QTemporaryDir home;
        const QString legacy = home.filePath(QStringLiteral("KORVEX/KORVEX"));
        QVERIFY(QDir().mkpath(legacy));
        QVERIFY(test::writeFile(legacy + QStringLiteral("/identity.dat"), "old account"));
        QVERIFY(test::writeFile(legacy + QStringLiteral("/twofactor.dat"), "old two-factor"));

        QList<Refusal> refusals;
        QCOMPARE(start(home.path(), &refusals), 0);
        QVERIFY(refusals.isEmpty());
        // An account was found there, so the sign-in was asked for (and cancelled here).
        QCOMPARE(dialogs_, QStringList{QStringLiteral("LoginDialog")});
        const QString data = home.filePath(QStringLiteral("Zelvora"));
        QCOMPARE(test::readWholeFile(data + QStringLiteral("/identity.dat")),
                 QByteArray("old account"));
        QCOMPARE(test::readWholeFile(data + QStringLiteral("/twofactor.dat")),
                 QByteArray("old two-factor"));
        QVERIFY(!QFileInfo::exists(home.filePath(QStringLiteral("Zelvora/Zelvora"))));
        QVERIFY(!QFile::exists(data + QStringLiteral("/.writecheck")));
    }

    void readOnlyDataFolderRefusesBeforeAnyDialog() {
        if (::geteuid() != 0)
            QSKIP("runs the start-up as the user nobody, which needs root");
        QTemporaryDir root;
        QVERIFY(::chmod(QFile::encodeName(root.path()).constData(), 0755) == 0);
        const QString share = root.filePath(QStringLiteral("share"));
        const QString home = root.filePath(QStringLiteral("home"));
        QVERIFY(QDir().mkpath(share + QStringLiteral("/Zelvora")));
        QVERIFY(QDir().mkpath(home));
        // The data folder exists but belongs to root: nobody may read it and not write it.
        QVERIFY(QProcess::execute(QStringLiteral("chown"), {QStringLiteral("nobody"), home}) == 0);

        QProcess helper;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), share);
        environment.insert(QStringLiteral("HOME"), home);
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        helper.setProcessEnvironment(environment);
        helper.start(QStringLiteral("runuser"),
                     {QStringLiteral("-u"), QStringLiteral("nobody"), QStringLiteral("--"),
                      QStringLiteral(ZELVORA_STARTUP_HELPER)});
        QVERIFY(helper.waitForFinished(60000));
        const QString out = QString::fromUtf8(helper.readAllStandardOutput());
        QVERIFY2(helper.exitStatus() == QProcess::NormalExit && helper.exitCode() == 1,
                 qPrintable(out + QString::fromUtf8(helper.readAllStandardError())));
        QVERIFY2(
            out.startsWith(QStringLiteral("REFUSED Zelvora - Data Folder Not Writable\n"
                                          "Zelvora cannot save changes to its data folder:\n") +
                           share + QStringLiteral("/Zelvora\n")),
            qPrintable(out));
        QVERIFY(!out.contains(QStringLiteral("DIALOG")));
        QCOMPARE(QDir(share + QStringLiteral("/Zelvora"))
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
    }

    // A second start for the same data folder brings the running one to the front and says so,
    // instead of showing a sign-in of its own.
    void aLaterStartDefersToTheRunningOne() {
        QTemporaryDir home;
        app::SingleInstance running(home.filePath(QStringLiteral("Zelvora")));
        QCOMPARE(running.start(), app::SingleInstance::Outcome::First);
        QSignalSpy activations(&running, &app::SingleInstance::activationRequested);

        QProcess helper;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        helper.setProcessEnvironment(environment);
        helper.start(QStringLiteral(ZELVORA_STARTUP_HELPER));
        // The running one answers from this event loop.
        QVERIFY(
            QTest::qWaitFor([&helper] { return helper.state() == QProcess::NotRunning; }, 60000));
        const QString out = QString::fromUtf8(helper.readAllStandardOutput());
        QVERIFY2(helper.exitStatus() == QProcess::NormalExit && helper.exitCode() == 0,
                 qPrintable(out));
        // Only the box saying so: no sign-in or first run of its own, and nothing on disk.
        QCOMPARE(out, QStringLiteral("DIALOG QMessageBox\n"));
        QCOMPARE(activations.count(), 1);
        QVERIFY(!QFileInfo::exists(home.filePath(QStringLiteral("Zelvora"))));
    }
};

int main(int argc, char** argv) {
    test::PrivateSessionBus session;
    if (!session.isolate())
        return 2;
    QApplication app(argc, argv);
    TestStartup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
