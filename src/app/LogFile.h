#pragma once

#include <QString>
#include <QtGlobal>

class QFile;

namespace korvex::app {

// A log file larger than this is emptied when it is opened.
inline constexpr qint64 kLogFileLimitBytes = 2097152;

// Folder of the log: the generic per-user data location followed by "/Zelvora/Zelvora", which is
// the application data location while organisation and application are both "Zelvora". Empty
// when the system gives no data location.
QString logFolderPath();

// Creates folder (with parents) and opens folder + "/zelvora.log" for appending, or empties it
// first when it is larger than kLogFileLimitBytes. Returns nothing when the folder or the file
// cannot be created or opened. The caller owns the file.
QFile* openLogFile(const QString& folder);

// Once per process: opens the log in logFolderPath() and installs logMessageHandler as the
// Qt message handler. Later calls do nothing. With no log file, messages are dropped.
void installLogFile();

// Writes one line "time [LEVEL] message" to the installed log file and flushes it. Safe to
// call from any thread.
void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

// Points the handler at another file (or none); returns the previous one. For tests.
QFile* setLogFileForTesting(QFile* file);

} // namespace korvex::app
