#include "protect/FileProtection.h"
#include "support/OrdinaryUser.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

using namespace korvex;

using korvex::test::modeOf;

namespace {

constexpr int kChunk = 65536;

QByteArray nativePath(const QString& path) {
    return QFile::encodeName(path);
}

bool exists(const QString& path) {
    struct stat info {};
    return ::lstat(nativePath(path).constData(), &info) == 0;
}

// Content nothing in the erase would write.
QByteArray original(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char(0x11 + (i * 37) % 200);
    return bytes;
}

} // namespace

class TestFileProtection : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;
    test::OrdinaryUser ordinary_;

    QString path(const QString& name) const { return dir_->filePath(name); }
    // Exit status of the helper: 0 for true, 1 for false.
    int runHelper(const QStringList& arguments, bool asOrdinaryUser);
    bool giveToOrdinaryUser(const QString& path) { return ordinary_.giveTo(path); }

private Q_SLOTS:
    void initTestCase();
    void init();

    void eraseOverwritesThenDeletes_data();
    void eraseOverwritesThenDeletes();
    void eraseRefuses_data();
    void eraseRefuses();
    void eraseStopsAtAShortWrite();
    void eraseOfReadOnlyFileAsOrdinaryUser();
    void doneWorkIsReportedDoneWhenOnlyTheFolderSyncFails();
    void accessAsOrdinaryUser_data();
    void accessAsOrdinaryUser();
    void nothingIsHiddenOrRestricted();
};

void TestFileProtection::initTestCase() {
    QVERIFY(ordinary_.prepare(QStringLiteral(ZELVORA_FILEPROTECTION_HELPER)));
}

void TestFileProtection::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    // Open to the ordinary user the helper runs as.
    QVERIFY(::chmod(nativePath(dir_->path()).constData(), 0777) == 0);
}

int TestFileProtection::runHelper(const QStringList& arguments, bool asOrdinaryUser) {
    QString errors;
    const int status = ordinary_.run(arguments, asOrdinaryUser, &errors);
    if (status < 0 || status > 1)
        qWarning() << "helper:" << errors;
    return status;
}

void TestFileProtection::eraseOverwritesThenDeletes_data() {
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << 0;
    QTest::newRow("3 bytes, part of one random word") << 3;
    QTest::newRow("exactly one chunk") << kChunk;
    QTest::newRow("one chunk and 3 bytes") << kChunk + 3;
    QTest::newRow("100,000 bytes") << 100000;
}

void TestFileProtection::eraseOverwritesThenDeletes() {
    QFETCH(int, size);
    const QString file = path(QStringLiteral("import-source.docx"));
    const QByteArray before = original(size);
    QVERIFY(test::writeFile(file, before));

    // The inode outlives its name while a descriptor is open, so this one shows what the erase
    // left in the file's blocks just before it was unlinked.
    const int fd = ::open(nativePath(file).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    const bool erased = protect::secureErase(file);
    struct stat info {};
    QVERIFY(::fstat(fd, &info) == 0);
    QByteArray left(size, '\0');
    const ssize_t got = ::pread(fd, left.data(), std::size_t(size), 0);
    ::close(fd);

    QVERIFY(erased);
    QVERIFY(!exists(file));
    QCOMPARE(info.st_nlink, nlink_t(0));
    // Overwritten in place: neither grown (the last random word is cut to fit) nor truncated.
    QCOMPARE(qint64(info.st_size), qint64(size));
    QCOMPARE(qint64(got), qint64(size));

    // Every chunk ends with the random pass: not the original, and not the 0x00 or 0xFF of the
    // earlier passes. Pieces too small to judge by their statistics are left out.
    for (int from = 0; from < size; from += kChunk) {
        const int length = std::min(kChunk, size - from);
        if (length < 1024)
            continue;
        const QByteArray piece = left.mid(from, length);
        QVERIFY(piece != before.mid(from, length));
        QVERIFY2(piece.count('\0') < length / 64, qPrintable(QString::number(from)));
        QVERIFY2(piece.count('\xFF') < length / 64, qPrintable(QString::number(from)));
    }
}

void TestFileProtection::eraseRefuses_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing file") << QStringLiteral("missing");
    QTest::newRow("symbolic link to a file") << QStringLiteral("link");
    QTest::newRow("folder") << QStringLiteral("folder");
}

