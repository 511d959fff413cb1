// One Zelvora per user and data folder: later starts reach the first and learn its state,
// simultaneous starts elect exactly one first, leftovers of a first that is gone do not block,
// bad peers are dropped, and nothing created is open to anyone else.

#include "app/SingleInstance.h"
#include "support/OrdinaryUser.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QMainWindow>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

using namespace korvex;
using app::SingleInstance;
using Outcome = SingleInstance::Outcome;

using korvex::test::modeOf;

namespace {

// How long any one step of a helper may take on a loaded machine before the test gives up.
constexpr int kPatienceMs = 60000;

// A start of the helper and the lines it prints. Waiting runs the event loop, so that a first
// in this process keeps answering.
class Start {
public:
    explicit Start(const QStringList& arguments) {
        process_.start(QStringLiteral(ZELVORA_SINGLEINSTANCE_HELPER), arguments);
    }
    // A start of the helper for dataFolder; startFd is the shared start signal.
    static QStringList arguments(const QString& dataFolder, int startFd = -1) {
        QStringList list{QStringLiteral("start"), dataFolder};
        if (startFd >= 0)
            list << QString::number(startFd);
        return list;
    }
    ~Start() {
        if (process_.state() != QProcess::NotRunning) {
            ::kill(pid_t(process_.processId()), SIGCONT);
            process_.kill();
            process_.waitForFinished(kPatienceMs);
        }
    }

