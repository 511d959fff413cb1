#include "app/LogFile.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <latch>
#include <thread>
#include <time.h>
#include <vector>

using namespace korvex::app;
using korvex::test::readWholeFile;
using korvex::test::writeFile;

namespace {

const QString kTimestamp = QStringLiteral(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ))");

// Routes Qt messages into a log opened in a folder of the test's choosing, as start-up does for
// the real one, and puts everything back afterwards.
class LogCapture {
public:
    explicit LogCapture(QFile* file)
        : file_(file), previousFile_(setLogFileForTesting(file)),
          previousHandler_(qInstallMessageHandler(logMessageHandler)) {}
    ~LogCapture() {
        qInstallMessageHandler(previousHandler_);
        setLogFileForTesting(previousFile_);
        delete file_;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

private:
    QFile* file_;
    QFile* previousFile_;
    QtMessageHandler previousHandler_;
};

void emitMessage(QtMsgType type, const QString& path) {
    switch (type) {
    case QtDebugMsg:
        qDebug("Something: %s", qUtf8Printable(path));
        break;
    case QtInfoMsg:
        qInfo("Something: %s", qUtf8Printable(path));
        break;
    case QtWarningMsg:
        qWarning("Something: %s", qUtf8Printable(path));
        break;
    case QtCriticalMsg:
        qCritical("Something: %s", qUtf8Printable(path));
        break;
    case QtFatalMsg:
        // qFatal would end the test; the handler is what decides the word.
        logMessageHandler(QtFatalMsg, QMessageLogContext(), QStringLiteral("Something: ") + path);
        break;
    }
}

// The whole content must be exactly one line with this level and message, stamped with the
// UTC time of the call.
void verifySingleLine(const QByteArray& content, const QString& word, const QString& message,
                      const QDateTime& before, const QDateTime& after) {
    const QRegularExpression pattern(
        QStringLiteral("^%1 \\[%2\\] %3\\n\\z")
            .arg(kTimestamp, word, QRegularExpression::escape(message)));
    const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(content));
    QVERIFY2(match.hasMatch(), content.constData());
    const QDateTime stamp = QDateTime::fromString(match.captured(1), Qt::ISODate);
    QVERIFY(stamp.isValid());
    QVERIFY2(stamp >= before.addSecs(-1) && stamp <= after, qPrintable(match.captured(1)));
}

} // namespace

class TestLogFile : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void sizeLimitAtOpening_data();
    void sizeLimitAtOpening();
    void lineFormat_data();
    void lineFormat();
    void noLogWhenFolderCannotBeMade_data();
    void noLogWhenFolderCannotBeMade();
    void concurrentWritersKeepLinesWhole();
    void installOpensUserLogOnce();

private:
    QTemporaryDir home_;
};

void TestLogFile::initTestCase() {
    QVERIFY(home_.isValid());
    // The per-user data location points into the test's own folder, never the real home.
    qputenv("XDG_DATA_HOME", QFile::encodeName(home_.path() + QStringLiteral("/data")));
    // A local clock far from UTC, so a local time written as if it were UTC shows.
    qputenv("TZ", "XYZ-5:45");
    tzset();
}

void TestLogFile::sizeLimitAtOpening_data() {
    QTest::addColumn<qint64>("existingBytes"); // -1: no log yet
    QTest::addColumn<bool>("kept");

    QTest::newRow("no log yet, folders created") << qint64(-1) << false;
    QTest::newRow("empty log") << qint64(0) << true;
    QTest::newRow("exactly the limit is appended to") << kLogFileLimitBytes << true;
    QTest::newRow("one byte over the limit is emptied") << kLogFileLimitBytes + 1 << false;
    QTest::newRow("far over the limit is emptied") << 3 * kLogFileLimitBytes << false;
}