void TestFileProtection::eraseRefuses() {
    QFETCH(QString, kind);
    const QString target = path(QStringLiteral("target.txt"));
    const QString victim = path(QStringLiteral("victim"));
    QVERIFY(test::writeFile(target, original(5000)));
    if (kind == QLatin1String("link"))
        QVERIFY(QFile::link(target, victim));
    else if (kind == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(victim));

    QVERIFY(!protect::secureErase(victim));
    QCOMPARE(exists(victim), kind != QLatin1String("missing"));
    // A link's target is someone else's file: untouched.
    QCOMPARE(test::readWholeFile(target), original(5000));
}

// A real kernel limit cuts the second chunk of the first pass short.
void TestFileProtection::eraseStopsAtAShortWrite() {
    const QString file = path(QStringLiteral("vault-old.kvxs"));
    const QByteArray before = original(100000);
    QVERIFY(test::writeFile(file, before));

    QCOMPARE(runHelper({QStringLiteral("erase"), file, QStringLiteral("70000")}, false), 1);

    // Not deleted, and the erase went no further than the first pass got.
    const QByteArray after = test::readWholeFile(file);
    QCOMPARE(after.size(), before.size());
    QCOMPARE(after.left(70000), QByteArray(70000, '\0'));
    QCOMPARE(after.mid(70000), before.mid(70000));
}

void TestFileProtection::eraseOfReadOnlyFileAsOrdinaryUser() {
    if (!ordinary_.unavailable().isEmpty())
        QSKIP(qPrintable(ordinary_.unavailable()));
    // Ours, in a folder where we may delete it, but not writable: the erase must not begin.
    const QString file = path(QStringLiteral("readonly.pdf"));
    QVERIFY(test::writeFile(file, original(10000)));
    QVERIFY(giveToOrdinaryUser(file));
    QVERIFY(::chmod(nativePath(file).constData(), 0444) == 0);

    QCOMPARE(runHelper({QStringLiteral("erase"), file}, true), 1);
    QCOMPARE(test::readWholeFile(file), original(10000));
    QCOMPARE(modeOf(file), 0444);
}

// A folder the user may write to and enter, but not read, cannot be synced (its descriptor
// cannot be opened): files in it are still replaced and deleted. What happened to the file is
// what counts: a replaced file is reported written, a deleted one erased.
void TestFileProtection::doneWorkIsReportedDoneWhenOnlyTheFolderSyncFails() {
    if (!ordinary_.unavailable().isEmpty())
        QSKIP(qPrintable(ordinary_.unavailable()));
    const QString folder = path(QStringLiteral("unreadable"));
    QVERIFY(QDir().mkpath(folder));
    const QString erased = folder + QStringLiteral("/imported.txt");
    const QString settings = folder + QStringLiteral("/settings.dat");
    QVERIFY(test::writeFile(erased, original(5000)));
    QVERIFY(test::writeFile(settings, "old"));
    for (const QString& path : {folder, erased, settings})
        QVERIFY(giveToOrdinaryUser(path));
    QVERIFY(::chmod(nativePath(folder).constData(), 0300) == 0);

    QCOMPARE(runHelper({QStringLiteral("erase"), erased}, true), 0);
    QVERIFY(!exists(erased));
    QCOMPARE(runHelper({QStringLiteral("atomic-write"), settings, QStringLiteral("new")}, true), 0);
    QCOMPARE(test::readWholeFile(settings), QByteArray("new"));
}

