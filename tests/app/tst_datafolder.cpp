#include "app/DataFolder.h"
#include "protect/LocalIntegrityKey.h"
#include "support/OrdinaryUser.h"
#include "support/PlatformDoubles.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvex;

using korvex::test::modeOf;

namespace {

using Tree = QMap<QString, QByteArray>; // relative path -> content

QByteArray nativePath(const QString& path) {
    return QFile::encodeName(path);
}

// Every file below root, hidden ones included.
Tree treeOf(const QString& root) {
    Tree tree;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        tree.insert(QDir(root).relativeFilePath(path), test::readWholeFile(path));
    }
    return tree;
}

bool plant(const QString& root, const Tree& tree) {
    for (auto it = tree.begin(); it != tree.end(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        if (!QDir().mkpath(QFileInfo(path).path()) || !test::writeFile(path, it.value()))
            return false;
    }
    return true;
}

const QRegularExpression
    kUuid(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));

} // namespace

class DataFolderTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;
    test::OrdinaryUser ordinary_;
    test::FakeSealedKeyStore tpm_;
    test::FakeUserDataProtection user_;

    QString path(const QString& name) const { return dir_->filePath(name); }
    bool giveToOrdinaryUser(const QString& path) const { return ordinary_.giveTo(path); }
    // Runs the helper as nobody; exit status, with its standard error in errors.
    int runAsOrdinaryUser(const QStringList& arguments, QString* errors = nullptr) {
        return ordinary_.run(arguments, true, errors);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(ordinary_.prepare(QStringLiteral(ZELVORA_DATAFOLDER_HELPER)));
        protect::setLocalProtectionServices(&tpm_, &user_);
    }
    void cleanupTestCase() { protect::setLocalProtectionServices(nullptr, nullptr); }

    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        QVERIFY(::chmod(nativePath(dir_->path()).constData(), 0755) == 0);
    }

    void theDataFolderIsCreatedUnderTheGenericDataLocation() {
        const QByteArray savedHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", nativePath(path(QStringLiteral("share"))));
        QCoreApplication::setOrganizationName(QString());
        QCoreApplication::setApplicationName(QStringLiteral("Zelvora"));
        const QString folder = app::dataFolderPath();
        qputenv("XDG_DATA_HOME", savedHome);

        QCOMPARE(folder, path(QStringLiteral("share/Zelvora")));
        QVERIFY(QFileInfo(folder).isDir());
    }

    void legacyFoldersMigrate_data() {
        QTest::addColumn<Tree>("before");
        QTest::addColumn<Tree>("after");
        QTest::addColumn<bool>("intermediateRemains");

        QTest::newRow("code-name folder reaches the data folder through the intermediate one")
            << Tree{{"KORVEX/KORVEX/identity.dat", "account"},
                    {"KORVEX/KORVEX/storage.dat", "storage"},
                    {"KORVEX/KORVEX/.hidden", "not moved"},
                    {"KORVEX/KORVEX/sub/nested.dat", "not moved either"}}
            << Tree{{"Zelvora/identity.dat", "account"},
                    {"Zelvora/storage.dat", "storage"},
                    {"KORVEX/KORVEX/.hidden", "not moved"},
                    {"KORVEX/KORVEX/sub/nested.dat", "not moved either"}}
            << false;
        QTest::newRow("nested product folder")
            << Tree{{"Zelvora/Zelvora/identity.dat", "account"},
                    {"Zelvora/Zelvora/twofactor.dat", "2fa"}}
            << Tree{{"Zelvora/identity.dat", "account"}, {"Zelvora/twofactor.dat", "2fa"}} << false;
        QTest::newRow("data folder and legacy folders all hold an account: nothing moves")
            << Tree{{"Zelvora/identity.dat", "current"},
                    {"Zelvora/Zelvora/identity.dat", "nested"},
                    {"KORVEX/KORVEX/identity.dat", "code-name"}}
            << Tree{{"Zelvora/identity.dat", "current"},
                    {"Zelvora/Zelvora/identity.dat", "nested"},
                    {"KORVEX/KORVEX/identity.dat", "code-name"}}
            << true;
        QTest::newRow("no account anywhere: nothing moves")
            << Tree{{"Zelvora/Zelvora/zelvora.log", "log"},
                    {"KORVEX/KORVEX/storage.dat", "storage"}}
            << Tree{{"Zelvora/Zelvora/zelvora.log", "log"},
                    {"KORVEX/KORVEX/storage.dat", "storage"}}
            << true;
        // A name taken in the data folder: that file stays behind, and so does its folder.
        QTest::newRow("a file that cannot be moved keeps the intermediate folder")
            << Tree{{"Zelvora/Zelvora/identity.dat", "account"},
                    {"Zelvora/Zelvora/storage.dat", "old storage"},
                    {"Zelvora/storage.dat", "current storage"}}
            << Tree{{"Zelvora/identity.dat", "account"},
                    {"Zelvora/storage.dat", "current storage"},
                    {"Zelvora/Zelvora/storage.dat", "old storage"}}
            << true;
    }

    void legacyFoldersMigrate() {
        QFETCH(Tree, before);
        QFETCH(Tree, after);
        QFETCH(bool, intermediateRemains);
        const QString generic = path(QStringLiteral("share"));
        QVERIFY(plant(generic, before));

        app::migrateLegacyFolders(generic);

        QCOMPARE(treeOf(generic), after);
        QCOMPARE(QFileInfo::exists(generic + QStringLiteral("/Zelvora/Zelvora")),
                 intermediateRemains);
    }

    void writabilityProbe_data() {
        QTest::addColumn<bool>("asOrdinaryUser");
        QTest::addColumn<int>("folderMode"); // -1: no folder
        QTest::addColumn<bool>("writable");
        QTest::newRow("ordinary folder") << false << 0700 << true;
        QTest::newRow("missing folder") << false << -1 << false;
        QTest::newRow("open to the ordinary user") << true << 0777 << true;
        QTest::newRow("read-only for the ordinary user") << true << 0755 << false;
    }

    void writabilityProbe() {
        QFETCH(bool, asOrdinaryUser);
        QFETCH(int, folderMode);
        QFETCH(bool, writable);
        if (asOrdinaryUser && !ordinary_.unavailable().isEmpty())
            QSKIP(qPrintable(ordinary_.unavailable()));
        const QString folder = path(QStringLiteral("data"));
        if (folderMode >= 0) {
            QVERIFY(QDir().mkpath(folder));
            QVERIFY(::chmod(nativePath(folder).constData(), mode_t(folderMode)) == 0);
        }

        const bool result = asOrdinaryUser
                                ? runAsOrdinaryUser({QStringLiteral("writable"), folder}) == 0
                                : app::isDataFolderWritable(folder);
        QCOMPARE(result, writable);
        // Neither the probe nor a temporary file of the atomic save is left behind.
        if (folderMode >= 0)
            QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                     QStringList());
    }

    void accessRepairFixesWhatItMayAndLogsTheRest() {
        if (!ordinary_.unavailable().isEmpty())
            QSKIP(qPrintable(ordinary_.unavailable()));
        const QString folder = path(QStringLiteral("data"));
        const QString locked = folder + QStringLiteral("/identity.dat");
        const QString foreign = folder + QStringLiteral("/storage.dat");
        const QString hidden = folder + QStringLiteral("/.writecheck");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(test::writeFile(locked, "{}") && test::writeFile(foreign, "{}") &&
                test::writeFile(hidden, "ok"));
        for (const QString& file : {folder, locked, hidden})
            QVERIFY(giveToOrdinaryUser(file));
        QVERIFY(::chmod(nativePath(locked).constData(), 0000) == 0);
        QVERIFY(::chmod(nativePath(hidden).constData(), 0000) == 0);
        QVERIFY(::chmod(nativePath(foreign).constData(), 0600) == 0); // root's: out of reach

        QString errors;
        QCOMPARE(runAsOrdinaryUser({QStringLiteral("repair"), folder}, &errors), 0);

        QCOMPARE(modeOf(locked), 0600);
        QCOMPARE(modeOf(hidden), 0000); // hidden files are not looked at
        QCOMPARE(modeOf(foreign), 0600);
        QVERIFY2(errors.contains(
                     QStringLiteral("Could not repair read/write/delete access to a data file: ") +
                     foreign),
                 qPrintable(errors));
        QVERIFY2(!errors.contains(locked) && !errors.contains(hidden), qPrintable(errors));
    }

    void theSystemMachineIdIsUsedAsHex() {
        QCOMPARE(
            app::machineIdentifierFrom(QByteArray("\x0A\xFFz", 3), path(QStringLiteral("data"))),
            QStringLiteral("0aff7a"));
        const QByteArray system = QSysInfo::machineUniqueId();
        if (!system.isEmpty())
            QCOMPARE(app::machineIdentifier(path(QStringLiteral("data"))),
                     QString::fromLatin1(system.toHex()));
        // Nothing is written when the system gives an identifier.
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("data/machine_id.txt"))));
    }

    void fallbackMachineId_data() {
        QTest::addColumn<QString>("kind"); // "file", "none", "folder"
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected"); // empty: a new UUID
        QTest::newRow("stored text, trimmed")
            << QStringLiteral("file") << QByteArray("  stored-id \n")
            << QStringLiteral("stored-id");
        QTest::newRow("UTF-8 text") << QStringLiteral("file") << QByteArray("r\xC3\xA9seau")
                                    << QString::fromUtf8("r\xC3\xA9seau");
        QTest::newRow("blank file") << QStringLiteral("file") << QByteArray(" \n\t") << QString();
        QTest::newRow("empty file") << QStringLiteral("file") << QByteArray() << QString();
        QTest::newRow("no file, no folder") << QStringLiteral("none") << QByteArray() << QString();
    }

    void fallbackMachineId() {
        QFETCH(QString, kind);
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        const QString folder = path(QStringLiteral("data"));
        const QString file = folder + QStringLiteral("/machine_id.txt");
        if (kind == QLatin1String("file")) {
            QVERIFY(QDir().mkpath(folder));
            QVERIFY(test::writeFile(file, content));
        }

        const QString id = app::machineIdentifierFrom(QByteArray(), folder);
        if (!expected.isEmpty()) {
            QCOMPARE(id, expected);
            QCOMPARE(test::readWholeFile(file), content); // read, never rewritten
            return;
        }
        QVERIFY2(kUuid.match(id).hasMatch(), qPrintable(id));
        QCOMPARE(test::readWholeFile(file), id.toUtf8());               // no newline
        QCOMPARE(app::machineIdentifierFrom(QByteArray(), folder), id); // stable from now on
    }

    void anUnwritableFallbackStillGivesAnIdentifierForThisRun() {
        // A folder where the file should be: nothing can be read or written there.
        const QString folder = path(QStringLiteral("data"));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/machine_id.txt")));
        const QString first = app::machineIdentifierFrom(QByteArray(), folder);
        QVERIFY(kUuid.match(first).hasMatch());
        QVERIFY(app::machineIdentifierFrom(QByteArray(), folder) != first);
    }

    void storageRefusalNamesTheCause() {
        const QString folder = path(QStringLiteral("data"));
        QVERIFY(QDir().mkpath(folder));
        const QString keyFile = folder + QStringLiteral("/storage.dat.key");
        auto refusal = [&] { return app::storageConfigRefusalMessage(keyFile); };
        const QString older = QStringLiteral("created by an older version");
        const QString hardware = QStringLiteral("could not obtain the hardware security key");
        const QString unverified = QStringLiteral("could not be verified -- it may be corrupted");

        // The older format goes by exact size and magic.
        QVERIFY(test::writeFile(keyFile, QByteArray("KVXTPMK1") + QByteArray(256, '\x5C')));
        QVERIFY(refusal().contains(older));
        QVERIFY(test::writeFile(keyFile, QByteArray("KVXTPMK1") + QByteArray(257, '\x5C')));
        QVERIFY(refusal().contains(unverified));

        // A TPM key file whose root still unseals: the file itself is at fault.
        tpm_.mode = test::FakeSealedKeyStore::Mode::Works;
        tpm_.reset();
        protect::LocalIntegrityKey::clearRootCache();
        QVERIFY(QFile::remove(keyFile));
        QVERIFY(!protect::LocalIntegrityKey::getOrCreateKey(keyFile).empty());
        QCOMPARE(test::readWholeFile(keyFile).size(), 40);
        protect::LocalIntegrityKey::clearRootCache();
        QVERIFY(refusal().contains(unverified));

        // The same file after the TPM was cleared.
        protect::LocalIntegrityKey::clearRootCache();
        tpm_.reset();
        QVERIFY(refusal().contains(hardware));

        // No key file at all.
        QVERIFY(QFile::remove(keyFile));
        QVERIFY(refusal().contains(unverified));
    }
};

QTEST_GUILESS_MAIN(DataFolderTest)
#include "tst_datafolder.moc"