void TestLogFile::sizeLimitAtOpening() {
    QFETCH(qint64, existingBytes);
    QFETCH(bool, kept);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.path() + QStringLiteral("/Zelvora/Zelvora");
    const QString path = folder + QStringLiteral("/zelvora.log");
    QByteArray before;
    if (existingBytes >= 0) {
        QVERIFY(QDir().mkpath(folder));
        before = QByteArray(existingBytes, 'o');
        QVERIFY(writeFile(path, before));
    }

    QFile* file = openLogFile(folder);
    QVERIFY(file != nullptr);
    {
        LogCapture capture(file);
        qInfo("runSession: started");
    }

    const QByteArray after = readWholeFile(path);
    const QByteArray expectedPrefix = kept ? before : QByteArray();
    QVERIFY(after.startsWith(expectedPrefix));
    const QByteArray added = after.mid(expectedPrefix.size());
    QVERIFY2(QRegularExpression(
                 QStringLiteral("^%1 \\[INFO\\] runSession: started\\n\\z").arg(kTimestamp))
                 .match(QString::fromUtf8(added))
                 .hasMatch(),
             added.left(200).constData());
}

void TestLogFile::lineFormat_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("word");
    QTest::addColumn<QString>("pathName");

    const QString plain = QStringLiteral("vault.kvxs");
    QTest::newRow("debug") << int(QtDebugMsg) << QStringLiteral("DEBUG") << plain;
    QTest::newRow("info") << int(QtInfoMsg) << QStringLiteral("INFO") << plain;
    QTest::newRow("warning") << int(QtWarningMsg) << QStringLiteral("WARN") << plain;
    QTest::newRow("critical") << int(QtCriticalMsg) << QStringLiteral("ERROR") << plain;
    QTest::newRow("fatal") << int(QtFatalMsg) << QStringLiteral("ERROR") << plain;
    QTest::newRow("warning, path with spaces and non-ASCII")
        << int(QtWarningMsg) << QStringLiteral("WARN")
        << QStringLiteral("Dokumente für Åsa/résumé 東京.pdf");
    QTest::newRow("warning, path with % placeholders")
        << int(QtWarningMsg) << QStringLiteral("WARN") << QStringLiteral("100% %1 %2 [%3].txt");
}

void TestLogFile::lineFormat() {
    QFETCH(int, type);
    QFETCH(QString, word);
    QFETCH(QString, pathName);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile* file = openLogFile(dir.path());
    QVERIFY(file != nullptr);
    const QString path = dir.path() + QLatin1Char('/') + pathName;

    const QDateTime before = QDateTime::currentDateTimeUtc();
    {
        LogCapture capture(file);
        emitMessage(static_cast<QtMsgType>(type), path);
    }
    const QDateTime after = QDateTime::currentDateTimeUtc();

    verifySingleLine(readWholeFile(dir.path() + QStringLiteral("/zelvora.log")), word,
                     QStringLiteral("Something: ") + path, before, after);
}

void TestLogFile::noLogWhenFolderCannotBeMade_data() {
    QTest::addColumn<QString>("regularFile"); // created first, standing in the way
    QTest::addColumn<QString>("subFolder");   // created first
    QTest::addColumn<QString>("logFolder");

    QTest::newRow("a file where the folder belongs") << "Zelvora"
                                                     << ""
                                                     << "Zelvora";
    QTest::newRow("a file where a parent belongs") << "Zelvora"
                                                   << ""
                                                   << "Zelvora/Zelvora";
    QTest::newRow("a folder where the log belongs") << ""
                                                    << "logs/zelvora.log"
                                                    << "logs";
}

