#include "support/TestSupport.h"
#include "vault/FileBlockStore.h"

#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <sys/wait.h>
#include <unistd.h>

using korvex::vault::FileBlockStore;

class FileBlockStoreTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    QString path(const QString& name = QStringLiteral("vault.kvxs")) const {
        return dir_.filePath(name);
    }

private Q_SLOTS:
    void init() { QVERIFY(dir_.isValid()); }
    void cleanup() {
        QFile::remove(path());
        QFile::remove(path() + QStringLiteral(".lock"));
    }

    void createRefusesAnExistingFileWithoutTouchingIt() {
        QVERIFY(korvex::test::writeFile(path(), "precious"));
        FileBlockStore store(path());
        QVERIFY(store.exists());
        QVERIFY(!store.create());
        QVERIFY(store.errorString().isEmpty());
        QVERIFY(!store.isOpen());
        QCOMPARE(korvex::test::readWholeFile(path()), QByteArray("precious"));
        QVERIFY(!QFile::exists(path() + QStringLiteral(".lock")));
    }

    void secondOpenerIsLockedOutUntilTheFirstCloses() {
        FileBlockStore first(path());
        QVERIFY(first.create());
        QVERIFY(first.isOpen());

        FileBlockStore second(path());
        QVERIFY(!second.open());
        QCOMPARE(second.lastError(), FileBlockStore::LastError::AlreadyLocked);
        QCOMPARE(second.errorString(),
                 QStringLiteral("The vault file appears to be open already -- either in another "
                                "Zelvora window, or in a previous session that hasn't finished "
                                "closing yet. Wait a few seconds and try again."));
        QVERIFY(!second.isOpen());

        first.close();
        QVERIFY(second.open());
        QVERIFY(second.errorString().isEmpty());
    }

    void lockLeftByADeadProcessDoesNotBlockOpen() {
        QVERIFY(korvex::test::writeFile(path(), QByteArray(200, 'x')));
        // A child takes the lock and dies without releasing it, as a crashed session would.
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            QLockFile lock(path() + QStringLiteral(".lock"));
            _exit(lock.tryLock(0) ? 0 : 1);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        QVERIFY(QFile::exists(path() + QStringLiteral(".lock")));

        FileBlockStore store(path());
        QVERIFY(store.open());
        QCOMPARE(store.size(), qint64(200));
    }

    // Two instances started at the same moment must never both hold the vault open: removing a
    // lock file merely because it could be locked would delete one the other process has just
    // created and not locked yet. Two processes open and close the same file many times over,
    // released together; each proves it is alone while it holds the store.
    void twoProcessesNeverHoldTheStoreAtOnce() {
        QVERIFY(korvex::test::writeFile(path(), QByteArray(200, 'x')));
        const QString marker = path(QStringLiteral("held"));
        const QString go = path(QStringLiteral("go"));
        constexpr int kRounds = 3;
        for (int round = 0; round < kRounds; ++round) {
            QFile::remove(go);
            QList<QProcess*> helpers;
            for (int i = 0; i < 2; ++i) {
                auto* helper = new QProcess(this);
                helper->start(QStringLiteral(ZELVORA_BLOCKSTORE_HELPER),
                              {path(), marker, go, QStringLiteral("1500")});
                helpers << helper;
            }
            for (QProcess* helper : helpers) {
                QVERIFY(helper->waitForReadyRead(20000));
                QCOMPARE(helper->readLine().trimmed(), QByteArray("READY"));
            }
            QVERIFY(korvex::test::writeFile(go, "go"));
            int opened = 0;
            for (QProcess* helper : helpers) {
                QVERIFY(helper->waitForFinished(120000));
                const QByteArray output = helper->readAllStandardOutput().trimmed();
                QVERIFY2(helper->exitStatus() == QProcess::NormalExit && helper->exitCode() == 0,
                         output.constData());
                opened += output.toInt();
                delete helper;
            }
            // Both really competed: each open was a real one.
            QVERIFY(opened > 0);
        }
    }

    void openFailureNamesTheFile() {
        FileBlockStore store(dir_.filePath(QStringLiteral("missing/folder/vault.kvxs")));
        QVERIFY(!store.exists());
        QVERIFY(!store.open());
        QCOMPARE(store.lastError(), FileBlockStore::LastError::OpenFailed);
        QCOMPARE(store.errorString(), QStringLiteral("The vault file could not be opened."));
        QVERIFY(!store.create());
        QCOMPARE(store.lastError(), FileBlockStore::LastError::OpenFailed);
    }

    void readsAndWritesAreAllOrNothing() {
        FileBlockStore store(path());
        QVERIFY(store.create());
        QCOMPARE(store.size(), qint64(0));

        // Writing past the end grows the file.
        const QByteArray bytes("0123456789");
        QVERIFY(store.writeAt(1000, bytes.constData(), bytes.size()));
        QCOMPARE(store.size(), qint64(1010));

        char buffer[10] = {};
        QVERIFY(store.readAt(1000, buffer, 10));
        QCOMPARE(QByteArray(buffer, 10), bytes);
        QVERIFY(store.readAt(0, buffer, 10));
        QCOMPARE(QByteArray(buffer, 10), QByteArray(10, '\0'));
        // A read that would run past the end is refused, not shortened.
        QVERIFY(!store.readAt(1005, buffer, 10));
        QVERIFY(!store.readAt(-1, buffer, 1));

        QVERIFY(store.resize(4));
        QCOMPARE(store.size(), qint64(4));
        QVERIFY(store.flush());

        store.close();
        QVERIFY(!store.isOpen());
        QVERIFY(!store.flush());
        QVERIFY(!store.writeAt(0, bytes.constData(), 1));
    }

    void removeClosesDeletesAndReleasesTheLock() {
        FileBlockStore store(path());
        QVERIFY(store.create());
        QVERIFY(store.writeAt(0, "abc", 3));
        QVERIFY(store.remove());
        QVERIFY(!store.isOpen());
        QVERIFY(!QFile::exists(path()));
        QVERIFY(!QFile::exists(path() + QStringLiteral(".lock")));
    }
};

QTEST_GUILESS_MAIN(FileBlockStoreTest)
#include "tst_fileblockstore.moc"