    // The next line printed; empty when the helper ended without one.
    QString nextLine() {
        (void)QTest::qWaitFor(
            [this] { return process_.canReadLine() || process_.state() == QProcess::NotRunning; },
            kPatienceMs);
        return QString::fromUtf8(process_.readLine()).trimmed();
    }
    // Ends a first by closing its standard input; true when it then exited cleanly.
    bool finish() {
        process_.closeWriteChannel();
        return QTest::qWaitFor([this] { return process_.state() == QProcess::NotRunning; },
                               kPatienceMs) &&
               process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
    }
    void signal(int number) { ::kill(pid_t(process_.processId()), number); }
    QProcess& process() { return process_; }

private:
    QProcess process_;
};

} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT

    test::OrdinaryUser ordinary_;
    // Each test function gets a runtime folder of its own.
    std::unique_ptr<QTemporaryDir> runtime_;

    QStringList filesInRuntime(const QString& pattern) const {
        return QDir(runtime_->path()).entryList({pattern}, QDir::Files | QDir::System);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(ordinary_.prepare(QStringLiteral(ZELVORA_SINGLEINSTANCE_HELPER)));
    }
    void init() {
        runtime_ = std::make_unique<QTemporaryDir>();
        QVERIFY(runtime_->isValid());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime_->path()));
    }

    void laterStartReachesTheFirstAndLearnsItsState_data() {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<bool>("oldLock");
        QTest::addColumn<QString>("answer");
        QTest::newRow("signed out") << false << false << "SIGNED-OUT";
        QTest::newRow("signed in") << true << false << "SIGNED-IN";
        // Qt counts a lock file this old as stale by its age alone; the lock the first still
        // holds on it must keep it the first's.
        QTest::newRow("lock file an hour old") << false << true << "SIGNED-OUT";
    }
    void laterStartReachesTheFirstAndLearnsItsState() {
        QFETCH(bool, signedIn);
        QFETCH(bool, oldLock);
        QFETCH(QString, answer);
        QTemporaryDir data;
        SingleInstance first(data.path());
        QCOMPARE(first.start(), Outcome::First);
        QVERIFY(first.isListening());
        if (oldLock) {
            const timeval anHourAgo{::time(nullptr) - 3600, 0};
            const timeval times[2] = {anHourAgo, anHourAgo};
            QVERIFY(::utimes(QFile::encodeName(first.lockPath()).constData(), times) == 0);
        }
        first.setSignedIn(signedIn);
        QSignalSpy activations(&first, &SingleInstance::activationRequested);

        Start later(Start::arguments(data.path()));
        QCOMPARE(later.nextLine(), QStringLiteral("READY"));
        QCOMPARE(later.nextLine(), answer);
        QVERIFY(later.finish());
        QCOMPARE(activations.count(), 1);

        // Another data folder is another instance.
        QTemporaryDir otherData;
        Start other(Start::arguments(otherData.path()));
        QCOMPARE(other.nextLine(), QStringLiteral("READY"));
        QCOMPARE(other.nextLine(), QStringLiteral("FIRST"));
        QVERIFY(other.finish());
        QCOMPARE(activations.count(), 1);
    }

    void simultaneousStartsElectExactlyOneFirst() {
        constexpr int kRounds = 10;
        constexpr int kPairsPerRound = 5;
        for (int round = 0; round < kRounds; ++round) {
            // Every helper of the round waits for the end of this pipe; closing its write end
            // releases them all at once.
            int startPipe[2];
            QVERIFY(::pipe2(startPipe, O_CLOEXEC) == 0);
            QVERIFY(::fcntl(startPipe[0], F_SETFD, 0) == 0);

            std::vector<std::unique_ptr<QTemporaryDir>> folders;
            std::vector<std::unique_ptr<Start>> starts;
            for (int pair = 0; pair < kPairsPerRound; ++pair) {
                folders.push_back(std::make_unique<QTemporaryDir>());
                for (int side = 0; side < 2; ++side)
                    starts.push_back(std::make_unique<Start>(
                        Start::arguments(folders.back()->path(), startPipe[0])));
            }
            ::close(startPipe[0]);
            for (auto& start : starts)
                QCOMPARE(start->nextLine(), QStringLiteral("READY"));
            ::close(startPipe[1]);

            for (int pair = 0; pair < kPairsPerRound; ++pair) {
                Start& one = *starts[std::size_t(2 * pair)];
                Start& other = *starts[std::size_t(2 * pair + 1)];
                const QString oneSays = one.nextLine();
                const QString otherSays = other.nextLine();
                const QString both = oneSays + QLatin1Char('/') + otherSays;
                QVERIFY2(
                    both == QStringLiteral("FIRST/SIGNED-OUT") ||
                        both == QStringLiteral("SIGNED-OUT/FIRST"),
                    qPrintable(
                        QStringLiteral("round %1, pair %2: %3").arg(round).arg(pair).arg(both)));
                Start& first = oneSays == QStringLiteral("FIRST") ? one : other;
                QCOMPARE(first.nextLine(), QStringLiteral("ACTIVATED"));
                QVERIFY(first.finish());
            }
        }
    }

    void leftoversOfAFirstThatIsGoneDoNotBlock_data() {
        QTest::addColumn<bool>("killed");
        QTest::newRow("killed") << true;
        QTest::newRow("ended normally") << false;
    }
    void leftoversOfAFirstThatIsGoneDoNotBlock() {
        QFETCH(bool, killed);
        QTemporaryDir data;
        {
            Start gone(Start::arguments(data.path()));
            QCOMPARE(gone.nextLine(), QStringLiteral("READY"));
            QCOMPARE(gone.nextLine(), QStringLiteral("FIRST"));
            if (killed) {
                gone.process().kill();
                QVERIFY(gone.process().waitForFinished(kPatienceMs));
            } else {
                QVERIFY(gone.finish());
            }
        }
        // A killed first leaves its lock file and socket behind; one that ended removes both.
        QCOMPARE(filesInRuntime(QStringLiteral("*.lock")).size(), killed ? 1 : 0);
        QCOMPARE(filesInRuntime(QStringLiteral("*.socket")).size(), killed ? 1 : 0);

        SingleInstance next(data.path());
        QCOMPARE(next.start(), Outcome::First);
        QVERIFY(next.isListening());
        QSignalSpy activations(&next, &SingleInstance::activationRequested);
        Start later(Start::arguments(data.path()));
        QCOMPARE(later.nextLine(), QStringLiteral("READY"));
        QCOMPARE(later.nextLine(), QStringLiteral("SIGNED-OUT"));
        QCOMPARE(activations.count(), 1);
    }

    void firstThatCannotBeReachedIsNotReplaced_data() {
        QTest::addColumn<bool>("stopped");
        QTest::newRow("first stopped") << true;
        QTest::newRow("socket file removed") << false;
    }
    void firstThatCannotBeReachedIsNotReplaced() {
        QFETCH(bool, stopped);
        QTemporaryDir data;
        Start first(Start::arguments(data.path()));
        QCOMPARE(first.nextLine(), QStringLiteral("READY"));
        QCOMPARE(first.nextLine(), QStringLiteral("FIRST"));
        if (stopped) {
            first.signal(SIGSTOP);
        } else {
            const QStringList sockets = filesInRuntime(QStringLiteral("*.socket"));
            QCOMPARE(sockets.size(), 1);
            QVERIFY(QFile::remove(runtime_->filePath(sockets.first())));
        }

        using std::chrono::milliseconds;
        SingleInstance later(data.path(), {milliseconds(500), milliseconds(500)});
        QCOMPARE(later.start(), Outcome::OtherUnreachable);
        QVERIFY(!later.isListening());
        // The first's lock is still the first's.
        QCOMPARE(filesInRuntime(QStringLiteral("*.lock")).size(), 1);

        if (stopped)
            first.signal(SIGCONT);
        QVERIFY(first.finish());
    }

    void badPeersAreDroppedAndTheFirstKeepsAnswering_data() {
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("garbage line") << QByteArray("hello\n");
        QTest::newRow("other protocol version") << QByteArray("ZELVORA-INSTANCE 2 ACTIVATE\n");
        QTest::newRow("request without line end") << QByteArray("ZELVORA-INSTANCE 1 ACTIVATE");
        QTest::newRow("binary") << QByteArray("\0\xff\x01ZELVORA\0\n", 12);
        QTest::newRow("oversized line") << QByteArray(4 * 1024 * 1024, 'A');
        QTest::newRow("oversized request line")
            << QByteArray("ZELVORA-INSTANCE 1 ACTIVATE") + QByteArray(200, ' ') + '\n';
    }
    void badPeersAreDroppedAndTheFirstKeepsAnswering() {
        QFETCH(QByteArray, sent);
        QTemporaryDir data;
        SingleInstance first(data.path());
        QCOMPARE(first.start(), Outcome::First);
        QSignalSpy activations(&first, &SingleInstance::activationRequested);

        QLocalSocket peer;
        peer.connectToServer(first.socketPath());
        QVERIFY(peer.waitForConnected(kPatienceMs));
        peer.write(sent);
        // The first hangs up on it (a peer that never finishes a line is given a few seconds).
        QVERIFY(QTest::qWaitFor([&peer] { return peer.state() == QLocalSocket::UnconnectedState; },
                                kPatienceMs));
        QCOMPARE(peer.readAll(), QByteArray());
        QCOMPARE(activations.count(), 0);

        Start later(Start::arguments(data.path()));
        QCOMPARE(later.nextLine(), QStringLiteral("READY"));
        QCOMPARE(later.nextLine(), QStringLiteral("SIGNED-OUT"));
        QCOMPARE(activations.count(), 1);
    }

    void nothingCreatedIsOpenToOthers_data() {
        QTest::addColumn<bool>("runtimeUsable");
        QTest::newRow("runtime folder") << true;
        QTest::newRow("fallback in the cache folder") << false;
    }
    void nothingCreatedIsOpenToOthers() {
        QFETCH(bool, runtimeUsable);
        QTemporaryDir home;
        const QString cache = home.filePath(QStringLiteral("cache"));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(cache));
        const QByteArray savedTmp = qgetenv("TMPDIR");
        if (!runtimeUsable) {
            // A runtime folder that others may enter is refused, and so is the one Qt would make
            // in the temporary folder when it is not the user's alone.
            QVERIFY(::chmod(QFile::encodeName(runtime_->path()).constData(), 0755) == 0);
            const passwd* me = ::getpwuid(::geteuid());
            QVERIFY(me != nullptr);
            const QString tmp = home.filePath(QStringLiteral("tmp"));
            const QString qtRuntime =
                tmp + QStringLiteral("/runtime-") + QString::fromLocal8Bit(me->pw_name);
            QVERIFY(QDir().mkpath(qtRuntime));
            QVERIFY(::chmod(QFile::encodeName(qtRuntime).constData(), 0755) == 0);
            qputenv("TMPDIR", QFile::encodeName(tmp));
        }
        const mode_t savedUmask = ::umask(0);
        QTemporaryDir data;
        SingleInstance first(data.path());
        const Outcome outcome = first.start();
        ::umask(savedUmask);
        if (!runtimeUsable) {
            if (savedTmp.isNull())
                qunsetenv("TMPDIR");
            else
                qputenv("TMPDIR", savedTmp);
        }
        QCOMPARE(outcome, Outcome::First);
        QVERIFY(first.isListening());

        const QString folder = QFileInfo(first.lockPath()).path();
        QCOMPARE(folder,
                 runtimeUsable ? runtime_->path() : cache + QStringLiteral("/zelvora-instance"));
        if (!runtimeUsable) {
            QCOMPARE(modeOf(cache), 0700);
            QCOMPARE(modeOf(folder), 0700);
        }
        QCOMPARE(modeOf(first.lockPath()), 0600);
        // Qt gives the socket the owner's bits only (0700; the execute bit means nothing there).
        QCOMPARE(modeOf(first.socketPath()) & 077, 0);

        // Even with the folders on its way opened to everyone, the socket takes no other user.
        if (!ordinary_.unavailable().isEmpty())
            QSKIP(qPrintable(ordinary_.unavailable()));
        const QStringList onTheWay =
            runtimeUsable ? QStringList{folder} : QStringList{home.path(), cache, folder};
        for (const QString& path : onTheWay)
            QVERIFY(::chmod(QFile::encodeName(path).constData(), 0755) == 0);
        const QStringList connect{QStringLiteral("connect"), first.socketPath()};
        QCOMPARE(ordinary_.run(connect, false), 0);
        QCOMPARE(ordinary_.run(connect, true), 1);
    }

    void raisesTheWindowInFront_data() {
        QTest::addColumn<QString>("showing");
        QTest::newRow("minimised main window") << "main";
        QTest::newRow("modal dialog over it") << "dialog";
        QTest::newRow("only hidden windows and a tooltip") << "nothing";
    }
    void raisesTheWindowInFront() {
        QFETCH(QString, showing);
        QMainWindow main;
        QWidget tooltip(nullptr, Qt::ToolTip);
        QDialog dialog(&main);
        dialog.setModal(true);
        if (showing == QStringLiteral("nothing")) {
            tooltip.show();
            QCOMPARE(app::raiseApplicationWindow(), nullptr);
            return;
        }
        main.showMinimized();
        QVERIFY(main.isMinimized());
        if (showing == QStringLiteral("dialog"))
            dialog.show();

        QWidget* expected =
            showing == QStringLiteral("dialog") ? static_cast<QWidget*>(&dialog) : &main;
        QCOMPARE(app::raiseApplicationWindow(), expected);
        QVERIFY(!main.isMinimized());
    }
};

QTEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