void TestLogFile::noLogWhenFolderCannotBeMade() {
    QFETCH(QString, regularFile);
    QFETCH(QString, subFolder);
    QFETCH(QString, logFolder);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = dir.path() + QLatin1Char('/');
    if (!regularFile.isEmpty())
        QVERIFY(writeFile(root + regularFile, "not a folder"));
    if (!subFolder.isEmpty())
        QVERIFY(QDir().mkpath(root + subFolder));
    const QStringList entriesBefore = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden);

    QFile* file = openLogFile(root + logFolder);
    QCOMPARE(file, nullptr);

    // With no log, every level is dropped quietly.
    {
        LogCapture capture(nullptr);
        for (QtMsgType type : {QtDebugMsg, QtInfoMsg, QtWarningMsg, QtCriticalMsg, QtFatalMsg})
            emitMessage(type, root + logFolder);
    }
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden), entriesBefore);
    if (!regularFile.isEmpty())
        QCOMPARE(readWholeFile(root + regularFile), QByteArray("not a folder"));
}

void TestLogFile::concurrentWritersKeepLinesWhole() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile* file = openLogFile(dir.path());
    QVERIFY(file != nullptr);

    constexpr int kWriters = 8;
    constexpr int kLinesEach = 200;
    // Long enough that a write split between threads would show inside a line.
    const QByteArray padding(500, 'x');
    {
        LogCapture capture(file);
        std::latch start(kWriters);
        std::vector<std::thread> writers;
        for (int w = 0; w < kWriters; ++w) {
            writers.emplace_back([w, &start, &padding] {
                start.arrive_and_wait();
                for (int i = 0; i < kLinesEach; ++i)
                    qWarning("worker %d line %d %s", w, i, padding.constData());
            });
        }
        for (std::thread& t : writers)
            t.join();
    }

    const QByteArray content = readWholeFile(dir.path() + QStringLiteral("/zelvora.log"));
    QVERIFY(content.endsWith('\n'));
    const QList<QByteArray> lines = content.chopped(1).split('\n');
    QCOMPARE(lines.size(), kWriters * kLinesEach);

    const QRegularExpression pattern(QStringLiteral("^%1 \\[WARN\\] worker (\\d+) line (\\d+) %2$")
                                         .arg(kTimestamp, QString::fromLatin1(padding)));
    std::vector<int> nextLine(kWriters, 0);
    for (const QByteArray& line : lines) {
        const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(line));
        QVERIFY2(match.hasMatch(), line.left(200).constData());
        const int w = match.captured(2).toInt();
        QVERIFY(w >= 0 && w < kWriters);
        // Each thread's lines arrive whole, once each and in the order it wrote them.
        QCOMPARE(match.captured(3).toInt(), nextLine[w]);
        ++nextLine[w];
    }
}

void TestLogFile::installOpensUserLogOnce() {
    // As at start-up: both names are "Zelvora" while the log is opened.
    QCoreApplication::setOrganizationName(QStringLiteral("Zelvora"));
    QCoreApplication::setApplicationName(QStringLiteral("Zelvora"));
    const QString logPath = home_.path() + QStringLiteral("/data/Zelvora/Zelvora/zelvora.log");
    QCOMPARE(logFolderPath(), home_.path() + QStringLiteral("/data/Zelvora/Zelvora"));

    const QtMessageHandler testHandler = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(testHandler);

    const QDateTime before = QDateTime::currentDateTimeUtc();
    installLogFile();
    const QString vaultPath = home_.path() + QStringLiteral("/my vault/vault.kvxs");
    qWarning("Something: %s", qUtf8Printable(vaultPath));
    const QDateTime after = QDateTime::currentDateTimeUtc();

    // A second call neither reopens nor opens a log elsewhere.
    qputenv("XDG_DATA_HOME", QFile::encodeName(home_.path() + QStringLiteral("/elsewhere")));
    installLogFile();
    qputenv("XDG_DATA_HOME", QFile::encodeName(home_.path() + QStringLiteral("/data")));

    qInstallMessageHandler(testHandler);
    delete setLogFileForTesting(nullptr);

    QVERIFY(!QFileInfo::exists(home_.path() + QStringLiteral("/elsewhere")));
    verifySingleLine(readWholeFile(logPath), QStringLiteral("WARN"),
                     QStringLiteral("Something: ") + vaultPath, before, after);
}

QTEST_GUILESS_MAIN(TestLogFile)
#include "tst_logfile.moc"
