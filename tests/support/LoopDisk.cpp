#include "support/LoopDisk.h"

#include "rawstore/PhysicalMedium.h"
#include "vault/RawBlockStore.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <fcntl.h>
#include <unistd.h>

namespace korvex::test {

LoopDisk::~LoopDisk() {
    detach();
}

QString LoopDisk::unavailable() {
    if (::geteuid() != 0)
        return QStringLiteral("raw-disk tests need root (loop devices)");
    for (const char* tool : {"losetup", "sfdisk", "partx"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty() &&
            QStandardPaths::findExecutable(QString::fromLatin1(tool),
                                           {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
                .isEmpty())
            return QStringLiteral("raw-disk tests need %1").arg(QString::fromLatin1(tool));
    }
    if (!QFile::exists(QStringLiteral("/dev/loop-control")))
        return QStringLiteral("raw-disk tests need loop devices (/dev/loop-control)");
    return QString();
}

bool LoopDisk::run(const QString& program, const QStringList& arguments, const QByteArray& input,
                   QString* output) {
    QString path = QStandardPaths::findExecutable(program);
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(
            program, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    QProcess process;
    process.start(path.isEmpty() ? program : path, arguments);
    if (!process.waitForStarted(10000)) {
        lastError_ = program + QStringLiteral(": did not start");
        return false;
    }
    if (!input.isEmpty())
        process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        lastError_ = program + QStringLiteral(": timed out");
        return false;
    }
    if (output)
        *output = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        lastError_ = program + QStringLiteral(": ") +
                     QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
        return false;
    }
    return true;
}

bool LoopDisk::create(quint64 size, const QString& sfdiskScript, quint32 sectorSize) {
    detach();
    if (!dir_.isValid())
        return false;
    image_ = dir_.filePath(QStringLiteral("disk.img"));
    QFile file(image_);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || !file.resize(qint64(size)))
        return false;
    file.close();
    if (!attach(sectorSize))
        return false;
    return sfdiskScript.isEmpty() || repartition(sfdiskScript);
}

bool LoopDisk::createCopyOf(const LoopDisk& other) {
    detach();
    if (!dir_.isValid() || !other.attached())
        return false;
    image_ = dir_.filePath(QStringLiteral("copy.img"));
    if (!run(QStringLiteral("cp"), {QStringLiteral("--sparse=always"), other.image_, image_}, {}))
        return false;
    bool ok = false;
    QFile sectorFile(
        QStringLiteral("/sys/block/%1/queue/logical_block_size").arg(other.kernelName()));
    quint32 sectorSize = 512;
    if (sectorFile.open(QIODevice::ReadOnly))
        sectorSize = sectorFile.readAll().trimmed().toUInt(&ok);
    return attach(ok ? sectorSize : 512) && rescan();
}

bool LoopDisk::attach(quint32 sectorSize) {
    QString device;
    if (!run(QStringLiteral("losetup"),
             {QStringLiteral("--find"), QStringLiteral("--show"), QStringLiteral("--partscan"),
              QStringLiteral("--sector-size"), QString::number(sectorSize), image_},
             {}, &device))
        return false;
    device_ = device;
    return true;
}

QString LoopDisk::kernelName() const {
    return device_.section(QLatin1Char('/'), -1);
}

bool LoopDisk::rescan() {
    // The kernel does not always pick a new table up on its own (a loop device's partition
    // scan can race with its attachment, and an update leaves logical partitions out), so its
    // view is rebuilt from the table: every partition dropped, then the table's added.
    run(QStringLiteral("partx"), {QStringLiteral("-d"), device_}, {});
    QString numbers;
    if (!run(QStringLiteral("partx"),
             {QStringLiteral("-g"), QStringLiteral("-o"), QStringLiteral("NR"), device_}, {},
             &numbers) ||
        numbers.isEmpty())
        return true; // no partitions in the table
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (run(QStringLiteral("partx"), {QStringLiteral("-a"), device_}, {}))
            return true;
        QThread::msleep(200);
    }
    return false;
}

bool LoopDisk::repartition(const QString& sfdiskScript) {
    if (!attached())
        return false;
    // --no-reread: the table is handed to the kernel by rescan(), which also drops partitions
    // that are gone.
    if (!run(QStringLiteral("sfdisk"),
             {QStringLiteral("--quiet"), QStringLiteral("--no-reread"), QStringLiteral("--wipe"),
              QStringLiteral("never"), device_},
             sfdiskScript.toUtf8()))
        return false;
    return rescan();
}

bool LoopDisk::appendPartition(const QString& sfdiskLine, bool tellKernel) {
    if (!attached())
        return false;
    if (!run(QStringLiteral("sfdisk"),
             {QStringLiteral("--quiet"), QStringLiteral("--append"), QStringLiteral("--no-reread"),
              QStringLiteral("--no-tell-kernel"), QStringLiteral("--wipe"), QStringLiteral("never"),
              device_},
             sfdiskLine.toUtf8() + '\n'))
        return false;
    return !tellKernel || rescan();
}

bool LoopDisk::detach() {
    if (!attached())
        return true;
    const bool ok = run(QStringLiteral("losetup"), {QStringLiteral("--detach"), device_}, {});
    device_.clear();
    return ok;
}

QByteArray LoopDisk::read(quint64 offset, qint64 length) const {
    QByteArray bytes(length, '\0');
    const int fd = ::open(QFile::encodeName(device_).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    const ssize_t got = ::pread(fd, bytes.data(), size_t(length), off_t(offset));
    ::close(fd);
    return got == length ? bytes : QByteArray();
}

bool LoopDisk::write(quint64 offset, const QByteArray& bytes) const {
    const int fd = ::open(QFile::encodeName(device_).constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok =
        ::pwrite(fd, bytes.constData(), size_t(bytes.size()), off_t(offset)) == bytes.size() &&
        ::fdatasync(fd) == 0;
    ::close(fd);
    return ok;
}

std::optional<rawstore::DiskInfo> LoopDisk::diskInfo() const {
    for (const rawstore::DiskInfo& disk : rawstore::listDisks()) {
        if (attached() && disk.kernelName == kernelName())
            return disk;
    }
    return std::nullopt;
}

bool LoopDisk::claim(const rawstore::FreeRegion& region, const crypto::SecureBuffer& key) const {
    const std::optional<rawstore::DiskInfo> disk = diskInfo();
    if (!disk)
        return false;
    auto medium =
        std::make_shared<rawstore::PhysicalDiskMedium>(*disk, disk->size, disk->sectorSize);
    return medium->open() &&
           vault::RawBlockStore::claimRegion(medium, *disk, region, false, false, key).ok;
}

} // namespace korvex::test