void TestFileProtection::accessAsOrdinaryUser_data() {
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<bool>("folderOurs");
    QTest::addColumn<int>("fileMode"); // -1: no file
    QTest::addColumn<bool>("fileOurs");
    QTest::addColumn<QStringList>("operation");
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("modeAfter");

    const auto denied = [](const char* rights) {
        return QStringList{QStringLiteral("denied"), QLatin1String(rights)};
    };
    const QStringList repair{QStringLiteral("repair")};
    const QStringList canDelete{QStringLiteral("candelete")};

    // Read and write follow the file's permission bits.
    QTest::newRow("own 0600: nothing denied")
        << 0777 << false << 0600 << true << denied("rwd") << false << 0600;
    QTest::newRow("other's 0600: read denied")
        << 0777 << false << 0600 << false << denied("r") << true << 0600;
    QTest::newRow("other's 0644: read allowed")
        << 0777 << false << 0644 << false << denied("r") << false << 0644;
    QTest::newRow("other's 0644: write denied")
        << 0777 << false << 0644 << false << denied("w") << true << 0644;
    QTest::newRow("own 0200: read denied")
        << 0777 << false << 0200 << true << denied("r") << true << 0200;

    // Deleting is a matter of the folder.
    QTest::newRow("other's file, open folder: delete allowed")
        << 0777 << false << 0400 << false << denied("d") << false << 0400;
    QTest::newRow("other's file, open folder: can delete")
        << 0777 << false << 0400 << false << canDelete << true << 0400;
    QTest::newRow("own file, closed folder: delete denied")
        << 0755 << false << 0600 << true << denied("d") << true << 0600;
    QTest::newRow("own file, closed folder: cannot delete")
        << 0755 << false << 0600 << true << canDelete << false << 0600;
    QTest::newRow("sticky folder, other's file: delete denied")
        << 01777 << false << 0666 << false << denied("d") << true << 0666;
    QTest::newRow("sticky folder, other's file: cannot delete")
        << 01777 << false << 0666 << false << canDelete << false << 0666;
    QTest::newRow("sticky folder, own file: can delete")
        << 01777 << false << 0600 << true << canDelete << true << 0600;
    QTest::newRow("own sticky folder, other's file: can delete")
        << 01777 << true << 0600 << false << canDelete << true << 0600;
    QTest::newRow("missing file: cannot delete")
        << 0777 << false << -1 << false << canDelete << false << -1;

    // Repair gives the owner read and write, and only to a file of ours.
    QTest::newRow("repair own 0000") << 0777 << false << 0000 << true << repair << true << 0600;
    QTest::newRow("repair own 0240 keeps the group bits")
        << 0777 << false << 0240 << true << repair << true << 0640;
    QTest::newRow("repair of nothing denied changes nothing")
        << 0777 << false << 0604 << true << repair << true << 0604;
    QTest::newRow("repair other's 0600 fails")
        << 0777 << false << 0600 << false << repair << false << 0600;
    // The folder still forbids deleting, and repair does not touch folders.
    QTest::newRow("repair own 0400 in closed folder fails")
        << 0755 << false << 0400 << true << repair << false << 0600;
}

void TestFileProtection::accessAsOrdinaryUser() {
    if (!ordinary_.unavailable().isEmpty())
        QSKIP(qPrintable(ordinary_.unavailable()));
    QFETCH(int, folderMode);
    QFETCH(bool, folderOurs);
    QFETCH(int, fileMode);
    QFETCH(bool, fileOurs);
    QFETCH(QStringList, operation);
    QFETCH(bool, result);
    QFETCH(int, modeAfter);

    const QString folder = path(QStringLiteral("data"));
    const QString file = folder + QStringLiteral("/identity.dat");
    QVERIFY(QDir().mkpath(folder));
    if (fileMode >= 0) {
        QVERIFY(test::writeFile(file, "{}"));
        QVERIFY(::chmod(nativePath(file).constData(), mode_t(fileMode)) == 0);
        if (fileOurs)
            QVERIFY(giveToOrdinaryUser(file));
    }
    if (folderOurs)
        QVERIFY(giveToOrdinaryUser(folder));
    QVERIFY(::chmod(nativePath(folder).constData(), mode_t(folderMode)) == 0);

    QStringList arguments = operation;
    arguments.insert(1, file);
    QCOMPARE(runHelper(arguments, true), result ? 0 : 1);
    QCOMPARE(modeOf(file), modeAfter);
    // Only looked at, never deleted.
    QCOMPARE(exists(file), fileMode >= 0);
}

void TestFileProtection::nothingIsHiddenOrRestricted() {
    const QString file = path(QStringLiteral("vault.kvxs"));
    QVERIFY(test::writeFile(file, "vault"));
    const int mode = modeOf(file);

    QVERIFY(!protect::setHidden(file, true));
    QVERIFY(!protect::isHidden(file));
    QVERIFY(protect::setHidden(file, false));
    QVERIFY(!protect::setHidden(path(QStringLiteral("missing")), false));

    QVERIFY(!protect::applyDeleteRestriction(file));
    QVERIFY(!protect::isDeleteRestricted(file));
    QVERIFY(protect::clearDeleteRestriction(file));

    QCOMPARE(modeOf(file), mode);
    QCOMPARE(test::readWholeFile(file), QByteArray("vault"));
}

QTEST_GUILESS_MAIN(TestFileProtection)
#include "tst_fileprotection.moc"
