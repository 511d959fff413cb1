#pragma once

#include <QString>

namespace korvex::tools {

// Exit status of zelvora-inspect: a usable header exists, none does, or the file cannot be read
// (or the command line is wrong).
inline constexpr int kExitUsable = 0;
inline constexpr int kExitNoUsableHeader = 1;
inline constexpr int kExitCannotRead = 2;

// What zelvora-inspect prints for one container file: the text for standard output, the text
// for standard error (each empty or whole lines) and the exit status.
struct InspectReport {
    int exitStatus = kExitCannotRead;
    QString output;
    QString errors;
};

// Reads the two header slots of the container file at path, without a key, read-only and
// without taking the vault's lock, and reports them and the slot a reader would trust. Only a
// regular file is read: a folder, FIFO, device or symbolic link is refused.
InspectReport inspectContainerFile(const QString& path);

} // namespace korvex::tools
