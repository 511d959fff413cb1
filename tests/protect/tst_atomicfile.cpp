#include "protect/AtomicFile.h"
#include "protect/ProtectedFile.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace korvex;

class AtomicFileTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;

private Q_SLOTS:
    void replacesWholeFilesAndCreatesFolders() {
        const QString path = dir_.filePath(QStringLiteral("a/b/settings.dat"));
        QVERIFY(protect::writeFileAtomically(path, "first"));
        QVERIFY(protect::writeFileAtomically(path, "second version"));
        QCOMPARE(test::readWholeFile(path), QByteArray("second version"));
        QCOMPARE(QDir(dir_.filePath(QStringLiteral("a/b"))).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("settings.dat")}); // no temporary file left
        QCOMPARE(protect::readSmallFile(path, 14), std::optional<QByteArray>("second version"));
        QVERIFY(!protect::readSmallFile(path, 13));
        QVERIFY(!protect::readSmallFile(dir_.filePath(QStringLiteral("missing"))));
    }

    // A settings path that holds a FIFO, a device or a link is refused at once: a FIFO would
    // block the reader until something writes to it.
    void onlyRegularFilesAreRead() {
        const QString fifo = dir_.filePath(QStringLiteral("fifo.dat"));
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        const QString target = dir_.filePath(QStringLiteral("target.dat"));
        QVERIFY(test::writeFile(target, "target"));
        const QString link = dir_.filePath(QStringLiteral("link.dat"));
        QVERIFY(QFile::link(target, link));
        for (const QString& path : {fifo, link, QStringLiteral("/dev/zero"), dir_.path()})
            QVERIFY2(!protect::readSmallFile(path), qPrintable(path));
        QCOMPARE(protect::readProtectedFile(fifo, protect::EnvelopeKind::Authenticated).status,
                 protect::ProtectedReadStatus::Missing);
    }

    // A write the file system cuts short (here a file-size limit; a full disk behaves alike)
    // must fail and leave the old file, not rename a truncated one over it.
    void aShortWriteLeavesTheOldFile() {
        const QString path = dir_.filePath(QStringLiteral("limited.dat"));
        QVERIFY(test::writeFile(path, "old content"));
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
        rlimit limited = saved;
        limited.rlim_cur = 64;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &limited) == 0);
        const bool written = protect::writeFileAtomically(path, QByteArray(4096, 'n'));
        QVERIFY(setrlimit(RLIMIT_FSIZE, &saved) == 0);
        QVERIFY(!written);
        QCOMPARE(test::readWholeFile(path), QByteArray("old content"));
    }
};

QTEST_GUILESS_MAIN(AtomicFileTest)
#include "tst_atomicfile.moc"
