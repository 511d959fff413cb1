#include "app/LogFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <atomic>
#include <mutex>

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
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return nullptr;
    const QString path = folder + QStringLiteral("/zelvora.log");
    const QFileInfo info(path);
    const bool truncate = info.exists() && info.size() > kLogFileLimitBytes;
    auto* file = new QFile(path);
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Text |
                                     (truncate ? QIODevice::Truncate : QIODevice::Append);
    if (!file->open(mode)) {
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
