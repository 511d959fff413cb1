#include "app/LogFile.h"

#include "platform/PrivatePaths.h"
#include "platform/RegularFile.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <atomic>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace korvex::app {

namespace {

std::atomic<QFile*> gLogFile{nullptr};
std::mutex gWriteMutex;

const char* levelWord(QtMsgType type) {
    switch (type) {
    case QtDebugMsg:
        return "DEBUG";
    case QtWarningMsg:
        return "WARN";
    case QtInfoMsg:
        return "INFO";
    case QtCriticalMsg:
    case QtFatalMsg:
        break;
    }
    return "ERROR";
}

} // namespace

QString logFolderPath() {
    // The application data location for organisation and application "Zelvora", spelled out so
    // that the log does not move when the names change later in start-up.
    const QString generic = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (generic.isEmpty())
        return QString();
    return generic + QStringLiteral("/Zelvora/Zelvora");
}

QFile* openLogFile(const QString& folder) {
    // The log names files and folders of the user's: folder and file are the user's alone.
    if (folder.isEmpty() || !platform::createPrivateFolder(folder))
        return nullptr;
    platform::restrictToOwner(folder);
    const QString path = folder + QStringLiteral("/zelvora.log");
    const QFileInfo info(path);
    const bool truncate = info.exists() && info.size() > kLogFileLimitBytes;
    // Only a regular file of ours: a FIFO or a link planted at the log's place is refused
    // rather than written to (or waited on).
    const int fd = platform::openRegularFileForWriting(path, truncate ? O_TRUNC : O_APPEND);
    if (fd < 0)
        return nullptr;
    platform::restrictToOwner(fd);
    auto* file = new QFile;
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Text |
                                     (truncate ? QIODevice::Truncate : QIODevice::Append);
    if (!file->open(fd, mode, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        delete file;
        return nullptr;
    }
    return file;
}

void installLogFile() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Kept for the life of the process and released at exit.
        gLogFile.store(openLogFile(logFolderPath()));
        qInstallMessageHandler(logMessageHandler);
    });
}

void logMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
    // The file is looked up under the lock: setLogFileForTesting() may swap it out and the
    // caller may delete the old one as soon as it returns.
    const std::lock_guard<std::mutex> guard(gWriteMutex);
    QFile* file = gLogFile.load();
    if (file == nullptr)
        return;
    // One pass of arg(): '%' sequences inside the message are kept as they are.
    const QByteArray line = QStringLiteral("%1 [%2] %3\n")
                                .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODate),
                                     QLatin1String(levelWord(type)), message)
                                .toUtf8();
    file->write(line);
    file->flush();
}

QFile* setLogFileForTesting(QFile* file) {
    const std::lock_guard<std::mutex> guard(gWriteMutex);
    return gLogFile.exchange(file);
}

} // namespace korvex::app
